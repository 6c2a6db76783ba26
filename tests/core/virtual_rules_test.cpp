// The virtual actuator's pure rules: telemetry columns, item signals,
// parameter paths, the feedback schedule and the time stamp.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <set>
#include <string>

#include "core/actuator_protocol.hpp"
#include "core/feedback_schedule.hpp"
#include "core/virtual_items.hpp"
#include "core/virtual_parameters.hpp"
#include "core/virtual_telemetry.hpp"

namespace core = vez::core;

TEST(VirtualTelemetry, ColumnsAreUniqueAndNamedAfterTheirSignal) {
  std::set<std::string> names{"time"}, signals;
  for (const core::TelemetryColumn& c : core::kTelemetryColumns) {
    EXPECT_TRUE(names.insert(c.name).second) << c.name;
    EXPECT_TRUE(signals.insert(std::string(core::kTwinViewNames[c.view]) + "." + c.field).second) << c.name;
    // Every column but the info view's carries its view in its name, so a CSV
    // header says where a value came from.
    const std::string name(c.name);
    if (c.view == core::kMotor) {
      EXPECT_EQ(name, c.field);
    } else if (c.view != core::kInfo) {
      EXPECT_EQ(name.rfind(std::string(core::kTwinViewNames[c.view]) + "_", 0), 0u) << name;
    }
  }
  EXPECT_EQ(core::kTelemetryColumnCount, 64u);
  EXPECT_EQ(core::kTelemetrySeriesCount, 65u);
  EXPECT_EQ(core::kTelemetryFieldCount, 67u);
}

TEST(VirtualTelemetry, OnlyModelDependentInportsAreOptional) {
  std::set<std::string> optional;
  for (const core::TelemetryColumn& c : core::kTelemetryColumns) {
    if (!c.optional) continue;
    optional.insert(c.field);
    EXPECT_EQ(c.view, core::kInp) << c.name;
    EXPECT_EQ(c.element, core::ColumnElement::kFloat) << c.name;
  }
  EXPECT_EQ(optional, (std::set<std::string>{"T_ADC", "ref_ff_torque", "ref_impedance_spd", "ref_impedance_acel"}));
}

TEST(VirtualTelemetry, ColumnLookupAndTheTickCountingSeries) {
  EXPECT_EQ(core::telemetry_column(core::kInfo, "enable"), 0);
  EXPECT_EQ(std::strcmp(core::kTelemetryColumns[core::telemetry_column(core::kMeas, "turn2")].name, "meas_turn2"), 0);
  EXPECT_EQ(core::telemetry_column(core::kMeas, "spd_fb"), -1);  // an info field, not a meas one
  EXPECT_EQ(core::telemetry_column(core::kInfo, "nope"), -1);
  const int series = core::telemetry_tick_counting_series();
  ASSERT_GT(series, 0);
  EXPECT_STREQ(core::kTelemetryColumns[series - 1].name, "T_fb");
}

TEST(VirtualTelemetry, TickTimeStartsAtTheStartTime) {
  EXPECT_EQ(core::tick_time(5e-5, 0, 0.0), 0.0);
  EXPECT_EQ(core::tick_time(5e-5, 0, 1.5), 1.5);
  EXPECT_EQ(core::tick_time(5e-5, 20000, 0.0), 5e-5 * 20000.0);  // the same product as time_step * ticks
  EXPECT_EQ(core::tick_time(0.25, 3, 1.0), 1.75);
  EXPECT_EQ(core::tick_time(1e-3, int64_t{1} << 53, 0.0), 1e-3 * 9007199254740992.0);
}

TEST(VirtualItems, EveryItemHasASignalAndEveryColumnItemAColumn) {
  int columns = 0;
  for (const core::NamedCode& item : core::kItemNames) {
    const core::ItemSignal s = core::item_signal(static_cast<uint8_t>(item.value));
    const bool reads_column = s.source == core::ItemSource::kColumn || s.source == core::ItemSource::kErrorFlag;
    EXPECT_EQ(reads_column, s.column >= 0) << item.name;
    if (reads_column) {
      ++columns;
      ASSERT_LT(static_cast<size_t>(s.column), core::kTelemetryColumnCount) << item.name;
      EXPECT_FALSE(core::kTelemetryColumns[s.column].optional) << item.name;
    }
    if (s.source == core::ItemSource::kErrorFlag) {
      EXPECT_EQ(core::kTelemetryColumns[s.column].view, core::kDebug);
    }
  }
  EXPECT_EQ(columns, 35);
}

