// The Python-visible methods of DorozeActuatorVirtual, one group per file;
// each file registers its own methods on the class being built, in the order
// the module's assembly calls them.
//
// Threads: everything here needs the GIL.
#pragma once

#include <Python.h>

#include "modules/virtual/feedback_items.hpp"
#include "modules/virtual/module_state.hpp"
#include "modules/virtual/self_view.hpp"
#include "modules/virtual/telemetry_log.hpp"

namespace vez::virtual_actuator {

void add_lifecycle_methods(glue::ClassBuilder& builder);    // lifecycle.cpp
void add_parameters_methods(glue::ClassBuilder& builder);   // parameters.cpp
void add_diagnostics_methods(glue::ClassBuilder& builder);  // diagnostics.cpp
void add_commands_methods(glue::ClassBuilder& builder);     // commands.cpp
void add_feedback_methods(glue::ClassBuilder& builder);     // feedback.cpp

// The class attributes _PARAMETER_PATHS and _TRACKED_NUMERIC_DEFAULTS.
py::dict parameter_paths();
py::dict tracked_numeric_defaults();

// self._tracked_numeric_values, and one of its values as a float (NaN when
// absent).
py::object tracked_values(py::handle self);
py::object tracked_or_nan(py::handle self, py::handle key);

// _build_feedback_snapshot as installed: raw reads when `self` resolves the
// methods it uses to this module's own and the wrapper's fields can be
// located; the ordinary calls otherwise (feedback.cpp).
py::object build_snapshot_impl(py::handle self, SelfView& in, ItemsInUse& items);
// _should_emit_feedback as installed, on Python objects (feedback.cpp).
bool should_emit_feedback(py::object self);

// wrapper._initialized is true (a wrapper without the attribute is not).
inline bool wrapper_initialized(py::handle act) {
  return truthy(py::getattr(act, "_initialized", py::bool_(false)));
}

}  // namespace vez::virtual_actuator
