// DorozeActuatorVirtual: construction, selecting the simulated model,
// connecting, starting and stopping, and the simulation clock.
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "modules/virtual/methods.hpp"

namespace vez::virtual_actuator {

using namespace pybind11::literals;

namespace {

py::object require_actuator(py::object self) {
  py::object act = self.attr("actuator");
  if (act.is_none()) glue::raise(PyExc_ValueError, "Actuator not configured. Call set_actuator(...) first.");
  return act;
}

void init(py::object self, py::object adapter_handler, py::handle address, py::handle logger, py::handle telemetry_max_ticks) {
  py::object addr = address.is_none() ? py::object(py::none()) : py::object(glue::as_int(address, "address"));
  py::object bounded_ticks = py::none();
  if (!telemetry_max_ticks.is_none()) {
    if (!PyLong_Check(telemetry_max_ticks.ptr())) glue::raise_arg_type("telemetry_max_ticks", "int", telemetry_max_ticks);
    if (PyObject_RichCompareBool(telemetry_max_ticks.ptr(), py::int_(0).ptr(), Py_LT) == 1) {
      glue::raise(PyExc_ValueError, "telemetry_max_ticks must be None or >= 0, got " + glue::str(telemetry_max_ticks));
    }
    bounded_ticks = py::reinterpret_borrow<py::object>(telemetry_max_ticks);
  }
  glue::super_attr(virtual_class, self, "__init__")("address"_a = addr.is_none() ? py::int_(0) : addr,
                                                    "logger"_a = logger);
  self.attr("actuator") = adapter_handler;
  self.attr("_address") = addr;
  self.attr("_model") = "virtual";
  self.attr("_configured_model_name") = py::none();
  self.attr("_enabled") = false;
  self.attr("_mode") = py::handle(mode_member(core::Mode::POSITION));
  self.attr("_setpoint") = 0.0;
  self.attr("_load_value") = 0.0;
  self.attr("_impedance_speed_reference") = 0.0;
  self.attr("_feedback_items") = py::list();
  self.attr("_feedback_rate_divider") = py::handle(vocab.rates).attr("RATE_1KHZ").attr("value");
  self.attr("_latest_feedback") = py::dict();
  self.attr("_simulation_step_count") = 0;
  self.attr("_torque_performance") = py::handle(vocab.torque_performance).attr("BALANCED");
  self.attr("_speed_performance") = py::handle(vocab.speed_performance).attr("BALANCED");
  // A copy: py::dict() of a dict would be the same object.
  self.attr("_tracked_numeric_values") = py::module_::import("builtins").attr("dict")(self.attr("_TRACKED_NUMERIC_DEFAULTS"));
  self.attr("telemetry_log") = bounded_ticks.is_none() ? mod.get("VirtualActuatorLog")()
                                                       : mod.get("BoundedVirtualActuatorLog")(bounded_ticks);
  if (!adapter_handler.is_none() && !addr.is_none()) adapter_handler.attr("set_address")(addr);
}

py::object address_property(py::object self) {
  py::object address = self.attr("_address");
  if (address.is_none()) return address;
  return steal(PyNumber_Long(address.ptr()));
}

py::object model_property(py::object self) {
  py::object configured = self.attr("_configured_model_name");
  if (!configured.is_none() && truthy(configured)) return configured;
  py::object act = self.attr("actuator");
  if (!act.is_none() && py::hasattr(act, "get_motor_model")) return py::str(act.attr("get_motor_model")());
  return self.attr("_model");
}

py::object get_model_version(py::object self) {
  py::object act = self.attr("actuator");
  if (!act.is_none() && py::hasattr(act, "get_dtwin_version")) return py::str(act.attr("get_dtwin_version")());
  if (act.is_none() || !py::hasattr(act, "get_submodule_commits")) return py::str("virtual");
  return py::str(act.attr("get_submodule_commits")());
}

py::object version_property(py::object self) { return glue::call_method(self, "get_model_version"); }

py::object discover_available_actuators(py::object bindings_path) {
  try {
    return mod.get("list_available_dtwin_artifacts")(bindings_path);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_FileNotFoundError)) throw;
    return py::list();
  }
}

[[noreturn]] void raise_file_not_found(const std::string& message) {
  PyErr_SetString(PyExc_FileNotFoundError, message.c_str());
  throw_python_error();
}

