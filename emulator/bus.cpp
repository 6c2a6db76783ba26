#include "bus.hpp"

#include <cmath>
#include <limits>

#include "wire.hpp"

namespace vez::emulator {

Bus::Bus(PtyLink& link, const Faults& faults) : link_(link), faults_(faults), rng_(faults.seed) {}

void Bus::on_host_bytes(const std::vector<uint8_t>& bytes, double now) {
  if (bytes.empty()) return;
  pending_.insert(pending_.end(), bytes.begin(), bytes.end());
  last_byte_at_ = now;
  // Hand the deframer exactly what it asks for, as blocking reads would.
  size_t pos = 0;
  while (pending_.size() - pos >= deframer_.want()) {
    const size_t n = deframer_.want();
    feed(pending_.data() + pos, n, now);
    pos += n;
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(pos));
}

void Bus::on_idle(double now) {
  if (now - last_byte_at_ < kInterByteTimeout) return;
  if (pending_.empty() && deframer_.at_frame_boundary()) return;
  // A frame left unfinished (even one whose header was complete) ends with
  // the silence, as a read that timed out short; so does every candidate the
  // deframer still holds from the bytes before it, as the reads that follow
  // would time out too.
  feed(pending_.data(), pending_.size(), now);
  pending_.clear();
  while (deframer_.kept() != 0) feed(nullptr, 0, now);
}

void Bus::feed(const uint8_t* data, size_t n, double now) {
  if (deframer_.consume(data, n)) dispatch(deframer_.frame(), now);
  while (deframer_.want() == 0) {  // frames found in what a rejected frame had read
    if (deframer_.resume()) dispatch(deframer_.frame(), now);
  }
}

void Bus::dispatch(const core::Frame& frame, double now) {
  ++stats_.frames_in;
  std::vector<uint8_t> payload(frame.payload.begin(), frame.payload.begin() + frame.length);
  for (Node* node : nodes_) {
    if (node->answers_at(frame.address)) {
      node->advance(*this, now);  // the node's state is current before it reacts
      node->receive(*this, frame.address, payload, now);
      return;
    }
  }
  ++stats_.frames_unrouted;
}

SourceStats Bus::source_stats(uint16_t source) const {
  const auto it = by_source_.find(source);
  return it == by_source_.end() ? SourceStats{} : it->second;
}

void Bus::send(uint16_t source, bool priority, std::vector<uint8_t> payload, double now, bool is_answer) {
  double due = now + kAnswerLatency;
  SourceStats& tally = by_source_[source];
  ++(is_answer ? tally.answers : tally.unsolicited);
  if (is_answer) {
    if (chance(faults_.drop)) {
      ++stats_.answers_dropped;
      ++tally.answers_dropped;
      return;
    }
    if (chance(faults_.late)) {
      ++stats_.answers_late;
      ++tally.answers_late;
      due += faults_.late_s;
    }
  }
  if (faults_.pad_canfd) payload.resize(canfd_padded_length(payload.size()), 0);
  if (payload.size() > static_cast<size_t>(core::kUsbMaxPayloadSize)) payload.resize(core::kUsbMaxPayloadSize);

  std::vector<uint8_t> bytes;
  if (chance(faults_.noise)) {
    ++stats_.noise_bursts;
    const size_t count = 1 + rng_() % 8;
    for (size_t i = 0; i < count; ++i) {
      uint8_t b = static_cast<uint8_t>(rng_());
      if (b == core::kUsbStartByte) b = 0x00;  // line noise never fakes a start byte
      bytes.push_back(b);
    }
  }
  uint8_t frame[core::kMaxFrameSize];
  const size_t n = core::encode_frame(core::build_usb_address_flags(source, priority, false), payload.data(),
                                      payload.size(), frame);
  if (chance(faults_.corrupt)) {
    ++stats_.frames_corrupted;
    ++(is_answer ? tally.answers_corrupted : tally.unsolicited_corrupted);
    frame[n - 1] = 0x00;
  }
  bytes.insert(bytes.end(), frame, frame + n);
  out_.push(Outgoing{due, seq_++, std::move(bytes)});
}

void Bus::pump(double now) {
  while (!out_.empty() && out_.top().due <= now) {
    const auto& o = out_.top();
    link_.queue(o.bytes.data(), o.bytes.size());
    ++stats_.frames_out;
    out_.pop();
  }
  link_.flush();
}

double Bus::next_due() const {
  return out_.empty() ? std::numeric_limits<double>::infinity() : out_.top().due;
}

void Bus::run_nodes(double now) {
  for (Node* node : nodes_) node->advance(*this, now);
}

double Bus::next_node_wakeup(double now) const {
  double t = std::numeric_limits<double>::infinity();
  for (const Node* node : nodes_) t = std::min(t, node->next_wakeup(now));
  return t;
}

}  // namespace vez::emulator
