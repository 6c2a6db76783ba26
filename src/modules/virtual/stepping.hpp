// DorozeActuatorVirtual.step as a fast method (METH_FASTCALL): called once
// per control period by many programs, so it skips pybind11's dispatcher.
#pragma once

#include <Python.h>

#include <cstdint>

namespace vez::virtual_actuator {

extern PyMethodDef step_method;

// Ticks taken without running any Python code since the module was
// imported (every step() of every actuator): lets the tests see that the
// shortcut is in use where it should be.
extern uint64_t python_free_ticks;

}  // namespace vez::virtual_actuator
