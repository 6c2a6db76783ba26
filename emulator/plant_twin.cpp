// An emulated actuator's physics: one instance of the reference twin model
// (the realistic plant unless --ideal), powered up the way the drive does it
// (rotor alignment, then position control with the power stage off).  Its
// protections are reported as error messages when they trip.
#include "plant_twin.hpp"

#include <cmath>
#include <stdexcept>

#include "catalog.hpp"
#include "model.hpp"

namespace vez::emulator {

namespace {

namespace item {
constexpr uint8_t kEncoderInt = 65, kEncoderIntRaw = 66, kEncoderExt = 67, kEncoderExtRaw = 68, kSpeedFb = 69, kIa = 70,
                  kIb = 71, kIc = 72, kTorqueSens = 73, kTorqueSensRaw = 74, kPositionRef = 75, kPositionFb = 76,
                  kSpeedRef = 77, kIdRef = 79, kIdFb = 80, kIqRef = 81, kIqFb = 82, kVdRef = 83, kVqRef = 84,
                  kTorqueRef = 85, kTorqueFb = 86, kVa = 87, kVb = 88, kVc = 89, kBusPower = 90, kBusCurrent = 91,
                  kThreePhasePower = 92, kMechanicalPower = 93, kInverterEfficiency = 94, kMotorEfficiency = 95,
                  kErrorsEncoderInt = 96, kErrorsEncoderExt = 97, kErrorsOverrun = 98, kErrorBits = 99,
                  kLoopTimeMin = 100, kLoopTimeMax = 101, kLoopTimeAvg = 102, kVbus = 112, kTempPcb = 113,
                  kTempMotor = 114, kPositionFbInternal = 115, kDebugBool = 144;
}

// Error-field bits the drive reports for its limit flags and protections.
namespace error_bit {
constexpr uint32_t kOvertemperature = 1u << 0, kPositionRefMax = 1u << 2, kPositionRefMin = 1u << 3,
                   kSpeedFbMax = 1u << 4, kVbusRange = 1u << 5, kTorqueRefMax = 1u << 6, kTorqueFbMax = 1u << 7,
                   kPositionFbMax = 1u << 8, kPositionFbMin = 1u << 9, kCurrentMax = 1u << 16,
                   kVbusCritical = 1u << 29;
}

constexpr double kPcbTemperature = 25.0;  // the board is not modelled
constexpr double kLoopTimeUs = 31.0;      // what the drive's control loop takes, reported as constant

class TwinPlant : public Plant {
 public:
  TwinPlant(const twin::Actuator& actuator, const TwinSettings& settings) : model_(actuator) {
    model_.inputs.Ideal = settings.ideal;
    model_.realism.seed ^= (settings.seed << 16) ^ settings.address;
    model_.initialize();
    power_up();
  }

  double time_step() const override { return twin::kTimeStep; }
  void step() override { model_.step(); }

  void set_inputs(bool enable, int control_type, double reference, double load) override {
    model_.inputs.Enable = enable;
    model_.inputs.ControlType = control_type;
    model_.inputs.Reference = reference;
    model_.inputs.Load = load;
  }

  void set_references(double ff_torque, double impedance_speed, double impedance_acceleration) override {
    model_.inputs.ref_ff_torque = ff_torque;
    model_.inputs.ref_impedance_spd = impedance_speed;
    model_.inputs.ref_impedance_acel = impedance_acceleration;
  }

  // The model zeroes its encoders on every change of the ResetPos level.
  void reset_position() override { model_.inputs.ResetPos = !model_.inputs.ResetPos; }

  double* parameter(uint8_t code) override {
    switch (code) {
      case 0x01: return &model_.imp.K_damp;
      case 0x02: return &model_.imp.K_stiff;
      case 0x03: return &model_.imp.T_FF;
      case 0x04: return &model_.lim.lim_T;
      case 0x05: return &model_.lim.lim_pos_max;
      case 0x06: return &model_.lim.lim_pos_min;
      case 0x07: return &model_.lim.lim_spd_max;
      case 0x08: return &model_.lim.lim_spd_min;
      case 0x09: return &model_.lim.prof_pos_max;
      case 0x0A: return &model_.lim.prof_pos_min;
      case 0x0B: return &model_.lim.prof_spd_max;
      case 0x0C: return &model_.lim.prof_spd_min;
      case 0x0D: return &model_.pid.spd_Kp;
      case 0x0E: return &model_.pid.spd_Ki;
      case 0x0F: return &model_.pid.pos_Kp;
      case 0x45: return &model_.pid.FF_gain;
      case 0x46: return &model_.filter.spd_cutoff;
      case 0x47: return &model_.filter.current_cutoff;
      default: return nullptr;
    }
  }

  double* gain(Gain g) override {
    switch (g) {
      case Gain::kCurrentKp: return &model_.pid.id_Kp;
      case Gain::kCurrentKi: return &model_.pid.id_Ki;
      case Gain::kImpedanceInertia: return &model_.imp.J_imp;
    }
    return nullptr;
  }

