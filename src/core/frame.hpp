// The USB adapter frame: FE <word lo> <word hi> <N> <payload...> FD.
//
// encode_frame builds one frame.  Deframer is the receive algorithm as a state
// machine: the caller asks it how many bytes to read next (want()), performs
// one blocking read of at most that many bytes, and hands whatever came back
// to consume().  A short read means the serial timeout expired.  The
// deframer never looks at a byte twice, so a start byte that lay inside a
// rejected frame is not found again; this mirrors what a blocking reader of
// the line sees and is what the adapter side relies on.
//
// Not thread-safe: one deframer belongs to one receive thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "protocol.hpp"

namespace vez::core {

inline constexpr size_t kMaxFrameSize = kUsbFrameSize;

// Writes the frame for `payload` into `out` (at least 5 + length bytes) and
// returns its size.  The caller has checked the length (1..59 for a sender);
// encode_frame itself accepts 0..59 so tests can build any valid frame.
size_t encode_frame(uint16_t address_flags, const uint8_t* payload, size_t length, uint8_t* out);

struct Frame {
  uint16_t address = 0;
  uint8_t priority_bit = 0;
  uint8_t can_high_speed_bit = 0;
  uint8_t length = 0;
  std::array<uint8_t, kUsbMaxPayloadSize> payload{};
};

class Deframer {
 public:
  // Bytes the next read should ask for: 4 (header), 1 (hunting for a start
  // byte), 3 (rest of a header after a start byte) or N + 1 (payload and
  // trailer).
  size_t want() const { return want_; }

  // True while the last header was accepted and no frame was dropped since.
  bool in_sync() const { return state_ != State::kHunt && state_ != State::kHuntRest; }

  // True between frames: the next bytes are expected to be a header.
  bool at_frame_boundary() const { return state_ == State::kHeader; }

  // Feeds the result of one read of want() bytes; `n` may be smaller (read
  // timeout) but never larger.  Returns true when a frame was completed; it
  // stays readable through frame() until the next call.
  bool consume(const uint8_t* data, size_t n);

  const Frame& frame() const { return frame_; }

  // Back to the initial state (in sync, expecting a header).
  void reset();

 private:
  enum class State : uint8_t { kHeader, kHunt, kHuntRest, kBody };

  bool accept_header(const uint8_t* header);
  void lose_sync();

  State state_ = State::kHeader;
  size_t want_ = kUsbHeaderLength;
  Frame frame_{};
};

}  // namespace vez::core
