// C API of vez_api._twin_backend for the other extension modules of the
// package: a table of function pointers published as the capsule
// `vez_api._twin_backend._C_API` (the usual CPython pattern for sharing C
// functions between extension modules, which are separate shared libraries).
//
// It gives the virtual actuator's stepping loop the wrapper's own guarded
// fast paths without going through Python attribute lookups: the direct
// DT_step with the cached inport layout, and the raw location of a plain
// numeric field of a model structure.  Every function needs the GIL.
#pragma once

#include <Python.h>

#include <cstddef>

#include "core/raw_field.hpp"

namespace vez::twin_backend {

inline constexpr const char kCApiCapsuleName[] = "vez_api._twin_backend._C_API";
inline constexpr unsigned kCApiVersion = 1;

// Where a field of a ctypes structure lives.
struct RawField {
  enum State : int {
    kAbsent = 0,  // the structure's type has no attribute of that name
    kRaw = 1,     // a plain numeric C field: `kind` at `address`
    kOther = 2,   // something only ctypes (or Python) can read
  };
  int state;
  void* address;
  vez::core::FieldKind kind;
};

struct CApi {
  unsigned version;  // kCApiVersion
  size_t size;       // sizeof(CApi) of the exporting module

  // wrapper.step(reference, load), when `wrapper`'s `step` is the backend's
  // own method (its type resolves `step` to the original descriptor and the
  // instance does not shadow it).  Returns 1 when the step ran, 0 when it
  // does not apply (nothing was done and no error is set: the caller makes
  // the Python-level call), -1 with a Python error set.
  int (*step)(PyObject* wrapper, double reference, double load);

  // The same step, but only when it can be done without running any Python
  // code (the wrapper's step layout is cached and its guards hold): returns
  // 1 when it stepped, 0 when it did nothing (the caller then uses `step`).
  // Never sets an error.  Lets a caller keep state that no Python code can
  // observe in the meantime.
  int (*step_pure)(PyObject* wrapper, double reference, double load);

  // The location of `structure.<field_name>` for a ctypes structure instance
  // (anything else is kOther).
  // Fills *out and *type_tag (the version tag of type(structure) when
  // examined; the location stays valid while the structure object is alive
  // and its type keeps that tag).  Returns 0, or -1 with a Python error set.
  int (*raw_field)(PyObject* structure, PyObject* field_name, RawField* out, unsigned* type_tag);
};

// Imports the backend and returns its C API; nullptr with ImportError set
// when it cannot be had or has another version.
inline const CApi* import_capi() {
  auto* api = static_cast<const CApi*>(PyCapsule_Import(kCApiCapsuleName, 0));
  if (api == nullptr) return nullptr;
  if (api->version != kCApiVersion || api->size < sizeof(CApi)) {
    PyErr_SetString(PyExc_ImportError, "vez_api._twin_backend._C_API has an incompatible version");
    return nullptr;
  }
  return api;
}

}  // namespace vez::twin_backend
