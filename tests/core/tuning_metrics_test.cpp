#include "core/tuning_metrics.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace core = vez::core;

namespace {

constexpr double kDt = 1e-4;

// Unit step at sample `start`; `f(t)` the response t seconds after it.
template <class F>
std::vector<double> response(size_t n, size_t start, F f) {
  std::vector<double> y(n, 0.0);
  for (size_t i = start; i < n; ++i) y[i] = f(static_cast<double>(i - start) * kDt);
  return y;
}

std::vector<double> step_reference(size_t n, size_t start, double target) {
  std::vector<double> r(n, 0.0);
  for (size_t i = start; i < n; ++i) r[i] = target;
  return r;
}

core::ResponseSpec unit_step(size_t start) {
  core::ResponseSpec s;
  s.dt = kDt;
  s.start = start;
  s.initial = 0.0;
  s.target = 1.0;
  return s;
}

// Under-damped second-order system, unit step, natural frequency wn.
double second_order(double t, double zeta, double wn) {
  const double wd = wn * std::sqrt(1 - zeta * zeta);
  const double phi = std::acos(zeta);
  return 1 - std::exp(-zeta * wn * t) / std::sqrt(1 - zeta * zeta) * std::sin(wd * t + phi);
}

}  // namespace

TEST(TuningMetrics, FirstOrderStepMatchesTheAnalyticFigures) {
  const double tau = 0.05;
  const size_t n = 10000, start = 500;  // 1 s, step at 50 ms
  auto y = response(n, start, [&](double t) { return 1 - std::exp(-t / tau); });
  const core::ResponseMetrics m = core::response_metrics(y, step_reference(n, start, 1.0), unit_step(start));
  EXPECT_NEAR(m.rise_time, tau * std::log(9.0), 2 * kDt);       // 10 % .. 90 %
  EXPECT_NEAR(m.settling_time, tau * std::log(50.0), 2 * kDt);  // within 2 %
  EXPECT_EQ(m.overshoot, 0.0);
  EXPECT_NEAR(m.steady_state_error, 0.0, 1e-6);
  EXPECT_NEAR(m.iae, tau, 1e-3);  // integral of exp(-t/tau)
}

TEST(TuningMetrics, SecondOrderStepMatchesTheAnalyticOvershootAndSettling) {
  const double zeta = 0.3, wn = 40.0;
  const size_t n = 20000, start = 0;
  auto y = response(n, start, [&](double t) { return second_order(t, zeta, wn); });
  const core::ResponseMetrics m = core::response_metrics(y, step_reference(n, start, 1.0), unit_step(start));
  const double overshoot = 100.0 * std::exp(-zeta * M_PI / std::sqrt(1 - zeta * zeta));
  EXPECT_NEAR(m.overshoot, overshoot, 0.05);  // 37.2 %
  // Settling: the envelope exp(-zeta wn t)/sqrt(1-zeta^2) reaches 2 % near 4/(zeta wn);
  // the last excursion lies a little before the envelope's crossing.
  const double envelope = -std::log(0.02 * std::sqrt(1 - zeta * zeta)) / (zeta * wn);
  EXPECT_LE(m.settling_time, envelope + kDt);
  EXPECT_GE(m.settling_time, envelope - M_PI / (wn * std::sqrt(1 - zeta * zeta)));
  // Rise time of the second-order step, found numerically from the formula itself.
  double t10 = 0, t90 = 0;
  for (double t = 0; t90 == 0; t += 1e-7) {
    const double v = second_order(t, zeta, wn);
    if (t10 == 0 && v >= 0.1) t10 = t;
    if (v >= 0.9) t90 = t;
  }
  EXPECT_NEAR(m.rise_time, t90 - t10, 1e-5);
}

TEST(TuningMetrics, NegativeMovesAndOffsetsAreMeasuredTheSameWay) {
  const double tau = 0.02;
  const size_t n = 5000;
  auto y = response(n, 0, [&](double t) { return 3.0 - 2.0 * (1 - std::exp(-t / tau)); });  // 3 -> 1
  core::ResponseSpec s = unit_step(0);
  s.initial = 3.0;
  s.target = 1.0;
  const core::ResponseMetrics m = core::response_metrics(y, step_reference(n, 0, 1.0), s);
  EXPECT_NEAR(m.rise_time, tau * std::log(9.0), 2 * kDt);
  EXPECT_EQ(m.overshoot, 0.0);
  EXPECT_NEAR(m.settling_time, tau * std::log(50.0), 2 * kDt);
}

TEST(TuningMetrics, SteadyStateErrorAndAResponseThatNeverArrives) {
  const size_t n = 5000;
  auto y = response(n, 0, [](double t) { return 0.8 * (1 - std::exp(-t / 0.01)); });  // settles 20 % short
  const core::ResponseMetrics m = core::response_metrics(y, step_reference(n, 0, 1.0), unit_step(0));
  EXPECT_NEAR(m.steady_state_error, 0.2, 1e-6);
  EXPECT_TRUE(std::isnan(m.rise_time));      // never reaches 90 %
  EXPECT_TRUE(std::isnan(m.settling_time));  // still outside the band at the end
  EXPECT_EQ(m.overshoot, 0.0);
}

