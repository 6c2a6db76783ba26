// The emulated device's vocabulary against the SDK's, code by code.
#include <gtest/gtest.h>

#include <string>

#include "core/actuator_protocol.hpp"
#include "device_vocabulary.hpp"

namespace core = vez::core;
namespace emu = vez::emulator;

TEST(DeviceVocabulary, ItemsAndTheirValueTypesOverEveryCode) {
  for (int code = 0; code < 256; ++code) {
    const auto c = static_cast<uint8_t>(code);
    const core::ValueType sdk = core::item_value_type(c);
    ASSERT_EQ(emu::is_item(c), sdk != core::ValueType::kNone) << code;
    if (!emu::is_item(c)) continue;
    switch (emu::item_type(c)) {
      case emu::ItemType::kFloat: EXPECT_EQ(sdk, core::ValueType::kFloat32) << code; break;
      case emu::ItemType::kUnsigned: EXPECT_EQ(sdk, core::ValueType::kUint32) << code; break;
      case emu::ItemType::kSigned: EXPECT_EQ(sdk, core::ValueType::kInt32) << code; break;
    }
  }
}

TEST(DeviceVocabulary, ModesOverEveryCode) {
  for (int code = 0; code < 256; ++code) EXPECT_EQ(emu::valid_mode(static_cast<uint8_t>(code)), core::is_mode_value(code)) << code;
  EXPECT_EQ(emu::kModeTorque, static_cast<uint8_t>(core::Mode::TORQUE));
  EXPECT_EQ(emu::kModeSpeed, static_cast<uint8_t>(core::Mode::SPEED));
  EXPECT_EQ(emu::kModePosition, static_cast<uint8_t>(core::Mode::POSITION));
  EXPECT_EQ(emu::kModeImpedance, static_cast<uint8_t>(core::Mode::IMPEDANCE));
}

// The SDK's code of a name in one of its tables; -1 when it has none.
template <size_t N>
int sdk_code(const core::NamedCode (&table)[N], const std::string& name) {
  for (const core::NamedCode& entry : table) {
    if (name == entry.name) return static_cast<int>(entry.value);
  }
  return -1;
}

TEST(DeviceVocabulary, EveryActionTheDeviceKnows) {
  const std::pair<uint8_t, const char*> actions[] = {
      {emu::action::kStart, "START"},
      {emu::action::kStop, "STOP"},
      {emu::action::kChangeMode, "CHANGE_MODE"},
      {emu::action::kChangeSetpoint, "CHANGE_SETPOINT"},
      {emu::action::kSetFeedbackRate, "SET_FEEDBACK_HIGH_RATE"},
      {emu::action::kSetFeedbackItems, "SET_FEEDBACK_HIGH_ITEMS"},
      {emu::action::kResetEncoder, "RESET_ENCODER_POSITION"},
      {emu::action::kSetParameters, "SET_PARAMETERS"},
      {emu::action::kGetParameters, "GET_PARAMETERS"},
      {emu::action::kSetTorquePerformance, "SET_TORQUE_PERFORMANCE"},
      {emu::action::kSetSpeedPerformance, "SET_SPEED_PERFORMANCE"},
      {emu::action::kGetItems, "GET_ITEMS"},
      {emu::action::kSetpointFF, "CHANGE_SETPOINT_FF"},
      {emu::action::kSetpointTorque, "CHANGE_SETPOINT_TORQUE"},
      {emu::action::kSetpointSpeed, "CHANGE_SETPOINT_SPEED"},
      {emu::action::kSetpointPosition, "CHANGE_SETPOINT_POSITION"},
      {emu::action::kSetpointImpedance, "CHANGE_SETPOINT_IMPEDANCE"},
      {emu::action::kSetpointSpeedInternal, "CHANGE_SETPOINT_SPEED_INTERNAL"},
      {emu::action::kSetpointPositionInternal, "CHANGE_SETPOINT_POSITION_INTERNAL"},
      {emu::action::kStartSineRef, "START_SINE_REF"},
      {emu::action::kSave, "SAVE"},
      {emu::action::kPing, "PING"},
      {emu::action::kBlink, "BLINK"},
      {emu::action::kEnterBootloader, "ENTER_BOOTLOADER"},
      {emu::action::kClearConfig, "DEBUG_CLEAR_CONFIG"},
      {emu::action::kResetIntEncoder, "DEBUG_RESET_INT_ENC"},
      {emu::action::kResetExtEncoder, "DEBUG_RESET_EXT_ENC"},
  };
  EXPECT_EQ(std::size(actions), std::size(core::kActionNames));  // the device knows every action
  for (const auto& [code, name] : actions) EXPECT_EQ(code, sdk_code(core::kActionNames, name)) << name;

  EXPECT_EQ(emu::record::kBeacon, sdk_code(core::kOtherCodeNames, "BEACON"));
  EXPECT_EQ(emu::record::kErrors, sdk_code(core::kOtherCodeNames, "ERRORS"));
  EXPECT_EQ(emu::record::kParameters, sdk_code(core::kOtherCodeNames, "PARAMETERS"));
}

TEST(DeviceVocabulary, ParametersTheDeviceHandlesByName) {
  const std::pair<uint8_t, const char*> parameters[] = {
      {emu::param::kDamping, "K_DAMPING"},
      {emu::param::kStiffness, "K_STIFFNESS"},
      {emu::param::kLimTorque, "LIM_TORQUE"},
      {emu::param::kProfileSpeedMax, "PROFILE_SPEED_MAX"},
      {emu::param::kKpSpeed, "KP_SPEED"},
      {emu::param::kKiSpeed, "KI_SPEED"},
      {emu::param::kKpPosition, "KP_POSITION"},
      {emu::param::kFfGain, "FF_GAIN"},
      {emu::param::kMode, "MODE"},
      {emu::param::kSetpoint, "SETPOINT"},
      {emu::param::kTorquePerformance, "TORQUE_PERFORMANCE"},
      {emu::param::kSpeedPerformance, "SPEED_PERFORMANCE"},
      {emu::param::kProfileSpeedMaxRadS, "PROFILE_SPEED_MAX_RAD_S"},
      {emu::param::kProfileTorqueMaxNm, "PROFILE_TORQUE_MAX_NM"},
      {emu::param::kInvertFlag, "INVERT_FLAG"},
      {emu::param::kFirmwareVersion, "FIRMWARE_VERSION"},
      {emu::param::kVezAddress, "VEZ_ADDRESS"},
      {emu::param::kSerialNumber, "SERIAL_NUMBER"},
      {emu::param::kDeviceModel, "DEVICE_MODEL"},
      {emu::param::kControlVersion, "CONTROL_VERSION"},
      {emu::param::kCanHighSpeed, "CAN_HIGH_SPEED"},
  };
  for (const auto& [code, name] : parameters) {
    EXPECT_EQ(code, sdk_code(core::kParameterNames, name)) << name;
    EXPECT_NE(core::parameter_value_type(code), core::ValueType::kNone) << name;
  }
  EXPECT_EQ(core::parameter_value_type(emu::param::kMode), core::ValueType::kMode);
  EXPECT_EQ(core::parameter_value_type(emu::param::kSerialNumber), core::ValueType::kUint32);
}
