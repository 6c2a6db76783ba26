#include "twin_steps.hpp"

#include <cmath>

namespace vez::core {

bool is_usable_time_step(double time_step_s) { return !(time_step_s <= 0.0); }

double round_half_even(double x) {
  if (!std::isfinite(x)) return x;
  const double whole = std::trunc(x);
  const double fraction = x - whole;  // exact for doubles
  if (std::fabs(fraction) != 0.5) return std::round(x);
  return std::fmod(whole, 2.0) == 0.0 ? whole : whole + (x > 0 ? 1.0 : -1.0);
}

double step_count_for(double duration_s, double time_step_s) {
  const double rounded = round_half_even(duration_s / time_step_s);
  if (!std::isfinite(rounded)) return rounded;
  return rounded < 1.0 ? 1.0 : rounded;
}

}  // namespace vez::core
