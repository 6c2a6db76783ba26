// The reference actuator model: a three-phase permanent-magnet synchronous
// motor in the rotor (dq) frame behind a gearbox, driven by the cascaded
// field-oriented controller of a smart servo drive.
//
// Two plants share the drive's firmware; the inport Ideal chooses (it is kept
// through initialize(), so it can be set once before start-up):
//
//   realistic (the default)
//     drive    the voltage a step computes is applied during the next step
//              (computation delay; the modulator holds it over the step), in
//              the frame of the drive's own electrical angle: the rotor
//              encoder's counts and the offset the last calibration found,
//              advanced by 1.5 steps of the estimated speed; calibration and
//              FVI regulate the current in the fixed frame of their vector
//     plant    rotor and output are two inertias joined by a torsional spring
//              with damping and a backlash band; the mesh loses a share of
//              the torque it carries (more when the load drives the motor);
//              Coulomb and static friction act on the output (rotor_share of
//              them on the rotor alone while the backlash is open), viscous
//              drag on the rotor, all friction_scale times the nominal values;
//              cogging (period from slots and poles) and a sixth-harmonic
//              torque ripple; the bus is a supply behind a source resistance
//              with a capacitor at the drive, so regeneration raises it
//     sensors  phase currents with offset, noise and the converter's step,
//              encoder counts with noise, torque sensor noise, all from one
//              generator seeded by Realism_type.seed (same seed, same run)
//     trips    overcurrent (measured amplitude), overvoltage, overspeed
//              (measured output speed) and winding over-temperature turn the
//              power stage off and latch until Enable goes low and the cause
//              is gone; each keeps its debug flag raised meanwhile
//     feed-forward knows only what a drive can: its own rotor and gearbox
//              inertia (not J_load) and the nominal friction
//   ideal
//     the previous plant: control and plant act in the same step on the true
//     rotor angle, one rigid inertia, friction as nominal, exact currents and
//     torque, quantised but noise-free encoders, a stiff bus, no trips, a
//     feed-forward that knows the whole inertia
//
// In both: dq currents (midpoint rule, exact power bookkeeping), torque, load
// torque, two-node thermal network with a temperature-dependent winding
// resistance, inverter with conduction, switching and idle losses; PI current
// loops with decoupling and a voltage circle limit, speed PI (its integrator
// holds while the current loop's voltage saturates), position P(ID) on a
// trapezoidal profile, impedance law, torque mode, open-loop voltage modes and
// rotor alignment.
//
// Not modelled: the inverter's dead time and its diodes (with the power stage
// off an overhauled motor brakes on nothing), encoder nonlinearity and
// eccentricity, magnetic saturation, iron losses, temperature dependence of
// friction and magnet flux, the board's temperature.
//
// Every instance holds all of its state, so one process may run many; the
// exported C layer (export.cpp) keeps exactly one.  Not thread-safe: one
// instance is stepped by one thread at a time.
//
// Behaviour a caller relies on:
// - ResetPos zeroes both encoders (and shifts the position profile with them)
//   on every change of its level, rising or falling, at the start of that
//   step.  A level held high does nothing more, so a caller that leaves it
//   high after start-up still moves freely, and high-step-low homes whatever
//   the level was before (from high: on the falling edge, one step later).
// - Enable false, an unknown ControlType or a trip turns the power stage off:
//   no current, no torque; the output then rests on its breakaway friction
//   (realistic: the rotor may settle within the backlash and cogging).
// - Calibration (1) ramps a current vector at electrical angle zero up to
//   I_cal in 0.2 s; the rotor aligns onto it and friction settles it well
//   within the one-second warm-up.  Realistic: leaving calibration after at
//   least 0.5 s, the drive takes the rotor's place as its electrical zero.
// - A position step from rest follows a trapezoidal reference (speed within
//   prof_spd_min..prof_spd_max, acceleration prof_acc) that lands exactly on
//   the target; the position overshoots it by at most 5 mrad + 1 % of the
//   step and comes to rest within the in-position window (the error the
//   breakaway friction alone explains, a few mrad at most); realistic, it
//   then dithers by the encoder's noise.
// - lim_T and the drive's current (I_peak, folded back to I_rated between
//   T_safe and T_critical) clip the torque; the position and speed limits
//   brake the actuator at them.  Each raises its debug flag while it acts.
// - Writes that make tuning or parameters invalid are undone at the next
//   step and non-finite inputs are replaced by their last finite value; the
//   reason is kept in error() until initialize().
#pragma once

#include <cstdint>
#include <string_view>

#include "twin_types.h"

