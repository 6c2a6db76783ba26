#include "core/monitor_text.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "core/actuator_protocol.hpp"

namespace core = vez::core;

namespace {
uint8_t code(core::Item item) { return static_cast<uint8_t>(item); }
}  // namespace

TEST(MonitorText, UnitsOfItems) {
  EXPECT_STREQ(core::item_unit(code(core::Item::POSITION_FB)), "rad");
  EXPECT_STREQ(core::item_unit(code(core::Item::SPEED_REF)), "rad/s");
  EXPECT_STREQ(core::item_unit(code(core::Item::TORQUE_FB)), "N*m");
  EXPECT_STREQ(core::item_unit(code(core::Item::IQ_FB)), "A");
  EXPECT_STREQ(core::item_unit(code(core::Item::VBUS)), "V");
  EXPECT_STREQ(core::item_unit(code(core::Item::MECHANICAL_POWER)), "W");
  EXPECT_STREQ(core::item_unit(code(core::Item::TEMP_MOTOR)), "degC");
  EXPECT_STREQ(core::item_unit(code(core::Item::ERROR_BITS)), "");
  EXPECT_STREQ(core::item_unit(78), "");  // no item
}

TEST(MonitorText, DisplayNumbers) {
  EXPECT_EQ(core::display_number(0.39830368757247925, false), "0.398304");
  EXPECT_EQ(core::display_number(-1.5e-7, false), "-1.5e-07");
  EXPECT_EQ(core::display_number(4294967295.0, true), "4294967295");
  EXPECT_EQ(core::display_number(std::nan(""), false), "nan");
  EXPECT_EQ(core::display_number(-INFINITY, true), "-inf");
}

TEST(MonitorText, CsvNumbersReadBackExactly) {
  // A float32 from the bus: its own shortest digits, not the double's.
  EXPECT_EQ(core::csv_number(static_cast<double>(0.3983037f), false), "0.3983037");
  // A double from the simulation: all the digits it needs.
  EXPECT_EQ(core::csv_number(0.39830368299272834, false), "0.39830368299272834");
  EXPECT_EQ(core::csv_number(0.1, false), "0.1");
  EXPECT_EQ(core::csv_number(7.0, true), "7");
  EXPECT_EQ(core::csv_number(std::nan(""), false), "nan");
  EXPECT_EQ(core::csv_number(INFINITY, false), "inf");
  for (double v : {0.1, 1.0 / 3.0, 1e-300, -2.5e17, 123.456}) EXPECT_EQ(std::stod(core::csv_number(v, false)), v);
}

TEST(MonitorText, CsvRowsKeepEveryColumn) {
  EXPECT_EQ(core::csv_row(1.25, {core::SampleValue{0.5, false}, std::nullopt, core::SampleValue{3, true}}),
            "1.250000,0.5,,3\n");
  EXPECT_EQ(core::csv_row(0, {}), "0.000000\n");
}

TEST(MonitorText, StepsDueFollowTheWallClock) {
  const double dt = 1.0 / 20000;
  EXPECT_EQ(core::steps_due(0.5, dt, 0, 1000000), 10000u);
  EXPECT_EQ(core::steps_due(0.5, dt, 9990, 1000000), 10u);
  EXPECT_EQ(core::steps_due(0.5, dt, 10000, 1000000), 0u);   // up to date
  EXPECT_EQ(core::steps_due(0.5, dt, 20000, 1000000), 0u);   // ahead: wait
  EXPECT_EQ(core::steps_due(10.0, dt, 0, 4000), 4000u);       // behind: capped
  EXPECT_EQ(core::steps_due(1.0, 0.0, 0, 4000), 0u);
  EXPECT_EQ(core::steps_due(1.0, std::nan(""), 0, 4000), 0u);
  EXPECT_EQ(core::steps_due(-1.0, dt, 0, 4000), 0u);
}
