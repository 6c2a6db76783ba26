// Stepping the model: wrapper._lib.DT_step(ctypes.byref(wrapper.model)) and
// ActuatorWrapper.step, called directly through the cached foreign function
// and inport layout when the wrapper, its bindings module and this module's
// ctypes are what they were, through ctypes otherwise.
//
// After a direct step whose every write was a plain store, a snapshot of
// everything the next step needs lets the following steps skip all lookups
// while the dicts involved are unchanged (their stamps of dict_guard hold:
// version tags on 3.10-3.11, a dict watcher from 3.12 on); where no watcher
// could be had, every step takes the direct path's lookups.
//
// Threads: the GIL must be held; long runs of direct steps release it.
#pragma once

#include <Python.h>

#include "modules/twin_backend/module_state.hpp"
#include "modules/twin_backend/wrapper_cache.hpp"

namespace vez::backend {

// ctypes.byref(self.model) and self._lib.<function>(ctypes.byref(self.model)).
py::object byref_model(py::handle self);
void call_library(py::handle self, const char* function);

// One DT_step; `count` DT_steps (the direct loop runs without the GIL in
// chunks and checks for signals between them).
void dt_step_once(py::handle self);
void dt_step_repeated(py::handle self, uint64_t count);

// ActuatorWrapper.step once its arguments are numbers.
void step_values(PyObject* self, double reference, double load);

// The step from a valid snapshot, without any lookup; false (nothing
// written) when the snapshot does not apply.  Runs no Python code.
bool step_from_snapshot(StepSnapshot& sn, PyObject* d, double reference, double load);

// ActuatorWrapper.step as a METH_FASTCALL method.
extern PyMethodDef step_method;

}  // namespace vez::backend
