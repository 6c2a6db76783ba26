// Numeric facts of the VEZ bus protocol: address space, the 16-bit
// address/flags word of the USB adapter frame, the 28-bit identifier and the
// per-request limits.  Pure functions, no state, callable from any thread.
//
// Python ints are arbitrary precision; the glue hands this file either the
// low 64 bits of a value (for the masking functions, which only ever look at
// the low bits) or a checked int64 (for the range checks, where a value that
// does not fit is simply out of range).
#pragma once

#include <cstddef>
#include <cstdint>

namespace vez::core {

inline constexpr int kDirectAddress = 0;
inline constexpr int kAddressMin = 0;
inline constexpr int kAddressMax = 0x3FFE;
inline constexpr int kAddressMask = 0x3FFF;
inline constexpr int kActuatorAddressMin = 0x10;
inline constexpr int kActuatorAddressMax = kAddressMax;
inline constexpr int kPriorityBitShift = 15;
inline constexpr int kCanHighSpeedBitShift = 14;
inline constexpr int kUsbFrameSize = 64;
inline constexpr int kUsbStartByte = 0xFE;
inline constexpr int kUsbHeaderLength = 4;
inline constexpr int kUsbTrailerByte = 0xFD;
inline constexpr int kUsbMaxPayloadSize = kUsbFrameSize - kUsbHeaderLength - 1;
inline constexpr int kMaxParametersPerRequest = 9;
inline constexpr int kMaxFeedbackItemsPerRequest = 10;

// Width of one address field inside the 28-bit identifier.
inline constexpr int kIdentifierAddressBits = 14;

constexpr bool is_valid_vez_address(int64_t address) {
  return kAddressMin <= address && address <= kAddressMax;
}

constexpr bool is_valid_actuator_address(int64_t address) {
  return kActuatorAddressMin <= address && address <= kActuatorAddressMax;
}

constexpr bool is_valid_payload_length(size_t length) {
  return length >= 1 && length <= static_cast<size_t>(kUsbMaxPayloadSize);
}

// source/destination: the low 64 bits (two's complement) of any integer.
constexpr uint32_t build_ruz_identifier(uint64_t source, uint64_t destination) {
  return static_cast<uint32_t>(((source & kAddressMask) << kIdentifierAddressBits) |
                               (destination & kAddressMask));
}

// The priority bit is inverted on the wire: 0 means "prioritised".
constexpr uint16_t build_usb_address_flags(uint64_t address, bool priority, bool can_high_speed) {
  return static_cast<uint16_t>((address & kAddressMask) |
                               (uint64_t{can_high_speed ? 1u : 0u} << kCanHighSpeedBitShift) |
                               (uint64_t{priority ? 0u : 1u} << kPriorityBitShift));
}

struct AddressFlags {
  uint16_t address;
  uint8_t priority_bit;        // raw bit: 1 = normal (not prioritised)
  uint8_t can_high_speed_bit;  // raw bit
};

constexpr AddressFlags parse_usb_address_flags(uint64_t word) {
  return AddressFlags{static_cast<uint16_t>(word & kAddressMask),
                      static_cast<uint8_t>((word >> kPriorityBitShift) & 1u),
                      static_cast<uint8_t>((word >> kCanHighSpeedBitShift) & 1u)};
}

}  // namespace vez::core
