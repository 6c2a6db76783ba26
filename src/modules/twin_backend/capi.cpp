// The C API other modules of the package reach the backend's fast paths
// through (see _twin_backend_capi.hpp), with the same guards as the Python
// surface: a wrapper whose step was replaced or shadowed is never stepped
// behind its back.
#include "modules/twin_backend/capi.hpp"

#include "modules/twin_backend/direct_step.hpp"
#include "modules/twin_backend/field_access.hpp"
#include "modules/twin_backend/wrapper_cache.hpp"

namespace vez::backend {

namespace {

// Runs `fn`, turning C++ exceptions into a pending Python error (-1).
template <typename Fn>
int with_python_errors(Fn&& fn) {
  return glue::python_call(std::forward<Fn>(fn), -1);
}

int capi_step(PyObject* wrapper, double reference, double load) {
  // A method is a non-data descriptor: an instance attribute of that name wins.
  if (!installed.step.holds_for(wrapper)) return 0;
  return with_python_errors([&] {
    step_values(wrapper, reference, load);
    return 1;
  });
}

int capi_step_pure(PyObject* wrapper, double reference, double load) {
  if (!installed.step.type_resolves(Py_TYPE(wrapper))) return 0;
  WrapperCache* cache = known_cache_of(wrapper);
  if (cache == nullptr) return 0;
  // A snapshot exists only after a direct step, which materialized the dict.
  PyObject* d = glue::compat::instance_dict(wrapper);
  if (d == nullptr || !installed.step.not_shadowed_in(d)) return 0;
  return step_from_snapshot(cache->snapshot, d, reference, load) ? 1 : 0;
}

int capi_raw_field(PyObject* structure, PyObject* field_name, capi::RawField* out, unsigned* type_tag) {
  out->state = capi::RawField::kOther;
  out->address = nullptr;
  out->kind = core::FieldKind::f64;
  *type_tag = 0;
  return with_python_errors([&] {
    PyTypeObject* type = Py_TYPE(structure);
    if (!has_plain_attribute_access(type)) return 0;
    const unsigned tag = version_tag(type);
    if (tag == 0) return 0;
    // Only a ctypes instance has fields to speak of.
    PyObject* address = PyObject_CallMethod(ctypes_module(), "addressof", "O", structure);
    if (address == nullptr) {
      PyErr_Clear();
      return 0;
    }
    char* base = static_cast<char*>(PyLong_AsVoidPtr(address));
    Py_DECREF(address);
    if (base == nullptr) {
      PyErr_Clear();
      return 0;
    }
    const FieldSlot slot = probe_field(type, field_name);
    if (PyErr_Occurred()) throw_python_error();
    if (!same_version(type, tag)) return 0;  // the probe changed the type: nothing to promise
    *type_tag = tag;
    if (slot.state == FieldSlot::kAbsent) {
      out->state = capi::RawField::kAbsent;
      return 0;
    }
    if (slot.state != FieldSlot::kRaw) return 0;
    out->state = capi::RawField::kRaw;
    out->address = base + slot.offset;
    out->kind = slot.kind;
    return 0;
  });
}

}  // namespace

const capi::CApi capi_table = {capi::kCApiVersion, sizeof(capi::CApi), &capi_step, &capi_step_pure, &capi_raw_field};

}  // namespace vez::backend
