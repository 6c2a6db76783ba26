// The emulated adapter's routing: frames from the host are cut out of the
// byte stream, handed to the node at their destination address, and what the
// nodes say goes back to the host as adapter frames, after a short latency and
// through the configured faults.
#pragma once

#include <cstdint>
#include <map>
#include <queue>
#include <random>
#include <vector>

#include "core/frame.hpp"
#include "pty_link.hpp"

namespace vez::emulator {

struct Faults {
  double noise = 0;      // chance of 1..8 noise bytes before a frame to the host
  double corrupt = 0;    // chance of a frame with a wrong trailer
  double drop = 0;       // chance that an answer is lost
  double late = 0;       // chance that an answer is held back by late_s
  double late_s = 1.5;
  bool pad_canfd = false;  // pad payloads with zeros to CAN FD data lengths
  uint64_t seed = 1;
};

class Bus;

// Something on the bus that answers: the adapter itself or an actuator.
class Node {
 public:
  virtual ~Node() = default;
  // True when messages for `address` are meant for this node.
  virtual bool answers_at(uint16_t address) const = 0;
  // A message from the host; `address` is the destination the host used.
  virtual void receive(Bus& bus, uint16_t address, const std::vector<uint8_t>& payload, double now) = 0;
  // Runs the node's own clock up to `now` (motion, feedback streams).
  virtual void advance(Bus& /*bus*/, double /*now*/) {}
  // Latest time by which advance() should run again; +inf when idle.
  virtual double next_wakeup(double now) const { return now + 0.005; }
};

struct BusStats {
  uint64_t frames_in = 0;        // complete frames from the host
  uint64_t frames_unrouted = 0;  // for an address nobody answers at
  uint64_t frames_out = 0;
  uint64_t answers_dropped = 0;
  uint64_t answers_late = 0;
  uint64_t frames_corrupted = 0;
  uint64_t noise_bursts = 0;
};

// What one node said to the host, and how many of those messages a fault hit:
// the count a host's losses are measured against.
struct SourceStats {
  uint64_t unsolicited = 0;  // feedback streams and error reports
  uint64_t unsolicited_corrupted = 0;
  uint64_t answers = 0;
  uint64_t answers_dropped = 0;
  uint64_t answers_late = 0;
  uint64_t answers_corrupted = 0;
};

class Bus {
 public:
  Bus(PtyLink& link, const Faults& faults);

  void attach(Node* node) { nodes_.push_back(node); }

  // Bytes the host wrote, received at `now` (seconds, monotonic).
  void on_host_bytes(const std::vector<uint8_t>& bytes, double now);
  // A frame the host left unfinished for longer than the inter-byte timeout
  // is dropped, as a serial receiver with a timeout would.
  void on_idle(double now);

  // A node's message to the host.  Answers (to a request) may be dropped or
  // delayed by the faults; streams and reports only suffer noise/corruption.
  void send(uint16_t source, bool priority, std::vector<uint8_t> payload, double now, bool is_answer);

  // Moves every frame due by `now` to the link.
  void pump(double now);
  double next_due() const;

  void run_nodes(double now);
  double next_node_wakeup(double now) const;

  const BusStats& stats() const { return stats_; }
  // Zeros for a source that never spoke.
  SourceStats source_stats(uint16_t source) const;

  static constexpr double kAnswerLatency = 0.0002;
  static constexpr double kInterByteTimeout = 0.1;

 private:
  struct Outgoing {
    double due;
    uint64_t seq;
    std::vector<uint8_t> bytes;
    bool operator>(const Outgoing& o) const { return due != o.due ? due > o.due : seq > o.seq; }
  };

  void feed(const uint8_t* data, size_t n, double now);
  void dispatch(const core::Frame& frame, double now);
  bool chance(double p) { return p > 0 && unit_(rng_) < p; }

  PtyLink& link_;
  Faults faults_;
  std::mt19937_64 rng_;
  std::uniform_real_distribution<double> unit_{0.0, 1.0};
  std::vector<Node*> nodes_;
  core::Deframer deframer_;
  std::vector<uint8_t> pending_;
  double last_byte_at_ = 0;
  std::priority_queue<Outgoing, std::vector<Outgoing>, std::greater<Outgoing>> out_;
  uint64_t seq_ = 0;
  BusStats stats_;
  std::map<uint16_t, SourceStats> by_source_;
};

}  // namespace vez::emulator
