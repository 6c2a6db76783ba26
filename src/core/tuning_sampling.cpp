#include "core/tuning_sampling.hpp"

#include <cmath>
#include <limits>

namespace vez::core {

namespace {

// Position `u` in [0, 1] along the axis, in its own scale.
double along(const SweepAxis& axis, double u) {
  if (axis.log) return std::exp(std::log(axis.low) + u * (std::log(axis.high) - std::log(axis.low)));
  return axis.low + u * (axis.high - axis.low);
}

}  // namespace

void check_axes(const std::vector<SweepAxis>& axes) {
  for (const SweepAxis& a : axes) {
    if (!std::isfinite(a.low) || !std::isfinite(a.high))
      throw SweepAxisError("axis " + a.name + ": bounds must be finite numbers");
    if (a.low > a.high) throw SweepAxisError("axis " + a.name + ": the low bound is above the high bound");
    if (a.count < 1) throw SweepAxisError("axis " + a.name + ": at least one point is needed");
    if (a.log && !(a.low > 0.0)) throw SweepAxisError("axis " + a.name + ": a log axis needs positive bounds");
  }
}

size_t grid_size(const std::vector<SweepAxis>& axes) {
  size_t total = 1;
  for (const SweepAxis& a : axes) {
    if (a.count != 0 && total > std::numeric_limits<size_t>::max() / a.count) return std::numeric_limits<size_t>::max();
    total *= a.count;
  }
  return total;
}

std::vector<Candidate> grid_candidates(const std::vector<SweepAxis>& axes) {
  check_axes(axes);
  const size_t total = grid_size(axes);
  if (total == std::numeric_limits<size_t>::max()) throw SweepAxisError("grid too large");
  std::vector<Candidate> out;
  out.reserve(total);
  std::vector<size_t> index(axes.size(), 0);
  for (size_t k = 0; k < total; ++k) {
    Candidate c(axes.size());
    for (size_t i = 0; i < axes.size(); ++i) {
      const SweepAxis& a = axes[i];
      if (a.count == 1) {
        c[i] = a.low;
      } else if (index[i] + 1 == a.count) {
        c[i] = a.high;  // exactly the bound, whatever the rounding
      } else {
        c[i] = along(a, static_cast<double>(index[i]) / static_cast<double>(a.count - 1));
      }
    }
    out.push_back(std::move(c));
    for (size_t i = axes.size(); i-- > 0;) {  // odometer, last axis fastest
      if (++index[i] < axes[i].count) break;
      index[i] = 0;
    }
  }
  return out;
}

double SweepRandom::uniform() { return static_cast<double>(engine_() >> 11) * 0x1.0p-53; }

uint64_t SweepRandom::below(uint64_t n) {
  if (n <= 1) return 0;
  // Largest multiple of n that fits; draws above it are redrawn (no modulo bias).
  const uint64_t limit = std::numeric_limits<uint64_t>::max() - std::numeric_limits<uint64_t>::max() % n;
  uint64_t x;
  do {
    x = engine_();
  } while (x >= limit);
  return x % n;
}

std::vector<Candidate> random_candidates(const std::vector<SweepAxis>& axes, size_t samples, uint64_t seed) {
  check_axes(axes);
  SweepRandom rng(seed);
  std::vector<Candidate> out(samples, Candidate(axes.size()));
  for (size_t k = 0; k < samples; ++k)
    for (size_t i = 0; i < axes.size(); ++i) out[k][i] = along(axes[i], rng.uniform());
  return out;
}

std::vector<Candidate> latin_hypercube_candidates(const std::vector<SweepAxis>& axes, size_t samples, uint64_t seed) {
  check_axes(axes);
  SweepRandom rng(seed);
  std::vector<Candidate> out(samples, Candidate(axes.size()));
  std::vector<size_t> strata(samples);
  for (size_t i = 0; i < axes.size(); ++i) {
    for (size_t k = 0; k < samples; ++k) strata[k] = k;
    for (size_t k = samples; k > 1; --k) std::swap(strata[k - 1], strata[rng.below(k)]);  // Fisher-Yates
    for (size_t k = 0; k < samples; ++k) {
      const double u = (static_cast<double>(strata[k]) + rng.uniform()) / static_cast<double>(samples);
      out[k][i] = along(axes[i], u);
    }
  }
  return out;
}

}  // namespace vez::core
