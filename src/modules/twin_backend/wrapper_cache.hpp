// What the fast paths remember per wrapper: the layouts of its structure
// views, the DT_step function it calls and, after a direct step, a snapshot
// of everything the next step needs.  Kept in a weak-keyed cache (an entry
// goes with its wrapper) and trusted only while the wrapper's class still
// lets its instance dict decide the attributes the fast paths read.
//
// Threads: the GIL must be held.
#pragma once

#include <Python.h>

#include "modules/twin_backend/field_access.hpp"

namespace vez::backend {


using StepFunction = void (*)(void*);

inline constexpr int kOptionalInportCount = 3;

// Everything one step needs, valid while the stamps of the wrapper's dict,
// the bindings module's dict and this module's dict hold (dict_guard) and
// the inp view keeps its type.
struct StepSnapshot {
  bool valid = false;
  PyObject* self_dict = nullptr;  // identity only
  PyObject* lib = nullptr;        // strong
  PyObject* inp = nullptr;        // strong
  uint64_t self_stamp = 0;
  uint64_t lib_stamp = 0;
  uint64_t module_stamp = 0;
  PyTypeObject* inp_type = nullptr;
  unsigned int inp_tag = 0;
  char* inp_base = nullptr;
  bool any_absent = false;  // some optional inport is missing: the view must stay without instance attributes
  StepFunction fn = nullptr;
  void* model = nullptr;
  FieldSlot reference, load;
  FieldSlot optional[kOptionalInportCount];
  double shadows[kOptionalInportCount] = {};

  void release() {
    valid = false;
    Py_CLEAR(lib);
    Py_CLEAR(inp);
  }
};

struct WrapperCache {
  PyTypeObject* type = nullptr;
  unsigned int type_tag = 0;
  bool type_ok = false;
  ViewCache views[kViewCount];
  PyObject* lib = nullptr;
  PyObject* step_fn = nullptr;
  PyObject* model = nullptr;
  bool step_ok = false;
  StepFunction step_address = nullptr;
  void* model_address = nullptr;
  StepSnapshot snapshot;

  WrapperCache() = default;
  WrapperCache(const WrapperCache&) = delete;
  WrapperCache& operator=(const WrapperCache&) = delete;
  ~WrapperCache() {
    snapshot.release();
    for (ViewCache& v : views) v.release();
    Py_CLEAR(lib);
    Py_CLEAR(step_fn);
    Py_CLEAR(model);
  }
};

// The cache of `self`, made if needed (which calls into Python); nullptr when
// the fast paths do not apply to it.
WrapperCache* cache_of(PyObject* self);

// The cache of `self` only if it exists already and its class still allows
// the fast paths; runs no Python code.
WrapperCache* known_cache_of(PyObject* self);

}  // namespace vez::backend
