// vez_api._doroze_actuator_base: DorozeActuatorBase, what every actuator
// implementation shares.  The vocabulary (modes, rates, presets, action
// bytes, parameters, items, other message codes) hangs off the class as
// standard enum.Enum classes built from the core's tables; the per-actuator
// state lives in the instance __dict__; the default error reaction logs every
// reported error and stops the actuator for the serious ones.
#include "core/actuator_protocol.hpp"
#include "glue/glue.hpp"

namespace py = pybind11;
namespace core = vez::core;
using namespace pybind11::literals;

namespace {

glue::ModuleRef mod;

// Error codes up to this one are only reported; above it the actuator stops.
constexpr int kHighestReportOnlyErrorCode = 15;

template <size_t N>
py::object make_enum(const char* name, const core::NamedCode (&members)[N], const char* doc) {
  py::list pairs;
  for (const core::NamedCode& m : members) pairs.append(py::make_tuple(m.name, m.value));
  py::object cls = mod.get("Enum")(name, pairs, "module"_a = mod.name(),
                                   "qualname"_a = std::string("DorozeActuatorBase.") + name);
  cls.attr("__doc__") = doc;
  return cls;
}

void init(py::object self, py::handle address, py::handle logger) {
  py::int_ addr = glue::as_int(address, "address");
  py::object chosen = py::reinterpret_borrow<py::object>(logger);
  const int truthy = PyObject_IsTrue(logger.ptr());
  if (truthy < 0) throw py::error_already_set();
  if (!truthy) chosen = mod.default_logger();

  // Creation order is the documented attribute order of the instance dict.
  self.attr("logger") = chosen;
  self.attr("_address") = addr;
  self.attr("_feedback_callback") = py::none();
  self.attr("_error_callback") = self.attr("_default_error_callback");
  self.attr("_feedback") = py::dict();
  self.attr("_low_feedback") = py::dict();
  self.attr("_connected") = false;
  self.attr("_got_pong") = false;
  self.attr("_got_parameters") = false;
  self.attr("_model") = self.attr("_MODELS_NAMES")[py::int_(0)];
  self.attr("_parameters") = py::dict();
  self.attr("_can_high_speed") = false;
  self.attr("_current_mode") = py::none();
}

py::object connected(py::object self) { return self.attr("_connected"); }
py::object address(py::object self) { return self.attr("_address"); }
py::object model(py::object self) { return self.attr("_model"); }

py::object version(py::object) {
  glue::raise(PyExc_NotImplementedError, "version must be implemented by actuator subclasses");
}

// A callback that could never be called is refused here, where the mistake
// is made, rather than failing on the receive thread at every message.
py::object checked_callback(py::object callback) {
  if (!callback.is_none() && !PyCallable_Check(callback.ptr())) {
    glue::raise_arg_type("callback", "callable or None", callback);
  }
  return callback;
}

void set_feedback_callback(py::object self, py::object callback) {
  self.attr("_feedback_callback") = checked_callback(callback);
}

void set_error_callback(py::object self, py::object callback) {
  self.attr("_error_callback") = checked_callback(callback);
}

void set_low_freq_feedback_callback(py::object, py::object) {
  // The low-rate stream is gone; one-off reads replace it.  Nothing is stored.
  glue::warn_deprecated_name(mod, "set_low_freq_feedback_callback", "get_items_blocking");
}

py::object get_feedback(py::object self) { return self.attr("_feedback"); }

py::object is_valid_actuator_address(py::handle address) { return mod.get("is_valid_actuator_address")(address); }

// "Actuator 0x010": at least three upper-case hex digits, never cut.
std::string actuator_tag(py::handle address) {
  PyObject* digits = PyObject_Format(address.ptr(), py::str("03X").ptr());
  if (digits == nullptr) throw py::error_already_set();
  return "Actuator 0x" + glue::str(py::reinterpret_steal<py::object>(digits));
}

void default_error_callback(py::object self, py::handle address, py::handle errors) {
  py::int_ addr = glue::as_int(address, "address");
  py::dict table = glue::as_dict_or_subclass(errors, "errors");
  const std::string prefix = actuator_tag(addr);
  py::object logger = self.attr("logger");
  // Walked with a live iterator, so a dictionary that changes size underneath
  // raises the usual RuntimeError instead of being read half-way.
  for (py::handle pair : table.attr("items")()) {
    py::tuple kv = py::reinterpret_borrow<py::tuple>(pair);
    py::object code = kv[0];
    glue::log(logger, "error", prefix + " Error code: " + glue::str(code) + " - " + glue::str(kv[1]));
    const int serious = PyObject_RichCompareBool(code.ptr(), py::int_(kHighestReportOnlyErrorCode).ptr(), Py_GT);
    if (serious < 0) throw py::error_already_set();
    if (serious) {
      glue::call_method(self, "stop");
      glue::log(logger, "warning", prefix + " Stopping actuator (use set_error_callback to change this behavior)");
    }
  }
}

void stop(py::object) { glue::raise(PyExc_NotImplementedError, "stop() must be implemented by actuator subclasses"); }

}  // namespace

