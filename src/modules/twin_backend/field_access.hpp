// Reading and writing the model's fields: through raw memory where a
// structure view's layout is known and unchanged, through ctypes otherwise.
//
// A ViewCache describes one structure view (wrapper.inp, .pid, .imp,
// .filter): its base address and, probed on first use, each field's offset
// and C type.  It is trusted while the view is the same object of the same
// type (version tag unchanged); fields are written raw only when their ctypes
// type is a plain native number type and only for values ctypes would
// convert the same way.
//
// Threads: the GIL must be held.
#pragma once

#include <Python.h>

#include "core/raw_field.hpp"
#include "modules/twin_backend/module_state.hpp"

namespace vez::backend {

namespace core = vez::core;

struct FieldSlot {
  enum State : uint8_t { kUnprobed, kAbsent, kRaw, kPython } state = kUnprobed;
  core::FieldKind kind = core::FieldKind::f64;
  size_t offset = 0;
};

// Remembers ctypes' native-order number types (the only field types written
// raw), at import.
void remember_native_types(py::handle ctypes);

// Where `name` lives in instances of `type` (a ctypes structure): raw, absent,
// or only reachable through Python.  May run Python code.
FieldSlot probe_field(PyTypeObject* type, PyObject* name);

struct ViewCache {
  PyObject* view = nullptr;  // strong: the object found under the view name when probed
  PyTypeObject* type = nullptr;
  unsigned int type_tag = 0;
  char* base = nullptr;  // nullptr: not a ctypes structure we may address
  FieldSlot slots[kFieldCount];

  void release() { Py_CLEAR(view); }

  // Makes the cache describe `obj` (the object the lookup found now).
  void refresh(PyObject* obj) {
    if (obj == view && Py_TYPE(obj) == type && same_version(type, type_tag)) return;
    describe(obj);
  }
  void describe(PyObject* obj);

  FieldSlot& slot(Field f) {
    FieldSlot& s = slots[f];
    if (s.state == FieldSlot::kUnprobed) s = probe_field(type, field_names[f]);
    return s;
  }

  // The instance dict of the view does not hold `name` (so a name the type
  // lacks is really absent).
  bool instance_lacks(PyObject* name) const {
    PyObject* d = glue::compat::instance_dict(view);
    return d == nullptr || PyDict_GET_SIZE(d) == 0 || PyDict_GetItem(d, name) == nullptr;
  }
};

// Stores `value` in the raw field the way ctypes' setter would; false when
// only ctypes can tell (the caller then assigns through ctypes).
bool write_raw(const ViewCache& vc, const FieldSlot& s, PyObject* value);

// self.<view>: the object and, when usable, its cache (else nullptr).
py::object lookup_view(PyObject* self, View v, ViewCache** cache_out);
// hasattr(view, field); view.field; view.field = value.
bool has_field(py::handle view, ViewCache* vc, Field f);
py::object get_field(py::handle view, ViewCache* vc, Field f);
void set_field(py::handle view, ViewCache* vc, Field f, py::handle value);
// A field every model has: a structure that lacks it raises AttributeError
// instead of silently growing a Python attribute the model never reads.
void set_required_field(py::handle view, ViewCache* vc, Field f, py::handle value);
// The same, finding self.<view> first; float(self.<view>.<field>).
void set_required(py::handle self, Field f, py::handle value);
py::float_ get_float(py::handle self, Field f);

}  // namespace vez::backend
