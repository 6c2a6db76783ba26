// The actuators the twin is built for.  Each library is compiled with one
// name (VEZ_TWIN_MODEL) and looks its constants up here at compile time.
// The figures in data/assets/actuators/actuators_library.yaml.in are derived
// from these and checked against them by tests/twin.
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

}  // namespace detail

inline constexpr Actuator kCatalogue[] = {
    {"ORBIT_4", detail::orbit_4(), 30.0, 8.0},
    {"NOVA_3", detail::nova_3(), 20.0, 5.0},
    {"ORBIT_2", detail::orbit_2(), 40.0, 10.0},
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
