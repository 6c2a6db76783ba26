#include "frame.hpp"

#include <cstring>

namespace vez::core {

size_t encode_frame(uint16_t address_flags, const uint8_t* payload, size_t length, uint8_t* out) {
  out[0] = kUsbStartByte;
  out[1] = static_cast<uint8_t>(address_flags & 0xFF);
  out[2] = static_cast<uint8_t>(address_flags >> 8);
  out[3] = static_cast<uint8_t>(length);
  if (length != 0) std::memcpy(out + kUsbHeaderLength, payload, length);
  out[kUsbHeaderLength + length] = kUsbTrailerByte;
  return kUsbHeaderLength + length + 1;
}

void Deframer::reset() {
  state_ = State::kHeader;
  want_ = need_ = kUsbHeaderLength;
  begin_ = end_ = 0;
}

void Deframer::reject() {
  ++begin_;
  state_ = State::kHunt;
}

bool Deframer::consume(const uint8_t* data, size_t n) {
  if (n > want_) n = want_;  // a caller that over-delivers is clamped, never trusted
  const bool timed_out = n < want_;
  if (n != 0) {
    if (end_ + n > buf_.size()) {  // make room: the candidate moves to the front
      std::memmove(buf_.data(), buf_.data() + begin_, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
    }
    if (n == 1) {  // the read of a hunt: one byte at a time
      buf_[end_] = data[0];
    } else {
      std::memcpy(buf_.data() + end_, data, n);
    }
    end_ += n;
  }
  return advance(timed_out);
}

bool Deframer::advance(bool timed_out) {
  for (;;) {
    if (state_ == State::kHunt) {
      while (begin_ != end_ && buf_[begin_] != kUsbStartByte) ++begin_;
      if (begin_ == end_) {
        begin_ = end_ = 0;
        want_ = 1;
        return false;
      }
      state_ = State::kHeader;
      need_ = kUsbHeaderLength;
    }
    const size_t have = end_ - begin_;
    if (have < need_) {
      if (timed_out) {  // the read this candidate waited for came back short
        timed_out = false;
        if (have == 0) {  // nothing arrived at all: no candidate to reject
          if (state_ == State::kHeader) {
            state_ = State::kHunt;
            continue;
          }
        } else {
          reject();
          continue;
        }
      }
      want_ = need_ - have;
      return false;
    }
    const uint8_t* c = buf_.data() + begin_;
    if (state_ == State::kHeader) {
      if (c[0] != kUsbStartByte || c[3] > kUsbMaxPayloadSize) {
        reject();
        continue;
      }
      state_ = State::kBody;
      need_ = kUsbHeaderLength + size_t{c[3]} + 1;
      continue;
    }
    // A complete candidate: header and N + 1 bytes of body.
    const size_t length = c[3];
    if (c[need_ - 1] != kUsbTrailerByte) {
      reject();
      continue;
    }
    const AddressFlags fields = parse_usb_address_flags(static_cast<uint16_t>(c[1] | (c[2] << 8)));
    frame_.address = fields.address;
    frame_.priority_bit = fields.priority_bit;
    frame_.can_high_speed_bit = fields.can_high_speed_bit;
    frame_.length = static_cast<uint8_t>(length);
    if (length != 0) std::memcpy(frame_.payload.data(), c + kUsbHeaderLength, length);
    begin_ += need_;
    if (begin_ == end_) begin_ = end_ = 0;
    state_ = State::kHeader;
    need_ = kUsbHeaderLength;
    want_ = begin_ == end_ ? kUsbHeaderLength : 0;
    return true;
  }
}

}  // namespace vez::core
