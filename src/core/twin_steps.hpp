// Step arithmetic of the digital-twin simulation: how many model steps cover
// a simulated duration.  Pure functions, callable from any thread.
#pragma once

namespace vez::core {

inline constexpr int kTwinControlCalibration = 1;  // control type used during the warm-up
inline constexpr int kTwinControlPosition = 7;     // control type after initialization
inline constexpr int kTwinDefaultSimRateHz = 20000;
inline constexpr double kTwinDefaultTimeStepS = 1.0 / kTwinDefaultSimRateHz;
inline constexpr double kTwinWarmupS = 1.0;

// A model time step the simulation can advance by.  Only values <= 0 are
// rejected: NaN compares false and passes, as in the Python comparison.
bool is_usable_time_step(double time_step_s);

// x rounded to the nearest integer, halves to the even neighbour (Python's
// round()); NaN and infinities come back unchanged.
double round_half_even(double x);

// duration_s / time_step_s rounded half to even and raised to at least 1.
// NaN or infinite quotients come back unchanged for the caller to report.
double step_count_for(double duration_s, double time_step_s);

}  // namespace vez::core
