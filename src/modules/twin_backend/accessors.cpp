// ActuatorWrapper's accessors: the model's gains, limits, references and
// filters, read and written through field_access (raw memory where it
// applies, ctypes otherwise).
#include <cmath>
#include <string>

#include "modules/twin_backend/direct_step.hpp"
#include "modules/twin_backend/field_access.hpp"
#include "modules/twin_backend/methods.hpp"

namespace vez::backend {

using namespace pybind11::literals;

namespace {

void set_position_kp(py::object self, py::handle kp) { set_required(self, kPosKp, float_arg(kp, "kp")); }

py::float_ get_position_kp(py::object self) { return get_float(self, kPosKp); }

void set_feedforward_gain(py::object self, py::handle gain) {
  py::float_ value = float_arg(gain, "gain");
  self.attr("_feedforward_gain") = value;
  ViewCache* vc;
  py::object pid = lookup_view(self.ptr(), kPid, &vc);
  if (has_field(pid, vc, kFfGain)) set_field(pid, vc, kFfGain, value);
}

py::object get_feedforward_gain(py::object self) {
  ViewCache* vc;
  py::object pid = lookup_view(self.ptr(), kPid, &vc);
  py::object value = has_field(pid, vc, kFfGain) ? get_field(pid, vc, kFfGain) : self.attr("_feedforward_gain");
  PyObject* converted = PyNumber_Float(value.ptr());
  if (converted == nullptr) throw_python_error();
  return py::reinterpret_steal<py::object>(converted);
}

void set_speed_gains(py::object self, py::handle kp, py::handle ki) {
  py::float_ p = float_arg(kp, "kp");
  py::float_ i = float_arg(ki, "ki");
  set_required(self, kSpdKp, p);
  set_required(self, kSpdKi, i);
}

py::tuple get_speed_gains(py::object self) { return py::make_tuple(get_float(self, kSpdKp), get_float(self, kSpdKi)); }

void set_current_gains(py::object self, py::handle kp, py::handle ki) {
  py::float_ p = float_arg(kp, "kp");
  py::float_ i = float_arg(ki, "ki");
  set_required(self, kIdKp, p);
  set_required(self, kIdKi, i);
}

py::tuple get_current_gains(py::object self) { return py::make_tuple(get_float(self, kIdKp), get_float(self, kIdKi)); }

void set_address(py::object self, py::handle address) { self.attr("_address") = glue::as_int(address, "address"); }

py::object get_address(py::object self) { return py::getattr(self, "_address", py::none()); }

py::object address_property(py::object self) { return glue::call_method(self, "get_address"); }

void set_control_type(py::object self, py::handle control_type) {
  set_required(self, kControlType, glue::as_int(control_type, "control_type"));
}

void set_enable(py::object self, py::handle enable) {
  py::object value = glue::truthy(enable) ? self.attr("MOTOR_ON") : self.attr("MOTOR_OFF");
  set_required(self, kEnable, value);
}

void set_impedance_gains(py::object self, py::handle k_stiff, py::handle k_damp, py::handle t_ff) {
  py::float_ stiff = float_arg(k_stiff, "k_stiff");
  py::float_ damp = float_arg(k_damp, "k_damp");
  py::float_ feedforward = float_arg(t_ff, "t_ff");
  ViewCache* vc;
  py::object imp = lookup_view(self.ptr(), kImp, &vc);
  set_required_field(imp, vc, kKStiff, stiff);
  set_required_field(imp, vc, kKDamp, damp);
  set_required_field(imp, vc, kTFf, feedforward);
}

py::object nan_value() { return mod.get("math").attr("nan"); }

py::dict get_impedance_gains(py::object self) {
  py::dict out;
  out["k_stiff"] = get_float(self, kKStiff);
  out["k_damp"] = get_float(self, kKDamp);
  out["t_ff"] = get_float(self, kTFf);
  ViewCache* vc;
  py::object imp = lookup_view(self.ptr(), kImp, &vc);
  out["j_imp"] = has_field(imp, vc, kJImp) ? py::object(get_float(self, kJImp)) : nan_value();
  return out;
}

void set_impedance_inertia(py::object self, py::handle j_imp) {
  py::float_ value = float_arg(j_imp, "j_imp");
  ViewCache* vc;
  py::object imp = lookup_view(self.ptr(), kImp, &vc);
  if (has_field(imp, vc, kJImp)) set_field(imp, vc, kJImp, value);
}

void set_damping(py::object self, py::handle k_damp) { set_required(self, kKDamp, float_arg(k_damp, "k_damp")); }

void set_stiffness(py::object self, py::handle k_stiff) { set_required(self, kKStiff, float_arg(k_stiff, "k_stiff")); }

void set_torque_feedforward(py::object self, py::handle t_ff) {
  py::float_ value = float_arg(t_ff, "t_ff");
  self.attr("_reference_feedforward_torque") = value;
  ViewCache* vc;
  py::object inp = lookup_view(self.ptr(), kInp, &vc);
  if (has_field(inp, vc, kRefFfTorque)) {
    set_field(inp, vc, kRefFfTorque, value);
  } else {
    set_required(self, kTFf, value);
  }
}

void set_impedance_references(py::object self, py::handle speed_reference, py::handle acceleration_reference) {
  py::object speed = optional_float_arg(speed_reference, "speed_reference");
  py::object acceleration = optional_float_arg(acceleration_reference, "acceleration_reference");
  ViewCache* vc;
  py::object inp = lookup_view(self.ptr(), kInp, &vc);
  if (!speed.is_none()) {
    self.attr("_impedance_speed_reference") = speed;
    if (has_field(inp, vc, kRefImpedanceSpd)) set_field(inp, vc, kRefImpedanceSpd, speed);
  }
  if (!acceleration.is_none()) {
    self.attr("_impedance_acceleration_reference") = acceleration;
    if (has_field(inp, vc, kRefImpedanceAcel)) set_field(inp, vc, kRefImpedanceAcel, acceleration);
  }
}

void set_filter_cutoffs(py::object self, py::handle speed_cutoff, py::handle current_cutoff) {
  py::object speed = optional_float_arg(speed_cutoff, "speed_cutoff");
  py::object current = optional_float_arg(current_cutoff, "current_cutoff");
  ViewCache* vc;
  py::object filter = lookup_view(self.ptr(), kFilter, &vc);
  if (filter.is_none()) return;
  if (!speed.is_none() && has_field(filter, vc, kSpdCutoff)) set_field(filter, vc, kSpdCutoff, speed);
  if (!current.is_none() && has_field(filter, vc, kCurrentCutoff)) set_field(filter, vc, kCurrentCutoff, current);
}

py::dict get_filter_cutoffs(py::object self) {
  ViewCache* vc;
  py::object filter = lookup_view(self.ptr(), kFilter, &vc);
  auto read = [&](Field f) -> py::object {
    if (filter.is_none() || !has_field(filter, vc, f)) return nan_value();
    py::object value = get_field(filter, vc, f);
    PyObject* converted = PyNumber_Float(value.ptr());
    if (converted == nullptr) throw_python_error();
    return py::reinterpret_steal<py::object>(converted);
  };
  py::dict out;
  out["speed_cutoff"] = read(kSpdCutoff);
  out["current_cutoff"] = read(kCurrentCutoff);
  return out;
}

void set_home_position(py::object self) {
  set_required(self, kResetPos, py::bool_(true));
  dt_step_once(self);
  set_required(self, kResetPos, py::bool_(false));
}

}  // namespace

void add_accessor_methods(glue::ClassBuilder& builder) {
  builder
      .def("set_position_kp", &set_position_kp, py::arg("kp"),
           glue::doc{"Set the position-loop proportional gain `kp`, in (rad/s)/rad. Returns None."})
      .def("get_position_kp", &get_position_kp,
           glue::doc{"The position-loop proportional gain, in (rad/s)/rad (float)."})
      .def("set_feedforward_gain", &set_feedforward_gain, py::arg("gain"),
           glue::doc{"Set the feed-forward share `gain` of the position profile (0..1). Returns None."})
      .def("get_feedforward_gain", &get_feedforward_gain,
           glue::doc{"The feed-forward share of the position profile, 0..1 (float)."})
      .def("set_speed_gains", &set_speed_gains, py::arg("kp"), py::arg("ki"),
           glue::doc{"Set the speed-loop gains: `kp` in N*m/(rad/s), `ki` in N*m/rad. Returns None."})
      .def("get_speed_gains", &get_speed_gains,
           glue::doc{"The speed-loop gains (kp in N*m/(rad/s), ki in N*m/rad), a tuple of floats."})
      .def("set_current_gains", &set_current_gains, py::arg("kp"), py::arg("ki"),
           glue::doc{"Set the current-loop gains of both axes: `kp` in V/A, `ki` in V/(A*s). Returns None."})
      .def("get_current_gains", &get_current_gains,
           glue::doc{"The current-loop gains (kp in V/A, ki in V/(A*s)), a tuple of floats."})
      .def("set_address", &set_address, py::arg("address"),
           glue::doc{"Remember the bus address `address` (an int); the model does not use it. Returns None."})
      .def("get_address", &get_address,
           glue::doc{"The address given to set_address (an int), or None."})
      .def_property_readonly("address", &address_property, "The address given to set_address (an int), or None.")
      .def("set_control_type", &set_control_type, py::arg("control_type"),
           glue::doc{"Select the control type `control_type` (an int: 1 calibration, 2 FVI, 3 open loop, 4 "
                     "DVI, 5 torque, 6 speed, 7 position, 8 impedance). Returns None."})
      .def("set_enable", &set_enable, py::arg("enable"),
           glue::doc{"Turn the power stage on (`enable` true) or off. Returns None."})
      .def("set_impedance_gains", &set_impedance_gains, py::arg("k_stiff"), py::arg("k_damp"),
           py::arg_v("t_ff", py::float_(0.0)),
           glue::doc{"Set the impedance law: stiffness `k_stiff` in N*m/rad, damping `k_damp` in N*m*s/rad "
                     "and constant torque `t_ff` in N*m. Returns None."})
      .def("get_impedance_gains", &get_impedance_gains,
           glue::doc{"The impedance law as {\"k_stiff\": N*m/rad, \"k_damp\": N*m*s/rad, \"t_ff\": N*m, "
                     "\"j_imp\": kg*m^2 (NaN when the model has none)}."})
      .def("set_impedance_inertia", &set_impedance_inertia, py::arg("j_imp"),
           glue::doc{"Set the impedance law's inertia `j_imp` in kg*m^2 (ignored by a model without one). "
                     "Returns None."})
      .def("set_damping", &set_damping, py::arg("k_damp"),
           glue::doc{"Set the impedance damping `k_damp` in N*m*s/rad. Returns None."})
      .def("set_stiffness", &set_stiffness, py::arg("k_stiff"),
           glue::doc{"Set the impedance stiffness `k_stiff` in N*m/rad. Returns None."})
      .def("set_torque_feedforward", &set_torque_feedforward, py::arg("t_ff"),
           glue::doc{"Set the feed-forward torque `t_ff` in N*m. Returns None."})
      .def("set_impedance_references", &set_impedance_references, py::arg_v("speed_reference", py::none()),
           py::arg_v("acceleration_reference", py::none()),
           glue::doc{"Set the impedance mode's speed reference (rad/s) and acceleration reference "
                     "(rad/s^2); None leaves one unchanged. Returns None."})
      .def("set_filter_cutoffs", &set_filter_cutoffs, py::arg_v("speed_cutoff", py::none()),
           py::arg_v("current_cutoff", py::none()),
           glue::doc{"Set the cutoff frequencies in Hz of the speed filter and of the current and torque "
                     "filter; None leaves one unchanged. Returns None."})
      .def("get_filter_cutoffs", &get_filter_cutoffs,
           glue::doc{"The filter cutoffs in Hz as {\"speed_cutoff\": ..., \"current_cutoff\": ...} (NaN "
                     "when the model has no such filter)."})
      .def("set_home_position", &set_home_position,
           glue::doc{"Zero the position (0 rad): one model step with ResetPos set. Returns None."});
}

}  // namespace vez::backend
