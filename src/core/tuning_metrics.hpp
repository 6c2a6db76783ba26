// Metrics of a simulated response for gain tuning: the classic step-response
// figures (rise time, overshoot, settling time, steady-state error), the
// integral of the tracking error, and per-tick peaks, energy and limit hits.
// Pure functions and value types; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vez::core {

// What the figures of one response are measured against.  The response is
// sampled every `dt` seconds; sample `start` is where the move begins (the
// step, or the start of a ramp), `initial` the value the output had there and
// `target` the final reference.  A move of zero size (target == initial)
// has no rise time, overshoot or settling time (NaN).
struct ResponseSpec {
  double dt = 0.0;
  size_t start = 0;
  double initial = 0.0;
  double target = 0.0;
  double settle_band = 0.02;    // settling band, a fraction of the move
  double tail_fraction = 0.1;   // share of the run at its end that is "steady state"
  size_t smooth_samples = 1;    // width of the centred moving average that tames sensor noise
  // Widest average the settling test may use.  The settling band is narrow,
  // so for it the width grows with the noise measured on the tail until the
  // averaged noise fits well inside the band (never below smooth_samples).
  size_t max_settle_smooth_samples = 1;
};

// Standard deviation of the white noise on x[from..]: the spread of
// successive differences over sqrt(2), which a slow trend barely touches.
double noise_sigma(const std::vector<double>& x, size_t from);

struct ResponseMetrics {
  double rise_time = 0.0;           // s, 10 % to 90 % of the move; NaN when 90 % is never reached
  double overshoot = 0.0;           // % of the move beyond the target (0 when none)
  double settling_time = 0.0;       // s from `start` until the output stays within the band; NaN when it never does
  double steady_state_error = 0.0;  // target minus the mean output over the tail
  double iae = 0.0;                 // integral of |reference - output| from `start`, unit*s
};

// Centred moving average of width `width` (an even width is made odd); near
// the ends the window shrinks symmetrically, so a straight line stays exact.
std::vector<double> centred_average(const std::vector<double>& x, size_t width);

// Figures of `output` against `reference` (same length, both per sample).
// An empty output or one whose samples are not finite gives NaN everywhere.
ResponseMetrics response_metrics(const std::vector<double>& output, const std::vector<double>& reference,
                                 const ResponseSpec& spec);

// Running figures of the drive over a run, fed once per tick.
class DriveTally {
 public:
  explicit DriveTally(double dt) : dt_(dt) {}

  // `current` and `torque` as signed values, `bus_power` in W (negative when
  // feeding back), `limit_flags` one bit per limit that is acting this tick.
  void add(double current, double torque, double bus_power, uint32_t limit_flags);

  double peak_current() const { return peak_current_; }  // max |current|
  double peak_torque() const { return peak_torque_; }    // max |torque|
  double energy() const { return energy_; }              // J drawn from the bus (net of what came back)
  uint64_t limit_hits() const { return limit_hits_; }    // times a limit started acting (rising edges of any flag)
  uint64_t limit_ticks() const { return limit_ticks_; }  // ticks during which some limit acted
  bool finite() const { return finite_; }                // every value fed was finite

 private:
  double dt_;
  double peak_current_ = 0.0;
  double peak_torque_ = 0.0;
  double energy_ = 0.0;
  uint64_t limit_hits_ = 0;
  uint64_t limit_ticks_ = 0;
  uint32_t previous_flags_ = 0;
  bool finite_ = true;
};

}  // namespace vez::core
