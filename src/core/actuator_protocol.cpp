#include "actuator_protocol.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "feedback_schedule.hpp"

namespace vez::core {

namespace {

// 256-entry lookup tables built once from the X-macro lists.
struct TypeTable {
  std::array<ValueType, 256> types{};
};

TypeTable make_item_types() {
  TypeTable t;
  t.types.fill(ValueType::kNone);
#define VEZ_X_SET(name, value, type) t.types[value] = ValueType::type;
  VEZ_ITEMS(VEZ_X_SET)
#undef VEZ_X_SET
  return t;
}

TypeTable make_parameter_types() {
  TypeTable t;
  t.types.fill(ValueType::kNone);
#define VEZ_X_SET(name, value, type) t.types[value] = ValueType::type;
  VEZ_PARAMETERS(VEZ_X_SET)
#undef VEZ_X_SET
  return t;
}

const TypeTable kItemTypes = make_item_types();
const TypeTable kParameterTypes = make_parameter_types();

}  // namespace

ValueType item_value_type(uint8_t code) { return kItemTypes.types[code]; }

ValueType parameter_value_type(uint8_t code) { return kParameterTypes.types[code]; }

bool is_mode_value(int64_t value) {
  for (const NamedCode& m : kModeNames) {
    if (value == static_cast<int64_t>(m.value)) return true;
  }
  return false;
}

bool to_float32(double value, float* out) {
  // IEEE conversion rounds to nearest; a finite double beyond the float range
  // becomes an infinity, which is the overflow the packer refuses.
  const float narrowed = static_cast<float>(value);
  if (std::isinf(narrowed) && !std::isinf(value)) return false;
  *out = narrowed;
  return true;
}

bool to_command_float32(double value, float* out) {
  if (std::isinf(value) || !to_float32(value, out)) return false;
  return true;
}

RateDivider feedback_rate_divider(int64_t rate_hz) {
  if (rate_hz < 0) return {RateError::kNegative, 0};
  if (rate_hz > kFeedbackBaseRateHz) return {RateError::kAboveMaximum, 0};
  if (rate_hz == 0) return {RateError::kNone, 0};
  const double divider = rate_divider(static_cast<double>(kFeedbackBaseRateHz), static_cast<double>(rate_hz));
  return {RateError::kNone, static_cast<uint32_t>(divider)};
}

FirmwareVersion unpack_firmware_version(uint16_t packed) {
  return {static_cast<unsigned>((packed >> 11) & 0x1F), static_cast<unsigned>((packed >> 6) & 0x1F),
          static_cast<unsigned>(packed & 0x3F)};
}

std::string firmware_version_text(uint16_t packed) {
  const FirmwareVersion v = unpack_firmware_version(packed);
  return std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.patch);
}

const std::array<ErrorBit, 16> kErrorBits = {{
    {0, "Overtemperature"},
    {2, "Position reference maximum"},
    {3, "Position reference minimum"},
    {4, "Speed feedback maximum"},
    {5, "VBUS out of range"},
    {6, "Torque reference maximum"},
    {7, "Torque feedback maximum"},
    {8, "Position feedback maximum"},
    {9, "Position feedback minimum"},
    {12, "Control overrun"},
    {13, "Communication overrun"},
    {16, "Current maximum"},
    {17, "Invalid limits"},
    {29, "VBUS critical range"},
    {30, "Internal encoder error"},
    {31, "External encoder error"},
}};

// ---------------------------------------------------------------------------

bool Payload::push(uint8_t byte) {
  if (size_ >= kCapacity) return false;
  bytes_[size_++] = byte;
  return true;
}

bool Payload::push_u32(uint32_t value) {
  if (size_ + 4 > kCapacity) return false;
  for (int shift = 0; shift < 32; shift += 8) bytes_[size_++] = static_cast<uint8_t>(value >> shift);
  return true;
}

bool Payload::push_f32(float value) {
  uint32_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  return push_u32(bits);
}

Payload command(Action action) { return Payload(action); }

Payload command_with_byte(Action action, uint8_t argument) {
  Payload p(action);
  p.push(argument);
  return p;
}

Payload setpoint_command(Action action, const float* values, size_t count) {
  Payload p(action);
  for (size_t i = 0; i < count; ++i) {
    if (!p.push_f32(values[i])) break;
  }
  return p;
}

Payload code_list_command(Action action, const uint8_t* codes, size_t count) {
  const size_t limit = action == Action::GET_PARAMETERS ? static_cast<size_t>(kMaxParametersPerRequest)
                                                        : static_cast<size_t>(kMaxFeedbackItemsPerRequest);
  Payload p(action);
  for (size_t i = 0; i < std::min(count, limit); ++i) p.push(codes[i]);
  return p;
}

Payload feedback_rate_command(uint32_t divider) {
  Payload p(Action::SET_FEEDBACK_HIGH_RATE);
  p.push_u32(divider);
  return p;
}

std::vector<Payload> set_parameters_commands(const ParameterWrite* writes, size_t count) {
  std::vector<Payload> batches;
  for (size_t start = 0; start < count; start += kMaxParametersPerRequest) {
    Payload p(Action::SET_PARAMETERS);
    const size_t end = std::min(count, start + kMaxParametersPerRequest);
    for (size_t i = start; i < end; ++i) {
      p.push(writes[i].code);
      p.push_f32(writes[i].value);
    }
    batches.push_back(p);
  }
  return batches;
}

}  // namespace vez::core