py::object set_actuator(py::object self, py::handle model_name, py::object library_path, py::object bindings_root) {
  py::str name = glue::as_str_or_subclass(model_name, "model_name");
  const std::string quoted = "Actuator '" + glue::str(name) + "'";
  py::object library, bindings;
  if (library_path.is_none()) {
    py::object paths = mod.get("resolve_dtwin_artifacts")(name, bindings_root);
    library = paths.attr("library");
    bindings = paths.attr("py_bindings");
    if (library.is_none() || bindings.is_none()) glue::raise(PyExc_ValueError, quoted + " has incomplete digital-twin paths");
  } else {
    py::object spec = mod.get("get_actuator_spec")(name, library_path);
    py::object paths = spec.attr("dtwin_paths");
    if (paths.is_none()) glue::raise(PyExc_ValueError, quoted + " has no digital-twin paths");
    library = paths.attr("library");
    bindings = paths.attr("py_bindings");
    if (library.is_none() || bindings.is_none()) glue::raise(PyExc_ValueError, quoted + " has incomplete digital-twin paths");
    py::object path_type = mod.get("Path");
    if (!truthy(path_type(library).attr("exists")())) raise_file_not_found("Library not found: " + glue::str(library));
    if (!truthy(path_type(bindings).attr("exists")())) raise_file_not_found("Bindings not found: " + glue::str(bindings));
  }
  self.attr("_configured_model_name") = name;
  return glue::call_method(self, "set_actuator_from_paths", "library_path"_a = library, "bindings_path"_a = bindings);
}

py::object set_actuator_from_paths(py::object self, py::object library_path, py::object bindings_path) {
  py::object act = mod.get("ActuatorWrapper")(py::str(library_path), py::str(bindings_path));
  self.attr("actuator") = act;
  py::object address = self.attr("_address");
  if (!address.is_none()) act.attr("set_address")(address);
  self.attr("telemetry_log").attr("TIME_STEP") = glue::call_method(self, "get_sim_time_step_s");
  return act;
}

bool connect(py::object self, py::handle /*timeout: nothing to wait for*/) {
  py::object act = glue::call_method(self, "_require_actuator");
  py::object address = self.attr("_address");
  if (!address.is_none()) act.attr("set_address")(address);
  self.attr("_connected") = true;
  return true;
}

// Runs fn(), then sets self.<name> = value whatever happened.
template <typename Fn>
void finally_set(py::handle self, const char* name, py::handle value, Fn&& fn) {
  try {
    fn();
  } catch (py::error_already_set&) {
    py::error_scope keep_error;
    if (PyObject_SetAttrString(self.ptr(), name, value.ptr()) != 0) PyErr_Clear();
    throw;
  }
  self.attr(name) = value;
}

void disconnect(py::object self) {
  finally_set(self, "_connected", py::bool_(false), [&] {
    py::object act = self.attr("actuator");
    if (!act.is_none() && wrapper_initialized(act)) {
      glue::call_method(self, "stop");
      act.attr("terminate")();
    }
  });
}

py::object send_ping(py::object self, py::handle /*timeout*/) {
  py::object connected = self.attr("_connected");
  if (!truthy(connected)) return connected;
  return py::bool_(!py::object(self.attr("actuator")).is_none());
}

void ensure_initialized(py::object self) {
  py::object act = glue::call_method(self, "_require_actuator");
  if (!truthy(self.attr("_connected"))) glue::raise(PyExc_RuntimeError, "Actuator not connected. Call connect() first.");
  if (wrapper_initialized(act)) return;
  act.attr("initialize")(self.attr("_mode").attr("value"));
  act.attr("set_enable")(self.attr("_enabled"));
}

void start(py::object self) {
  glue::call_method(self, "_ensure_initialized");
  self.attr("_enabled") = true;
  self.attr("actuator").attr("set_enable")(true);
}

void stop(py::object self) {
  finally_set(self, "_enabled", py::bool_(false), [&] {
    py::object act = self.attr("actuator");
    if (!act.is_none() && wrapper_initialized(act)) act.attr("set_enable")(false);
  });
}

void set_home_position(py::object self) {
  glue::call_method(self, "_ensure_initialized");
  self.attr("actuator").attr("set_home_position")();
}

void start_steps(py::object self, py::handle step_number) { glue::call_method(self, "step", "steps"_a = step_number); }

void change_load(py::object self, py::handle load) { self.attr("_load_value") = to_float(load); }

py::object get_sim_time(py::object self, py::handle round_dec) {
  py::object log = self.attr("telemetry_log");
  py::object times = log.attr(names.series[0]);
  py::object last;
  if (py::len(times) != 0) {
    last = to_float(times[py::int_(-1)]);
  } else if (is_instance(log, bounded_log_class)) {
    // A log that keeps nothing still counts its ticks.
    py::object ticks = log.attr(names.ticks);
    if (!truthy(ticks)) return py::float_(0.0);
    py::object previous = steal(PyNumber_Subtract(ticks.ptr(), py::int_(1).ptr()));
    last = to_float(time_stamp_object(log, previous));
  } else {
    return py::float_(0.0);
  }
  return py::module_::import("builtins").attr("round")(last, round_dec);
}

