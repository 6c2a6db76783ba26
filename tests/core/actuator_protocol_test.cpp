#include "core/actuator_protocol.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <string>
#include <vector>

namespace core = vez::core;
using core::Action;

namespace {

std::string hex(const uint8_t* bytes, size_t n) {
  static const char* digits = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += digits[bytes[i] >> 4];
    s += digits[bytes[i] & 15];
  }
  return s;
}

std::string hex(const core::Payload& p) { return hex(p.data(), p.size()); }

core::Payload setpoint(Action action, std::vector<double> values) {
  std::vector<float> floats;
  for (double v : values) {
    float f = 0;
    EXPECT_TRUE(core::to_float32(v, &f)) << v;
    floats.push_back(f);
  }
  return core::setpoint_command(action, floats.data(), floats.size());
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();

}  // namespace

TEST(Vocabulary, TablesFollowDeclarationOrder) {
  EXPECT_STREQ(core::kModeNames[0].name, "FVI");
  EXPECT_EQ(core::kModeNames[6].value, 8u);
  EXPECT_EQ(std::size(core::kRateNames), 12u);
  EXPECT_EQ(std::size(core::kSpeedPerformanceNames), 4u);
  EXPECT_EQ(std::size(core::kTorquePerformanceNames), 3u);
  EXPECT_EQ(std::size(core::kActionNames), 27u);
  EXPECT_EQ(std::size(core::kParameterNames), 31u);
  EXPECT_EQ(std::size(core::kItemNames), 52u);
  EXPECT_STREQ(core::kItemNames[12].name, "POSITION_FB_INTERNAL");
  EXPECT_STREQ(core::kItemNames[13].name, "SPEED_REF");
  EXPECT_EQ(std::size(core::kModelNames), 11u);
  EXPECT_STREQ(core::kModelNames[5], "CAN_ADAPTER");
}

TEST(Vocabulary, RatesAreDividersOfTheBaseRate) {
  for (const auto& r : core::kRateNames) {
    if (r.value == 0) continue;
    const std::string name = r.name;  // RATE_<n>HZ or RATE_<n>KHZ
    const bool khz = name.find("KHZ") != std::string::npos;
    const int hz = std::stoi(name.substr(5)) * (khz ? 1000 : 1);
    EXPECT_EQ(r.value, static_cast<uint32_t>(core::kFeedbackBaseRateHz / hz)) << name;
  }
}

TEST(Vocabulary, CodesAreUniqueAndTyped) {
  std::set<uint32_t> items;
  for (const auto& i : core::kItemNames) {
    EXPECT_TRUE(items.insert(i.value).second) << i.name;
    EXPECT_NE(core::item_value_type(static_cast<uint8_t>(i.value)), core::ValueType::kNone) << i.name;
  }
  for (int code : {0, 78, 103, 111, 155, 0x80, 0x82, 0x83}) {
    EXPECT_EQ(core::item_value_type(static_cast<uint8_t>(code)), core::ValueType::kNone) << code;
  }
  EXPECT_EQ(core::item_value_type(74), core::ValueType::kInt32);    // TORQUE_SENS_RAW
  EXPECT_EQ(core::item_value_type(99), core::ValueType::kUint32);   // ERROR_BITS
  EXPECT_EQ(core::item_value_type(144), core::ValueType::kUint32);  // DEBUG_SIGNAL_BOOL
  EXPECT_EQ(core::item_value_type(69), core::ValueType::kFloat32);  // SPEED_FB

  EXPECT_EQ(core::parameter_value_type(0x30), core::ValueType::kMode);
  for (int code : {0x80, 0x82, 0x83, 0x84}) EXPECT_EQ(core::parameter_value_type(code), core::ValueType::kUint32);
  EXPECT_EQ(core::parameter_value_type(0x81), core::ValueType::kFloat32);  // the address is a float
  EXPECT_EQ(core::parameter_value_type(0), core::ValueType::kNone);
  EXPECT_EQ(core::parameter_value_type(0x10), core::ValueType::kNone);
}

TEST(Float32, PackingMatchesTheLittleEndianFormat) {
  float f = 0;
  ASSERT_TRUE(core::to_float32(kNaN, &f));
  core::Payload p;
  p.push_f32(f);
  EXPECT_EQ(hex(p), "0000C07F");  // the quiet NaN
  ASSERT_TRUE(core::to_float32(std::numeric_limits<double>::infinity(), &f));
  EXPECT_TRUE(std::isinf(f));
  // The largest float survives, a double beyond it is an overflow.
  EXPECT_TRUE(core::to_float32(std::numeric_limits<float>::max(), &f));
  EXPECT_FALSE(core::to_float32(1e39, &f));
  EXPECT_FALSE(core::to_float32(-1e39, &f));
  // Rounds to nearest: 0.1 becomes the float nearest to it.
  ASSERT_TRUE(core::to_float32(0.1, &f));
  EXPECT_EQ(f, 0.1f);
}

