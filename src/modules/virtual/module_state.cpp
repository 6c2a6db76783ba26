#include "modules/virtual/module_state.hpp"

#include <cmath>

#include "core/virtual_items.hpp"

namespace vez::virtual_actuator {

glue::ModuleRef mod;
const backend_api::CApi* backend = nullptr;
glue::compat::DictGuard dict_guard;
PyObject* virtual_class = nullptr;
PyObject* log_class = nullptr;
PyObject* bounded_log_class = nullptr;
PyObject* deque_type = nullptr;
PyObject* deque_append = nullptr;
PyObject* nan_float = nullptr;
PyObject* zero_float = nullptr;
PyObject* one_float = nullptr;
PyObject* pcb_temperature = nullptr;

vez::modules::ActuatorVocabulary vocab;
Names names;

void intern_names() {
  for (size_t v = 0; v < kViewCount; ++v) names.views[v] = interned(core::kTwinViewNames[v]);
  names.series[0] = interned("time");
  for (size_t c = 0; c < kColumnCount; ++c) {
    names.fields[c] = interned(kColumns[c].field);
    names.series[c + 1] = interned(kColumns[c].name);
  }
  names.time_step = interned("TIME_STEP");
  names.time_start = interned("time_start");
  names.max_ticks = interned("_max_ticks");
  names.ticks = interned("ticks");
  names.append = interned("_append");
}

void make_shared_objects() {
  deque_type = keep(mod.get("deque"));
  deque_append = keep(mod.get("deque").attr("append"));
  nan_float = keep(py::float_(std::nan("")));
  zero_float = keep(py::float_(0.0));
  one_float = keep(py::float_(1.0));
  pcb_temperature = keep(py::float_(core::kVirtualPcbTemperatureC));
}

py::object nan_object() { return py::reinterpret_borrow<py::object>(nan_float); }

bool is_nan_value(py::handle value) {
  const double d = PyFloat_AsDouble(value.ptr());
  if (d == -1.0 && PyErr_Occurred()) throw_python_error();
  return std::isnan(d);
}

py::object to_float(py::handle value) { return steal(PyNumber_Float(value.ptr())); }

py::object copy_of(py::handle value) {
  if (PyDict_CheckExact(value.ptr())) return steal(PyDict_Copy(value.ptr()));
  return value.attr("copy")();
}

bool exact_small_int(PyObject* obj, long long* out) {
  if (obj == nullptr || !PyLong_CheckExact(obj)) return false;
  int overflow = 0;
  *out = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (*out == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  return overflow == 0;
}

bool number_value(PyObject* obj, double* out) {
  if (obj == nullptr) return false;
  if (PyFloat_CheckExact(obj)) {
    *out = PyFloat_AS_DOUBLE(obj);
    return true;
  }
  if (PyLong_CheckExact(obj)) {
    *out = PyLong_AsDouble(obj);
    if (*out == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();  // the ordinary call reports it
      return false;
    }
    return true;
  }
  return false;
}

}  // namespace vez::virtual_actuator
