#include "core/float32_text.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <regex>

namespace core = vez::core;

namespace {

float from_bits(uint32_t bits) {
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

// The implicit resolver YAML 1.1 readers use for floats (without the
// sexagesimal form): text that does not match it is read as a string.
const std::regex kYamlFloat(R"(^[-+]?([0-9][0-9_]*)?\.[0-9_]*([eE][-+][0-9]+)?$|^[-+]?\.(inf|Inf|INF)$|^\.(nan|NaN|NAN)$)");

void expect_round_trip(float value) {
  const std::string text = core::float32_text(value);
  ASSERT_TRUE(std::regex_match(text, kYamlFloat)) << text;
  if (std::isnan(value)) return;
  // As a YAML reader in Python does it: to double first, then to float.
  const float back = static_cast<float>(std::strtod(text.c_str(), nullptr));
  EXPECT_EQ(core::float32_bits(back), core::float32_bits(value)) << text;
}

}  // namespace

TEST(Float32Text, ShortestDigitsInYamlFloatForm) {
  EXPECT_EQ(core::float32_text(0.1f), "0.1");
  EXPECT_EQ(core::float32_text(3.0f), "3.0");
  EXPECT_EQ(core::float32_text(-0.0f), "-0.0");
  EXPECT_EQ(core::float32_text(1e-5f), "1.0e-05");
  EXPECT_EQ(core::float32_text(2.5e20f), "2.5e+20");
  EXPECT_EQ(core::float32_text(0.39830368757247925f), "0.3983037");
  EXPECT_EQ(core::float32_text(123456789.0f), "123456792.0");
  EXPECT_EQ(core::float32_text(std::numeric_limits<float>::max()), "3.4028235e+38");
  EXPECT_EQ(core::float32_text(std::numeric_limits<float>::denorm_min()), "1.0e-45");
}

TEST(Float32Text, NonFiniteValues) {
  EXPECT_EQ(core::float32_text(std::numeric_limits<float>::quiet_NaN()), ".nan");
  EXPECT_EQ(core::float32_text(from_bits(0xFFC00001u)), ".nan");  // any payload, any sign
  EXPECT_EQ(core::float32_text(std::numeric_limits<float>::infinity()), ".inf");
  EXPECT_EQ(core::float32_text(-std::numeric_limits<float>::infinity()), "-.inf");
}

TEST(Float32Text, EveryKindOfValueReadsBackBitForBit) {
  // Every exponent with a spread of mantissas, both signs, and the edges of
  // the subnormal range.
  for (uint32_t exponent = 0; exponent < 255; ++exponent)
    for (uint32_t mantissa : {0u, 1u, 2u, 0x2AAAAAu, 0x400000u, 0x555555u, 0x7FFFFEu, 0x7FFFFFu})
      for (uint32_t sign : {0u, 0x80000000u}) expect_round_trip(from_bits(sign | (exponent << 23) | mantissa));
  std::mt19937 random(12345);
  for (int i = 0; i < 200000; ++i) expect_round_trip(from_bits(random() & 0x7F7FFFFFu));
}

TEST(Float32Text, SameValueComparesBitsAndTreatsNaNsAlike) {
  EXPECT_TRUE(core::same_float32(0.5f, 0.5f));
  EXPECT_FALSE(core::same_float32(0.0f, -0.0f));
  EXPECT_TRUE(core::same_float32(std::numeric_limits<float>::quiet_NaN(), from_bits(0x7F800001u)));
  EXPECT_FALSE(core::same_float32(std::numeric_limits<float>::quiet_NaN(), 0.0f));
  EXPECT_FALSE(core::same_float32(1.0f, std::nextafter(1.0f, 2.0f)));
}
