#include "modules/twin_backend/field_access.hpp"

#include <cstring>
#include <string>

#include "modules/twin_backend/wrapper_cache.hpp"

namespace vez::backend {

namespace {

// The ctypes type declared for `name` in the _fields_ of the class that owns
// its descriptor, when that is a plain (two-element) entry.
PyObject* declared_field_type(PyTypeObject* type, PyObject* name, PyObject* descriptor) {
  PyObject* mro = type->tp_mro;
  if (mro == nullptr) return nullptr;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
    auto* klass = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
    PyObject* klass_dict = glue::compat::type_dict(klass);
    PyObject* own = klass_dict != nullptr ? PyDict_GetItem(klass_dict, name) : nullptr;
    if (own == nullptr) continue;
    if (own != descriptor) return nullptr;
    PyObject* fields = PyDict_GetItemString(klass_dict, "_fields_");
    if (fields == nullptr) return nullptr;
    py::object sequence = py::reinterpret_steal<py::object>(PySequence_Fast(fields, ""));
    if (!sequence) {
      PyErr_Clear();
      return nullptr;
    }
    PyObject* found = nullptr;
    for (Py_ssize_t j = 0; j < PySequence_Fast_GET_SIZE(sequence.ptr()); ++j) {
      PyObject* entry = PySequence_Fast_ITEMS(sequence.ptr())[j];
      if (!PyTuple_Check(entry) || PyTuple_GET_SIZE(entry) < 2) continue;
      const int equal = PyObject_RichCompareBool(PyTuple_GET_ITEM(entry, 0), name, Py_EQ);
      if (equal < 0) PyErr_Clear();
      if (equal == 1) found = PyTuple_GET_SIZE(entry) == 2 ? PyTuple_GET_ITEM(entry, 1) : nullptr;
    }
    return found;
  }
  return nullptr;
}

bool is_native_simple_type(PyObject* t) {
  for (PyObject* native : native_simple_types) {
    if (t == native) return true;
  }
  return false;
}

}  // namespace

void remember_native_types(py::handle ctypes) {
  static constexpr const char* kNames[13] = {"c_bool",  "c_double", "c_float", "c_byte", "c_ubyte",
                                             "c_short", "c_ushort", "c_int",   "c_uint", "c_long",
                                             "c_ulong", "c_longlong", "c_ulonglong"};
  for (int i = 0; i < 13; ++i) native_simple_types[i] = py::object(ctypes.attr(kNames[i])).release().ptr();
}

FieldSlot probe_field(PyTypeObject* type, PyObject* name) {
  FieldSlot slot;
  PyObject* descriptor = glue::compat::type_lookup(type, name);
  if (descriptor == nullptr) {
    slot.state = FieldSlot::kAbsent;
    return slot;
  }
  slot.state = FieldSlot::kPython;
  if (std::strcmp(Py_TYPE(descriptor)->tp_name, "_ctypes.CField") != 0) return slot;
  py::object keep_descriptor = py::reinterpret_borrow<py::object>(descriptor);
  PyObject* declared = declared_field_type(type, name, descriptor);
  if (declared == nullptr || !is_native_simple_type(declared)) return slot;
  try {
    const std::string code = py::str(py::handle(declared).attr("_type_")).cast<std::string>();
    const auto size = keep_descriptor.attr("size").cast<size_t>();
    const auto offset = keep_descriptor.attr("offset").cast<size_t>();
    core::FieldKind kind;
    if (code.size() == 1 && core::field_kind_for(code[0], size, &kind)) {
      slot.state = FieldSlot::kRaw;
      slot.kind = kind;
      slot.offset = offset;
    }
  } catch (py::error_already_set&) {
    // An unusual descriptor: leave the field to ctypes.
  }
  return slot;
}

void ViewCache::describe(PyObject* obj) {
  replace_ref(view, obj);
  type = Py_TYPE(obj);
  base = nullptr;
  for (FieldSlot& s : slots) s = FieldSlot{};
  if (!has_plain_attribute_access(type)) return;
  type_tag = version_tag(type);
  if (type_tag == 0) return;
  PyObject* address = PyObject_CallMethod(ctypes_module(), "addressof", "O", obj);
  if (address == nullptr) {
    PyErr_Clear();
    return;
  }
  base = static_cast<char*>(PyLong_AsVoidPtr(address));
  Py_DECREF(address);
  if (PyErr_Occurred()) {
    PyErr_Clear();
    base = nullptr;
  }
}

