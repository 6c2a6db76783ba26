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
  want_ = kUsbHeaderLength;
}

void Deframer::lose_sync() {
  state_ = State::kHunt;
  want_ = 1;
}

bool Deframer::accept_header(const uint8_t* header) {
  if (header[0] != kUsbStartByte) return false;
  const uint16_t word = static_cast<uint16_t>(header[1] | (header[2] << 8));
  const AddressFlags fields = parse_usb_address_flags(word);
  const uint8_t length = header[3];
  if (length > kUsbMaxPayloadSize) return false;
  frame_.address = fields.address;
  frame_.priority_bit = fields.priority_bit;
  frame_.can_high_speed_bit = fields.can_high_speed_bit;
  frame_.length = length;
  state_ = State::kBody;
  want_ = size_t{length} + 1;
  return true;
}

bool Deframer::consume(const uint8_t* data, size_t n) {
  if (n > want_) n = want_;  // a caller that over-delivers is clamped, never trusted
  switch (state_) {
    case State::kHeader:
      if (n != kUsbHeaderLength || !accept_header(data)) lose_sync();
      return false;

    case State::kHunt:
      if (n == 1 && data[0] == kUsbStartByte) {
        state_ = State::kHuntRest;
        want_ = kUsbHeaderLength - 1;
      }
      return false;

    case State::kHuntRest: {
      if (n != kUsbHeaderLength - 1) {
        lose_sync();
        return false;
      }
      uint8_t header[kUsbHeaderLength] = {static_cast<uint8_t>(kUsbStartByte), data[0], data[1], data[2]};
      if (!accept_header(header)) lose_sync();
      return false;
    }

    case State::kBody: {
      const size_t length = frame_.length;
      if (n != length + 1 || data[length] != kUsbTrailerByte) {
        lose_sync();
        return false;
      }
      if (length != 0) std::memcpy(frame_.payload.data(), data, length);
      reset();
      return true;
    }
  }
  return false;
}

}  // namespace vez::core