TEST(Numbers, CommandValuesAreFiniteFloat32OrNaN) {
  float f = 0;
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_FALSE(core::to_command_float32(inf, &f));
  EXPECT_FALSE(core::to_command_float32(-inf, &f));
  EXPECT_FALSE(core::to_command_float32(1e39, &f));
  EXPECT_FALSE(core::to_command_float32(-3.5e38, &f));
  // The largest float and a double that rounds down to it are still values.
  EXPECT_TRUE(core::to_command_float32(std::numeric_limits<float>::max(), &f));
  EXPECT_TRUE(core::to_command_float32(3.4028235e38, &f));
  EXPECT_EQ(f, std::numeric_limits<float>::max());
  EXPECT_TRUE(core::to_command_float32(std::ldexp(1.0, 70), &f));  // large, but a float
  ASSERT_TRUE(core::to_command_float32(kNaN, &f));  // a field left unset
  EXPECT_TRUE(std::isnan(f));
  EXPECT_TRUE(core::to_command_float32(-0.0, &f));
  EXPECT_TRUE(std::signbit(f));
}

TEST(Commands, OneByteAndByteArgument) {
  EXPECT_EQ(hex(core::command(Action::START)), "01");
  EXPECT_EQ(hex(core::command(Action::STOP)), "02");
  EXPECT_EQ(hex(core::command(Action::BLINK)), "41");
  EXPECT_EQ(hex(core::command(Action::RESET_ENCODER_POSITION)), "0A");
  EXPECT_EQ(hex(core::command(Action::ENTER_BOOTLOADER)), "C1");
  EXPECT_EQ(hex(core::command(Action::PING)), "40");
  EXPECT_EQ(hex(core::command(Action::SAVE)), "39");
  EXPECT_EQ(hex(core::command(Action::DEBUG_CLEAR_CONFIG)), "C2");
  EXPECT_EQ(hex(core::command_with_byte(Action::CHANGE_MODE, 5)), "0305");
  EXPECT_EQ(hex(core::command_with_byte(Action::SET_SPEED_PERFORMANCE, 4)), "0E04");
}

TEST(Commands, SetpointGoldenBytes) {
  EXPECT_EQ(hex(setpoint(Action::CHANGE_SETPOINT, {1.5})), "04" "0000C03F");
  EXPECT_EQ(hex(setpoint(Action::CHANGE_SETPOINT_TORQUE, {2.0, kNaN, kNaN, kNaN, kNaN})),
            "11" "00000040" "0000C07F" "0000C07F" "0000C07F" "0000C07F");
  EXPECT_EQ(hex(setpoint(Action::CHANGE_SETPOINT_SPEED, {-1.0, 0.5, kNaN, kNaN, 1.0})),
            "12" "000080BF" "0000003F" "0000C07F" "0000C07F" "0000803F");
  auto position = setpoint(Action::CHANGE_SETPOINT_POSITION_INTERNAL, std::vector<double>(9, 0.0));
  EXPECT_EQ(position.size(), 37u);
  EXPECT_EQ(hex(position).substr(0, 2), "16");
  auto impedance = setpoint(Action::CHANGE_SETPOINT_IMPEDANCE, std::vector<double>(8, 1.0));
  EXPECT_EQ(impedance.size(), 33u);
}

TEST(Commands, CodeListsStopAtThePerRequestLimit) {
  std::vector<uint8_t> items{69, 76, 86, 112, 113, 114, 65, 66, 67, 68, 70};
  EXPECT_EQ(hex(core::code_list_command(Action::SET_FEEDBACK_HIGH_ITEMS, items.data(), 2)), "07454C");
  EXPECT_EQ(core::code_list_command(Action::GET_ITEMS, items.data(), items.size()).size(), 11u);
  EXPECT_EQ(hex(core::code_list_command(Action::GET_ITEMS, items.data(), 0)), "0F");
  EXPECT_EQ(core::code_list_command(Action::GET_PARAMETERS, items.data(), items.size()).size(), 10u);
}

