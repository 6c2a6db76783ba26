#include "core/tuning_sampling.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>

namespace core = vez::core;

namespace {

std::vector<core::SweepAxis> two_axes() { return {{"KP_POSITION", 10.0, 30.0, 3, false}, {"KP_SPEED", 1.0, 2.0, 2, false}}; }

}  // namespace

TEST(TuningSampling, GridIsEveryCombinationLastAxisFastest) {
  const auto c = core::grid_candidates(two_axes());
  ASSERT_EQ(c.size(), 6u);
  const std::vector<core::Candidate> expected{{10, 1}, {10, 2}, {20, 1}, {20, 2}, {30, 1}, {30, 2}};
  EXPECT_EQ(c, expected);
  EXPECT_EQ(core::grid_size(two_axes()), 6u);
}

TEST(TuningSampling, GridEdgesSinglePointsAndLogAxes) {
  EXPECT_EQ(core::grid_candidates({{"A", 5.0, 9.0, 1, false}}), (std::vector<core::Candidate>{{5.0}}));
  const auto log = core::grid_candidates({{"A", 1.0, 1000.0, 4, true}});
  ASSERT_EQ(log.size(), 4u);
  EXPECT_NEAR(log[1][0], 10.0, 1e-9);
  EXPECT_NEAR(log[2][0], 100.0, 1e-9);
  EXPECT_EQ(log[3][0], 1000.0);  // the bound itself, not 999.9999
  const auto odd = core::grid_candidates({{"A", 0.1, 0.7, 7, false}});
  EXPECT_EQ(odd.back()[0], 0.7);
  EXPECT_EQ(core::grid_candidates({}).size(), 1u);  // no axis: the one empty candidate
}

TEST(TuningSampling, BadAxesAreRefusedWithTheirName) {
  EXPECT_THROW(core::grid_candidates({{"A", 2.0, 1.0, 2, false}}), core::SweepAxisError);
  EXPECT_THROW(core::grid_candidates({{"A", 0.0, 1.0, 0, false}}), core::SweepAxisError);
  EXPECT_THROW(core::random_candidates({{"A", std::nan(""), 1.0, 1, false}}, 3, 1), core::SweepAxisError);
  EXPECT_THROW(core::latin_hypercube_candidates({{"A", 0.0, 1.0, 1, true}}, 3, 1), core::SweepAxisError);
  try {
    core::check_axes({{"KP_SPEED", 3.0, 1.0, 1, false}});
    FAIL();
  } catch (const core::SweepAxisError& e) {
    EXPECT_NE(std::string(e.what()).find("KP_SPEED"), std::string::npos);
  }
  EXPECT_EQ(core::grid_size({{"A", 0, 1, size_t(1) << 40, false}, {"B", 0, 1, size_t(1) << 40, false}}), SIZE_MAX);
}

TEST(TuningSampling, SameSeedSameSamplesOtherSeedOtherSamples) {
  const auto a = core::random_candidates(two_axes(), 50, 42);
  EXPECT_EQ(a, core::random_candidates(two_axes(), 50, 42));
  EXPECT_NE(a, core::random_candidates(two_axes(), 50, 43));
  const auto l = core::latin_hypercube_candidates(two_axes(), 50, 42);
  EXPECT_EQ(l, core::latin_hypercube_candidates(two_axes(), 50, 42));
  EXPECT_NE(l, core::latin_hypercube_candidates(two_axes(), 50, 43));
  for (const auto& c : a) {
    EXPECT_GE(c[0], 10.0);
    EXPECT_LT(c[0], 30.0);
    EXPECT_GE(c[1], 1.0);
    EXPECT_LT(c[1], 2.0);
  }
}

TEST(TuningSampling, GeneratorIsPinnedBitForBit) {
  // The Mersenne Twister's 10000th output for the default seed is fixed by
  // the C++ standard; our mapping on top of it is fixed here.
  std::mt19937_64 reference;
  reference.discard(9999);
  EXPECT_EQ(reference(), 9981545732273789042ull);
  core::SweepRandom rng(5489u);
  const double first = rng.uniform();
  std::mt19937_64 raw(5489u);
  EXPECT_EQ(first, static_cast<double>(raw() >> 11) * 0x1.0p-53);
  core::SweepRandom small(1);
  for (int i = 0; i < 1000; ++i) EXPECT_LT(small.below(3), 3u);
  EXPECT_EQ(small.below(1), 0u);
}

TEST(TuningSampling, LatinHypercubePutsOnePointInEveryStratum) {
  const size_t n = 64;
  const std::vector<core::SweepAxis> axes{{"A", 0.0, 64.0, 1, false}, {"B", -1.0, 1.0, 1, false}, {"C", 1.0, 1e4, 1, true}};
  const auto c = core::latin_hypercube_candidates(axes, n, 9);
  ASSERT_EQ(c.size(), n);
  std::set<long> a, b, logc;
  for (const auto& p : c) {
    a.insert(static_cast<long>(std::floor(p[0])));                       // strata of width 1
    b.insert(static_cast<long>(std::floor((p[1] + 1.0) / 2.0 * n)));      // width 2/n
    logc.insert(static_cast<long>(std::floor(std::log10(p[2]) / 4.0 * n)));  // even in log10
  }
  EXPECT_EQ(a.size(), n);
  EXPECT_EQ(b.size(), n);
  EXPECT_EQ(logc.size(), n);
  EXPECT_TRUE(core::latin_hypercube_candidates(axes, 0, 1).empty());
}
