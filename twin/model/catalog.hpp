// The actuators the twin is built for.  Each library is compiled with one
// name (VEZ_TWIN_MODEL) and looks its constants up here at compile time.
// The figures in data/assets/actuators/actuators_library.yaml.in are derived
// from these and checked against them by tests/twin.
//
// Where the realism figures come from (the same rules for every model, so
// they scale with it; "stall" is N * Kt * I_peak, "no-load" the output speed
// at the bus voltage):
//   k_twist      stall torque over the twist a gearhead of that kind shows
//                at it: 8 arcmin for one planetary stage of the mid-size
//                class, 10 for a small one, 12 for two stages
//   c_twist      5 % of critical damping of the rotor swinging against a
//                held output, 2 * 0.05 * sqrt(k_twist * J1), J1 the rotor at
//                the output: the mode every heavy load approaches, so any
//                load sees at least that (gear meshes: 3-17 %); the unloaded
//                actuator's own mode is damped more (13-32 %)
//   backlash     6 arcmin for a mid-size precision stage, 10 for a small
//                stage, 12 for two stages
//   eta_fwd      0.97 per planetary stage (0.96 for the small one); eta_back
//                = 2 - 1 / eta_fwd, the same mesh friction working against
//                the other flank
//   friction_scale  a unit's friction above the nominal (datasheet) values
//                the drive compensates: 10-20 %, more with more grease
//   rotor_share  a quarter of the Coulomb friction in the motor's bearings
//                and seal, the rest in the gearbox and output bearing
//   slots        the winding: 24 slots for 28 poles, 12 for 14, 18 for 20
//   cogging      1.5 % of the rotor's continuous torque Kt * I_rated (2 % for
//                the small-diameter, high-pole-density NOVA_3 motor);
//                ripple the same share of the torque at 6x electrical
//   adc_lsb      a 12-bit converter over +-1.65 * I_peak; i_noise 1.5
//                steps rms; offsets after calibration one or two steps
//   enc_*_noise  counts rms of an absolute encoder at that resolution:
//                about 1 count at 14 bits (magnetic, on the rotor), 0.5 at
//                12 bits, 1-2 counts for the 16-18-bit output encoders
//   T_noise      0.2 % of stall (strain-gauge flange sensor)
//   R_bus, C_bus a battery pack with its cable (0.12-0.2 ohm) that takes
//                regenerated current back; the drive's bus capacitors
//   V_low, V_high, V_trip   0.8, 1.1 and 1.25 x the nominal bus
//   I_trip       1.5 x I_peak (hardware comparator above the current limit)
//   spd_trip     1.25 x the no-load speed, rounded
//   T_trip       T_critical + 10 K, below the winding insulation's 155 degC
#pragma once

#include <string_view>

#include "model.hpp"