bool write_raw(const ViewCache& vc, const FieldSlot& s, PyObject* value) {
  void* p = vc.base + s.offset;
  if (core::is_floating(s.kind)) {
    if (PyFloat_CheckExact(value)) {
      core::write_floating(s.kind, p, PyFloat_AS_DOUBLE(value));
      return true;
    }
    if (PyLong_CheckExact(value)) {
      const double d = PyLong_AsDouble(value);
      if (d == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();  // ctypes raises its own error for this value
        return false;
      }
      core::write_floating(s.kind, p, d);
      return true;
    }
    return false;
  }
  if (s.kind == core::FieldKind::boolean) {
    if (value == Py_True || value == Py_False || PyLong_CheckExact(value) || PyFloat_CheckExact(value)) {
      const int truth = PyObject_IsTrue(value);  // cannot fail for these types
      core::write_integer_bits(s.kind, p, truth == 1 ? 1 : 0);
      return true;
    }
    return false;
  }
  if (PyLong_Check(value)) {
    const unsigned long long bits = PyLong_AsUnsignedLongLongMask(value);
    if (bits == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      PyErr_Clear();
      return false;
    }
    core::write_integer_bits(s.kind, p, bits);
    return true;
  }
  return false;
}


py::object lookup_view(PyObject* self, View v, ViewCache** cache_out) {
  *cache_out = nullptr;
  if (WrapperCache* cache = cache_of(self)) {
    if (PyObject* d = glue::compat::instance_dict(self)) {
      if (PyObject* obj = dict_item(d, view_names[v])) {
        ViewCache& vc = cache->views[v];
        vc.refresh(obj);
        if (vc.base != nullptr) *cache_out = &vc;
        return py::reinterpret_borrow<py::object>(obj);
      }
    }
  }
  PyObject* obj = PyObject_GetAttr(self, view_names[v]);
  if (obj == nullptr) throw_python_error();
  return py::reinterpret_steal<py::object>(obj);
}

bool has_field(py::handle view, ViewCache* vc, Field f) {
  if (vc != nullptr) {
    const FieldSlot& s = vc->slot(f);
    if (s.state != FieldSlot::kAbsent) return true;
    if (vc->instance_lacks(field_names[f])) return false;
  }
  PyObject* found = nullptr;
  const int r = glue::compat::get_optional_attr(view.ptr(), field_names[f], &found);
  if (r < 0) throw_python_error();
  Py_XDECREF(found);
  return r == 1;
}

py::object get_field(py::handle view, ViewCache* vc, Field f) {
  if (vc != nullptr) {
    const FieldSlot& s = vc->slot(f);
    if (s.state == FieldSlot::kRaw) {
      const void* p = vc->base + s.offset;
      if (core::is_floating(s.kind)) return py::reinterpret_steal<py::object>(PyFloat_FromDouble(core::read_floating(s.kind, p)));
      if (s.kind == core::FieldKind::boolean) return py::bool_(core::read_signed(s.kind, p) != 0);
      if (core::is_signed_integer(s.kind)) return py::reinterpret_steal<py::object>(PyLong_FromLongLong(core::read_signed(s.kind, p)));
      return py::reinterpret_steal<py::object>(PyLong_FromUnsignedLongLong(core::read_unsigned(s.kind, p)));
    }
  }
  PyObject* value = PyObject_GetAttr(view.ptr(), field_names[f]);
  if (value == nullptr) throw_python_error();
  return py::reinterpret_steal<py::object>(value);
}

void set_field(py::handle view, ViewCache* vc, Field f, py::handle value) {
  if (vc != nullptr) {
    const FieldSlot& s = vc->slot(f);
    if (s.state == FieldSlot::kRaw && write_raw(*vc, s, value.ptr())) return;
  }
  if (PyObject_SetAttr(view.ptr(), field_names[f], value.ptr()) != 0) throw_python_error();
}

void set_required_field(py::handle view, ViewCache* vc, Field f, py::handle value) {
  if (!has_field(view, vc, f)) {
    glue::raise(PyExc_AttributeError,
                "'" + std::string(glue::compat::type_short_name(Py_TYPE(view.ptr()))) + "' object has no attribute '" + kFields[f].name + "'");
  }
  set_field(view, vc, f, value);
}

void set_required(py::handle self, Field f, py::handle value) {
  ViewCache* vc;
  py::object view = lookup_view(self.ptr(), kFields[f].view, &vc);
  set_required_field(view, vc, f, value);
}

py::float_ get_float(py::handle self, Field f) {
  ViewCache* vc;
  py::object view = lookup_view(self.ptr(), kFields[f].view, &vc);
  py::object value = get_field(view, vc, f);
  if (PyFloat_CheckExact(value.ptr())) return py::reinterpret_steal<py::float_>(value.release());
  PyObject* converted = PyNumber_Float(value.ptr());
  if (converted == nullptr) throw_python_error();
  return py::reinterpret_steal<py::float_>(converted);
}

}  // namespace vez::backend
