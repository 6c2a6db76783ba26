#include "monitor_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "actuator_protocol.hpp"
#include "float32_text.hpp"

namespace vez::core {

const char* item_unit(uint8_t code) {
  switch (static_cast<Item>(code)) {
    case Item::ENCODER_INT:
    case Item::ENCODER_EXT:
    case Item::POSITION_REF:
    case Item::POSITION_FB:
    case Item::POSITION_FB_INTERNAL: return "rad";
    case Item::SPEED_FB:
    case Item::SPEED_REF: return "rad/s";
    case Item::IA:
    case Item::IB:
    case Item::IC:
    case Item::ID_REF:
    case Item::ID_FB:
    case Item::IQ_REF:
    case Item::IQ_FB:
    case Item::BUS_CURRENT: return "A";
    case Item::TORQUE_SENS:
    case Item::TORQUE_REF:
    case Item::TORQUE_FB: return "N*m";
    case Item::VD_REF:
    case Item::VQ_REF:
    case Item::REFERENCE_A_VOLTAGE:
    case Item::REFERENCE_B_VOLTAGE:
    case Item::REFERENCE_C_VOLTAGE:
    case Item::VBUS: return "V";
    case Item::BUS_POWER:
    case Item::THREE_PHASE_POWER:
    case Item::MECHANICAL_POWER: return "W";
    case Item::TEMP_PCB:
    case Item::TEMP_MOTOR: return "degC";
    default: return "";
  }
}

namespace {

std::string non_finite(double value) {
  if (std::isnan(value)) return "nan";
  return value > 0 ? "inf" : "-inf";
}

std::string integer_text(double value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.0f", value);
  return buffer;
}

}  // namespace

std::string display_number(double value, bool integer) {
  if (!std::isfinite(value)) return non_finite(value);
  if (integer) return integer_text(value);
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.6g", value);
  return buffer;
}

std::string csv_number(double value, bool integer) {
  if (!std::isfinite(value)) return non_finite(value);
  if (integer && std::floor(value) == value) return integer_text(value);
  char buffer[64];
  const float narrowed = static_cast<float>(value);
  const auto result = static_cast<double>(narrowed) == value ? std::to_chars(buffer, buffer + sizeof buffer, narrowed)
                                                             : std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

std::string csv_row(double time_s, const std::vector<std::optional<SampleValue>>& values) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.6f", time_s);
  std::string row = buffer;
  for (const auto& v : values) {
    row += ',';
    if (v) row += csv_number(v->value, v->integer);
  }
  row += '\n';
  return row;
}

uint64_t steps_due(double elapsed_s, double time_step_s, uint64_t steps_done, uint64_t max_steps) {
  if (!(time_step_s > 0) || !(elapsed_s > 0)) return 0;
  const double target = std::floor(elapsed_s / time_step_s);
  if (!(target > static_cast<double>(steps_done))) return 0;
  const double due = target - static_cast<double>(steps_done);
  return due >= static_cast<double>(max_steps) ? max_steps : static_cast<uint64_t>(due);
}

}  // namespace vez::core