namespace vez::twin {

inline constexpr double kTimeStep = 5e-05;  // 20 kHz, the drive's control rate

// Control-type codes of the inport ControlType.
enum ControlType : int32_t {
  kCalibration = 1,  // align the rotor to electrical angle zero (I_cal, ramped)
  kFvi = 2,          // fixed-vector injection: Reference = current amplitude at electrical angle zero, A
  kOpenLoop = 3,     // Reference = q-axis voltage, V; no current loop
  kDvi = 4,          // d-axis voltage injection: Reference = d-axis voltage, V
  kTorque = 5,       // Reference = output torque, N*m
  kSpeed = 6,        // Reference = output speed, rad/s
  kPosition = 7,     // Reference = output position, rad
  kImpedance = 8,    // Reference = equilibrium position of the impedance law, rad
};

// Protections of the realistic drive, as Model::trips() reports them.
enum Trip : uint32_t { kTripCurrent = 1, kTripVoltage = 2, kTripSpeed = 4, kTripTemperature = 8 };

// One actuator of the catalogue: physical constants and the loop bandwidths
// its default tuning is designed for.
struct Actuator {
  const char* name;
  Params_type params;
  double speed_bandwidth_hz;
  double impedance_bandwidth_hz;
  Realism_type realism;
};

// What an actuator ships with: gains, limits, profile and filters.
struct Tuning {
  Pid_type pid;
  Impedance_type imp;
  Lim_type lim;
  Filter_type filter;
};

// Loop design from the physical constants: current loops at 1 kHz (pole
// cancellation), speed loop at the actuator's bandwidth, position loop a quarter of
// that, impedance critically damped-ish (zeta 0.7) at its bandwidth, limits
// from the drive's peak current and the no-load speed.
Tuning default_tuning(const Actuator& actuator);

// Derived ratings used by the tuning and the catalogue's documents.
double torque_constant(const Params_type& p);      // N*m/A at the rotor
double no_load_speed(const Params_type& p);        // rad/s at the output
double total_inertia(const Params_type& p);        // kg*m^2 at the output
double drive_inertia(const Params_type& p);        // what the drive knows: total_inertia less J_load
// Cogging periods per electrical revolution: lcm(slots, 2 * pole_pairs) / pole_pairs.
int32_t cogging_harmonic(int32_t slots, int32_t pole_pairs);

class Model {
 public:
  explicit Model(const Actuator& actuator);

  // Power-up state: plant at rest at ambient temperature, controller reset,
  // inputs back to defaults.  Tuning, limits, filters and parameters keep
  // whatever the caller wrote.
  void initialize();
  // Advances one time step (kTimeStep).
  void step();
  // Stops the model; step() does nothing until initialize().
  void terminate();

  bool terminated() const { return terminated_; }
  double time_s() const { return static_cast<double>(steps_) * kTimeStep; }
  uint64_t steps() const { return steps_; }
  bool reset_level() const { return reset_prev_; }
  // Last rejected input or parameter (static text), nullptr when none since initialize().
  const char* error() const { return error_; }
  // Protections (Trip bits) holding the power stage off now, or whose cause
  // persists while Enable is low; 0 on the ideal plant.
  uint32_t trips() const { return trips_; }
  const Actuator& actuator() const { return *actuator_; }

  // The live structures, read and written between steps.
  Inports_type inputs{};
  Meas_type meas{};
  Info_type info{};
  Lim_type lim{};
  Pid_type pid{};
  Impedance_type imp{};
  Motor_type motor{};
  Debug_type debug{};
  Filter_type filter{};
  Params_type params{};
  Realism_type realism{};

 private:
  struct Inputs {  // inputs of this step after sanitising
    bool enable;
    bool reset;
    bool ideal;
    int32_t mode;
    double reference, load, ff_torque, imp_spd, imp_acc, ambient;
  };
  struct Voltage {
    double d, q;
  };

  Inputs read_inputs();
  void guard_tuning();
  void switch_plant(bool ideal);
  void reseed();
  template <class S, class Valid>
  bool guard(S& live, S& good, Valid&& valid_fn, const char* message);
  void update_derived();
  void zero_encoders();
  void enter_mode(int32_t mode);
  Voltage control(const Inputs& in);
  void profile_to(double target);
  double friction_of(double speed) const;
  double position_target(double reference);
  void speed_loop(double spd_ref, double acc_ref, double ff_torque, bool hold_integrator);
  double torque_to_current(double torque);  // returns the torque after limits
  double bound_by_limits(double torque);
  Voltage limit_voltage(Voltage v) const;
  Voltage current_loop(double id_ref, double iq_ref, bool fixed_frame = false);
  void plant(const Inputs& in, Voltage v);
  void plant_realistic(const Inputs& in, Voltage v);
  void mechanics(double torque, double load, double& dth1, double& dth2);
  void advance_free(double h, double torque, double load);
  bool advance_coupled(double h, double torque, double load, int side);
  void bus(double p_dc);
  void plant_outputs(Voltage v, double idm, double iqm, double te, double dth, double p_cu, double p_fric,
                     double acc);
  void sense();
  void sense_realistic();
  void protect(const Inputs& in);
  void check_flags();
  double normal();  // zero mean, unit variance

