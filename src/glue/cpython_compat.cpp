#include "cpython_compat.hpp"

#include <algorithm>

namespace glue::compat {

void chain_exception(PyObject* type, PyObject* value, PyObject* traceback) {
#if VEZ_PY_AT_LEAST(3, 12)
  if (type == nullptr) return;
  if (!PyErr_Occurred()) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyObject* current = PyErr_GetRaisedException();
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr) {
    PyException_SetTraceback(value, traceback);
    Py_DECREF(traceback);
  }
  Py_DECREF(type);
  if (value != nullptr && value != current) {
    PyException_SetContext(current, value);  // steals value
  } else {
    Py_XDECREF(value);
  }
  PyErr_SetRaisedException(current);
#else
  _PyErr_ChainExceptions(type, value, traceback);
#endif
}

PyObject* type_dict(PyTypeObject* type) {
#if VEZ_PY_AT_LEAST(3, 12)
  if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) return type->tp_dict;
  PyObject* dict = PyType_GetDict(type);  // the interpreter keeps it alive
  Py_XDECREF(dict);
  return dict;
#else
  return type->tp_dict;
#endif
}

unsigned int type_version(PyTypeObject* type) {
#if VEZ_PY_AT_LEAST(3, 12)
  if (type->tp_version_tag == 0) (void)PyUnstable_Type_AssignVersionTag(type);
  return type->tp_version_tag;
#else
  if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) {
    // A method-cache lookup of an interned name assigns the tag.
    static PyObject* probe = PyUnicode_InternFromString("__class__");  // kept for the process lifetime
    if (probe == nullptr) {
      PyErr_Clear();
      return 0;
    }
    (void)_PyType_Lookup(type, probe);
  }
  return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#endif
}

bool list_reserve_one(PyObject* list, Py_ssize_t grow) {
  auto* l = reinterpret_cast<PyListObject*>(list);
  const Py_ssize_t n = Py_SIZE(l);
  if (l->allocated > n) return true;
  grow = std::max<Py_ssize_t>(grow, 1);
  if (n > PY_SSIZE_T_MAX / static_cast<Py_ssize_t>(sizeof(PyObject*)) - grow) {
    PyErr_NoMemory();
    return false;
  }
  auto** items = static_cast<PyObject**>(PyMem_Realloc(l->ob_item, static_cast<size_t>(n + grow) * sizeof(PyObject*)));
  if (items == nullptr) {
    PyErr_NoMemory();
    return false;
  }
  l->ob_item = items;
  l->allocated = n + grow;
  return true;
}

}  // namespace glue::compat