namespace vez::twin {

namespace detail {

// Mid-size joint actuator: 48 V, 14 pole pairs, 9:1 planetary stage.
constexpr Params_type orbit_4() {
  Params_type p{};
  p.pole_pairs = 14;
  p.enc_int_bits = 14;
  p.enc_ext_bits = 18;
  p.R_phase = 0.18;
  p.Ld = 110e-6;
  p.Lq = 130e-6;
  p.flux = 5.71e-3;
  p.alpha_cu = 0.00393;
  p.V_bus = 48.0;
  p.I_rated = 7.9;
  p.I_peak = 40.0;
  p.I_cal = 6.0;
  p.R_on = 8e-3;
  p.k_sw = 2e-3;
  p.P_idle = 1.2;
  p.gear_ratio = 9.0;
  p.J_rotor = 6e-5;
  p.J_out = 8e-4;
  p.J_load = 0.0;
  p.T_coulomb = 0.25;
  p.T_static = 0.35;
  p.B_viscous = 0.01;
  p.C_winding = 60.0;
  p.R_winding_housing = 0.9;
  p.C_housing = 450.0;
  p.R_housing_ambient = 1.6;
  p.T_safe = 100.0;
  p.T_critical = 130.0;
  p.theta_e0 = 1.0;
  return p;
}

// Compact high-ratio actuator: 24 V, 7 pole pairs, 36:1 two-stage gearbox.
constexpr Params_type nova_3() {
  Params_type p{};
  p.pole_pairs = 7;
  p.enc_int_bits = 12;
  p.enc_ext_bits = 17;
  p.R_phase = 0.55;
  p.Ld = 280e-6;
  p.Lq = 280e-6;
  p.flux = 6.67e-3;
  p.alpha_cu = 0.00393;
  p.V_bus = 24.0;
  p.I_rated = 3.35;
  p.I_peak = 10.0;
  p.I_cal = 2.0;
  p.R_on = 15e-3;
  p.k_sw = 2e-3;
  p.P_idle = 0.8;
  p.gear_ratio = 36.0;
  p.J_rotor = 1.2e-5;
  p.J_out = 4e-4;
  p.J_load = 0.0;
  p.T_coulomb = 0.5;
  p.T_static = 0.7;
  p.B_viscous = 0.12;
  p.C_winding = 25.0;
  p.R_winding_housing = 1.6;
  p.C_housing = 180.0;
  p.R_housing_ambient = 3.0;
  p.T_safe = 100.0;
  p.T_critical = 130.0;
  p.theta_e0 = 2.2;
  return p;
}

// Small fast actuator: 24 V, 10 pole pairs, 6:1 single stage.
constexpr Params_type orbit_2() {
  Params_type p{};
  p.pole_pairs = 10;
  p.enc_int_bits = 14;
  p.enc_ext_bits = 16;
  p.R_phase = 0.9;
  p.Ld = 200e-6;
  p.Lq = 230e-6;
  p.flux = 3e-3;
  p.alpha_cu = 0.00393;
  p.V_bus = 24.0;
  p.I_rated = 1.85;
  p.I_peak = 8.0;
  p.I_cal = 1.5;
  p.R_on = 25e-3;
  p.k_sw = 2e-3;
  p.P_idle = 0.5;
  p.gear_ratio = 6.0;
  p.J_rotor = 8e-6;
  p.J_out = 6e-5;
  p.J_load = 0.0;
  p.T_coulomb = 0.03;
  p.T_static = 0.045;
  p.B_viscous = 0.001;
  p.C_winding = 12.0;
  p.R_winding_housing = 2.5;
  p.C_housing = 70.0;
  p.R_housing_ambient = 6.0;
  p.T_safe = 100.0;
  p.T_critical = 130.0;
  p.theta_e0 = -0.7;
  return p;
}


// ORBIT_4: stall 43.2 N*m, J1 = 4.86e-3, J2 = 8e-4 kg*m^2 -> the unloaded
// torsion mode at 826 Hz, a held output at 312 Hz; no-load 38.5 rad/s.
constexpr Realism_type orbit_4_realism() {
  Realism_type r{};
  r.seed = 0x0B17'0004;
  r.slots = 24;
  r.bus_sinks = 1;
  r.k_twist = 18500.0;    // 43.2 N*m / 8 arcmin
  r.c_twist = 0.95;
  r.backlash = 1.745e-3;  // 6 arcmin
  r.eta_fwd = 0.97;
  r.eta_back = 0.969;
  r.friction_scale = 1.15;
  r.rotor_share = 0.25;
  r.cogging = 0.0142;     // 1.5 % of 0.947 N*m
  r.ripple = 0.015;
  r.adc_lsb = 0.0322;     // 132 A / 4096
  r.i_noise = 0.048;
  r.i_offset_a = 0.040;
  r.i_offset_b = -0.025;
  r.enc_int_noise = 1.0;
  r.enc_ext_noise = 2.0;
  r.T_noise = 0.08;
  r.R_bus = 0.12;
  r.C_bus = 680e-6;
  r.V_low = 38.4;
  r.V_high = 52.8;
  r.V_trip = 60.0;
  r.I_trip = 60.0;
  r.spd_trip = 48.0;
  r.T_trip = 140.0;
  return r;
}

// NOVA_3: stall 25.2 N*m, J1 = 1.555e-2, J2 = 4e-4 -> 684 Hz, held 108 Hz;
// no-load 8.24 rad/s.
constexpr Realism_type nova_3_realism() {
  Realism_type r{};
  r.seed = 0x0B17'0003;
  r.slots = 12;
  r.bus_sinks = 1;
  r.k_twist = 7200.0;     // 25.2 N*m / 12 arcmin
  r.c_twist = 1.06;
  r.backlash = 3.491e-3;  // 12 arcmin
  r.eta_fwd = 0.94;       // two stages
  r.eta_back = 0.936;
  r.friction_scale = 1.2;
  r.rotor_share = 0.25;
  r.cogging = 0.0047;     // 2 % of 0.235 N*m
  r.ripple = 0.02;
  r.adc_lsb = 0.00806;    // 33 A / 4096
  r.i_noise = 0.012;
  r.i_offset_a = 0.010;
  r.i_offset_b = -0.006;
  r.enc_int_noise = 0.5;
  r.enc_ext_noise = 1.5;
  r.T_noise = 0.05;
  r.R_bus = 0.15;
  r.C_bus = 330e-6;
  r.V_low = 19.2;
  r.V_high = 26.4;
  r.V_trip = 30.0;
  r.I_trip = 15.0;
  r.spd_trip = 10.3;
  r.T_trip = 140.0;
  return r;
}

// ORBIT_2: stall 2.16 N*m, J1 = 2.88e-4, J2 = 6e-5 -> 615 Hz, held 255 Hz;
// no-load 77 rad/s.
constexpr Realism_type orbit_2_realism() {
  Realism_type r{};
  r.seed = 0x0B17'0002;
  r.slots = 18;
  r.bus_sinks = 1;
  r.k_twist = 740.0;      // 2.16 N*m / 10 arcmin
  r.c_twist = 0.0462;
  r.backlash = 2.909e-3;  // 10 arcmin
  r.eta_fwd = 0.96;
  r.eta_back = 0.958;
  r.friction_scale = 1.1;
  r.rotor_share = 0.25;
  r.cogging = 0.00125;    // 1.5 % of 0.0833 N*m
  r.ripple = 0.015;
  r.adc_lsb = 0.00645;    // 26.4 A / 4096
  r.i_noise = 0.010;
  r.i_offset_a = 0.008;
  r.i_offset_b = -0.005;
  r.enc_int_noise = 1.0;
  r.enc_ext_noise = 1.0;
  r.T_noise = 0.004;
  r.R_bus = 0.2;
  r.C_bus = 220e-6;
  r.V_low = 19.2;
  r.V_high = 26.4;
  r.V_trip = 30.0;
  r.I_trip = 12.0;
  r.spd_trip = 96.0;
  r.T_trip = 140.0;
  return r;
}

}  // namespace detail

inline constexpr Actuator kCatalogue[] = {
    {"ORBIT_4", detail::orbit_4(), 30.0, 8.0, detail::orbit_4_realism()},
    {"NOVA_3", detail::nova_3(), 20.0, 5.0, detail::nova_3_realism()},
    {"ORBIT_2", detail::orbit_2(), 40.0, 10.0, detail::orbit_2_realism()},
};

constexpr const Actuator* find_model(std::string_view name) {
  for (const Actuator& m : kCatalogue)
    if (name == m.name) return &m;
  return nullptr;
}

constexpr bool in_catalogue(std::string_view name) {
  for (const Actuator& m : kCatalogue)
    if (name == m.name) return true;
  return false;
}

}  // namespace vez::twin
