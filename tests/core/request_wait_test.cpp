// The pieces of a waiting request that need no Python: the wake-up signal,
// which answer answers which request, and the plan of a pipelined scan.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <thread>
#include <vector>

#include "core/bus_scan.hpp"
#include "core/request_match.hpp"
#include "core/wake_signal.hpp"

namespace core = vez::core;

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

std::vector<core::AddressWindow> windows(int64_t begin, int64_t end, int64_t size) {
  std::vector<core::AddressWindow> out;
  core::AddressWindows plan(begin, end, size);
  core::AddressWindow w;
  while (plan.next(&w)) {
    out.push_back(w);
    if (out.size() > 100000) break;  // a plan that never ends fails below
  }
  return out;
}

}  // namespace

TEST(WakeSignal, AnEventBeforeTheWaitEndsItAtOnce) {
  core::WakeSignal s;
  const uint64_t seen = s.events();
  s.notify();
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(s.wait(seen, 5.0));
  EXPECT_LT(seconds_since(t0), 1.0);
  EXPECT_EQ(s.events(), seen + 1);
}

TEST(WakeSignal, WithoutAnEventTheWaitRunsOut) {
  core::WakeSignal s;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(s.wait(s.events(), 0.02));
  EXPECT_GE(seconds_since(t0), 0.019);
  // No time, or no number: no wait.
  EXPECT_FALSE(s.wait(s.events(), 0.0));
  EXPECT_FALSE(s.wait(s.events(), -1.0));
  EXPECT_FALSE(s.wait(s.events(), std::nan("")));
}

TEST(WakeSignal, AnEventFromAnotherThreadWakesEveryWaiter) {
  core::WakeSignal s;
  const uint64_t seen = s.events();
  std::vector<std::thread> waiters;
  std::vector<int> woke(4, 0);
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back([&, i] { woke[i] = s.wait(seen, 10.0) ? 1 : 0; });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const auto t0 = std::chrono::steady_clock::now();
  s.notify();
  for (auto& t : waiters) t.join();
  EXPECT_LT(seconds_since(t0), 5.0);
  EXPECT_EQ(woke, std::vector<int>(4, 1));
}

TEST(RequestMatch, AnAnswerMustCarryExactlyTheRequestedCodes) {
  const uint8_t asked[] = {112, 69};
  const core::CodeSet requested = core::code_set(asked, 2);
  const uint8_t same[] = {69, 112};
  const uint8_t fewer[] = {112};
  const uint8_t more[] = {69, 112, 113};
  const uint8_t other[] = {113, 99};
  EXPECT_TRUE(core::answers_request(requested, core::code_set(same, 2)));
  EXPECT_FALSE(core::answers_request(requested, core::code_set(fewer, 1)));
  EXPECT_FALSE(core::answers_request(requested, core::code_set(more, 3)));
  EXPECT_FALSE(core::answers_request(requested, core::code_set(other, 2)));
  EXPECT_FALSE(core::answers_request(requested, core::CodeSet()));
}

TEST(RequestMatch, RepeatsCountOnceAndAnEmptyRequestTakesAnyAnswer) {
  const uint8_t repeated[] = {70, 70, 70};
  const uint8_t once[] = {70};
  EXPECT_TRUE(core::answers_request(core::code_set(repeated, 3), core::code_set(once, 1)));
  EXPECT_TRUE(core::answers_request(core::CodeSet(), core::code_set(once, 1)));
  EXPECT_FALSE(core::answers_request(core::CodeSet(), core::CodeSet()));
  const uint8_t extremes[] = {0, 255};
  EXPECT_TRUE(core::answers_request(core::code_set(extremes, 2), core::code_set(extremes, 2)));
}

TEST(BusScan, WindowsCoverTheRangeInOrder) {
  const auto w = windows(0x10, 0xFF, core::kScanWindow);
  ASSERT_EQ(w.size(), 8u);
  EXPECT_EQ(w.front().first, 0x10);
  EXPECT_EQ(w.front().last, 0x2F);
  for (size_t i = 1; i < w.size(); ++i) EXPECT_EQ(w[i].first, w[i - 1].last + 1);
  EXPECT_EQ(w.back().last, 0xFF);
  EXPECT_EQ(windows(1, 0x3FFE, core::kScanWindow).size(), 512u);
}

TEST(BusScan, ShortRangesAndTheLastPartialWindow) {
  const auto one = windows(16, 16, 32);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].size(), 1u);
  EXPECT_TRUE(windows(17, 16, 32).empty());
  const auto partial = windows(0, 40, 32);
  ASSERT_EQ(partial.size(), 2u);
  EXPECT_EQ(partial[1].first, 32);
  EXPECT_EQ(partial[1].last, 40);
  EXPECT_EQ(partial[1].size(), 9u);
  const auto exact = windows(0, 63, 32);
  ASSERT_EQ(exact.size(), 2u);
  EXPECT_EQ(exact[1].last, 63);
  EXPECT_EQ(windows(5, 9, 0).size(), 5u);  // a window holds at least one address
}

TEST(BusScan, TheEndsOfTheIntegerRangeDoNotOverflow) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  const auto top = windows(kMax - 40, kMax, 32);
  ASSERT_EQ(top.size(), 2u);
  EXPECT_EQ(top[1].last, kMax);
  EXPECT_EQ(top[1].size(), 9u);
  const auto bottom = windows(kMin, kMin + 2, 32);
  ASSERT_EQ(bottom.size(), 1u);
  EXPECT_EQ(bottom[0].size(), 3u);
  core::AddressWindows whole(kMin, kMax, kMax);
  core::AddressWindow w;
  ASSERT_TRUE(whole.next(&w));
  EXPECT_EQ(w.first, kMin);
  EXPECT_EQ(w.last, -2);
}

TEST(BusScan, TheProbeUnderWayIsTheFirstStillWaiting) {
  const bool answered[] = {true, false, true, false};
  const double deadlines[] = {1.0, 1.05, 1.06, 1.07};
  // Mid-window: the second probe has not answered and has time left.
  EXPECT_EQ(core::probe_under_way(answered, deadlines, 4, 1.01), 1u);
  // Its deadline passed: the fourth is the one under way.
  EXPECT_EQ(core::probe_under_way(answered, deadlines, 4, 1.055), 3u);
  // Everything is over.
  EXPECT_EQ(core::probe_under_way(answered, deadlines, 4, 2.0), 4u);
  EXPECT_EQ(core::probe_under_way(answered, deadlines, 0, 0.0), 0u);
}
