// Placeholder kinematics until the twin model is wired in.
#include "plant_twin.hpp"

#include <algorithm>
#include <cmath>
#include <map>

namespace vez::emulator {

namespace {

class KinematicPlant : public Plant {
 public:
  double time_step() const override { return 5e-05; }
  void step() override {
    const double dt = time_step();
    if (!enable_) {
      speed_ *= 0.999;
    } else if (control_ == 7) {
      speed_ = std::clamp((reference_ - pos_) * 20.0, -20.0, 20.0);
    } else if (control_ == 6) {
      speed_ += (reference_ - speed_) * 0.01;
    } else if (control_ == 5) {
      speed_ += (reference_ - load_) * dt / 0.001;
    }
    pos_ += speed_ * dt;
  }
  void set_inputs(bool enable, int control_type, double reference, double load) override {
    enable_ = enable;
    control_ = control_type;
    reference_ = reference;
    load_ = load;
  }
  void set_references(double, double, double) override {}
  void reset_position() override { pos_ = 0; }
  double* parameter(uint8_t code) override {
    auto it = params_.find(code);
    return it == params_.end() ? nullptr : &it->second;
  }
  double* gain(Gain g) override { return &gains_[static_cast<int>(g)]; }
  bool item(uint8_t code, double* value) const override {
    switch (code) {
      case 65: case 76: case 115: *value = pos_; return true;
      case 69: *value = speed_; return true;
      case 75: *value = reference_; return true;
      case 113: *value = 25.0; return true;
      default: *value = 0; return true;
    }
  }
  uint32_t limit_errors() const override { return 0; }
  void restore_defaults() override {}

 private:
  bool enable_ = false;
  int control_ = 7;
  double reference_ = 0, load_ = 0, pos_ = 0, speed_ = 0;
  std::map<uint8_t, double> params_ = {{1, 0.1}, {2, 1.0}, {4, 3.0}, {13, 0.5}, {14, 5.0}, {15, 20.0}, {0x45, 1.0}};
  double gains_[3] = {1.0, 100.0, 0.0};
};

}  // namespace

std::unique_ptr<Plant> make_twin_plant(const std::string& /*model_name*/) { return std::make_unique<KinematicPlant>(); }

}  // namespace vez::emulator
