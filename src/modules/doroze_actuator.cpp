// vez_api.doroze_actuator: the class names of an earlier release, kept as thin
// subclasses that warn (FutureWarning, shown to end users by default) and
// otherwise behave exactly like the classes they name.
#include "glue/glue.hpp"

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

glue::ModuleRef mod;
PyObject* actuator_class = nullptr;  // borrowed for the process lifetime
PyObject* scanner_class = nullptr;

void actuator_init(py::object self, py::object adapter_handler, py::object address, py::object logger) {
  glue::warn(mod, PyExc_FutureWarning, "DorozeActuator is deprecated; use DorozeActuatorReal instead.");
  glue::super_attr(actuator_class, self, "__init__")("adapter_handler"_a = adapter_handler, "address"_a = address,
                                                     "logger"_a = logger);
}

void scanner_init(py::object self, py::object adapter_handler, py::object logger) {
  glue::warn(mod, PyExc_FutureWarning, "DorozeActuatorScanner is deprecated; use DorozeActuatorScannerReal instead.");
  glue::super_attr(scanner_class, self, "__init__")("adapter_handler"_a = adapter_handler, "logger"_a = logger);
}

}  // namespace

PYBIND11_MODULE(doroze_actuator, m) {
  mod.bind(m);
  m.doc() = "Deprecated class names of earlier releases.";
  mod.import("warnings");
  mod.import_from("vez_api.doroze_actuator_real", {"DorozeActuatorReal", "DorozeActuatorScannerReal"});

  py::object actuator =
      glue::ClassBuilder(mod, "DorozeActuator", py::make_tuple(mod.get("DorozeActuatorReal")),
                         "Deprecated compatibility name for :class:`DorozeActuatorReal`.")
          .def("__init__", &actuator_init, py::arg("adapter_handler"), py::arg("address"),
               py::arg("logger") = py::none())
          .finish();
  actuator_class = actuator.release().ptr();

  py::object scanner =
      glue::ClassBuilder(mod, "DorozeActuatorScanner", py::make_tuple(mod.get("DorozeActuatorScannerReal")),
                         "Deprecated compatibility name for :class:`DorozeActuatorScannerReal`.")
          .def("__init__", &scanner_init, py::arg("adapter_handler"), py::arg("logger") = py::none())
          .finish();
  scanner_class = scanner.release().ptr();
}
