// DorozeActuatorVirtual: modes, setpoints with their optional gains, the
// address, performance presets and the commands a simulation has no use for.
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "modules/setpoint_signatures.hpp"
#include "modules/virtual/methods.hpp"

namespace vez::virtual_actuator {

using namespace pybind11::literals;
using modules::def_setpoint;
using modules::kImpedanceSetpoint;
using modules::kPositionSetpoint;
using modules::kSpeedSetpoint;
using modules::kTorqueSetpoint;

namespace {

void require_member(py::handle value, PyObject* enum_cls, const char* arg, const char* expected) {
  if (!is_instance(value, enum_cls)) glue::raise_arg_type(arg, expected, value);
}

void change_mode(py::object self, py::handle mode) {
  require_member(mode, vocab.mode, "mode", "Mode");
  self.attr("_mode") = mode;
  self.attr("_current_mode") = mode;
  py::object act = self.attr("actuator");
  if (!act.is_none() && wrapper_initialized(act)) act.attr("set_control_type")(mode.attr("value"));
}

py::object get_mode(py::object self) { return self.attr("_mode"); }

void change_mode_if_needed(py::object self, py::handle mode) {
  const int differs = PyObject_RichCompareBool(py::object(self.attr("_mode")).ptr(), mode.ptr(), Py_NE);
  if (differs < 0) throw_python_error();
  if (differs) glue::call_method(self, "change_mode", mode);
}

py::float_ float_arg(py::handle value, const char* name) { return py::float_(glue::as_float(value, name)); }

// An optional argument: given unless it is NaN.
struct Option {
  py::float_ value;
  bool given;
};
Option option(py::handle value, const char* name) {
  py::float_ v = float_arg(value, name);
  return {v, !std::isnan(static_cast<double>(v))};
}

void change_setpoint(py::object self, py::handle setpoint) { self.attr("_setpoint") = float_arg(setpoint, "setpoint"); }

void mode_and_setpoint(py::object self, core::Mode mode, const py::float_& setpoint) {
  glue::call_method(self, "_change_mode_if_needed", py::handle(mode_member(mode)));
  self.attr("_setpoint") = setpoint;
}

// (a, b) = value, as tuple unpacking does it (and fails).
std::pair<py::object, py::object> unpack_pair(py::handle value) {
  py::object iterator = steal(PyObject_GetIter(value.ptr()));
  py::object items[2];
  for (int i = 0; i < 2; ++i) {
    PyObject* next = PyIter_Next(iterator.ptr());
    if (next == nullptr) {
      if (PyErr_Occurred()) throw_python_error();
      glue::raise(PyExc_ValueError, "not enough values to unpack (expected 2, got " + std::to_string(i) + ")");
    }
    items[i] = py::reinterpret_steal<py::object>(next);
  }
  PyObject* extra = PyIter_Next(iterator.ptr());
  if (extra != nullptr) {
    Py_DECREF(extra);
    glue::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
  }
  if (PyErr_Occurred()) throw_python_error();
  return {items[0], items[1]};
}

py::object kept_or(const Option& given, py::object current) { return given.given ? py::object(given.value) : current; }

void change_torque_setpoint(py::object self, py::handle setpoint, py::handle id_Kp, py::handle id_Ki,
                            py::handle iq_Kp, py::handle iq_Ki) {
  const py::float_ value = float_arg(setpoint, "setpoint");
  const Option id_kp = option(id_Kp, "id_Kp"), id_ki = option(id_Ki, "id_Ki");
  const Option iq_kp = option(iq_Kp, "iq_Kp"), iq_ki = option(iq_Ki, "iq_Ki");
  mode_and_setpoint(self, core::Mode::TORQUE, value);
  if (id_kp.given || id_ki.given) {
    py::object act = glue::call_method(self, "_require_actuator");
    auto [kp, ki] = unpack_pair(act.attr("get_current_gains")());
    act.attr("set_current_gains")(kept_or(id_kp, kp), kept_or(id_ki, ki));
  }
  // The model has one set of current-loop gains for both axes.
  auto differ = [](const Option& q, const Option& d) {
    return q.given && d.given && static_cast<double>(q.value) != static_cast<double>(d.value);
  };
  if (differ(iq_kp, id_kp) || differ(iq_ki, id_ki)) {
    glue::log(self.attr("logger"), "warning",
              "Virtual actuator exposes shared current gains; q-axis gains cannot differ from d-axis gains.");
  }
}

void apply_speed_setpoint_options(py::object self, py::handle FF_gain, py::handle spd_Ki, py::handle spd_Kp,
                                  py::handle ref_ff_torque) {
  const Option ff = option(FF_gain, "FF_gain"), ki = option(spd_Ki, "spd_Ki"), kp = option(spd_Kp, "spd_Kp");
  const Option torque = option(ref_ff_torque, "ref_ff_torque");
  if (ff.given) glue::call_method(self, "_set_feedforward_gain", ff.value);
  if (kp.given || ki.given) {
    py::object act = glue::call_method(self, "_require_actuator");
    auto [current_kp, current_ki] = unpack_pair(act.attr("get_speed_gains")());
    act.attr("set_speed_gains")(kept_or(kp, current_kp), kept_or(ki, current_ki));
  }
  if (torque.given) glue::call_method(self, "_require_actuator").attr("set_torque_feedforward")(torque.value);
}

void change_speed_setpoint(py::object self, py::handle setpoint, py::handle FF_gain, py::handle spd_Ki,
                           py::handle spd_Kp, py::handle ref_ff_torque) {
  const py::float_ value = float_arg(setpoint, "setpoint");
  mode_and_setpoint(self, core::Mode::SPEED, value);
  glue::call_method(self, "_apply_speed_setpoint_options", "FF_gain"_a = FF_gain, "spd_Ki"_a = spd_Ki,
                    "spd_Kp"_a = spd_Kp, "ref_ff_torque"_a = ref_ff_torque);
}

void change_position_setpoint(py::object self, py::handle setpoint, py::handle FF_gain, py::handle spd_Ki,
                              py::handle spd_Kp, py::handle pos_Kp, py::handle ref_ff_torque) {
  const py::float_ value = float_arg(setpoint, "setpoint");
  const Option pos_kp = option(pos_Kp, "pos_Kp");
  mode_and_setpoint(self, core::Mode::POSITION, value);
  glue::call_method(self, "_apply_speed_setpoint_options", "FF_gain"_a = FF_gain, "spd_Ki"_a = spd_Ki,
                    "spd_Kp"_a = spd_Kp, "ref_ff_torque"_a = ref_ff_torque);
  if (pos_kp.given) glue::call_method(self, "_require_actuator").attr("set_position_kp")(pos_kp.value);
}

void change_impedance_setpoint(py::object self, py::handle setpoint, py::handle FF_gain, py::handle K_stiff,
                               py::handle K_damp, py::handle J_imp, py::handle ref_ff_torque,
                               py::handle ref_impedance_spd, py::handle ref_impedance_acel) {
  const py::float_ value = float_arg(setpoint, "setpoint");
  const Option ff = option(FF_gain, "FF_gain"), stiff = option(K_stiff, "K_stiff"), damp = option(K_damp, "K_damp");
  const Option inertia = option(J_imp, "J_imp"), torque = option(ref_ff_torque, "ref_ff_torque");
  const Option speed = option(ref_impedance_spd, "ref_impedance_spd");
  const Option acceleration = option(ref_impedance_acel, "ref_impedance_acel");
  mode_and_setpoint(self, core::Mode::IMPEDANCE, value);
  if (ff.given) glue::call_method(self, "_set_feedforward_gain", ff.value);
  if (stiff.given || damp.given) {
    py::object act = glue::call_method(self, "_require_actuator");
    py::object gains = act.attr("get_impedance_gains")();
    // The torque feed-forward of the impedance law stays as it is.
    act.attr("set_impedance_gains")(kept_or(stiff, gains["k_stiff"]), kept_or(damp, gains["k_damp"]), gains["t_ff"]);
  }
  if (inertia.given) glue::call_method(self, "_require_actuator").attr("set_impedance_inertia")(inertia.value);
  if (torque.given) glue::call_method(self, "_require_actuator").attr("set_torque_feedforward")(torque.value);
  if (speed.given || acceleration.given) {
    glue::call_method(self, "_require_actuator")
        .attr("set_impedance_references")(speed.given ? py::object(speed.value) : py::object(py::none()),
                                          acceleration.given ? py::object(acceleration.value) : py::object(py::none()));
  }
  if (speed.given) self.attr("_impedance_speed_reference") = speed.value;
}

void change_address(py::object self, py::handle new_address) {
  py::int_ address = glue::as_int(new_address, "new_address");
  const int same = PyObject_RichCompareBool(address.ptr(), py::object(self.attr("_address")).ptr(), Py_EQ);
  if (same < 0) throw_python_error();
  if (same) {
    self.attr("logger").attr("warning")("New address is the same as the current address %s", address);
    return;
  }
  if (!truthy(glue::call_method(self, "is_valid_actuator_address", address))) {
    glue::raise(PyExc_ValueError,
                "Invalid new address " + glue::str(address) + ". Address must be between 0x10 and 0x3FFE.");
  }
  self.attr("_address") = address;
  py::object act = self.attr("actuator");
  if (!act.is_none()) act.attr("set_address")(address);
}

void set_can_high_speed(py::object self, py::object enabled) {
  self.attr("_can_high_speed") = enabled;
  tracked_values(self)[py::handle(parameter(core::Parameter::CAN_HIGH_SPEED))] = py::float_(truthy(enabled) ? 1.0 : 0.0);
}

void set_torque_performance(py::object self, py::handle performance) {
  require_member(performance, vocab.torque_performance, "performance", "TorquePerformance");
  self.attr("_torque_performance") = performance;
}

void set_speed_performance(py::object self, py::handle performance) {
  require_member(performance, vocab.speed_performance, "performance", "SpeedPerformance");
  self.attr("_speed_performance") = performance;
}

void save_config(py::object self) {
  glue::log(self.attr("logger"), "info", "Virtual actuators do not persist configuration.");
}

void blink(py::object self, py::handle /*timeout*/) {
  glue::log(self.attr("logger"), "info", "Blink is a no-op for the virtual actuator.");
}

}  // namespace

void add_commands_methods(glue::ClassBuilder& builder) {
  const py::object nan = py::float_(std::nan(""));
  builder
      .def("change_mode", &change_mode, py::arg("mode"),
           glue::doc{"Switch the simulated control mode to `mode` (a member of `Mode`). Returns None."})
      .def("get_mode", &get_mode,
           glue::doc{"The current control mode, a member of `Mode`."})
      .def("_change_mode_if_needed", &change_mode_if_needed, py::arg("mode"))
      .def("change_setpoint", &change_setpoint, py::arg("setpoint"),
           glue::doc{"Set the reference in the units of the current mode (torque N*m, speed rad/s, position "
                     "or impedance rad), without changing the mode. Returns None."});
  def_setpoint<kTorqueSetpoint>(
      builder, &change_torque_setpoint,
      "Torque setpoint `setpoint` in N*m; switches to Mode.TORQUE first when needed. `id_Kp` "
      "(V/A) and `id_Ki` (V/(A*s)) set the shared current-loop gains; the q-axis gains "
      "cannot differ from them (a warning says so). Optional values default to NaN, meaning "
      "not given. Returns None.");
  def_setpoint<kSpeedSetpoint>(
      builder, &change_speed_setpoint,
      "Speed setpoint `setpoint` in rad/s; switches to Mode.SPEED first when needed. "
      "`FF_gain` feed-forward share (0..1), `spd_Kp` (N*m/(rad/s)), `spd_Ki` (N*m/rad), "
      "`ref_ff_torque` (N*m). Optional values default to NaN, meaning not given. Returns "
      "None.");
  def_setpoint<kPositionSetpoint>(
      builder, &change_position_setpoint,
      "Position setpoint `setpoint` in rad; switches to Mode.POSITION first when needed. "
      "`FF_gain` feed-forward share (0..1), `spd_Kp` (N*m/(rad/s)), `spd_Ki` (N*m/rad), "
      "`pos_Kp` ((rad/s)/rad), `ref_ff_torque` (N*m). Optional values default to NaN, "
      "meaning not given. Returns None.");
  def_setpoint<kImpedanceSetpoint>(
      builder, &change_impedance_setpoint,
      "Equilibrium position `setpoint` in rad of the impedance law; switches to "
      "Mode.IMPEDANCE first when needed. `K_stiff` (N*m/rad), `K_damp` (N*m*s/rad), `J_imp` "
      "(kg*m^2), `ref_ff_torque` (N*m), `ref_impedance_spd` (rad/s), `ref_impedance_acel` "
      "(rad/s^2), `FF_gain` (0..1). Optional values default to NaN, meaning not given. "
      "Returns None.");
  builder
      .def("_apply_speed_setpoint_options", &apply_speed_setpoint_options, py::arg_v("FF_gain", nan),
           py::arg_v("spd_Ki", nan), py::arg_v("spd_Kp", nan), py::arg_v("ref_ff_torque", nan))
      .def("change_address", &change_address, py::arg("new_address"),
           glue::doc{"Give the simulated actuator the bus address `new_address` (16..16382). Returns None; "
                     "an unchanged address is logged, an invalid one raises ValueError."})
      .def("set_can_high_speed", &set_can_high_speed, py::arg("enabled"),
           glue::doc{"Record the CAN high-speed switch `enabled` (the simulation has no bus). Returns None."})
      .def("set_torque_performance", &set_torque_performance, py::arg("performance"),
           glue::doc{"Record a torque-mode preset, a member of `TorquePerformance` (the twin does not use "
                     "it). Returns None."})
      .def("set_speed_performance", &set_speed_performance, py::arg("performance"),
           glue::doc{"Record a speed-mode preset, a member of `SpeedPerformance` (the twin does not use "
                     "it). Returns None."})
      .def("save_config", &save_config,
           glue::doc{"Nothing to persist on a virtual actuator: logs that at INFO level. Returns None."})
      .def("blink", &blink, py::arg_v("timeout", py::float_(1.0)),
           glue::doc{"No LED on a virtual actuator: logs that at INFO level. Returns None."});
}

}  // namespace vez::virtual_actuator