py::object get_sim_time_step_s(py::object self) {
  py::object act = self.attr("actuator");
  if (!act.is_none() && py::hasattr(act, "get_sim_time_step_s")) return to_float(act.attr("get_sim_time_step_s")());
  return to_float(self.attr("telemetry_log").attr(names.time_step));
}

py::object get_sim_rate_hz(py::object self) {
  py::object step = glue::call_method(self, "get_sim_time_step_s");
  const int non_positive = PyObject_RichCompareBool(step.ptr(), py::float_(0.0).ptr(), Py_LE);
  if (non_positive < 0) throw_python_error();
  if (non_positive) glue::raise(PyExc_RuntimeError, "Invalid DTwin simulation timestep: " + glue::str(py::repr(step)));
  return steal(PyNumber_TrueDivide(py::float_(1.0).ptr(), step.ptr()));
}

}  // namespace

void add_lifecycle_methods(glue::ClassBuilder& builder) {
  builder
      .def("__init__", &init, py::arg_v("adapter_handler", py::none()), py::arg_v("address", py::none()),
           py::arg_v("logger", py::none()), py::kw_only(), py::arg_v("telemetry_max_ticks", py::none()),
           glue::sig{"(self, adapter_handler=None, address=None, logger=None, *, telemetry_max_ticks=None)"})
      .def_property_readonly("address", &address_property, "Bus address mirrored into the wrapper, or None.")
      .def_property_readonly("model", &model_property, "Model name of the simulated actuator.")
      .def_property_readonly("version", &version_property, "Version of the digital twin (\"virtual\" without one).")
      .def("get_model_version", &get_model_version,
           glue::doc{"The digital twin's version text, or \"virtual\" when no twin is selected."})
      .def_static("discover_available_actuators", &discover_available_actuators, py::arg("bindings_path"),
                  glue::doc{"Model names with digital-twin artifacts under `bindings_path` ([] when none)."})
      .def("set_actuator", &set_actuator, py::arg("model_name"), py::arg_v("library_path", py::none()),
           py::arg_v("bindings_root", py::none()),
           glue::doc{"Select the simulated model `model_name` (through the actuator library file "
                     "`library_path` when given, with artifacts searched under `bindings_root`). Returns "
                     "the new ActuatorWrapper."})
      .def("set_actuator_from_paths", &set_actuator_from_paths, py::arg("library_path"), py::arg("bindings_path"),
           glue::doc{"Load the simulation library and bindings module that the actuator library file "
                     "`library_path` names, under `bindings_path`. Returns the new ActuatorWrapper."})
      .def("connect", &connect, py::arg_v("timeout", py::float_(1.0)),
           glue::doc{"Mark the simulated actuator connected (a model must be selected: ValueError "
                     "otherwise). `timeout` is ignored. Returns True. The simulation starts at the first "
                     "start, step or set_home_position."})
      .def("disconnect", &disconnect, glue::doc{"Stop and terminate the simulation."})
      .def("send_ping", &send_ping, py::arg_v("timeout", py::float_(1.0)),
           glue::doc{"Whether the simulated actuator is connected and has a model (bool); `timeout` is "
                     "ignored."})
      .def("start", &start,
           glue::doc{"Enable the simulated power stage (the first call runs one simulated second of "
                     "warm-up). Returns None."})
      .def("stop", &stop,
           glue::doc{"Disable the simulated power stage. Returns None."})
      .def("set_home_position", &set_home_position,
           glue::doc{"Make the present output position the zero (0 rad); one simulation tick. Returns None."})
      .def("_require_actuator", &require_actuator)
      .def("_ensure_initialized", &ensure_initialized)
      .def("start_steps", &start_steps, py::arg("step_number"),
           glue::doc{"Advance the simulation `step_number` ticks, like step(steps=step_number). Returns "
                     "None."})
      .def("change_load", &change_load, py::arg("load"),
           glue::doc{"External load torque on the output shaft, in N*m, for the following ticks. Returns "
                     "None."})
      .def("get_sim_time", &get_sim_time, py::arg_v("round_dec", py::int_(3)),
           glue::doc{"Simulated time of the last recorded tick, in seconds, rounded to `round_dec` decimals "
                     "(0.0 before the first tick)."})
      .def("get_sim_time_step_s", &get_sim_time_step_s,
           glue::doc{"The simulation's time step, in seconds (float; 5e-05 at 20 kHz)."})
      .def("get_sim_rate_hz", &get_sim_rate_hz,
           glue::doc{"The simulation's tick rate, in Hz (float). RuntimeError when the time step is not "
                     "positive."});
}

}  // namespace vez::virtual_actuator
