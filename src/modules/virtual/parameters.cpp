// DorozeActuatorVirtual: parameters, kept in the model's structures where the
// model has them (core/virtual_parameters.hpp) and tracked by the instance
// otherwise.
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "core/virtual_parameters.hpp"
#include "modules/virtual/methods.hpp"

namespace vez::virtual_actuator {

using namespace pybind11::literals;

py::object tracked_values(py::handle self) { return self.attr("_tracked_numeric_values"); }

py::object tracked_or_nan(py::handle self, py::handle key) {
  py::object value = tracked_values(self).attr("get")(key, py::none());
  return value.is_none() ? nan_object() : to_float(value);
}

namespace {

py::object follow(py::object start, const std::vector<std::string>& parts, size_t count) {
  py::object obj = start;
  for (size_t i = 0; i < count; ++i) obj = obj.attr(parts[i].c_str());
  return obj;
}

std::vector<std::string> split_path(py::handle path) {
  const std::string text = glue::str(glue::as_str_or_subclass(path, "path"));
  std::vector<std::string> parts;
  size_t begin = 0;
  while (true) {
    const size_t dot = text.find('.', begin);
    parts.push_back(text.substr(begin, dot == std::string::npos ? std::string::npos : dot - begin));
    if (dot == std::string::npos) break;
    begin = dot + 1;
  }
  return parts;
}

py::object read_path(py::object self, py::handle path) {
  const std::vector<std::string> parts = split_path(path);
  py::object act = glue::call_method(self, "_require_actuator");
  return to_float(follow(act, parts, parts.size()));
}

void write_path(py::object self, py::handle path, py::object value) {
  const std::vector<std::string> parts = split_path(path);
  py::object act = glue::call_method(self, "_require_actuator");
  follow(act, parts, parts.size() - 1).attr(parts.back().c_str()) = value;
}

void set_feedforward_gain_impl(py::object self, py::object value) {
  tracked_values(self)[py::handle(parameter(core::Parameter::FF_GAIN))] = value;
  py::object act = self.attr("actuator");
  if (!act.is_none() && py::hasattr(act, "set_feedforward_gain")) act.attr("set_feedforward_gain")(value);
}

py::object get_feedforward_gain_impl(py::object self) {
  py::object act = self.attr("actuator");
  if (!act.is_none() && py::hasattr(act, "get_feedforward_gain")) return to_float(act.attr("get_feedforward_gain")());
  return to_float(tracked_values(self)[py::handle(parameter(core::Parameter::FF_GAIN))]);
}

void set_filter_cutoff(py::object self, py::object speed_cutoff, py::object current_cutoff) {
  py::object tracked = tracked_values(self);
  if (!speed_cutoff.is_none()) tracked[py::handle(parameter(core::Parameter::SPEED_CUTOFF))] = speed_cutoff;
  if (!current_cutoff.is_none()) tracked[py::handle(parameter(core::Parameter::CURRENT_CUTOFF))] = current_cutoff;
  py::object act = self.attr("actuator");
  if (!act.is_none() && py::hasattr(act, "set_filter_cutoffs")) {
    act.attr("set_filter_cutoffs")("speed_cutoff"_a = speed_cutoff, "current_cutoff"_a = current_cutoff);
  }
}

py::object get_filter_cutoff(py::object self, py::handle key) {
  py::str name = glue::as_str_or_subclass(key, "key");
  py::object act = self.attr("actuator");
  if (!act.is_none() && py::hasattr(act, "get_filter_cutoffs")) {
    py::object value = act.attr("get_filter_cutoffs")().attr("get")(name, nan_object());
    if (!is_nan_value(value)) return to_float(value);
  }
  const bool speed = glue::str(name) == "speed_cutoff";
  return to_float(tracked_values(self)[py::handle(parameter(speed ? core::Parameter::SPEED_CUTOFF
                                                                  : core::Parameter::CURRENT_CUTOFF))]);
}

void set_parameter_value(py::object self, py::object param, py::object value) {
  using core::Parameter;
  py::object paths = self.attr("_PARAMETER_PATHS");
  const int in_paths = PySequence_Contains(paths.ptr(), param.ptr());
  if (in_paths < 0) throw_python_error();
  if (in_paths) {
    glue::call_method(self, "_write_path", paths[param], value);
  } else if (param.ptr() == parameter(Parameter::FF_GAIN)) {
    glue::call_method(self, "_set_feedforward_gain", value);
  } else if (param.ptr() == parameter(Parameter::SPEED_CUTOFF)) {
    glue::call_method(self, "_set_filter_cutoff", "speed_cutoff"_a = value);
  } else if (param.ptr() == parameter(Parameter::CURRENT_CUTOFF)) {
    glue::call_method(self, "_set_filter_cutoff", "current_cutoff"_a = value);
  } else if (param.ptr() == parameter(Parameter::SETPOINT)) {
    self.attr("_setpoint") = value;
  } else if (param.ptr() == parameter(Parameter::MODE)) {
    glue::call_method(self, "change_mode", py::handle(vocab.mode)(steal(PyNumber_Long(value.ptr()))));
  } else if (param.ptr() == parameter(Parameter::TORQUE_PERFORMANCE)) {
    self.attr("_torque_performance") = py::handle(vocab.torque_performance)(steal(PyNumber_Long(value.ptr())));
  } else if (param.ptr() == parameter(Parameter::SPEED_PERFORMANCE)) {
    self.attr("_speed_performance") = py::handle(vocab.speed_performance)(steal(PyNumber_Long(value.ptr())));
  } else if (param.ptr() == parameter(Parameter::VEZ_ADDRESS)) {
    glue::call_method(self, "change_address", steal(PyNumber_Long(value.ptr())));
  } else if (param.ptr() == parameter(Parameter::CAN_HIGH_SPEED)) {
    const int nonzero = PyObject_RichCompareBool(value.ptr(), py::int_(0).ptr(), Py_NE);
    if (nonzero < 0) throw_python_error();
    glue::call_method(self, "set_can_high_speed", py::bool_(nonzero == 1));
  } else {
    tracked_values(self)[param] = value;
  }
}

py::object get_parameter_value(py::object self, py::object param) {
  using core::Parameter;
  py::object paths = self.attr("_PARAMETER_PATHS");
  const int in_paths = PySequence_Contains(paths.ptr(), param.ptr());
  if (in_paths < 0) throw_python_error();
  if (in_paths) return glue::call_method(self, "_read_path", paths[param]);
  PyObject* p = param.ptr();
  if (p == parameter(Parameter::FF_GAIN)) return glue::call_method(self, "_get_feedforward_gain");
  if (p == parameter(Parameter::SPEED_CUTOFF)) return glue::call_method(self, "_get_filter_cutoff", "speed_cutoff");
  if (p == parameter(Parameter::CURRENT_CUTOFF)) return glue::call_method(self, "_get_filter_cutoff", "current_cutoff");
  if (p == parameter(Parameter::MODE)) return to_float(self.attr("_mode").attr("value"));
  if (p == parameter(Parameter::SETPOINT)) return to_float(self.attr("_setpoint"));
  if (p == parameter(Parameter::TORQUE_PERFORMANCE)) return to_float(self.attr("_torque_performance").attr("value"));
  if (p == parameter(Parameter::SPEED_PERFORMANCE)) return to_float(self.attr("_speed_performance").attr("value"));
  if (p == parameter(Parameter::VEZ_ADDRESS)) {
    py::object address = self.attr("_address");
    return address.is_none() ? nan_object() : to_float(address);
  }
  return tracked_or_nan(self, param);
}

void set_parameters(py::object self, py::handle parameters) {
  py::dict table = glue::as_dict_or_subclass(parameters, "parameters");
  // A snapshot of the pairs: a setter may not change what is being walked.
  py::list pairs(table.attr("items")());
  for (py::handle pair : pairs) {
    glue::call_method(self, "_set_parameter_value", pair[py::int_(0)], pair[py::int_(1)]);
  }
}

py::dict get_parameters(py::object self, py::handle parameters, py::handle /*timeout*/) {
  py::dict out;
  for (py::handle p : parameters) out[p] = glue::call_method(self, "_get_parameter_value", p);
  return out;
}

py::object get_parameters_all(py::object self) {
  py::list every;
  for (py::handle member : py::handle(vocab.parameters)) every.append(member);
  return glue::call_method(self, "get_parameters", every);
}

}  // namespace

py::dict parameter_paths() {
  py::dict out;
  for (const core::ParameterPath& entry : core::kVirtualParameterPaths) {
    out[py::handle(parameter(entry.parameter))] = py::str(entry.path);
  }
  return out;
}

py::dict tracked_numeric_defaults() {
  py::dict out;
  for (const core::TrackedParameter& entry : core::kVirtualTrackedParameters) {
    out[py::handle(parameter(entry.parameter))] = py::float_(entry.has_default ? entry.default_value : std::nan(""));
  }
  return out;
}

void add_parameters_methods(glue::ClassBuilder& builder) {
  builder
      .def("_read_path", &read_path, py::arg("path"))
      .def("_write_path", &write_path, py::arg("path"), py::arg("value"))
      .def("set_parameters", &set_parameters, py::arg("parameters"),
           glue::doc{"Write parameters: a dict {VEZ_Parameters member: number}; those the twin has reach "
                     "the model, the others are kept on this object. Returns None."})
      .def("get_parameters", &get_parameters, py::arg("parameters"), py::arg_v("timeout", py::float_(1.0)),
           glue::doc{"Read `parameters` (a list of `VEZ_Parameters`) from the model. Returns {parameter: "
                     "float}, NaN for a parameter the twin does not hold; `timeout` is ignored."})
      .def("get_parameters_all", &get_parameters_all,
           glue::doc{"Read every parameter of `VEZ_Parameters`. Returns {parameter: float}, NaN where the "
                     "twin holds no value."})
      .def("_set_parameter_value", &set_parameter_value, py::arg("parameter"), py::arg("value"))
      .def("_get_parameter_value", &get_parameter_value, py::arg("parameter"))
      .def("_set_feedforward_gain", &set_feedforward_gain_impl, py::arg("value"))
      .def("_get_feedforward_gain", &get_feedforward_gain_impl)
      .def("_set_filter_cutoff", &set_filter_cutoff, py::arg_v("speed_cutoff", py::none()),
           py::arg_v("current_cutoff", py::none()))
      .def("_get_filter_cutoff", &get_filter_cutoff, py::arg("key"));
}

}  // namespace vez::virtual_actuator