PYBIND11_MODULE(_doroze_actuator_base, m) {
  mod.bind(m);
  m.doc() = "Actuator base: the shared vocabulary, state and callbacks of every actuator implementation.";
  mod.import_from("enum", {"Enum"});
  mod.import("logging");
  mod.import_from("typing", {"Any", "Callable", "Dict", "Optional"});
  mod.import("warnings");
  mod.import_from("vez_api._protocol", {"is_valid_actuator_address"});
  mod.set("__all__", py::list(py::make_tuple("DorozeActuatorBase")));

  py::list model_names;
  for (const char* name : core::kModelNames) model_names.append(name);

  py::object builtins = py::module_::import("builtins");
  py::object list_of_str = builtins.attr("list")[builtins.attr("str")];

  glue::ClassBuilder(mod, "DorozeActuatorBase",
                     py::make_tuple(py::handle(reinterpret_cast<PyObject*>(&PyBaseObject_Type))),
                     "Internal shared actuator vocabulary, state, and callbacks.")
      .annotate("_MODELS_NAMES", list_of_str)
      .annotate("logger", mod.get("logging").attr("Logger"))
      .annotate("_address", builtins.attr("int"))
      .annotate("_model", builtins.attr("str"))
      .attr("_MODELS_NAMES", model_names)
      .attr("Mode", make_enum("Mode", core::kModeNames, "Control modes available for Doroze actuator implementations."))
      .attr("Rates", make_enum("Rates", core::kRateNames, "Feedback update rates for high/low frequency data streams."))
      .attr("TorquePerformance", make_enum("TorquePerformance", core::kTorquePerformanceNames,
                                           "Performance presets for torque control mode."))
      .attr("SpeedPerformance", make_enum("SpeedPerformance", core::kSpeedPerformanceNames,
                                          "Performance presets for speed control mode."))
      .attr("_VEZ_Actions", make_enum("_VEZ_Actions", core::kActionNames,
                                      "Internal VEZ action identifiers used in actuator command payloads."))
      .attr("VEZ_Parameters", make_enum("VEZ_Parameters", core::kParameterNames,
                                        "Parameters that can be read or written through the actuator API."))
      .attr("VEZ_Items",
            make_enum("VEZ_Items", core::kItemNames, "Feedback items available for monitoring actuator state."))
      .attr("_VEZ_Other", make_enum("_VEZ_Other", core::kOtherCodeNames, "Internal VEZ non-action message identifiers."))
      .def("__init__", &init, py::arg("address") = 0, py::arg("logger") = py::none())
      .def_property_readonly("connected", &connected, "Whether the actuator answered the last connect.")
      .def_property_readonly("address", &address, "Bus address of the actuator.")
      .def_property_readonly("model", &model, "Model name reported by the actuator.")
      .def_property_readonly("version", &version, "Firmware version (supplied by subclasses).")
      .def("set_feedback_callback", &set_feedback_callback, py::arg("callback"),
           glue::doc{"Call `callback(address, items)` with each feedback message's {VEZ_Items member: "
                     "value}; None: no callback. Returns None; TypeError for anything else that cannot be "
                     "called."})
      .def("set_error_callback", &set_error_callback, py::arg("callback"),
           glue::doc{"Call `callback(address, errors)` with each error report's {bit: description} instead "
                     "of the default reaction (log, and stop for codes above 15); None: no callback. "
                     "Returns None; TypeError for anything else that cannot be called."})
      .def("set_low_freq_feedback_callback", &set_low_freq_feedback_callback, py::arg("callback"),
           glue::doc{"Deprecated (DeprecationWarning) and without effect: use get_items_blocking."})
      .def("get_feedback", &get_feedback,
           glue::doc{"The live dictionary {VEZ_Items member: value} of the latest feedback values (not a "
                     "copy)."})
      .def_static("is_valid_actuator_address", &is_valid_actuator_address, py::arg("address"),
                  glue::doc{"True for an actuator address in 16..16382."})
      .def("_default_error_callback", &default_error_callback, py::arg("address"), py::arg("errors"),
           glue::doc{"Log every error; stop the actuator for codes above 15."})
      .def("stop", &stop,
           glue::doc{"Stop the actuator. Returns None. Subclasses supply it; here it raises "
                     "NotImplementedError."})
      .finish();
}
