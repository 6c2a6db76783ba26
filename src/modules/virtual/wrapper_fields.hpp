// Where a simulation wrapper's telemetry fields live in memory, so the
// stepping loop can read the model's signals without attribute lookups.
//
// Located once per wrapper through the backend's C API and kept in a
// weak-keyed cache; trusted only while the wrapper keeps its type, its
// instance dict holds the same five structure views (proven by a stamp of
// dict_guard, re-checked by identity when that no longer holds), and each
// view keeps its type (version tags unchanged).  A view that lacks an optional field must
// also have no instance attributes, so that "lacking" stays true.
//
// Threads: the GIL must be held.
#pragma once

#include <Python.h>

#include "core/raw_field.hpp"
#include "modules/virtual/module_state.hpp"

namespace vez::virtual_actuator {

struct ColumnSource {
  int state = backend_api::RawField::kOther;
  char* address = nullptr;
  core::FieldKind kind = core::FieldKind::f64;
};

struct WrapperFields {
  bool built = false;
  bool usable = false;
  PyTypeObject* type = nullptr;
  unsigned type_tag = 0;
  PyObject* dict = nullptr;  // identity only
  uint64_t dict_stamp = 0;
  PyObject* views[kViewCount] = {};  // strong
  PyTypeObject* view_types[kViewCount] = {};
  unsigned view_tags[kViewCount] = {};
  bool view_lacks_optional[kViewCount] = {};
  ColumnSource columns[kColumnCount];

  WrapperFields() = default;
  WrapperFields(const WrapperFields&) = delete;
  WrapperFields& operator=(const WrapperFields&) = delete;
  ~WrapperFields() { release_views(); }
  void release_views() {
    for (PyObject*& v : views) Py_CLEAR(v);
  }
};

// The usable fields of `wrapper`, located now if needed (which may run
// Python code); nullptr when they must be read the ordinary way.
WrapperFields* fields_of(PyObject* wrapper);

// The same, but only when already located and still valid: never locates,
// so no Python code runs.
WrapperFields* known_fields_of(PyObject* wrapper);

// A column's value as a double; whether it is non-zero (NaN counts as set);
// the value ctypes would return for it (a new reference): float, bool or int
// by the field's C type, the shared NaN for a lacking optional field, with
// `previous` (the series' last element) reused when equal.  Inline: the
// stepping loop calls them for every column of every tick.
inline double column_double(const ColumnSource& s) {
  if (core::is_floating(s.kind)) return core::read_floating(s.kind, s.address);
  if (s.kind == core::FieldKind::boolean || core::is_signed_integer(s.kind)) {
    return static_cast<double>(core::read_signed(s.kind, s.address));
  }
  return static_cast<double>(core::read_unsigned(s.kind, s.address));
}

inline bool column_nonzero(const ColumnSource& s) {
  if (core::is_floating(s.kind)) return core::read_floating(s.kind, s.address) != 0.0;  // NaN counts as set
  if (core::is_signed_integer(s.kind) || s.kind == core::FieldKind::boolean) return core::read_signed(s.kind, s.address) != 0;
  return core::read_unsigned(s.kind, s.address) != 0;
}

inline PyObject* column_object(const ColumnSource& s, PyObject* previous) {
  if (s.state == backend_api::RawField::kAbsent) {
    Py_INCREF(nan_float);
    return nan_float;
  }
  if (core::is_floating(s.kind)) return float_object(core::read_floating(s.kind, s.address), previous);
  if (s.kind == core::FieldKind::boolean) return PyBool_FromLong(core::read_signed(s.kind, s.address) != 0);
  if (core::is_signed_integer(s.kind)) return PyLong_FromLongLong(core::read_signed(s.kind, s.address));
  return PyLong_FromUnsignedLongLong(core::read_unsigned(s.kind, s.address));
}

}  // namespace vez::virtual_actuator
