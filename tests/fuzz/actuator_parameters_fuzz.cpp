// Fuzz target for the parameter answer parser.  Any bytes: only complete
// 5-byte entries are read, the walk ends at the first zero code byte, every
// entry is the bytes at its own offset, and decoding a MODE value never
// yields anything but a Mode value.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "core/actuator_records.hpp"

namespace core = vez::core;

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> answer(data, data + size);  // exact size: ASan sees overreads
  const auto entries = core::parse_parameter_entries(answer.data(), answer.size());
  check(entries.size() <= size / 5);

  for (size_t k = 0; k < entries.size(); ++k) {
    const uint8_t* at = answer.data() + 5 * k;
    check(entries[k].code == at[0] && entries[k].code != 0);
    check(entries[k].raw == core::read_u32_le(at + 1));
    check(entries[k].type == core::parameter_value_type(at[0]));
    const core::DecodedValue v = core::decode_value(entries[k].type, entries[k].raw);
    if (entries[k].type == core::ValueType::kMode) {
      uint8_t mode = 0;
      if (core::mode_from_float(v.as_double, &mode)) {
        check(core::is_mode_value(mode) && std::isfinite(v.as_double) && std::trunc(v.as_double) == mode);
      }
    }
  }
  // Stopped early only at a zero code byte.
  const size_t next = 5 * entries.size();
  if (next + 5 <= size) check(answer[next] == 0);
  return 0;
}
