// Fuzz target for the two texts read when sweeping temporary folders: the
// owner marker inside a folder (anyone may write one) and a /proc stat line.
// A marker that parses must be exactly what the writer produces for that
// owner (one trailing newline optional); a stat line's start time must be
// the 20th field after the last ')'.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/folder_owner.hpp"

namespace core = vez::core;

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  if (const auto owner = core::parse_owner_marker(text)) {
    const std::string written = core::owner_marker_text(*owner);
    check(written == text || written == text + "\n");
    check(owner->pid > 0);
  }

  if (const auto start = core::start_ticks_from_stat(text)) {
    const size_t close = text.rfind(')');
    check(close != std::string::npos);
    std::vector<std::string> fields;
    std::string rest = text.substr(close + 1);
    size_t at = 0;
    while (at < rest.size() && fields.size() < 21) {
      check(rest[at] == ' ');
      const size_t end = rest.find(' ', at + 1);
      fields.push_back(rest.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1));
      if (end == std::string::npos) break;
      at = end;
    }
    check(fields.size() >= 20);
    const std::string& field = fields[19];
    unsigned __int128 value = 0;
    size_t digits = 0;
    while (digits < field.size() && field[digits] >= '0' && field[digits] <= '9') {
      value = value * 10 + static_cast<unsigned>(field[digits] - '0');
      check(value <= UINT64_MAX);
      ++digits;
    }
    check(digits > 0 && value == *start);
  }
  return 0;
}
