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

// The class-level answer for `type`, re-examined unless its version tag
// proves it current.  A class without a tag (3.13 gives a class no more
// after a thousand modifications, and ActuatorWrapper's instance_count
// changes with every wrapper made or terminated) is re-examined every time,
// by lookups that run no Python code.
void check_type(WrapperCache& cache, PyTypeObject* type) {
  if (type == cache.type && same_version(type, cache.type_tag)) return;
  cache.type = type;
  cache.type_tag = version_tag(type);
  cache.type_ok = type_allows_fast_paths(type);
}

}  // namespace

WrapperCache* cache_of(PyObject* self) {
  WrapperCache* cache = caches->find_or_add(self);
  if (cache == nullptr) return nullptr;  // not weakly referenceable: no cache, ordinary paths only
  check_type(*cache, Py_TYPE(self));
  return cache->type_ok ? cache : nullptr;
}

WrapperCache* known_cache_of(PyObject* self) {
  WrapperCache* cache = caches->find(self);
  if (cache == nullptr) return nullptr;
  check_type(*cache, Py_TYPE(self));
  return cache->type_ok ? cache : nullptr;
}

}  // namespace vez::backend