  const Actuator* actuator_;
  const char* error_ = nullptr;
  bool terminated_ = false;
  uint64_t steps_ = 0;

  // Last accepted values, restored when a write makes them invalid.
  Inputs last_in_{};
  Pid_type good_pid_{};
  Impedance_type good_imp_{};
  Lim_type good_lim_{};
  Filter_type good_filter_{};
  Params_type good_params_{};
  Realism_type good_realism_{};

  // Derived from params and filter at each step.
  double J_ = 0, J_ff_ = 0, Kt_ = 0, R_hot_ = 0, v_max_ = 0, i_lim_ = 0;
  double bus_decay_ = 0, cached_bus_tau_ = -1;  // exp(-dt / (R_bus * C_bus))
  // The realistic drivetrain's constants, at the output; redone when params or realism change.
  struct Drivetrain {
    double J1, J2, B1, Tc, Ts;  // rotor and output inertia, rotor drag, output friction
    double mu_fwd, mu_back;     // mesh loss per torque carried, driving and back-driven
    double a1, a2, g1, kk;      // of the implicit midpoint rule over one whole step
  };
  Drivetrain dt_{};
  bool drivetrain_dirty_ = true;
  void update_drivetrain();
  int32_t cog_h_ = 0, cached_slots_ = 0, cached_pole_pairs_ = 0;
  double cpr_int_ = 0, cpr_ext_ = 0, cached_gear_ = 0;
  int32_t cached_bits_int_ = 0, cached_bits_ext_ = 0;
  double alpha_spd_ = 1, alpha_cur_ = 1, cached_spd_cut_ = -1, cached_cur_cut_ = -1;

  // Plant state.
  bool ideal_ = false;
  double th1_ = 0, w1_ = 0;     // rotor angle and speed over the gear ratio (the ideal plant's one body)
  double th2_ = 0, w2_ = 0;     // output angle and speed (realistic; the ideal plant keeps them equal)
  double theta_e_ = 0;          // electrical angle, wrapped to [-pi, pi)
  double cos_e_ = 1, sin_e_ = 0;  // of theta_e_
  double id_ = 0, iq_ = 0;
  double t_wind_ = 25, t_house_ = 25;
  double t_twist_ = 0;          // torque in the drivetrain over the last step
  double bus_v_ = 0;            // bus voltage at the drive
  double p_src_ = 0, p_bus_loss_ = 0;
  double v_pend_d_ = 0, v_pend_q_ = 0;  // voltage waiting for the next step, drive frame
  double v_pend_ang_ = 0;       // its angle less the true electrical angle at the next step's start

  // Noise generator (xoshiro256**).
  uint64_t rng_[4] = {};
  uint64_t seeded_with_ = 0;

  // Sensor state.
  int64_t raw_int_ = 0, raw_ext_ = 0;  // encoder counts since power-up
  int64_t off_int_ = 0, off_ext_ = 0;  // counts at the last reset
  double id_meas_ = 0, iq_meas_ = 0, torque_meas_ = 0;
  double i_amp_meas_ = 0;       // unfiltered measured current amplitude, A
  double eps_ = 0;              // drive's electrical angle less the true one, rad
  double elec_off_ = 0;         // drive's electrical angle at rotor count zero, rad

  // Controller state.
  int32_t mode_ = 0;  // active mode, 0 while the power stage is off
  bool reset_prev_ = false;
  double x_d_ = 0, x_q_ = 0;  // current loop integrators, V
  double x_spd_ = 0;          // speed loop integrator, N*m
  double x_pos_ = 0;          // position loop integrator, rad/s
  double x_hi_ = 0, x_lo_ = 0;  // integrators of the limit bounds, N*m
  double p_ref_ = 0, v_ref_ = 0, a_ref_ = 0;  // profile
  double cal_t_ = 0;          // time in the alignment, s
  double torque_ref_ = 0;     // last torque reference, N*m
  double id_ref_ = 0, iq_ref_ = 0;
  bool has_pos_ref_ = false;  // the mode has a position reference of its own
  bool torque_clipped_ = false, current_clipped_ = false;
  bool pos_bound_hi_ = false, pos_bound_lo_ = false, spd_bound_hi_ = false, spd_bound_lo_ = false;
  bool pos_clipped_hi_ = false, pos_clipped_lo_ = false;
  bool spd_clipped_hi_ = false, spd_clipped_lo_ = false;
  bool v_saturated_ = false;  // the current loop's voltage was limited
  bool fixed_frame_ = false;  // the current loop works in a fixed frame (realistic alignment)
  uint32_t trips_ = 0;        // protections holding the power stage off
};

}  // namespace vez::twin
