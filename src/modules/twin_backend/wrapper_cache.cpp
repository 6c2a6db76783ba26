#include "modules/twin_backend/wrapper_cache.hpp"

#include "glue/weak_cache.hpp"

namespace vez::backend {

namespace {

// Deliberately leaked: entries hold Python references and must never be
// destroyed after the interpreter is gone.
auto* caches = new glue::WeakKeyedCache<WrapperCache>();

// The class-level conditions under which the instance dict alone decides
// what self.<name> is and our own _apply_optional_inports runs.
bool type_allows_fast_paths(PyTypeObject* type) {
  if (type->tp_getattro != PyObject_GenericGetAttr) return false;
  for (PyObject* name : view_names) {
    if (!glue::instance_dict_decides(type, name)) return false;
  }
  for (int i = kLibAttr; i <= kAcelRefShadow; ++i) {
    if (!glue::instance_dict_decides(type, instance_names[i])) return false;
  }
  return installed.apply_inports.type_resolves(type);
}

bool type_still_checked(const WrapperCache& cache, PyTypeObject* type) {
  return type == cache.type && same_version(type, cache.type_tag);
}

}  // namespace

WrapperCache* cache_of(PyObject* self) {
  WrapperCache* cache = caches->find_or_add(self);
  if (cache == nullptr) return nullptr;  // not weakly referenceable: no cache, ordinary paths only
  PyTypeObject* type = Py_TYPE(self);
  if (!type_still_checked(*cache, type)) {
    cache->type = type;
    cache->type_ok = type_allows_fast_paths(type);
    cache->type_tag = version_tag(type);
    if (cache->type_tag == 0) cache->type_ok = false;
  }
  return cache->type_ok ? cache : nullptr;
}

WrapperCache* known_cache_of(PyObject* self) {
  WrapperCache* cache = caches->find(self);
  if (cache == nullptr || !type_still_checked(*cache, Py_TYPE(self)) || !cache->type_ok) return nullptr;
  return cache;
}

}  // namespace vez::backend
