#include "float32_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace vez::core {

namespace {

// Rewrites to_chars/printf output into YAML 1.1's float form: "3" -> "3.0",
// "1e-05" -> "1.0e-05", "2.5e+20" stays.
std::string yaml_float_form(const char* text, size_t n) {
  std::string s(text, n);
  const size_t e = s.find_first_of("eE");
  std::string mantissa = s.substr(0, e);
  std::string exponent = e == std::string::npos ? "" : s.substr(e + 1);
  if (mantissa.find('.') == std::string::npos) mantissa += ".0";
  if (exponent.empty()) return mantissa;
  if (exponent[0] != '+' && exponent[0] != '-') exponent.insert(0, "+");
  return mantissa + "e" + exponent;
}

bool reads_back(const std::string& text, float value) {
  const double parsed = std::strtod(text.c_str(), nullptr);
  return float32_bits(static_cast<float>(parsed)) == float32_bits(value);
}

}  // namespace

uint32_t float32_bits(float value) {
  uint32_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

bool same_float32(float a, float b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return float32_bits(a) == float32_bits(b);
}

std::string float32_text(float value) {
  if (std::isnan(value)) return ".nan";
  if (std::isinf(value)) return value > 0 ? ".inf" : "-.inf";
  char buffer[64];
  // Shortest digits that read back as this float when parsed as a float.
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  if (result.ec == std::errc()) {
    std::string text = yaml_float_form(buffer, static_cast<size_t>(result.ptr - buffer));
    // A reader that parses to double first rounds twice; the shortest digits
    // almost always survive that, and the check below makes sure.
    if (reads_back(text, value)) return text;
  }
  // Seventeen significant digits name the double that equals this float
  // exactly, so rounding that double to float gives the float back.
  const int n = std::snprintf(buffer, sizeof buffer, "%.17g", static_cast<double>(value));
  return yaml_float_form(buffer, static_cast<size_t>(n));
}

}  // namespace vez::core
