#include "modules/twin_backend/module_state.hpp"

namespace vez::backend {

glue::ModuleRef mod;
PyObject* wrapper_class = nullptr;
PyObject* native_simple_types[13] = {};
InstalledNames installed;
glue::compat::DictGuard dict_guard;

PyObject* field_names[kFieldCount] = {};
PyObject* view_names[kViewCount] = {};
PyObject* instance_names[kInstanceNameCount] = {};

void intern_names() {
  for (int i = 0; i < kFieldCount; ++i) field_names[i] = glue::interned(kFields[i].name);
  for (int i = 0; i < kViewCount; ++i) view_names[i] = glue::interned(kViewNames[i]);
  for (int i = 0; i < kInstanceNameCount; ++i) instance_names[i] = glue::interned(kInstanceNames[i]);
}

PyObject* dict_item(PyObject* dict, PyObject* key) {
  PyObject* value = PyDict_GetItemWithError(dict, key);
  if (value == nullptr && PyErr_Occurred()) throw_python_error();
  return value;
}

py::object optional_attr(py::handle obj, const char* name) {
  PyObject* found = nullptr;
  if (glue::compat::get_optional_attr(obj.ptr(), py::str(name).ptr(), &found) < 0) throw_python_error();
  return py::reinterpret_steal<py::object>(found);
}

py::float_ float_arg(py::handle value, const char* name) { return py::float_(glue::as_float(value, name)); }

py::object optional_float_arg(py::handle value, const char* name) {
  if (value.is_none()) return py::none();
  return float_arg(value, name);
}

}  // namespace vez::backend
