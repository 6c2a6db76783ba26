// vez_api.doroze_actuator_virtual: DorozeActuatorVirtual, an actuator with
// the physical actuator's surface whose "device" is a digital-twin
// simulation driven through an ActuatorWrapper, and VirtualActuatorLog, the
// per-tick telemetry it records.
//
// Everything a Python module would import (ActuatorWrapper, the assets
// functions, math, warnings, dataclasses, csv, ...) sits in this module's
// namespace and is looked up there at call time; methods dispatch through
// self; state lives in the instance __dict__ under the documented names.
//
// This file assembles the module.  The parts live in src/modules/virtual/:
//   module_state     what the parts share (classes, constant objects, names)
//   wrapper_fields   where a wrapper's telemetry fields live in memory
//   telemetry_log    VirtualActuatorLog and BoundedVirtualActuatorLog
//   feedback_items   what each feedback item reads
//   self_view        the stepping loop's view of self (attributes, own methods)
//   stepping         step(), tick by tick, with its guarded shortcuts
//   lifecycle, parameters, diagnostics, commands, feedback
//                    the Python-visible methods, group by group
#include <cmath>

#include "modules/virtual/feedback_items.hpp"
#include "modules/virtual/methods.hpp"
#include "modules/virtual/module_state.hpp"
#include "modules/virtual/self_view.hpp"
#include "modules/virtual/stepping.hpp"
#include "modules/virtual/telemetry_log.hpp"

namespace py = pybind11;
namespace va = vez::virtual_actuator;

PYBIND11_MODULE(doroze_actuator_virtual, m) {
  using va::mod;
  mod.bind(m);
  m.doc() = "Virtual actuator: the actuator surface on a digital-twin simulation that the caller steps.";
  va::intern_names();
  va::dict_guard.open();  // without a watcher the loop re-reads what it would have cached
  mod.import("csv");
  mod.import("logging");
  mod.import("math");
  mod.import("warnings");
  mod.import_from("collections", {"deque"});
  mod.import_from("dataclasses", {"dataclass", "field"});
  mod.import_from("pathlib", {"Path"});
  mod.import_from("typing", {"Any", "Callable", "Dict", "List", "Optional"});
  mod.import_from("vez_api._protocol", {"VEZ_MAX_FEEDBACK_ITEMS_PER_REQUEST"});
  mod.import_from("vez_api._doroze_actuator_base", {"DorozeActuatorBase"});
  mod.import_from("vez_api._twin_assets",
                  {"DTwinPaths", "get_actuator_spec", "list_available_dtwin_artifacts", "resolve_dtwin_artifacts"});
  mod.import_from("vez_api._twin_backend", {"ActuatorWrapper", "get_default_dtwin_time_step_s"});
  va::backend = va::backend_api::import_capi();
  if (va::backend == nullptr) throw py::error_already_set();
  va::make_shared_objects();

  py::object base = mod.get("DorozeActuatorBase");
  va::vocab.load(base);
  va::build_item_rules();

  va::make_log_classes();

  py::object optional = mod.get("Optional");
  glue::ClassBuilder builder(
      mod, "DorozeActuatorVirtual", py::make_tuple(base),
      "A Doroze actuator simulated by its digital twin, with the physical actuator's surface.\n\n"
      "Three things differ from the physical actuator:\n"
      "- the digital-twin library must be selected (set_actuator) before connecting;\n"
      "- the simulator is stepped explicitly by the caller (step); nothing runs in the background;\n"
      "- the external load on the shaft is supplied by software (step(load=...), change_load).");
  builder.annotate("actuator", optional[mod.get("ActuatorWrapper")])
      .annotate("telemetry_log", mod.get("VirtualActuatorLog"))
      .attr("_PARAMETER_PATHS", va::parameter_paths())
      .attr("_TRACKED_NUMERIC_DEFAULTS", va::tracked_numeric_defaults());
  va::add_lifecycle_methods(builder);
  va::add_parameters_methods(builder);
  va::add_diagnostics_methods(builder);
  va::add_commands_methods(builder);
  va::add_feedback_methods(builder);
  va::virtual_class = va::keep(builder.finish());
  glue::def_fast_method(va::virtual_class, &va::step_method);
  va::remember_installed_methods(va::virtual_class);
  mod.def("_python_free_ticks", [] { return va::python_free_ticks; },
          glue::doc{"Ticks stepped without running Python code so far (for the tests)."});
}
