// DorozeActuatorVirtual.step as a fast method (METH_FASTCALL): called once
// per control period by many programs, so it skips pybind11's dispatcher.
#pragma once

#include <Python.h>

namespace vez::virtual_actuator {

extern PyMethodDef step_method;

}  // namespace vez::virtual_actuator
