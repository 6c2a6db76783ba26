// Attribute lookups for guarded fast paths and lifetime bookkeeping: what a
// type resolves a name to, an attribute that may be missing, an instance's
// own __dict__.  The CPython entry points behind them are not all public;
// modules use these instead.  All need the GIL.
#pragma once

#include <pybind11/pybind11.h>

namespace glue {

namespace py = pybind11;

// What `type.<name>` finds along the MRO, without calling descriptors:
// borrowed, nullptr when no class defines it.  Never sets an error.
inline PyObject* find_in_type(PyTypeObject* type, PyObject* name) { return _PyType_Lookup(type, name); }

// `obj.<name>`, or a null object when obj has no such attribute; other
// errors propagate.
inline py::object optional_attr(py::handle obj, const char* name) {
  PyObject* value = PyObject_GetAttrString(obj.ptr(), name);
  if (value == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return py::object();
  }
  return py::reinterpret_steal<py::object>(value);
}

// The instance __dict__ of `obj` (borrowed) or nullptr when it has none (yet).
inline PyObject* own_dict(PyObject* obj) {
  PyObject** slot = _PyObject_GetDictPtr(obj);
  return slot != nullptr ? *slot : nullptr;
}

}  // namespace glue
