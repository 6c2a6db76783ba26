// Where the virtual actuator keeps each parameter: a field of the model
// ("view.field" on the simulation wrapper), or a value it tracks itself with
// its initial value.  Constant tables, callable from any thread.  Parameters
// in neither table are handled one by one (mode, setpoint, address, ...).
#pragma once

#include <cstddef>

#include "actuator_protocol.hpp"

namespace vez::core {

struct ParameterPath {
  Parameter parameter;
  const char* path;  // "view.field"
};

inline constexpr ParameterPath kVirtualParameterPaths[] = {
    {Parameter::K_DAMPING, "imp.K_damp"},
    {Parameter::K_STIFFNESS, "imp.K_stiff"},
    {Parameter::TORQUE_FF, "imp.T_FF"},
    {Parameter::LIM_TORQUE, "lim.lim_T"},
    {Parameter::LIM_POSITION_MAX, "lim.lim_pos_max"},
    {Parameter::LIM_POSITION_MIN, "lim.lim_pos_min"},
    {Parameter::LIM_SPEED_MAX, "lim.lim_spd_max"},
    {Parameter::LIM_SPEED_MIN, "lim.lim_spd_min"},
    {Parameter::PROFILE_POSITION_MAX, "lim.prof_pos_max"},
    {Parameter::PROFILE_POSITION_MIN, "lim.prof_pos_min"},
    {Parameter::PROFILE_SPEED_MAX, "lim.prof_spd_max"},
    {Parameter::PROFILE_SPEED_MIN, "lim.prof_spd_min"},
    {Parameter::KP_SPEED, "pid.spd_Kp"},
    {Parameter::KI_SPEED, "pid.spd_Ki"},
    {Parameter::KP_POSITION, "pid.pos_Kp"},
};

// Tracked values start as NaN ("not known") unless a default is given.
struct TrackedParameter {
  Parameter parameter;
  bool has_default;
  double default_value;  // when has_default
};

inline constexpr TrackedParameter kVirtualTrackedParameters[] = {
    {Parameter::FF_GAIN, false, 0.0},          {Parameter::PROFILE_SPEED_MAX_RAD_S, false, 0.0},
    {Parameter::PROFILE_TORQUE_MAX_NM, false, 0.0}, {Parameter::SPEED_CUTOFF, false, 0.0},
    {Parameter::CURRENT_CUTOFF, false, 0.0},   {Parameter::INVERT_FLAG, true, 0.0},
    {Parameter::CAN_HIGH_SPEED, true, 0.0},    {Parameter::SERIAL_NUMBER, false, 0.0},
    {Parameter::FIRMWARE_VERSION, false, 0.0}, {Parameter::DEVICE_MODEL, false, 0.0},
    {Parameter::CONTROL_VERSION, false, 0.0},
};

// The model path of `p`, or nullptr when the model does not hold it.
const char* virtual_parameter_path(Parameter p);

}  // namespace vez::core
