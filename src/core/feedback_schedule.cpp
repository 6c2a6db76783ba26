#include "feedback_schedule.hpp"

#include "twin_steps.hpp"

namespace vez::core {

double rate_divider(double base_hz, double rate_hz) { return step_count_for(base_hz, rate_hz); }

}  // namespace vez::core
