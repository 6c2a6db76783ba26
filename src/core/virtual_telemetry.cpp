#include "virtual_telemetry.hpp"

#include <cstring>

namespace vez::core {

int telemetry_column(TwinView view, const char* field) {
  for (size_t i = 0; i < kTelemetryColumnCount; ++i) {
    if (kTelemetryColumns[i].view == view && std::strcmp(kTelemetryColumns[i].field, field) == 0) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

int telemetry_tick_counting_series() { return telemetry_column(kInfo, "T_fb") + 1; }

}  // namespace vez::core
