// The setpoint methods the actuator classes share, as one table: each
// method's name, the mode it switches to, and its parameters — `setpoint`,
// then the optional gains and references, which default to NaN (not given).
// The physical and the virtual actuator register their own functions under
// these signatures (def_setpoint), so the two surfaces cannot drift apart;
// pybind11 refuses at compile time a function whose arity does not match.
#pragma once

#include <cmath>
#include <cstddef>
#include <utility>

#include "core/actuator_protocol.hpp"
#include "glue/glue.hpp"

namespace vez::modules {

struct SetpointSignature {
  const char* method;
  core::Mode mode;
  size_t option_count;
  const char* options[8];  // after `setpoint`, in order
};

inline constexpr SetpointSignature kTorqueSetpoint = {
    "change_torque_setpoint", core::Mode::TORQUE, 4, {"id_Kp", "id_Ki", "iq_Kp", "iq_Ki"}};
inline constexpr SetpointSignature kSpeedSetpoint = {
    "change_speed_setpoint", core::Mode::SPEED, 4, {"FF_gain", "spd_Ki", "spd_Kp", "ref_ff_torque"}};
inline constexpr SetpointSignature kPositionSetpoint = {
    "change_position_setpoint", core::Mode::POSITION, 5, {"FF_gain", "spd_Ki", "spd_Kp", "pos_Kp", "ref_ff_torque"}};
inline constexpr SetpointSignature kImpedanceSetpoint = {
    "change_impedance_setpoint",
    core::Mode::IMPEDANCE,
    7,
    {"FF_gain", "K_stiff", "K_damp", "J_imp", "ref_ff_torque", "ref_impedance_spd", "ref_impedance_acel"}};
// The physical actuator's internal controllers only.
inline constexpr SetpointSignature kInternalSpeedSetpoint = {
    "internal_change_speed_setpoint", core::Mode::SPEED, 3, {"spd_b0", "spd_wc", "spd_wo"}};
inline constexpr SetpointSignature kInternalPositionSetpoint = {
    "internal_change_position_setpoint",
    core::Mode::POSITION,
    8,
    {"pos_Ki", "pos_Kd", "pos_b0", "pos_wc", "pos_wo", "spd_b0", "spd_wc", "spd_wo"}};

// One handle per optional parameter, for functions written against a
// signature: void f(py::object self, py::handle setpoint, OptionHandle<I>...).
template <size_t>
using OptionHandle = pybind11::handle;

namespace detail {
template <const SetpointSignature& S, typename Fn, size_t... I>
void def_setpoint(glue::ClassBuilder& builder, Fn&& fn, const char* doc, std::index_sequence<I...>) {
  const pybind11::object nan = pybind11::float_(std::nan(""));
  builder.def(S.method, std::forward<Fn>(fn), pybind11::arg("setpoint"), pybind11::arg_v(S.options[I], nan)...,
              glue::doc{doc});
}
}  // namespace detail

// Registers fn(self, setpoint, <options>...) as the method S describes.
template <const SetpointSignature& S, typename Fn>
void def_setpoint(glue::ClassBuilder& builder, Fn&& fn, const char* doc) {
  detail::def_setpoint<S>(builder, std::forward<Fn>(fn), doc, std::make_index_sequence<S.option_count>());
}

}  // namespace vez::modules
