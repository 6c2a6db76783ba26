// What each feedback item reads on the virtual actuator: the model signal
// behind it (a telemetry column), a flag derived from one, a constant, or a
// formula.  Constant tables and pure functions, callable from any thread.
#pragma once

#include <cstdint>

#include "actuator_protocol.hpp"
#include "virtual_telemetry.hpp"

namespace vez::core {

enum class ItemSource : uint8_t {
  kColumn,          // the column's value as a float
  kErrorFlag,       // 1.0 when the column is non-zero, else 0.0
  kZeroInt,         // the integer 0 (counters the model does not keep)
  kVbus,            // bus_voltage(bus power, bus current)
  kPcbTemperature,  // kVirtualPcbTemperatureC
  kDebugBool,       // 1.0 when any debug flag is set, else 0.0
  kNan,             // NaN (signals the model does not have)
};

struct ItemSignal {
  ItemSource source;
  int column;  // index into kTelemetryColumns for kColumn and kErrorFlag, else -1
};

inline constexpr double kVirtualPcbTemperatureC = 25.0;

// The signal of item code `code`.  Codes that name no item read NaN, as do
// the DEBUG_SIGNALnn items.
ItemSignal item_signal(uint8_t code);

// The bus voltage reported for a bus power and current: power / current,
// with a zero current counting as 1 (the power itself then).
inline double bus_voltage(double power, double current) { return power / (current == 0.0 ? 1.0 : current); }

// Columns the VBUS formula reads.
int bus_power_column();
int bus_current_column();

}  // namespace vez::core
