#include "core/tuning_metrics.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vez::core {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Fractional sample index where the series crosses `level` between samples
// k-1 and k (linear interpolation).
double crossing(const std::vector<double>& p, size_t k, double level) {
  if (k == 0) return 0.0;
  const double a = p[k - 1], b = p[k];
  if (b == a) return static_cast<double>(k);
  return static_cast<double>(k - 1) + std::clamp((level - a) / (b - a), 0.0, 1.0);
}

}  // namespace

std::vector<double> centred_average(const std::vector<double>& x, size_t width) {
  const size_t n = x.size();
  const size_t half = width / 2;  // an even width behaves as width + 1
  if (half == 0 || n < 3) return x;
  // Prefix sums make every window O(1).
  std::vector<double> prefix(n + 1, 0.0);
  for (size_t i = 0; i < n; ++i) prefix[i + 1] = prefix[i] + x[i];
  std::vector<double> out(n);
  for (size_t i = 0; i < n; ++i) {
    const size_t h = std::min({half, i, n - 1 - i});  // symmetric window, shrinking at the ends
    out[i] = (prefix[i + h + 1] - prefix[i - h]) / static_cast<double>(2 * h + 1);
  }
  return out;
}

double noise_sigma(const std::vector<double>& x, size_t from) {
  if (x.size() < from + 3) return 0.0;
  double sum = 0.0, sum2 = 0.0;
  const size_t n = x.size() - from - 1;
  for (size_t i = from; i + 1 < x.size(); ++i) {
    const double d = x[i + 1] - x[i];
    sum += d;
    sum2 += d * d;
  }
  const double mean = sum / static_cast<double>(n);
  return std::sqrt(std::max(0.0, sum2 / static_cast<double>(n) - mean * mean) / 2.0);
}

ResponseMetrics response_metrics(const std::vector<double>& output, const std::vector<double>& reference,
                                 const ResponseSpec& spec) {
  ResponseMetrics m{kNaN, kNaN, kNaN, kNaN, kNaN};
  const size_t n = output.size();
  if (n == 0 || reference.size() != n || spec.start >= n || !(spec.dt > 0.0)) return m;
  for (size_t i = 0; i < n; ++i)
    if (!std::isfinite(output[i]) || !std::isfinite(reference[i])) return m;

  const std::vector<double> y = centred_average(output, spec.smooth_samples);

  // Steady state: the mean of the raw output over the tail (averaging is the
  // noise filter here, no smoothing needed).
  const size_t tail = std::clamp<size_t>(static_cast<size_t>(std::llround(spec.tail_fraction * n)), 1, n - spec.start);
  double sum = 0.0;
  for (size_t i = n - tail; i < n; ++i) sum += output[i];
  m.steady_state_error = spec.target - sum / static_cast<double>(tail);

  double iae = 0.0;
  for (size_t i = spec.start; i < n; ++i) iae += std::fabs(reference[i] - y[i]);
  m.iae = iae * spec.dt;

  const double move = spec.target - spec.initial;
  if (!(std::fabs(move) > 0.0) || !std::isfinite(move)) return m;

  // Progress of the move: 0 where it began, 1 on the target.
  std::vector<double> p(n);
  for (size_t i = 0; i < n; ++i) p[i] = (y[i] - spec.initial) / move;

  size_t k10 = n, k90 = n;
  for (size_t i = spec.start; i < n; ++i) {
    if (k10 == n && p[i] >= 0.1) k10 = i;
    if (k10 != n && p[i] >= 0.9) {
      k90 = i;
      break;
    }
  }
  if (k90 < n) m.rise_time = (crossing(p, k90, 0.9) - crossing(p, k10, 0.1)) * spec.dt;

  double peak = -std::numeric_limits<double>::infinity();
  for (size_t i = spec.start; i < n; ++i) peak = std::max(peak, p[i]);
  m.overshoot = std::max(0.0, peak - 1.0) * 100.0;

  // Settled from the sample after the last one outside the band on, judged
  // on an average wide enough that three standard deviations of the
  // remaining noise take at most half the band.
  const double sigma = noise_sigma(output, n - tail) / std::fabs(move);
  const double needed = std::ceil(std::pow(6.0 * sigma / spec.settle_band, 2.0));
  const size_t width = static_cast<size_t>(std::clamp(needed, static_cast<double>(spec.smooth_samples),
                                                      static_cast<double>(std::max(spec.smooth_samples,
                                                                                   spec.max_settle_smooth_samples))));
  std::vector<double> q = p;
  if (width > spec.smooth_samples) {
    q = centred_average(output, width);
    for (size_t i = 0; i < n; ++i) q[i] = (q[i] - spec.initial) / move;
  }
  // The last half window has a shrinking average: as noisy as the raw
  // samples, so it is not judged (the tail's mean speaks for it).
  const size_t judged = std::max(spec.start + 1, n - std::min(n - 1, width / 2));
  size_t last_out = n;
  for (size_t i = judged; i-- > spec.start;) {
    if (std::fabs(q[i] - 1.0) > spec.settle_band) {
      last_out = i;
      break;
    }
  }
  if (last_out == n) {
    m.settling_time = 0.0;
  } else if (last_out + 1 < judged) {
    const double level = q[last_out] > 1.0 ? 1.0 + spec.settle_band : 1.0 - spec.settle_band;
    m.settling_time = (crossing(q, last_out + 1, level) - static_cast<double>(spec.start)) * spec.dt;
  }  // else: still outside the band at the end, NaN
  return m;
}

void DriveTally::add(double current, double torque, double bus_power, uint32_t limit_flags) {
  if (!std::isfinite(current) || !std::isfinite(torque) || !std::isfinite(bus_power)) {
    finite_ = false;
    return;
  }
  peak_current_ = std::max(peak_current_, std::fabs(current));
  peak_torque_ = std::max(peak_torque_, std::fabs(torque));
  energy_ += bus_power * dt_;
  if (limit_flags != 0) ++limit_ticks_;
  const uint32_t rising = limit_flags & ~previous_flags_;
  for (uint32_t bits = rising; bits != 0; bits &= bits - 1) ++limit_hits_;
  previous_flags_ = limit_flags;
}

}  // namespace vez::core
