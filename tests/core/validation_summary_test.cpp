#include "core/validation_summary.hpp"

#include <gtest/gtest.h>

namespace core = vez::core;

TEST(ValidationSummary, NoDetails) { EXPECT_EQ(core::summarize_validation_details({}, "lib.yaml:x"), "Invalid lib.yaml:x"); }

TEST(ValidationSummary, UpToFiveDetailsAreJoined) {
  EXPECT_EQ(core::summarize_validation_details({"a: bad"}, "s"), "a: bad");
  EXPECT_EQ(core::summarize_validation_details({"a: 1", "b: 2", "c: 3", "d: 4", "e: 5"}, "s"),
            "a: 1; b: 2; c: 3; d: 4; e: 5");
}

TEST(ValidationSummary, MoreThanFiveAreCounted) {
  EXPECT_EQ(core::summarize_validation_details({"a: 1", "b: 2", "c: 3", "d: 4", "e: 5", "f: 6", "g: 7"}, "s"),
            "a: 1; b: 2; c: 3; d: 4; e: 5; ... (+2 more)");
}
