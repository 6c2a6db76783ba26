#include "core/twin_steps.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace core = vez::core;

TEST(TwinSteps, DefaultStepIsTwentyKilohertz) {
  EXPECT_EQ(core::kTwinDefaultTimeStepS, 5e-05);
  EXPECT_EQ(core::step_count_for(core::kTwinWarmupS, core::kTwinDefaultTimeStepS), 20000.0);
  EXPECT_EQ(core::step_count_for(1.0, 0.001), 1000.0);
}

TEST(TwinSteps, HalvesRoundToEven) {
  EXPECT_EQ(core::step_count_for(1.0, 0.4), 2.0);  // 2.5
  EXPECT_EQ(core::round_half_even(2.5), 2.0);
  EXPECT_EQ(core::round_half_even(3.5), 4.0);
  EXPECT_EQ(core::round_half_even(-2.5), -2.0);
  EXPECT_EQ(core::round_half_even(-3.5), -4.0);
  EXPECT_EQ(core::round_half_even(0.5), 0.0);
  EXPECT_EQ(core::round_half_even(2.4999999999999996), 2.0);
  EXPECT_EQ(core::round_half_even(4503599627370497.0), 4503599627370497.0);  // beyond 2^52: already whole
}

TEST(TwinSteps, AtLeastOneStep) {
  EXPECT_EQ(core::step_count_for(1.0, 3.0), 1.0);  // 0.33 rounds to 0
  EXPECT_EQ(core::step_count_for(-5.0, 0.1), 1.0);
  EXPECT_EQ(core::step_count_for(1.0, std::numeric_limits<double>::infinity()), 1.0);
}

TEST(TwinSteps, UnusableStepsAndUnrepresentableCounts) {
  EXPECT_FALSE(core::is_usable_time_step(0.0));
  EXPECT_FALSE(core::is_usable_time_step(-0.0));
  EXPECT_FALSE(core::is_usable_time_step(-0.001));
  EXPECT_TRUE(core::is_usable_time_step(1e-300));
  EXPECT_TRUE(core::is_usable_time_step(std::nan("")));  // compares false, as in Python
  EXPECT_TRUE(std::isnan(core::step_count_for(1.0, std::nan(""))));
  EXPECT_TRUE(std::isinf(core::step_count_for(1.0, 1e-320)));
}
