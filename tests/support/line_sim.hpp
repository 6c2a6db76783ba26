// A serial line as the receive thread sees it, for tests and fuzzers: the
// bytes arrive in bursts, and a blocking read(n) returns at most n bytes of
// the current burst; when the burst runs dry first, the read times out and
// returns what it had (possibly nothing).  The next read starts on the next
// burst.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/frame.hpp"

namespace vez::testing {

class LineSim {
 public:
  void add_burst(std::vector<uint8_t> bytes) { bursts_.push_back(std::move(bytes)); }

  bool exhausted() const { return burst_ >= bursts_.size(); }

  // One blocking read of up to `n` bytes.
  std::vector<uint8_t> read(size_t n) {
    std::vector<uint8_t> out;
    while (out.size() < n && burst_ < bursts_.size()) {
      const auto& b = bursts_[burst_];
      if (pos_ == b.size()) {  // burst ran dry: the read times out here
        ++burst_;
        pos_ = 0;
        return out;
      }
      out.push_back(b[pos_++]);
    }
    return out;
  }

 private:
  std::vector<std::vector<uint8_t>> bursts_;
  size_t burst_ = 0;
  size_t pos_ = 0;
};

struct Delivered {
  uint16_t address;
  uint8_t priority_bit;
  std::vector<uint8_t> payload;
  bool operator==(const Delivered& o) const {
    return address == o.address && priority_bit == o.priority_bit && payload == o.payload;
  }
};

// Drives a Deframer over the line until the line is exhausted.
inline std::vector<Delivered> run_deframer(LineSim line) {
  core::Deframer d;
  std::vector<Delivered> out;
  while (!line.exhausted()) {
    auto bytes = line.read(d.want());
    if (d.consume(bytes.data(), bytes.size())) {
      const auto& f = d.frame();
      out.push_back({f.address, f.priority_bit, {f.payload.begin(), f.payload.begin() + f.length}});
    }
  }
  return out;
}

// The receive algorithm written the way a blocking reader states it, as an
// independent reference for the state machine.
inline std::vector<Delivered> run_reference(LineSim line) {
  std::vector<Delivered> out;
  bool in_sync = true;
  while (!line.exhausted()) {
    std::vector<uint8_t> header;
    if (in_sync) {
      header = line.read(4);
    } else {
      auto b = line.read(1);
      if (b.empty() || b[0] != 0xFE) continue;
      header = b;
      auto rest = line.read(3);
      header.insert(header.end(), rest.begin(), rest.end());
      in_sync = true;
    }
    if (header.size() != 4 || header[0] != 0xFE) {
      in_sync = false;
      continue;
    }
    const uint16_t word = static_cast<uint16_t>(header[1] | (header[2] << 8));
    const size_t n = header[3];
    if (n > 59) {
      in_sync = false;
      continue;
    }
    auto body = line.read(n + 1);
    if (body.size() < n + 1 || body[n] != 0xFD) {
      in_sync = false;
      continue;
    }
    out.push_back({static_cast<uint16_t>(word & 0x3FFF), static_cast<uint8_t>((word >> 15) & 1),
                   {body.begin(), body.begin() + n}});
  }
  return out;
}

}  // namespace vez::testing