  bool item(uint8_t code, double* value) const override {
    const auto& m = model_;
    switch (code) {
      case item::kEncoderInt: case item::kPositionFbInternal: *value = m.meas.pos; return true;
      case item::kEncoderIntRaw: *value = raw_counts(m.meas.pos * m.params.gear_ratio, m.params.enc_int_bits); return true;
      case item::kEncoderExt: *value = m.meas.pos2; return true;
      case item::kEncoderExtRaw: *value = raw_counts(m.meas.pos2, m.params.enc_ext_bits); return true;
      case item::kSpeedFb: *value = m.info.spd_fb; return true;
      case item::kIa: *value = m.motor.m_ia; return true;
      case item::kIb: *value = m.motor.m_ib; return true;
      case item::kIc: *value = m.motor.m_ic; return true;
      case item::kTorqueSens: *value = m.meas.T; return true;
      case item::kTorqueSensRaw: *value = std::round(m.meas.T * 1000.0); return true;  // mN*m counts
      case item::kPositionRef: *value = m.info.pos_ref; return true;
      case item::kPositionFb: *value = m.info.pos_fb; return true;
      case item::kSpeedRef: *value = m.info.spd_ref; return true;
      case item::kIdRef: *value = m.info.id_ref; return true;
      case item::kIdFb: *value = m.info.id_fb; return true;
      case item::kIqRef: *value = m.info.iq_ref; return true;
      case item::kIqFb: *value = m.info.iq_fb; return true;
      case item::kVdRef: *value = m.info.vd_ref; return true;
      case item::kVqRef: *value = m.info.vq_ref; return true;
      case item::kTorqueRef: *value = m.info.T_ref; return true;
      case item::kTorqueFb: *value = m.info.T_fb; return true;
      case item::kVa: *value = m.motor.m_va; return true;
      case item::kVb: *value = m.motor.m_vb; return true;
      case item::kVc: *value = m.motor.m_vc; return true;
      case item::kBusPower: *value = m.motor.m_pwr_dc; return true;
      case item::kBusCurrent: *value = m.motor.m_i_dc; return true;
      case item::kThreePhasePower: *value = m.motor.m_pwr_elec; return true;
      case item::kMechanicalPower: *value = m.motor.m_pwr_mec; return true;
      case item::kInverterEfficiency: *value = m.motor.m_eff_elec; return true;
      case item::kMotorEfficiency: *value = m.motor.m_eff_mec; return true;
      case item::kErrorsEncoderInt: case item::kErrorsEncoderExt: case item::kErrorsOverrun: *value = 0; return true;
      case item::kErrorBits: *value = limit_errors(); return true;
      case item::kLoopTimeMin: case item::kLoopTimeMax: case item::kLoopTimeAvg: *value = kLoopTimeUs; return true;
      case item::kVbus: *value = m.motor.m_vbus; return true;
      case item::kTempPcb: *value = kPcbTemperature; return true;
      case item::kTempMotor: *value = m.info.temp_winding; return true;
      case item::kDebugBool: *value = limit_errors() != 0 ? 1 : 0; return true;
      default:
        if (code >= 145 && code <= 154) {  // debug signals: nothing to show
          *value = 0;
          return true;
        }
        return false;
    }
  }

  uint32_t limit_errors() const override {
    const auto& d = model_.debug;
    uint32_t bits = 0;
    if (model_.info.temp_winding > model_.params.T_safe) bits |= error_bit::kOvertemperature;
    if (d.pos_ref_max) bits |= error_bit::kPositionRefMax;
    if (d.pos_ref_min) bits |= error_bit::kPositionRefMin;
    if (d.spd_fb_max) bits |= error_bit::kSpeedFbMax;
    if (d.T_ref_max) bits |= error_bit::kTorqueRefMax;
    if (d.T_fb_max) bits |= error_bit::kTorqueFbMax;
    if (d.pos_fb_max) bits |= error_bit::kPositionFbMax;
    if (d.pos_fb_min) bits |= error_bit::kPositionFbMin;
    if (d.i_max) bits |= error_bit::kCurrentMax;
    if (d.vbus_range) bits |= error_bit::kVbusRange;
    return bits | fault_errors();
  }

  uint32_t fault_errors() const override {
    const uint32_t trips = model_.trips();
    uint32_t bits = 0;
    if (trips & twin::kTripCurrent) bits |= error_bit::kCurrentMax;
    if (trips & twin::kTripVoltage) bits |= error_bit::kVbusCritical | error_bit::kVbusRange;
    if (trips & twin::kTripSpeed) bits |= error_bit::kSpeedFbMax;
    if (trips & twin::kTripTemperature) bits |= error_bit::kOvertemperature;
    return bits;
  }

  void restore_defaults() override {
    const twin::Tuning t = twin::default_tuning(model_.actuator());
    model_.pid = t.pid;
    model_.imp = t.imp;
    model_.lim = t.lim;
    model_.filter = t.filter;
  }

 private:
  // The drive aligns its rotor once at power-up (the same sequence the
  // virtual actuator runs), then waits in position control, power stage off.
  void power_up() {
    model_.inputs.ControlType = twin::kCalibration;
    model_.inputs.Enable = true;
    const int steps = static_cast<int>(std::lround(1.0 / twin::kTimeStep));
    for (int i = 0; i < steps; ++i) model_.step();
    model_.inputs.Enable = false;
    model_.step();
    model_.inputs.ResetPos = !model_.inputs.ResetPos;
    model_.step();
    model_.inputs.ControlType = twin::kPosition;
  }

  // Encoder counts within one revolution of the shaft at `angle`.
  static double raw_counts(double angle, int32_t bits) {
    const double cpr = std::ldexp(1.0, bits);
    double turns = angle / (2.0 * M_PI);
    turns -= std::floor(turns);
    return std::floor(turns * cpr);
  }

  twin::Model model_;
};

}  // namespace

std::unique_ptr<Plant> make_twin_plant(const std::string& model_name, const TwinSettings& settings) {
  const twin::Actuator* actuator = twin::find_model(model_name);
  if (actuator == nullptr) {
    std::string known;
    for (const twin::Actuator& a : twin::kCatalogue) known += std::string(known.empty() ? "" : ", ") + a.name;
    throw std::invalid_argument("no twin model for " + model_name + " (known: " + known + ")");
  }
  return std::make_unique<TwinPlant>(*actuator, settings);
}

}  // namespace vez::emulator