TEST(Commands, FeedbackRate) {
  EXPECT_EQ(hex(core::feedback_rate_command(20)), "06" "14000000");
  EXPECT_EQ(hex(core::feedback_rate_command(0)), "06" "00000000");
  EXPECT_EQ(hex(core::feedback_rate_command(20000)), "06" "204E0000");
}

TEST(Commands, SetParametersInBatchesOfNine) {
  std::vector<core::ParameterWrite> writes;
  for (uint8_t code = 1; code <= 19; ++code) writes.push_back({code, 1.0f});
  EXPECT_TRUE(core::set_parameters_commands(writes.data(), 0).empty());

  auto one = core::set_parameters_commands(writes.data(), 1);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(hex(one[0]), "0B" "01" "0000803F");

  auto eighteen = core::set_parameters_commands(writes.data(), 18);
  ASSERT_EQ(eighteen.size(), 2u);
  EXPECT_EQ(eighteen[0].size(), 46u);
  EXPECT_EQ(eighteen[1].size(), 46u);
  EXPECT_EQ(eighteen[1].data()[1], 10);  // the tenth parameter opens the second batch

  auto nineteen = core::set_parameters_commands(writes.data(), 19);
  ASSERT_EQ(nineteen.size(), 3u);
  EXPECT_EQ(hex(nineteen[2]), "0B" "13" "0000803F");
}

TEST(Payload, RefusesToGrowPastTheAdapterLimit) {
  core::Payload p;
  for (size_t i = 0; i < core::Payload::kCapacity; ++i) ASSERT_TRUE(p.push(1));
  EXPECT_FALSE(p.push(2));
  EXPECT_FALSE(p.push_u32(3));
  EXPECT_EQ(p.size(), 59u);
}

TEST(RateDivider, RoundsHalfToEven) {
  struct Case {
    int64_t hz;
    uint32_t divider;
  };
  for (const Case& c : {Case{1000, 20}, Case{300, 67}, Case{20000, 1}, Case{1, 20000}, Case{0, 0},
                        Case{16000, 1},    // 1.25 -> 1
                        Case{8000, 2},     // 2.5 -> 2 (half to even)
                        Case{5714, 4},     // 3.50017... -> 4
                        Case{1600, 12},    // 12.5 -> 12
                        Case{1142, 18}}) { // 17.513... -> 18
    const auto r = core::feedback_rate_divider(c.hz);
    EXPECT_EQ(r.error, core::RateError::kNone) << c.hz;
    EXPECT_EQ(r.divider, c.divider) << c.hz;
  }
  EXPECT_EQ(core::feedback_rate_divider(-1).error, core::RateError::kNegative);
  EXPECT_EQ(core::feedback_rate_divider(20001).error, core::RateError::kAboveMaximum);
  EXPECT_EQ(core::feedback_rate_divider(INT64_MAX).error, core::RateError::kAboveMaximum);
  EXPECT_EQ(core::feedback_rate_divider(INT64_MIN).error, core::RateError::kNegative);
}

TEST(FirmwareVersion, UnpacksFiveFiveSixBits) {
  EXPECT_EQ(core::firmware_version_text(0x0841), "1.1.1");
  EXPECT_EQ(core::firmware_version_text(0xFFFF), "31.31.63");
  EXPECT_EQ(core::firmware_version_text(0), "0.0.0");
  const auto v = core::unpack_firmware_version(static_cast<uint16_t>((3 << 11) | (14 << 6) | 15));
  EXPECT_EQ(v.major, 3u);
  EXPECT_EQ(v.minor, 14u);
  EXPECT_EQ(v.patch, 15u);
}

TEST(ErrorBits, DescribedBitsInAscendingOrder) {
  std::vector<std::pair<int, std::string>> seen;
  auto collect = [&](uint8_t bit, const char* text) { seen.emplace_back(bit, text); };
  EXPECT_EQ(core::for_each_error(0x80000001u, collect), 2u);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], (std::pair<int, std::string>{0, "Overtemperature"}));
  EXPECT_EQ(seen[1], (std::pair<int, std::string>{31, "External encoder error"}));

  seen.clear();
  // Bits 1, 10, 11, 14, 15 and 18..28 carry no description.
  const uint32_t undescribed = (1u << 1) | (1u << 10) | (1u << 11) | (1u << 14) | (1u << 15) | 0x1FFC0000u;
  EXPECT_EQ(core::for_each_error(undescribed, collect), 0u);
  EXPECT_EQ(core::for_each_error(0xFFFFFFFFu, collect), 16u);
  EXPECT_EQ(core::for_each_error(undescribed | (1u << 17), [](uint8_t, const char*) {}), 1u);
}
