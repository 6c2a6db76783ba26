#include "modules/virtual/wrapper_fields.hpp"

#include "glue/weak_cache.hpp"

namespace vez::virtual_actuator {

namespace {

// Deliberately leaked: entries hold Python references and must never be
// destroyed after the interpreter is gone.
auto* located = new glue::WeakKeyedCache<WrapperFields>();

bool view_has_no_instance_attributes(PyObject* view) {
  PyObject* d = glue::compat::instance_dict(view);
  return d == nullptr || PyDict_GET_SIZE(d) == 0;
}

// The wrapper's class lets its instance dict decide what wrapper.<view> is:
// generic attribute access and no class attribute named like a view (a
// property, say).  Lookups only, no Python code.
bool dict_decides_views(PyTypeObject* type) {
  if (type->tp_getattro != PyObject_GenericGetAttr) return false;
  for (size_t v = 0; v < kViewCount; ++v) {
    if (glue::compat::type_lookup(type, names.views[v]) != nullptr) return false;
  }
  return true;
}

// The located fields still describe `wrapper` (identity checks only, no Python code).
bool still_valid(WrapperFields& fields, PyObject* wrapper) {
  if (!fields.built) return false;
  PyTypeObject* type = Py_TYPE(wrapper);
  if (type != fields.type) return false;
  if (!glue::compat::type_version_holds(type, fields.type_tag)) {
    // Changed, or without a tag (3.13 gives a class none after a thousand
    // modifications): looked at again.
    if (!dict_decides_views(type)) return false;
    fields.type_tag = glue::compat::type_version(type);
  }
  PyObject* d = glue::compat::instance_dict(wrapper);
  if (d == nullptr || d != fields.dict) return false;
  if (!dict_guard.holds(d, fields.dict_stamp)) {
    const uint64_t stamp = dict_guard.stamp(d, wrapper);
    for (size_t v = 0; v < kViewCount; ++v) {
      if (PyDict_GetItem(d, names.views[v]) != fields.views[v]) return false;
    }
    fields.dict_stamp = stamp;
  }
  for (size_t v = 0; v < kViewCount; ++v) {
    PyObject* view = fields.views[v];
    if (view == nullptr) continue;
    if (Py_TYPE(view) != fields.view_types[v] || !glue::compat::type_version_holds(fields.view_types[v], fields.view_tags[v])) return false;
    if (fields.view_lacks_optional[v] && !view_has_no_instance_attributes(view)) return false;
  }
  return true;
}

// Locates every column of `wrapper` (may run Python code).
void locate(WrapperFields& fields, PyObject* wrapper) {
  fields.release_views();
  fields.built = true;
  fields.usable = false;
  fields.type = Py_TYPE(wrapper);
  fields.type_tag = glue::compat::type_version(fields.type);
  fields.dict = glue::compat::instance_dict(wrapper);
  fields.dict_stamp = fields.dict != nullptr ? dict_guard.stamp(fields.dict, wrapper) : 0;
  bool usable = fields.dict != nullptr && dict_decides_views(fields.type);
  for (size_t v = 0; v < kViewCount; ++v) {
    fields.view_types[v] = nullptr;
    fields.view_tags[v] = 0;
    fields.view_lacks_optional[v] = false;
    PyObject* view = fields.dict != nullptr ? PyDict_GetItem(fields.dict, names.views[v]) : nullptr;
    if (view == nullptr) {
      usable = false;
      continue;
    }
    Py_INCREF(view);
    fields.views[v] = view;
    fields.view_types[v] = Py_TYPE(view);
    fields.view_tags[v] = glue::compat::type_version(Py_TYPE(view));
  }
  for (size_t c = 0; c < kColumnCount && usable; ++c) {
    const core::TelemetryColumn& column = kColumns[c];
    PyObject* view = fields.views[column.view];
    backend_api::RawField raw{};
    unsigned tag = 0;
    if (backend->raw_field(view, names.fields[c], &raw, &tag) != 0) {
      PyErr_Clear();  // the ordinary path will meet the same problem and report it
      usable = false;
      break;
    }
    ColumnSource& source = fields.columns[c];
    source.state = raw.state;
    source.address = static_cast<char*>(raw.address);
    source.kind = raw.kind;
    if (tag != fields.view_tags[column.view]) usable = false;
    if (raw.state == backend_api::RawField::kAbsent) {
      if (!column.optional) usable = false;  // the ordinary path raises AttributeError
      fields.view_lacks_optional[column.view] = true;
    } else if (raw.state != backend_api::RawField::kRaw) {
      usable = false;
    }
  }
  fields.usable = usable;
}

}  // namespace

WrapperFields* fields_of(PyObject* wrapper) {
  WrapperFields* fields = located->find_or_add(wrapper);
  if (fields == nullptr) return nullptr;  // not weakly referenceable: ordinary paths only
  if (still_valid(*fields, wrapper)) return fields->usable ? fields : nullptr;
  py::object keep_wrapper = py::reinterpret_borrow<py::object>(wrapper);
  locate(*fields, wrapper);
  // Locating may have run Python code; the result counts only if it still holds.
  if (still_valid(*fields, wrapper) && fields->usable) return fields;
  return nullptr;
}

WrapperFields* known_fields_of(PyObject* wrapper) {
  WrapperFields* fields = located->find(wrapper);
  return fields != nullptr && still_valid(*fields, wrapper) && fields->usable ? fields : nullptr;
}

}  // namespace vez::virtual_actuator
