// When a simulated actuator streams feedback: the divider of the simulation
// rate that gives a requested feedback rate, and whether a given tick emits.
// Pure functions, callable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vez::core {

// Ticks of a `base_hz` clock between two samples at `rate_hz`:
// base_hz / rate_hz rounded to the nearest integer (halves to even) and
// raised to at least 1.  The caller rejects rates above the base and zero
// (which stops the stream) first; a NaN or infinite quotient comes back
// unchanged for the caller to report.
double rate_divider(double base_hz, double rate_hz);

// The tick that has just made the step count `step_count` emits feedback:
// someone listens, some items are streamed, the stream is on and the count is
// a multiple of the divider.
inline bool feedback_due(bool has_callback, size_t item_count, int64_t divider, int64_t step_count) {
  return has_callback && item_count > 0 && divider > 0 && step_count % divider == 0;
}

}  // namespace vez::core
