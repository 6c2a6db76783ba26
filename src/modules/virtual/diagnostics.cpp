// DorozeActuatorVirtual: items read on demand and the model's diagnostic
// views (info, motor state, measurements, debug flags, all parameters).
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "modules/virtual/methods.hpp"

namespace vez::virtual_actuator {

using namespace pybind11::literals;

namespace {

py::dict read_view(py::object self, const char* view_name, std::initializer_list<const char*> fields, char convert) {
  py::object view = glue::call_method(self, "_require_actuator").attr(view_name);
  py::dict out;
  for (const char* field : fields) {
    py::object value = view.attr(field);
    if (convert == 'f') value = to_float(value);
    if (convert == 'i') value = steal(PyNumber_Long(value.ptr()));
    out[field] = value;
  }
  return out;
}

py::dict get_info(py::object self) {
  return read_view(self, "info",
                   {"enable", "temp_winding", "T_fb", "T_ref", "id_fb", "id_ref", "iq_fb", "iq_ref", "pos_fb",
                    "pos_ref", "spd_fb", "spd_ref", "vd_ref", "vq_ref"},
                   'f');
}

py::dict get_motor_state(py::object self) {
  return read_view(self, "motor",
                   {"m_Te", "m_Tl", "m_acc", "m_eff_elec", "m_eff_mec", "m_i_dc", "m_ia", "m_ib", "m_ic", "m_id",
                    "m_iq", "m_pos1", "m_pos2", "m_pwr_dc", "m_pwr_elec", "m_pwr_mec", "m_spd1", "m_spd2", "m_va",
                    "m_vb", "m_vc", "m_vd", "m_vq"},
                   'f');
}

py::dict get_measurements(py::object self) {
  py::object meas = glue::call_method(self, "_require_actuator").attr("meas");
  py::dict out;
  out["turn"] = steal(PyNumber_Long(py::object(meas.attr("turn")).ptr()));
  out["turn2"] = steal(PyNumber_Long(py::object(meas.attr("turn2")).ptr()));
  for (const char* field : {"T", "e_pos", "pos", "pos2", "spd", "spd2"}) out[field] = to_float(meas.attr(field));
  return out;
}

py::dict get_debug_flags(py::object self) {
  return read_view(self, "debug",
                   {"T_fb_max", "T_ref_max", "i_max", "pos_fb_max", "pos_fb_min", "pos_ref_max", "pos_ref_min",
                    "spd_fb_max", "spd_ref_max", "spd_ref_min"},
                   'r');
}

bool has_errors(py::object self) {
  py::object flags = glue::call_method(self, "get_debug_flags");
  for (py::handle value : flags.attr("values")()) {
    if (truthy(value)) return true;
  }
  return false;
}

py::object field_or_nan(py::handle view, const char* field) {
  PyObject* found = nullptr;
  py::str name(field);
  const int r = glue::compat::get_optional_attr(view.ptr(), name.ptr(), &found);
  if (r < 0) throw_python_error();
  if (r == 0) return nan_object();
  return to_float(py::reinterpret_steal<py::object>(found));
}

py::dict get_all_parameters(py::object self) {
  py::object act = glue::call_method(self, "_require_actuator");
  py::object pid = act.attr("pid");
  py::object imp = act.attr("imp");
  py::object lim = act.attr("lim");
  auto f = [](py::handle view, const char* field) { return to_float(view.attr(field)); };
  py::dict pid_values;
  pid_values["pos_kp"] = f(pid, "pos_Kp");
  pid_values["pos_ki"] = field_or_nan(pid, "pos_Ki");
  pid_values["pos_kd"] = field_or_nan(pid, "pos_Kd");
  pid_values["spd_kp"] = f(pid, "spd_Kp");
  pid_values["spd_ki"] = f(pid, "spd_Ki");
  pid_values["id_kp"] = f(pid, "id_Kp");
  pid_values["id_ki"] = f(pid, "id_Ki");
  pid_values["ff_gain"] = py::hasattr(pid, "FF_gain")
                              ? f(pid, "FF_gain")
                              : tracked_or_nan(self, parameter(core::Parameter::FF_GAIN));
  py::dict impedance;
  impedance["k_stiff"] = f(imp, "K_stiff");
  impedance["k_damp"] = f(imp, "K_damp");
  impedance["t_ff"] = f(imp, "T_FF");
  impedance["j_imp"] = field_or_nan(imp, "J_imp");
  py::dict limits;
  for (const char* field : {"lim_T", "lim_pos_max", "lim_pos_min", "lim_spd_max", "lim_spd_min"}) limits[field] = f(lim, field);
  py::dict profile;
  for (const char* field : {"prof_pos_max", "prof_pos_min", "prof_spd_max", "prof_spd_min"}) profile[field] = f(lim, field);
  py::object filter;
  if (py::hasattr(act, "get_filter_cutoffs")) {
    filter = act.attr("get_filter_cutoffs")();
  } else {
    py::dict tracked_filter;
    tracked_filter["speed_cutoff"] = tracked_or_nan(self, parameter(core::Parameter::SPEED_CUTOFF));
    tracked_filter["current_cutoff"] = tracked_or_nan(self, parameter(core::Parameter::CURRENT_CUTOFF));
    filter = tracked_filter;
  }
  py::dict out;
  out["pid"] = pid_values;
  out["impedance"] = impedance;
  out["limits"] = limits;
  out["profile"] = profile;
  out["filter"] = filter;
  return out;
}

}  // namespace

void add_diagnostics_methods(glue::ClassBuilder& builder) {
  builder
      .def("_get_item_value", &get_item_value, py::arg("item"))
      .def("get_info", &get_info,
           glue::doc{"The controller's signals after the last tick, as {name: float}: enable, temp_winding "
                     "(degC), T_fb/T_ref (N*m), id/iq (A), pos (rad), spd (rad/s), vd_ref/vq_ref (V)."})
      .def("get_motor_state", &get_motor_state,
           glue::doc{"The simulated plant after the last tick, as {name: float}: torques (N*m), currents "
                     "(A), angles (rad), speeds (rad/s), acceleration (rad/s^2), voltages (V), powers (W), "
                     "efficiencies (0..1)."})
      .def("get_measurements", &get_measurements,
           glue::doc{"The sensors after the last tick: {\"turn\", \"turn2\": int turn counts; \"T\": N*m; "
                     "\"e_pos\", \"pos\", \"pos2\": rad; \"spd\", \"spd2\": rad/s}."})
      .def("get_debug_flags", &get_debug_flags,
           glue::doc{"The limit flags of the last tick, {name: bool} (torque, current, position and speed "
                     "limits)."})
      .def("has_errors", &has_errors,
           glue::doc{"True when any limit flag of the last tick is set."})
      .def("get_all_parameters", &get_all_parameters,
           glue::doc{"The model's tuning as nested dicts of floats: \"pid\" (loop gains), \"impedance\" "
                     "(N*m/rad, N*m*s/rad, N*m, kg*m^2), \"limits\" and \"profile\" (N*m, rad, rad/s), "
                     "\"filter\" (cutoffs in Hz)."});
}

}  // namespace vez::virtual_actuator
