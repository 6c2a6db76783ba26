// The actuator's vocabulary as the emulated devices spell it: action bytes,
// answer record codes, feedback item codes and how their values are read,
// parameter codes and control modes.
//
// Written out here on purpose rather than taken from the SDK's core tables:
// the emulator stands in for the device, so a wrong code on the SDK's side
// shows up as a device that does not understand it instead of being copied
// into both.  tests/emulator/device_vocabulary_test.cpp checks the two
// spellings against each other over every code.
#pragma once

#include <cstdint>

namespace vez::emulator {

// Action bytes that open a command payload.
namespace action {
inline constexpr uint8_t kStart = 0x01, kStop = 0x02, kChangeMode = 0x03, kChangeSetpoint = 0x04,
                         kSetFeedbackRate = 0x06, kSetFeedbackItems = 0x07, kResetEncoder = 0x0A,
                         kSetParameters = 0x0B, kGetParameters = 0x0C, kSetTorquePerformance = 0x0D,
                         kSetSpeedPerformance = 0x0E, kGetItems = 0x0F, kSetpointFF = 0x10, kSetpointTorque = 0x11,
                         kSetpointSpeed = 0x12, kSetpointPosition = 0x13, kSetpointImpedance = 0x14,
                         kSetpointSpeedInternal = 0x15, kSetpointPositionInternal = 0x16, kStartSineRef = 0x38,
                         kSave = 0x39, kPing = 0x40, kBlink = 0x41, kEnterBootloader = 0xC1, kClearConfig = 0xC2,
                         kResetIntEncoder = 0xC3, kResetExtEncoder = 0xC4;
}  // namespace action

// Record codes that open an answer which is not a feedback item.
namespace record {
inline constexpr uint8_t kBeacon = 0x80, kErrors = 0x82, kParameters = 0x83;
}

// Feedback items: 65-77, 79-102, 112-115 and 144-154.
inline constexpr bool is_item(uint8_t code) {
  return (code >= 65 && code <= 77) || (code >= 79 && code <= 102) || (code >= 112 && code <= 115) ||
         (code >= 144 && code <= 154);
}

// How an item's four value bytes are read.
enum class ItemType { kFloat, kUnsigned, kSigned };

inline constexpr ItemType item_type(uint8_t code) {
  switch (code) {
    case 66: case 68: case 96: case 97: case 98: case 99: case 100: case 101: case 102: case 144:
      return ItemType::kUnsigned;
    case 74:
      return ItemType::kSigned;
    default:
      return ItemType::kFloat;
  }
}

namespace param {
inline constexpr uint8_t kDamping = 0x01, kStiffness = 0x02, kLimTorque = 0x04, kProfileSpeedMax = 0x0B,
                         kKpSpeed = 0x0D, kKiSpeed = 0x0E, kKpPosition = 0x0F, kFfGain = 0x45;
inline constexpr uint8_t kMode = 0x30, kSetpoint = 0x31, kTorquePerformance = 0x40, kSpeedPerformance = 0x41,
                         kProfileSpeedMaxRadS = 0x42, kProfileTorqueMaxNm = 0x43, kInvertFlag = 0x44,
                         kFirmwareVersion = 0x80, kVezAddress = 0x81, kSerialNumber = 0x82, kDeviceModel = 0x83,
                         kControlVersion = 0x84, kCanHighSpeed = 0x85;
}  // namespace param

inline constexpr uint8_t kModeTorque = 5, kModeSpeed = 6, kModePosition = 7, kModeImpedance = 8;

// Control modes 2 (FVI) to 8 (impedance).
inline constexpr bool valid_mode(uint8_t mode) { return mode >= 2 && mode <= 8; }

}  // namespace vez::emulator
