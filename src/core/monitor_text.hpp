// Text of the live monitor: the unit of each feedback item, numbers for the
// screen and for CSV rows.  Pure functions, any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vez::core {

// The unit of a feedback item in ASCII ("rad", "rad/s", "N*m", "A", "V",
// "W", "degC"), "" for counts, flags, ratios and items of unknown unit.
const char* item_unit(uint8_t code);

// A number for a person: integers as integers, floats with six significant
// digits ("0.398304", "-1.5e-07", "nan").
std::string display_number(double value, bool integer);

// A number for a CSV file that reads back to the same value: a value that is
// exactly a float32 gets the float's shortest digits ("0.3983037"), any other
// double its own shortest digits; "nan", "inf", "-inf".
std::string csv_number(double value, bool integer);

// One CSV line (with its newline): the time in seconds, then one field per
// item, empty where a sample lacks the item.
struct SampleValue {
  double value;
  bool integer;
};
std::string csv_row(double time_s, const std::vector<std::optional<SampleValue>>& values);

// Steps of `time_step_s` that bring a simulation at `steps_done` up to the
// wall-clock time `elapsed_s`, at most `max_steps` (a simulation that cannot
// keep up falls behind instead of stalling the display).
uint64_t steps_due(double elapsed_s, double time_step_s, uint64_t steps_done, uint64_t max_steps);

}  // namespace vez::core