TEST(TuningMetrics, NoMoveAndBadInputGiveNaNNotGarbage) {
  const size_t n = 100;
  std::vector<double> flat(n, 0.5);
  core::ResponseSpec s = unit_step(0);
  s.initial = s.target = 0.5;
  core::ResponseMetrics m = core::response_metrics(flat, flat, s);
  EXPECT_TRUE(std::isnan(m.rise_time));
  EXPECT_TRUE(std::isnan(m.overshoot));
  EXPECT_EQ(m.steady_state_error, 0.0);
  EXPECT_EQ(m.iae, 0.0);

  std::vector<double> bad(n, 1.0);
  bad[40] = std::nan("");
  m = core::response_metrics(bad, flat, unit_step(0));
  EXPECT_TRUE(std::isnan(m.iae));
  EXPECT_TRUE(std::isnan(m.steady_state_error));
  EXPECT_TRUE(std::isnan(core::response_metrics({}, {}, unit_step(0)).iae));
  EXPECT_TRUE(std::isnan(core::response_metrics(flat, std::vector<double>(3), unit_step(0)).iae));  // lengths differ
  EXPECT_TRUE(std::isnan(core::response_metrics(flat, flat, unit_step(n)).iae));                    // start past the end
}

TEST(TuningMetrics, SensorNoiseDoesNotMoveTheFiguresWithSmoothing) {
  // 0.5 % white noise on a first-order step: without smoothing the noise
  // pokes out of the 2 % band late and crosses 10 % early; a 1 ms centred
  // average keeps the figures where the clean response has them.
  const double tau = 0.05;
  const size_t n = 10000;
  std::mt19937_64 rng(7);
  std::normal_distribution<double> noise(0.0, 0.005);
  auto clean = response(n, 0, [&](double t) { return 1 - std::exp(-t / tau); });
  std::vector<double> noisy = clean;
  for (double& v : noisy) v += noise(rng);
  core::ResponseSpec s = unit_step(0);
  s.smooth_samples = 21;
  const auto ref = step_reference(n, 0, 1.0);
  const core::ResponseMetrics m = core::response_metrics(noisy, ref, s);
  EXPECT_NEAR(m.rise_time, tau * std::log(9.0), 1e-3);
  EXPECT_NEAR(m.settling_time, tau * std::log(50.0), 5e-3);
  EXPECT_LT(m.overshoot, 0.5);
  EXPECT_NEAR(m.steady_state_error, 0.0, 1e-3);
}

TEST(TuningMetrics, SettlingSeesThroughNoiseWiderThanTheBand) {
  // Noise of 5 % of the move (a noisy speed measurement): a 1-ms average
  // leaves it outside the 2 % band for good; the settling test measures the
  // noise on the tail and averages enough of it away.
  const double tau = 0.02;
  const size_t n = 10000;
  std::mt19937_64 rng(3);
  std::normal_distribution<double> noise(0.0, 0.05);
  auto y = response(n, 0, [&](double t) { return 1 - std::exp(-t / tau); });
  for (double& v : y) v += noise(rng);
  core::ResponseSpec s = unit_step(0);
  s.smooth_samples = 11;
  const auto ref = step_reference(n, 0, 1.0);
  EXPECT_GT(core::response_metrics(y, ref, s).settling_time, 0.5);  // noise pokes out until the end
  s.max_settle_smooth_samples = 400;
  const core::ResponseMetrics m = core::response_metrics(y, ref, s);
  EXPECT_NEAR(m.settling_time, tau * std::log(50.0), 0.01);
  EXPECT_NEAR(core::noise_sigma(y, 5000), 0.05, 0.005);
  EXPECT_EQ(core::noise_sigma(std::vector<double>{1, 2, 3, 4, 5}, 0), 0.0);  // a ramp is no noise
}

TEST(TuningMetrics, CentredAverageKeepsLinesAndShrinksAtTheEnds) {
  std::vector<double> line{0, 1, 2, 3, 4, 5, 6};
  EXPECT_EQ(core::centred_average(line, 5), line);
  EXPECT_EQ(core::centred_average(line, 1), line);
  std::vector<double> spike{0, 0, 0, 3, 0, 0, 0};
  const auto s = core::centred_average(spike, 3);
  EXPECT_DOUBLE_EQ(s[3], 1.0);
  EXPECT_DOUBLE_EQ(s[2], 1.0);
  EXPECT_DOUBLE_EQ(s[0], 0.0);  // the end sample is its own window
}

TEST(TuningMetrics, DriveTallyPeaksEnergyAndLimitHits) {
  core::DriveTally tally(0.5);
  tally.add(-3.0, 1.0, 10.0, 0);
  tally.add(2.0, -4.0, -2.0, 0b01);   // limit 0 starts
  tally.add(1.0, 0.0, 0.0, 0b11);     // limit 0 goes on, limit 1 starts
  tally.add(1.0, 0.0, 0.0, 0b00);
  tally.add(1.0, 0.0, 0.0, 0b01);     // limit 0 again
  EXPECT_EQ(tally.peak_current(), 3.0);
  EXPECT_EQ(tally.peak_torque(), 4.0);
  EXPECT_DOUBLE_EQ(tally.energy(), 4.0);  // (10 - 2) * 0.5
  EXPECT_EQ(tally.limit_hits(), 3u);
  EXPECT_EQ(tally.limit_ticks(), 3u);
  EXPECT_TRUE(tally.finite());
  tally.add(std::nan(""), 0.0, 0.0, 0);
  EXPECT_FALSE(tally.finite());
  EXPECT_EQ(tally.peak_current(), 3.0);  // the bad sample changed nothing else
}