TEST(VirtualItems, SignalsOfNamedItems) {
  auto signal = [](core::Item i) { return core::item_signal(static_cast<uint8_t>(i)); };
  auto column_name = [&](core::Item i) { return std::string(core::kTelemetryColumns[signal(i).column].name); };
  EXPECT_EQ(column_name(core::Item::POSITION_FB), "pos_fb");
  EXPECT_EQ(column_name(core::Item::POSITION_FB_INTERNAL), "meas_pos");
  EXPECT_EQ(column_name(core::Item::ENCODER_EXT_RAW), "meas_turn2");
  EXPECT_EQ(column_name(core::Item::TORQUE_SENS_RAW), "meas_T");
  EXPECT_EQ(column_name(core::Item::TEMP_MOTOR), "temp_winding");
  EXPECT_EQ(column_name(core::Item::ERRORS_OVERRUN), "debug_i_max");
  EXPECT_EQ(signal(core::Item::VBUS).source, core::ItemSource::kVbus);
  EXPECT_EQ(signal(core::Item::TEMP_PCB).source, core::ItemSource::kPcbTemperature);
  EXPECT_EQ(signal(core::Item::ERROR_BITS).source, core::ItemSource::kZeroInt);
  EXPECT_EQ(signal(core::Item::DEBUG_SIGNAL_BOOL).source, core::ItemSource::kDebugBool);
  EXPECT_EQ(signal(core::Item::DEBUG_SIGNAL07).source, core::ItemSource::kNan);
  EXPECT_EQ(core::item_signal(0).source, core::ItemSource::kNan);    // no item
  EXPECT_EQ(core::item_signal(255).source, core::ItemSource::kNan);
  EXPECT_STREQ(core::kTelemetryColumns[core::bus_power_column()].name, "m_pwr_dc");
  EXPECT_STREQ(core::kTelemetryColumns[core::bus_current_column()].name, "m_i_dc");
}

TEST(VirtualItems, BusVoltageTreatsNoCurrentAsOne) {
  EXPECT_EQ(core::bus_voltage(48.0, 2.0), 24.0);
  EXPECT_EQ(core::bus_voltage(-12.0, 0.5), -24.0);
  EXPECT_EQ(core::bus_voltage(7.5, 0.0), 7.5);
  EXPECT_EQ(core::bus_voltage(7.5, -0.0), 7.5);
  EXPECT_TRUE(std::isnan(core::bus_voltage(1.0, std::nan(""))));
}

TEST(VirtualParameters, PathsAndTrackedValuesDoNotOverlap) {
  std::set<core::Parameter> seen;
  for (const core::ParameterPath& p : core::kVirtualParameterPaths) {
    EXPECT_TRUE(seen.insert(p.parameter).second);
    const std::string path(p.path);
    const size_t dot = path.find('.');
    ASSERT_NE(dot, std::string::npos) << path;
    EXPECT_EQ(path.find('.', dot + 1), std::string::npos) << path;
    EXPECT_TRUE(path.substr(0, dot) == "imp" || path.substr(0, dot) == "lim" || path.substr(0, dot) == "pid") << path;
    EXPECT_EQ(core::virtual_parameter_path(p.parameter), p.path);
  }
  for (const core::TrackedParameter& t : core::kVirtualTrackedParameters) {
    EXPECT_TRUE(seen.insert(t.parameter).second);
    EXPECT_EQ(core::virtual_parameter_path(t.parameter), nullptr);
  }
  EXPECT_STREQ(core::virtual_parameter_path(core::Parameter::KP_POSITION), "pid.pos_Kp");
  EXPECT_EQ(core::virtual_parameter_path(core::Parameter::MODE), nullptr);
}

TEST(FeedbackSchedule, DividerOfTheSimulationRate) {
  EXPECT_EQ(core::rate_divider(20000.0, 1000.0), 20.0);
  EXPECT_EQ(core::rate_divider(20000.0, 20000.0), 1.0);
  EXPECT_EQ(core::rate_divider(20000.0, 8000.0), 2.0);   // 2.5: halves to even
  EXPECT_EQ(core::rate_divider(7.0, 2.0), 4.0);  // 3.5
  EXPECT_EQ(core::rate_divider(1000.0, 3.0), 333.0);
  EXPECT_EQ(core::rate_divider(20000.0, 1e-320), std::numeric_limits<double>::infinity());
  EXPECT_TRUE(std::isnan(core::rate_divider(20000.0, std::nan(""))));
  // The physical actuator's divider is the same rule on its 20 kHz base.
  for (int64_t hz : {1, 3, 7, 333, 1000, 8000, 19999, 20000}) {
    EXPECT_EQ(core::feedback_rate_divider(hz).divider,
              static_cast<uint32_t>(core::rate_divider(static_cast<double>(core::kFeedbackBaseRateHz), static_cast<double>(hz))))
        << hz;
  }
}

TEST(FeedbackSchedule, EmitsOnMultiplesOfTheDividerOnly) {
  EXPECT_TRUE(core::feedback_due(true, 1, 20, 20));
  EXPECT_TRUE(core::feedback_due(true, 1, 20, 0));
  EXPECT_FALSE(core::feedback_due(true, 1, 20, 19));
  EXPECT_FALSE(core::feedback_due(true, 1, 20, 21));
  EXPECT_TRUE(core::feedback_due(true, 10, 1, 12345));
  EXPECT_FALSE(core::feedback_due(false, 1, 1, 1));  // nobody listens
  EXPECT_FALSE(core::feedback_due(true, 0, 1, 1));   // nothing streamed
  EXPECT_FALSE(core::feedback_due(true, 1, 0, 0));   // stream off
  EXPECT_FALSE(core::feedback_due(true, 1, -5, 10));
  EXPECT_TRUE(core::feedback_due(true, 1, 3, -3));  // as Python's %: -3 % 3 == 0
}
