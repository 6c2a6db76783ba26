// A plant without physics for protocol tests: parameters in a map, items
// read back as their code plus the step count.
#pragma once

#include <map>

#include "nodes.hpp"

namespace vez::testing {

class FakePlant : public emulator::Plant {
 public:
  explicit FakePlant(double time_step = 5e-05) : dt(time_step) {}
  double time_step() const override { return dt; }
  void step() override { ++steps; }
  void set_inputs(bool e, int c, double r, double l) override {
    enable = e;
    control = c;
    reference = r;
    load = l;
  }
  void set_references(double ff, double s, double a) override {
    ff_torque = ff;
    impedance_speed = s;
    impedance_acceleration = a;
  }
  void reset_position() override { ++resets; }
  double* parameter(uint8_t code) override {
    auto it = params.find(code);
    return it == params.end() ? nullptr : &it->second;
  }
  double* gain(Gain g) override { return &gains[static_cast<int>(g)]; }
  bool item(uint8_t code, double* value) const override {
    if (code == 99) return *value = 4294967295.0, true;  // ERROR_BITS all set
    if (code == 74) return *value = -1.0, true;         // TORQUE_SENS_RAW
    *value = code + 0.5;
    return true;
  }
  uint32_t limit_errors() const override { return limits; }
  uint32_t fault_errors() const override { return faults; }
  void restore_defaults() override { params = defaults; }

  double dt;
  bool enable = false;
  int control = 0;
  double reference = 0, load = 0, ff_torque = 0, impedance_speed = 0, impedance_acceleration = 0;
  int resets = 0;
  long steps = 0;
  uint32_t limits = 0, faults = 0;
  std::map<uint8_t, double> defaults = {{0x01, 0.1}, {0x02, 1.0}, {0x0D, 0.5}, {0x0E, 5.0}, {0x0F, 20.0}, {0x45, 1.0}};
  std::map<uint8_t, double> params = defaults;
  double gains[3] = {1.0, 100.0, 0.01};
};

}  // namespace vez::testing
