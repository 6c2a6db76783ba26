// The USB adapter frame: FE <word lo> <word hi> <N> <payload...> FD.
//
// encode_frame builds one frame.  Deframer is the receive algorithm as a state
// machine: the caller asks it how many bytes to read next (want()), performs
// one blocking read of at most that many bytes, and hands whatever came back
// to consume().  A short read means the serial timeout expired.
//
// Resynchronisation loses nothing that can be found again: when a candidate
// frame is rejected (bad start byte, length above 59, a read that timed out,
// a wrong trailer), the bytes after its first byte are kept and searched for
// the next start byte before anything more is read.  So a start byte that lay
// inside a rejected header or body - the start of an intact frame after line
// noise - is found, and that frame is delivered.  Every check a frame must
// pass stays as it was, and no read asks for more than the candidate in hand
// still lacks (4 for a header, 1 while hunting, N + 1 for a body, less what is
// already kept), so a read never waits for bytes beyond the frame it is for.
//
// Not thread-safe: one deframer belongs to one receive thread.  No allocation.
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
  // Bytes the next read should ask for: 4 (a header), 1 (hunting for a start
  // byte), the rest of a header after a start byte, or the rest of a body and
  // trailer - each less what is already kept.  0 means kept bytes are to be
  // looked at first: call resume(), not a read.
  size_t want() const { return want_; }

  // Feeds the result of one read of want() bytes; `n` may be smaller (the read
  // timed out) but is never trusted to be larger.  Returns true when a frame
  // was completed; it stays readable through frame() until the next call.
  bool consume(const uint8_t* data, size_t n);

  // Goes on with kept bytes without a read when want() is 0; returns true
  // when that completes a frame.  Otherwise it does nothing (and is no
  // timeout: only a short consume() is).
  bool resume() { return want_ == 0 && advance(false); }

  const Frame& frame() const { return frame_; }

  // True unless hunting for a start byte after a rejected frame.
  bool in_sync() const { return state_ != State::kHunt; }

  // True between frames with nothing kept: the next bytes read are a header.
  bool at_frame_boundary() const { return state_ == State::kHeader && begin_ == end_; }

  // Bytes read but neither delivered nor discarded yet (at most 63).
  size_t kept() const { return end_ - begin_; }

  // Back to the initial state (in sync, expecting a header, nothing kept).
  void reset();

 private:
  enum class State : uint8_t { kHeader, kHunt, kBody };

  // Works on the kept bytes until a frame completes (true) or more bytes are
  // needed (false, want_ set).  `timed_out`: the read that just ended came
  // back short, which rejects the candidate it was for.
  bool advance(bool timed_out);
  void reject();  // drops the candidate's first byte and hunts through the rest

  State state_ = State::kHeader;
  size_t want_ = kUsbHeaderLength;
  size_t need_ = kUsbHeaderLength;  // bytes the candidate at begin_ needs in all
  // The candidate frame (or bytes still to hunt through) is buf_[begin_, end_).
  std::array<uint8_t, kMaxFrameSize> buf_{};
  size_t begin_ = 0;
  size_t end_ = 0;
  Frame frame_{};
};

}  // namespace vez::core
