#include "actuator_records.hpp"

#include <cmath>
#include <cstring>

namespace vez::core {

DecodedValue decode_value(ValueType type, uint32_t raw) {
  DecodedValue v{DecodedValue::Kind::kDouble, 0.0, raw, 0};
  switch (type) {
    case ValueType::kUint32:
      v.kind = DecodedValue::Kind::kUnsigned;
      break;
    case ValueType::kInt32:
      v.kind = DecodedValue::Kind::kSigned;
      std::memcpy(&v.as_signed, &raw, sizeof raw);
      break;
    case ValueType::kFloat32:
    case ValueType::kMode:
    case ValueType::kNone: {
      float f = 0.0f;
      std::memcpy(&f, &raw, sizeof raw);
      v.as_double = static_cast<double>(f);
      break;
    }
  }
  return v;
}

std::vector<ParameterEntry> parse_parameter_entries(const uint8_t* data, size_t size) {
  constexpr size_t kEntrySize = 1 + kRecordValueSize;
  std::vector<ParameterEntry> entries;
  entries.reserve(size / kEntrySize);
  for (size_t idx = 0; idx + kEntrySize <= size; idx += kEntrySize) {
    const uint8_t code = data[idx];
    if (code == 0) break;
    entries.push_back(ParameterEntry{code, parameter_value_type(code), read_u32_le(data + idx + 1)});
  }
  return entries;
}

bool mode_from_float(double value, uint8_t* mode) {
  if (!std::isfinite(value)) return false;
  const double whole = std::trunc(value);
  if (whole < 0.0 || whole > 255.0) return false;
  const int64_t candidate = static_cast<int64_t>(whole);
  if (!is_mode_value(candidate)) return false;
  *mode = static_cast<uint8_t>(candidate);
  return true;
}

}  // namespace vez::core
