// Candidate sets for gain sweeps: a full grid, seeded uniform random samples
// and Latin-hypercube samples over named axes.  The random generators are
// defined here bit for bit (a 64-bit Mersenne Twister, whose output the C++
// standard fixes, and our own mapping to numbers), so one seed gives the same
// candidates on every platform and compiler.  Pure; any thread.
#pragma once

#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace vez::core {

struct SweepAxis {
  std::string name;
  double low = 0.0;
  double high = 0.0;
  size_t count = 1;   // grid points (ignored by the random samplers)
  bool log = false;   // spaced evenly in log(value); needs 0 < low <= high
};

// A candidate: one value per axis, in the axes' order.
using Candidate = std::vector<double>;

// Raised for axes that cannot be sampled (message names the axis).
class SweepAxisError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// Checks every axis: finite bounds, low <= high, count >= 1, log axes positive.
void check_axes(const std::vector<SweepAxis>& axes);

// Every combination, the last axis varying fastest.  An axis of count 1
// contributes its low value; count n spans low..high inclusive.
std::vector<Candidate> grid_candidates(const std::vector<SweepAxis>& axes);

// Number of grid points, or SIZE_MAX when the product overflows.
size_t grid_size(const std::vector<SweepAxis>& axes);

// `samples` points drawn uniformly (per axis, in that axis' scale).
std::vector<Candidate> random_candidates(const std::vector<SweepAxis>& axes, size_t samples, uint64_t seed);

// `samples` points such that each axis' range, cut into `samples` equal
// strata, has exactly one point in each stratum.
std::vector<Candidate> latin_hypercube_candidates(const std::vector<SweepAxis>& axes, size_t samples, uint64_t seed);

// The portable generator behind both: uniform doubles in [0, 1) and
// integers in [0, n).
class SweepRandom {
 public:
  explicit SweepRandom(uint64_t seed) : engine_(seed) {}
  double uniform();              // 53 random bits
  uint64_t below(uint64_t n);    // unbiased (rejection), n >= 1

 private:
  std::mt19937_64 engine_;
};

}  // namespace vez::core
