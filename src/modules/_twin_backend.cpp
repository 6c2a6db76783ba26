// vez_api._twin_backend: ActuatorWrapper, one isolated instance of a
// digital-twin simulation library.
//
// Each wrapper executes its own copy of the generated bindings module (never
// entered in sys.modules), loads a private temporary copy of the shared
// library with RTLD_LOCAL, rebinds the bindings' foreign functions to that
// copy and keeps live ctypes views of the model structures.  The generated
// code keeps all model state in static memory, which is why every simulator
// needs its own copy of the library.
//
// Everything a Python module would import (ctypes, importlib, shutil,
// tempfile, weakref, Path, math) is looked up in this module's namespace at
// call time, and methods dispatch through self, so patches and subclasses
// take effect.
//
// Other extension modules of the package reach the fast paths through the C
// API in _twin_backend_capi.hpp (the capsule `_C_API`), with the same guards.
//
// Fast paths.  `step` runs 20000 times per simulated second.  For it and for
// the field accessors the wrapper caches what the Python-level lookups would
// find: the address of the rebound DT_step function, the address of the root
// structure, and for each structure view its base address and the offsets and
// C types of the fields it touches.  Before a cached value is used, the
// objects it came from are compared by identity with what the lookup finds
// now (wrapper.__dict__["inp"] is the cached view, wrapper._lib.DT_step is
// the cached function, type version tags unchanged); anything replaced,
// patched or overridden sends the call down the ordinary ctypes path.
// Fields are written through raw memory only when their ctypes type is one
// of the plain numeric types, and only for values whose conversion ctypes
// would perform the same way.
#include <Python.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <unordered_map>

#include "core/raw_field.hpp"
#include "core/symbol_text.hpp"
#include "core/twin_steps.hpp"
#include "glue/cpython_compat.hpp"
#include "glue/glue.hpp"
#include "modules/_twin_backend_capi.hpp"

namespace py = pybind11;
namespace core = vez::core;
using namespace pybind11::literals;

namespace {

glue::ModuleRef mod;
PyObject* wrapper_class = nullptr;        // ActuatorWrapper, kept for the process lifetime
PyObject* original_apply_inports = nullptr;  // ActuatorWrapper._apply_optional_inports as installed
PyObject* original_ctypes = nullptr;      // the ctypes module this module imported
PyObject* original_step = nullptr;        // ActuatorWrapper.step as installed (the method descriptor)
PyObject* native_simple_types[13] = {};   // ctypes.c_bool, c_double, ... (the native-order types)

constexpr size_t kTextSymbolMaxBytes = 1024;
constexpr uint64_t kStepsBetweenSignalChecks = 4096;
constexpr int kFuncflagCdecl = 1;  // ctypes' _FUNCFLAG_CDECL: plain C call, GIL released, no errno swap

// ---------------------------------------------------------------------------
// Names, interned once.

enum View : uint8_t { kInp, kPid, kImp, kFilter, kViewCount };

enum Field : uint8_t {
  kEnable,
  kResetPos,
  kControlType,
  kLoad,
  kReference,
  kRefFfTorque,
  kRefImpedanceSpd,
  kRefImpedanceAcel,
  kPosKp,
  kSpdKp,
  kSpdKi,
  kIdKp,
  kIdKi,
  kFfGain,
  kKStiff,
  kKDamp,
  kTFf,
  kJImp,
  kSpdCutoff,
  kCurrentCutoff,
  kFieldCount
};

struct FieldInfo {
  const char* name;
  View view;
};

constexpr FieldInfo kFields[kFieldCount] = {
    {"Enable", kInp},         {"ResetPos", kInp},       {"ControlType", kInp},        {"Load", kInp},
    {"Reference", kInp},      {"ref_ff_torque", kInp},  {"ref_impedance_spd", kInp},  {"ref_impedance_acel", kInp},
    {"pos_Kp", kPid},         {"spd_Kp", kPid},         {"spd_Ki", kPid},             {"id_Kp", kPid},
    {"id_Ki", kPid},          {"FF_gain", kPid},        {"K_stiff", kImp},            {"K_damp", kImp},
    {"T_FF", kImp},           {"J_imp", kImp},          {"spd_cutoff", kFilter},      {"current_cutoff", kFilter},
};

constexpr const char* kViewNames[kViewCount] = {"inp", "pid", "imp", "filter"};

// Instance attributes read on the fast paths; the wrapper class must not
// define any of them (a property would change what self.<name> means).
enum InstanceName : uint8_t {
  kLibAttr,
  kModelAttr,
  kRefFfShadow,
  kSpdRefShadow,
  kAcelRefShadow,
  kApplyInportsAttr,
  kDtStepAttr,
  kCtypesAttr,
  kStepAttr,
  kInstanceNameCount
};
constexpr const char* kInstanceNames[kInstanceNameCount] = {
    "_lib", "model", "_reference_feedforward_torque", "_impedance_speed_reference", "_impedance_acceleration_reference",
    "_apply_optional_inports", "DT_step", "ctypes", "step"};

PyObject* field_names[kFieldCount] = {};
PyObject* view_names[kViewCount] = {};
PyObject* instance_names[kInstanceNameCount] = {};

void intern_names() {
  for (int i = 0; i < kFieldCount; ++i) field_names[i] = PyUnicode_InternFromString(kFields[i].name);
  for (int i = 0; i < kViewCount; ++i) view_names[i] = PyUnicode_InternFromString(kViewNames[i]);
  for (int i = 0; i < kInstanceNameCount; ++i) instance_names[i] = PyUnicode_InternFromString(kInstanceNames[i]);
}

// ---------------------------------------------------------------------------
// Small CPython helpers.

[[noreturn]] void throw_python_error() { throw py::error_already_set(); }

using glue::compat::dict_version;
using glue::compat::instance_dict;
using glue::compat::kDictVersionTags;

// Borrowed dict item or nullptr; lookup errors propagate.
PyObject* dict_item(PyObject* dict, PyObject* key) {
  PyObject* value = PyDict_GetItemWithError(dict, key);
  if (value == nullptr && PyErr_Occurred()) throw_python_error();
  return value;
}

// The type's version tag (assigned if needed; 0 when it cannot have one).
unsigned int version_tag(PyTypeObject* type) { return glue::compat::type_version(type); }
bool same_version(PyTypeObject* type, unsigned int tag) { return glue::compat::type_version_holds(type, tag); }

bool has_plain_attribute_access(PyTypeObject* type) {
  return type->tp_getattro == PyObject_GenericGetAttr && type->tp_setattro == PyObject_GenericSetAttr;
}

bool ctypes_unpatched() {
  return PyDict_GetItem(PyModule_GetDict(mod.module().ptr()), instance_names[kCtypesAttr]) == original_ctypes;
}

void replace_ref(PyObject*& slot, PyObject* value) {
  Py_XINCREF(value);
  Py_XSETREF(slot, value);
}

// ---------------------------------------------------------------------------
// Cached layout of one structure view (wrapper.inp, .pid, .imp, .filter).

struct FieldSlot {
  enum State : uint8_t { kUnprobed, kAbsent, kRaw, kPython } state = kUnprobed;
  core::FieldKind kind = core::FieldKind::f64;
  size_t offset = 0;
};

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
    replace_ref(view, obj);
    type = Py_TYPE(obj);
    base = nullptr;
    for (FieldSlot& s : slots) s = FieldSlot{};
    if (!has_plain_attribute_access(type)) return;
    type_tag = version_tag(type);
    if (type_tag == 0) return;
    PyObject* address = PyObject_CallMethod(original_ctypes, "addressof", "O", obj);
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

  FieldSlot& slot(Field f) {
    FieldSlot& s = slots[f];
    if (s.state == FieldSlot::kUnprobed) s = probe_field(type, field_names[f]);
    return s;
  }

  // The instance dict of the view does not hold `name` (so a name the type
  // lacks is really absent).
  bool instance_lacks(PyObject* name) const {
    PyObject* d = instance_dict(view);
    return d == nullptr || PyDict_GET_SIZE(d) == 0 || PyDict_GetItem(d, name) == nullptr;
  }
};

// ---------------------------------------------------------------------------
// Per-wrapper cache, keyed by the wrapper object; a weak reference drops it
// when the wrapper goes away.

using StepFunction = void (*)(void*);

constexpr int kOptionalInportCount = 3;

// Everything one step needs, valid while the wrapper's dict, the bindings
// module's dict and this module's dict keep their version tags and the inp
// view keeps its type.
struct StepSnapshot {
  bool valid = false;
  PyObject* self_dict = nullptr;  // identity only
  PyObject* lib = nullptr;        // strong
  PyObject* inp = nullptr;        // strong
  uint64_t self_version = 0;
  uint64_t lib_version = 0;
  uint64_t module_version = 0;
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
  PyObject* weakref = nullptr;
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

  void release() {
    snapshot.release();
    for (ViewCache& v : views) v.release();
    Py_CLEAR(lib);
    Py_CLEAR(step_fn);
    Py_CLEAR(model);
    Py_CLEAR(weakref);
  }
};

// Deliberately leaked: entries hold Python references and must never be
// destroyed after the interpreter is gone.
auto* wrapper_caches = new std::unordered_map<PyObject*, WrapperCache*>();
PyObject* last_wrapper = nullptr;  // the most recently used entry, to skip the hash lookup
WrapperCache* last_cache = nullptr;

void drop_cache(uintptr_t key) {
  if (last_wrapper == reinterpret_cast<PyObject*>(key)) {
    last_wrapper = nullptr;
    last_cache = nullptr;
  }
  auto it = wrapper_caches->find(reinterpret_cast<PyObject*>(key));
  if (it == wrapper_caches->end()) return;
  WrapperCache* cache = it->second;
  wrapper_caches->erase(it);
  cache->release();
  delete cache;
}

// The class-level conditions under which the instance dict alone decides
// what self.<name> is and our own _apply_optional_inports runs.
bool type_allows_fast_paths(PyTypeObject* type) {
  if (type->tp_getattro != PyObject_GenericGetAttr) return false;
  for (PyObject* name : view_names) {
    if (glue::compat::type_lookup(type, name) != nullptr) return false;
  }
  for (int i = kLibAttr; i <= kAcelRefShadow; ++i) {
    if (glue::compat::type_lookup(type, instance_names[i]) != nullptr) return false;
  }
  return glue::compat::type_lookup(type, instance_names[kApplyInportsAttr]) == original_apply_inports;
}

WrapperCache* cache_of(PyObject* self) {
  WrapperCache* cache;
  auto it = self == last_wrapper ? wrapper_caches->end() : wrapper_caches->find(self);
  if (self == last_wrapper) {
    cache = last_cache;
  } else if (it != wrapper_caches->end()) {
    cache = it->second;
  } else {
    const auto key = reinterpret_cast<uintptr_t>(self);
    py::cpp_function on_collect([key](py::object /*weakref: kept alive during the call*/) { drop_cache(key); });
    PyObject* weakref = PyWeakref_NewRef(self, on_collect.ptr());
    if (weakref == nullptr) {
      PyErr_Clear();  // not weakly referenceable: no cache, ordinary paths only
      return nullptr;
    }
    cache = new WrapperCache();
    cache->weakref = weakref;
    wrapper_caches->emplace(self, cache);
  }
  last_wrapper = self;
  last_cache = cache;
  PyTypeObject* type = Py_TYPE(self);
  if (type != cache->type || !same_version(type, cache->type_tag)) {
    cache->type = type;
    cache->type_ok = type_allows_fast_paths(type);
    cache->type_tag = version_tag(type);
    if (cache->type_tag == 0) cache->type_ok = false;
  }
  return cache->type_ok ? cache : nullptr;
}

// ---------------------------------------------------------------------------
// Field access: raw memory when the cache applies, ctypes otherwise.

// self.<view>: the object and, when usable, its cache.
py::object lookup_view(PyObject* self, View v, ViewCache** cache_out) {
  *cache_out = nullptr;
  if (WrapperCache* cache = cache_of(self)) {
    if (PyObject* d = instance_dict(self)) {
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

// hasattr(view, field)
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

// Stores `value` the way ctypes' setter would; false when only ctypes can
// tell (the caller then assigns through ctypes).
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

void set_field(py::handle view, ViewCache* vc, Field f, py::handle value) {
  if (vc != nullptr) {
    const FieldSlot& s = vc->slot(f);
    if (s.state == FieldSlot::kRaw && write_raw(*vc, s, value.ptr())) return;
  }
  if (PyObject_SetAttr(view.ptr(), field_names[f], value.ptr()) != 0) throw_python_error();
}

// A field every model has: a structure that lacks it raises AttributeError
// instead of silently growing a Python attribute the model never reads.
void set_required_field(py::handle view, ViewCache* vc, Field f, py::handle value) {
  if (!has_field(view, vc, f)) {
    glue::raise(PyExc_AttributeError,
                "'" + std::string(glue::compat::type_short_name(Py_TYPE(view.ptr()))) + "' object has no attribute '" + kFields[f].name + "'");
  }
  set_field(view, vc, f, value);
}

// Convenience forms that find self.<view> first.
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

// ---------------------------------------------------------------------------
// DT_step: the cached foreign function or the ctypes call.

py::object byref_model(py::handle self) { return mod.get("ctypes").attr("byref")(self.attr("model")); }

void call_library(py::handle self, const char* function) { self.attr("_lib").attr(function)(byref_model(self)); }

// Decides whether wrapper._lib.DT_step may be called directly: a plain C
// function of this ctypes, no errcheck, a scalar or void result, and an
// argument declaration that accepts a reference to the root structure.
void probe_step(WrapperCache& cache, PyObject* lib, PyObject* model, PyObject* fn) {
  cache.snapshot.release();
  replace_ref(cache.lib, lib);
  replace_ref(cache.model, model);
  replace_ref(cache.step_fn, fn);
  cache.step_ok = false;
  if (fn == nullptr || !PyModule_CheckExact(lib)) return;
  try {
    py::handle ctypes(original_ctypes);
    py::handle function(fn);
    if (!PyObject_IsInstance(fn, ctypes.attr("_CFuncPtr").ptr())) return;
    if (py::type::handle_of(function).attr("_flags_").cast<int>() != kFuncflagCdecl) return;
    if (!function.attr("errcheck").is_none()) return;
    py::object restype = function.attr("restype");
    if (!restype.is_none() &&
        !(PyType_Check(restype.ptr()) &&
          PyObject_IsSubclass(restype.ptr(), ctypes.attr("_SimpleCData").ptr()) == 1)) {
      return;
    }
    py::object argtypes = function.attr("argtypes");
    if (!argtypes.is_none()) {
      // ctypes keeps argtypes as given: a list or a tuple.
      if (!(PyTuple_Check(argtypes.ptr()) || PyList_Check(argtypes.ptr())) || PySequence_Size(argtypes.ptr()) != 1) return;
      py::object first = argtypes[py::int_(0)];
      PyObject* declared = first.ptr();
      const bool void_pointer = declared == ctypes.attr("c_void_p").ptr();
      const bool model_pointer = PyType_Check(declared) &&
                                 PyObject_IsSubclass(declared, ctypes.attr("_Pointer").ptr()) == 1 &&
                                 PyObject_IsInstance(model, py::handle(declared).attr("_type_").ptr()) == 1;
      if (PyErr_Occurred()) throw_python_error();
      if (!void_pointer && !model_pointer) return;
    }
    py::object address = ctypes.attr("cast")(function, ctypes.attr("c_void_p")).attr("value");
    py::object model_address = ctypes.attr("addressof")(py::handle(model));
    if (address.is_none()) return;
    cache.step_address = reinterpret_cast<StepFunction>(PyLong_AsVoidPtr(address.ptr()));
    cache.model_address = PyLong_AsVoidPtr(model_address.ptr());
    if (PyErr_Occurred()) throw_python_error();
    cache.step_ok = cache.step_address != nullptr && cache.model_address != nullptr;
  } catch (py::error_already_set&) {
    cache.step_ok = false;  // something unusual: the ctypes call decides
  }
}

// The direct step call for this wrapper, or false when the ordinary path
// must be taken.  `d` is the wrapper's instance dict.
bool direct_step_target(WrapperCache& cache, PyObject* d, StepFunction* fn_out, void** model_out) {
  if (!ctypes_unpatched()) return false;
  PyObject* lib = dict_item(d, instance_names[kLibAttr]);
  PyObject* model = dict_item(d, instance_names[kModelAttr]);
  if (lib == nullptr || model == nullptr || !PyModule_CheckExact(lib)) return false;
  PyObject* fn = dict_item(PyModule_GetDict(lib), instance_names[kDtStepAttr]);
  if (lib != cache.lib || model != cache.model || fn != cache.step_fn) probe_step(cache, lib, model, fn);
  if (!cache.step_ok) return false;
  *fn_out = cache.step_address;
  *model_out = cache.model_address;
  return true;
}

// One DT_step, as `self._lib.DT_step(ctypes.byref(self.model))` would do it.
void dt_step_once(py::handle self) {
  if (WrapperCache* cache = cache_of(self.ptr())) {
    if (PyObject* d = instance_dict(self.ptr())) {
      StepFunction fn;
      void* model;
      if (direct_step_target(*cache, d, &fn, &model)) {
        fn(model);
        return;
      }
    }
  }
  call_library(self, "DT_step");
}

// `count` DT_steps.  The direct loop runs without the GIL in chunks and
// checks for signals between them, so a long warm-up stays interruptible.
void dt_step_repeated(py::handle self, uint64_t count) {
  if (WrapperCache* cache = cache_of(self.ptr())) {
    if (PyObject* d = instance_dict(self.ptr())) {
      StepFunction fn;
      void* model;
      if (direct_step_target(*cache, d, &fn, &model)) {
        // The objects owning the function and the structure stay alive
        // through these references whatever happens to the cache meanwhile.
        py::object keep_lib = py::reinterpret_borrow<py::object>(cache->lib);
        py::object keep_fn = py::reinterpret_borrow<py::object>(cache->step_fn);
        py::object keep_model = py::reinterpret_borrow<py::object>(cache->model);
        while (count > 0) {
          const uint64_t chunk = count < kStepsBetweenSignalChecks ? count : kStepsBetweenSignalChecks;
          Py_BEGIN_ALLOW_THREADS
          for (uint64_t i = 0; i < chunk; ++i) fn(model);
          Py_END_ALLOW_THREADS
          count -= chunk;
          if (count > 0 && PyErr_CheckSignals() != 0) throw_python_error();
        }
        return;
      }
    }
  }
  for (uint64_t i = 0; i < count; ++i) call_library(self, "DT_step");
}

// ---------------------------------------------------------------------------
// Argument conversion.

py::float_ float_arg(py::handle value, const char* name) { return py::float_(glue::as_float(value, name)); }

py::object optional_float_arg(py::handle value, const char* name) {
  if (value.is_none()) return py::none();
  return float_arg(value, name);
}

void require_exact_str(py::handle value, const char* name) {
  if (!PyUnicode_CheckExact(value.ptr())) glue::raise_arg_type(name, "str", value);
}

// ---------------------------------------------------------------------------
// Module functions.

py::object get_default_dtwin_time_step_s() { return mod.get("_DTWIN_DEFAULT_TIME_STEP_S"); }

py::int_ steps_for_duration(py::handle duration_s, py::handle time_step_s) {
  const double duration = glue::as_float(duration_s, "duration_s");
  const double step = glue::as_float(time_step_s, "time_step_s");
  if (!core::is_usable_time_step(step)) {
    glue::raise(PyExc_RuntimeError, "Invalid DTwin simulation timestep: " + glue::str(py::repr(py::float_(step))));
  }
  const double count = core::step_count_for(duration, step);
  if (std::isnan(count)) glue::raise(PyExc_ValueError, "cannot convert float NaN to integer");
  if (std::isinf(count)) glue::raise(PyExc_OverflowError, "cannot convert float infinity to integer");
  return py::reinterpret_steal<py::int_>(PyLong_FromDouble(count));
}

// ---------------------------------------------------------------------------
// Loading and lifecycle.

void load_isolated(py::object self, py::object lib_path, py::object binding_path) {
  py::object util = mod.get("importlib").attr("util");
  py::object resolved_binding = binding_path.attr("resolve")();
  py::object spec = util.attr("spec_from_file_location")("dtwin", resolved_binding);
  if (spec.is_none() || spec.attr("loader").is_none()) {
    glue::raise(PyExc_ImportError, "Could not load digital-twin bindings from " + glue::str(binding_path));
  }
  py::object module = util.attr("module_from_spec")(spec);
  spec.attr("loader").attr("exec_module")(module);

  py::object resolved_lib = lib_path.attr("resolve")();
  py::object tmp_dir = mod.get("tempfile").attr("mkdtemp")();
  self.attr("tmp_dir") = tmp_dir;
  // The folder goes away with the wrapper (or at exit) even when terminate()
  // is never called; terminate() removes it earlier.
  mod.get("weakref").attr("finalize")(self, mod.get("shutil").attr("rmtree"), tmp_dir, "ignore_errors"_a = true);

  py::object lib_copy = mod.get("Path")(tmp_dir).attr("__truediv__")(resolved_lib.attr("name"));
  mod.get("shutil").attr("copy2")(resolved_lib, lib_copy);
  py::object ctypes = mod.get("ctypes");
  py::object handle = ctypes.attr("CDLL")(py::str(lib_copy), "mode"_a = ctypes.attr("RTLD_LOCAL"));
  module.attr("_dll") = handle;
  glue::call_method(self, "_rebind_ctypes_functions", module, handle);
  self.attr("_lib") = module;
}

void rebind_ctypes_functions(py::object /*self*/, py::object module, py::object new_handle) {
  py::object function_type = mod.get("ctypes").attr("_CFuncPtr");
  // A snapshot: the loop replaces values of the namespace it walks.
  py::list items(module.attr("__dict__").attr("items")());
  for (py::handle item : items) {
    py::object name = item[py::int_(0)];
    py::object value = item[py::int_(1)];
    if (!PyUnicode_Check(name.ptr())) continue;
    const int is_function = PyObject_IsInstance(value.ptr(), function_type.ptr());
    if (is_function < 0) throw_python_error();
    if (is_function == 0) continue;
    PyObject* rebound = PyObject_GetAttr(new_handle.ptr(), name.ptr());
    if (rebound == nullptr) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
      PyErr_Clear();  // the copy does not export it: the bindings keep their own
      continue;
    }
    py::object new_function = py::reinterpret_steal<py::object>(rebound);
    new_function.attr("restype") = value.attr("restype");
    new_function.attr("argtypes") = value.attr("argtypes");
    module.attr(name) = new_function;
  }
}

py::object bind_optional_global(py::object self, py::handle type_name, py::handle symbol_name) {
  py::str type_key = glue::as_str_or_subclass(type_name, "type_name");
  py::str symbol_key = glue::as_str_or_subclass(symbol_name, "symbol_name");
  py::object lib = self.attr("_lib");
  py::object struct_type = py::getattr(lib, type_key, py::none());
  py::object raw_library = py::getattr(lib, "_dll", py::none());
  if (!struct_type.is_none() && !raw_library.is_none()) {
    try {
      return struct_type.attr("in_dll")(raw_library, symbol_key);
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_AttributeError) && !e.matches(PyExc_ValueError)) throw;
    }
  }
  return py::getattr(lib, symbol_key, py::none());
}

void bind_ctypes(py::object self) {
  py::object lib = self.attr("_lib");
  static constexpr std::pair<const char*, const char*> kViews[] = {
      {"imp", "get_impedance_ptr"}, {"pid", "get_pid_ptr"}, {"debug", "get_debug_ptr"}, {"info", "get_info_ptr"},
      {"inp", "get_inports_ptr"},   {"lim", "get_lim_ptr"}, {"meas", "get_meas_ptr"},   {"motor", "get_motor_ptr"},
  };
  for (const auto& [attribute, getter] : kViews) self.attr(attribute) = lib.attr(getter)().attr("contents");
  self.attr("filter") = glue::call_method(self, "_bind_optional_global", "Filter_type", "Filter");

  py::object ctypes = mod.get("ctypes");
  py::object block_io = lib.attr("B_DT_T")();
  py::object dwork = lib.attr("DW_DT_T")();
  py::object prev_zc = lib.attr("PrevZCX_DT_T")();
  py::object error_buffer = ctypes.attr("create_string_buffer")(256);
  py::object model = lib.attr("RT_MODEL_DT_T")();
  // The pointers stored in the root structure keep the three structures and
  // the buffer alive for as long as the root structure lives.
  model.attr("blockIO") = ctypes.attr("pointer")(block_io);
  model.attr("dwork") = ctypes.attr("pointer")(dwork);
  model.attr("prevZCSigState") = ctypes.attr("pointer")(prev_zc);
  model.attr("errorStatus") = ctypes.attr("cast")(error_buffer, ctypes.attr("POINTER")(ctypes.attr("c_char")));
  self.attr("model") = model;
}

void apply_optional_inports(py::object self) {
  static constexpr std::pair<Field, InstanceName> kPairs[] = {
      {kRefFfTorque, kRefFfShadow}, {kRefImpedanceSpd, kSpdRefShadow}, {kRefImpedanceAcel, kAcelRefShadow}};
  ViewCache* vc;
  py::object inp = lookup_view(self.ptr(), kInp, &vc);
  for (const auto& [field, shadow] : kPairs) {
    if (has_field(inp, vc, field)) set_field(inp, vc, field, self.attr(py::handle(instance_names[shadow])));
  }
}

// ActuatorWrapper.instance_count += delta (on the class itself, as a class
// counter: subclasses share it).
void adjust_instance_count(long delta) {
  py::handle cls(wrapper_class);
  PyObject* sum = PyNumber_Add(cls.attr("instance_count").ptr(), py::int_(delta).ptr());
  if (sum == nullptr) throw_python_error();
  cls.attr("instance_count") = py::reinterpret_steal<py::object>(sum);
}

bool truth(py::handle value) {
  const int t = PyObject_IsTrue(value.ptr());
  if (t < 0) throw_python_error();
  return t == 1;
}

void init(py::object self, py::handle shared_lib_path, py::handle ctypes_path) {
  require_exact_str(shared_lib_path, "shared_lib_path");
  require_exact_str(ctypes_path, "ctypes_path");
  py::object path_type = mod.get("Path");
  py::object lib_path = path_type(shared_lib_path);
  py::object binding_path = path_type(ctypes_path);
  py::dict attributes = py::reinterpret_borrow<py::dict>(self.attr("__dict__"));
  py::object folder_before = attributes.attr("get")("tmp_dir");
  try {
    glue::call_method(self, "_load_isolated", lib_path, binding_path);
    glue::call_method(self, "_bind_ctypes");
  } catch (py::error_already_set&) {
    // A failed construction leaves no folder behind.
    py::object folder = attributes.attr("get")("tmp_dir");
    if (!folder.is_none() && !folder.is(folder_before)) {
      PyObject* r = PyObject_CallFunctionObjArgs(mod.get("shutil").attr("rmtree").ptr(), folder.ptr(), Py_True, nullptr);
      Py_XDECREF(r);
      PyErr_Clear();
    }
    throw;
  }
  self.attr("_initialized") = false;
  self.attr("_feedforward_gain") = 0.0;
  self.attr("_reference_feedforward_torque") = 0.0;
  self.attr("_impedance_speed_reference") = 0.0;
  self.attr("_impedance_acceleration_reference") = 0.0;
  self.attr("id_tag") = py::none();
  adjust_instance_count(+1);
}


void initialize(py::object self, py::handle mode) {
  py::int_ control_type = glue::as_int(mode, "mode");
  if (truth(self.attr("_initialized"))) {
    glue::raise(PyExc_RuntimeError, "Simulator already initialized. Call terminate() first.");
  }
  call_library(self, "DT_initialize");
  {
    ViewCache* vc;
    py::object inp = lookup_view(self.ptr(), kInp, &vc);
    set_required_field(inp, vc, kEnable, self.attr("MOTOR_ON"));
    set_required_field(inp, vc, kResetPos, py::bool_(false));
    set_required_field(inp, vc, kControlType, mod.get("_DTWIN_CONTROL_CALIBRATION"));
    set_required_field(inp, vc, kLoad, py::float_(0.0));
    set_required_field(inp, vc, kReference, py::float_(0.0));
  }
  glue::call_method(self, "_apply_optional_inports");
  py::object steps = mod.get("_steps_for_duration")(mod.get("_DTWIN_INITIALIZATION_WARMUP_S"),
                                                       glue::call_method(self, "get_sim_time_step_s"));
  py::int_ count = py::reinterpret_steal<py::int_>(PyNumber_Index(steps.ptr()));
  if (!count) throw_python_error();
  uint64_t warmup_steps = 0;
  if (PyObject_RichCompareBool(count.ptr(), py::int_(0).ptr(), Py_GT) == 1) {
    warmup_steps = PyLong_AsUnsignedLongLong(count.ptr());
    if (PyErr_Occurred()) {
      PyErr_Clear();
      warmup_steps = std::numeric_limits<uint64_t>::max();
    }
  }
  dt_step_repeated(self, warmup_steps);
  set_required(self, kEnable, self.attr("MOTOR_OFF"));
  dt_step_once(self);
  set_required(self, kResetPos, py::bool_(true));
  dt_step_once(self);
  set_required(self, kControlType, control_type);
  self.attr("_initialized") = true;
}

// The ordinary step: ctypes all the way.
void step_through_ctypes(PyObject* self, double reference, double load) {
  py::handle s(self);
  py::object inp = s.attr("inp");
  set_required_field(inp, nullptr, kReference, py::float_(reference));
  set_required_field(inp, nullptr, kLoad, py::float_(load));
  glue::call_method(s, "_apply_optional_inports");
  call_library(s, "DT_step");
}

constexpr std::pair<Field, InstanceName> kOptionalInports[kOptionalInportCount] = {
    {kRefFfTorque, kRefFfShadow}, {kRefImpedanceSpd, kSpdRefShadow}, {kRefImpedanceAcel, kAcelRefShadow}};

PyObject* module_dict() { return PyModule_GetDict(mod.module().ptr()); }

bool view_has_no_instance_attributes(PyObject* view) {
  PyObject* d = instance_dict(view);
  return d == nullptr || PyDict_GET_SIZE(d) == 0;
}

// The step from a valid snapshot: no lookups at all.
// Without dict version tags nothing proves the snapshot current: every step
// then takes the direct path's lookups.
bool step_from_snapshot(StepSnapshot& sn, PyObject* d, double reference, double load) {
  if (!kDictVersionTags) return false;
  if (!sn.valid || d != sn.self_dict || dict_version(d) != sn.self_version ||
      dict_version(PyModule_GetDict(sn.lib)) != sn.lib_version || dict_version(module_dict()) != sn.module_version ||
      Py_TYPE(sn.inp) != sn.inp_type || !same_version(sn.inp_type, sn.inp_tag) ||
      (sn.any_absent && !view_has_no_instance_attributes(sn.inp))) {
    return false;
  }
  core::write_floating(sn.reference.kind, sn.inp_base + sn.reference.offset, reference);
  core::write_floating(sn.load.kind, sn.inp_base + sn.load.offset, load);
  for (int i = 0; i < kOptionalInportCount; ++i) {
    if (sn.optional[i].state == FieldSlot::kRaw) {
      core::write_floating(sn.optional[i].kind, sn.inp_base + sn.optional[i].offset, sn.shadows[i]);
    }
  }
  sn.fn(sn.model);
  return true;
}

// Records a snapshot after a direct step whose every write was a plain
// float store.
void take_snapshot(WrapperCache& cache, PyObject* d, PyObject* inp, const ViewCache& vc) {
  StepSnapshot& sn = cache.snapshot;
  sn.release();
  if (!kDictVersionTags) return;
  sn.any_absent = false;
  for (int i = 0; i < kOptionalInportCount; ++i) {
    const auto& [field, shadow] = kOptionalInports[i];
    sn.optional[i] = vc.slots[field];
    if (sn.optional[i].state == FieldSlot::kAbsent) {
      sn.any_absent = true;
      continue;
    }
    PyObject* value = PyDict_GetItem(d, instance_names[shadow]);
    if (sn.optional[i].state != FieldSlot::kRaw || !core::is_floating(sn.optional[i].kind) || value == nullptr ||
        !PyFloat_CheckExact(value)) {
      return;
    }
    sn.shadows[i] = PyFloat_AS_DOUBLE(value);
  }
  if (sn.any_absent && !view_has_no_instance_attributes(inp)) return;
  sn.self_dict = d;
  replace_ref(sn.lib, cache.lib);
  replace_ref(sn.inp, inp);
  sn.self_version = dict_version(d);
  sn.lib_version = dict_version(PyModule_GetDict(cache.lib));
  sn.module_version = dict_version(module_dict());
  sn.inp_type = vc.type;
  sn.inp_tag = vc.type_tag;
  sn.inp_base = vc.base;
  sn.fn = cache.step_address;
  sn.model = cache.model_address;
  sn.reference = vc.slots[kReference];
  sn.load = vc.slots[kLoad];
  sn.valid = true;
}

// The direct step; false (before anything is written) when it does not apply.
bool step_direct(PyObject* self, double reference, double load) {
  WrapperCache* cache = cache_of(self);
  if (cache == nullptr) return false;
  PyObject* d = instance_dict(self);
  if (d == nullptr) return false;
  if (step_from_snapshot(cache->snapshot, d, reference, load)) return true;
  cache->snapshot.release();

  if (dict_item(d, instance_names[kApplyInportsAttr]) != nullptr) return false;
  PyObject* inp = dict_item(d, view_names[kInp]);
  if (inp == nullptr) return false;
  StepFunction fn;
  void* model;
  if (!direct_step_target(*cache, d, &fn, &model)) return false;
  ViewCache& vc = cache->views[kInp];
  vc.refresh(inp);
  if (vc.base == nullptr) return false;
  const FieldSlot& ref_slot = vc.slot(kReference);
  const FieldSlot& load_slot = vc.slot(kLoad);
  if (ref_slot.state != FieldSlot::kRaw || !core::is_floating(ref_slot.kind) || load_slot.state != FieldSlot::kRaw ||
      !core::is_floating(load_slot.kind)) {
    return false;
  }
  core::write_floating(ref_slot.kind, vc.base + ref_slot.offset, reference);
  core::write_floating(load_slot.kind, vc.base + load_slot.offset, load);

  for (const auto& [field, shadow] : kOptionalInports) {
    const FieldSlot& s = vc.slot(field);
    if (s.state == FieldSlot::kAbsent && vc.instance_lacks(field_names[field])) continue;
    PyObject* value = dict_item(d, instance_names[shadow]);
    if (value != nullptr && s.state == FieldSlot::kRaw && write_raw(vc, s, value)) continue;
    py::object shadow_value = py::handle(self).attr(py::handle(instance_names[shadow]));
    if (PyObject_SetAttr(inp, field_names[field], shadow_value.ptr()) != 0) throw_python_error();
  }
  fn(model);
  take_snapshot(*cache, d, inp, vc);
  return true;
}

// The body of step once its arguments are numbers.
void step_values(PyObject* self, double reference, double load) {
  if (!step_direct(self, reference, load)) step_through_ctypes(self, reference, load);
}

PyObject* step_fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return glue::python_call([&]() -> PyObject* {
    PyObject* bound[2];  // ref_value, load
    if (!glue::bind_fast_arguments("ActuatorWrapper.step", args, nargs, kwnames, {"ref_value", "load"}, 1, bound))
      return nullptr;
    const double reference = glue::as_float(bound[0], "ref_value");
    const double load = bound[1] != nullptr ? glue::as_float(bound[1], "load") : 0.0;
    step_values(self, reference, load);
    Py_RETURN_NONE;
  });
}

PyMethodDef step_method = {
    "step", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(step_fastcall)), METH_FASTCALL | METH_KEYWORDS,
    "step(self, ref_value, load=0.0)\n--\n\n"
    "Write the reference `ref_value` (in the unit of the control type: N*m, rad/s or rad) and the external load "
    "torque `load` in N*m into the model inputs and advance the model one step. Returns None."};

void terminate(py::object self) {
  if (!truth(self.attr("_initialized"))) {
    glue::raise(PyExc_RuntimeError, "Simulator not initialized. Call initialize() first.");
  }
  call_library(self, "DT_terminate");
  self.attr("_initialized") = false;
  adjust_instance_count(-1);
  try {
    mod.get("shutil").attr("rmtree")(self.attr("tmp_dir"));
  } catch (py::error_already_set& e) {
    // A wrapper initialized again after terminate() has no folder left to
    // remove; that is not an error.
    if (!e.matches(PyExc_FileNotFoundError)) throw;
  }
}

py::object get_sim_time_step_s(py::object self) {
  py::object lib = self.attr("_lib");
  py::object getter = py::getattr(lib, "get_sim_time_step_s", py::none());
  if (getter.is_none() && py::hasattr(lib, "_dll")) {
    try {
      getter = lib.attr("_dll").attr("get_sim_time_step_s");
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_AttributeError)) throw;
      getter = py::none();
    }
  }
  if (getter.is_none()) return mod.get("get_default_dtwin_time_step_s")();
  py::object ctypes = mod.get("ctypes");
  const int foreign = PyObject_IsInstance(getter.ptr(), ctypes.attr("_CFuncPtr").ptr());
  if (foreign < 0) throw_python_error();
  if (foreign == 1) {
    getter.attr("restype") = ctypes.attr("c_double");
    getter.attr("argtypes") = py::list();
  }
  py::object result = getter();
  PyObject* converted = PyNumber_Float(result.ptr());
  if (converted == nullptr) throw_python_error();
  return py::reinterpret_steal<py::object>(converted);
}

// ---------------------------------------------------------------------------
// Accessors.

void set_position_kp(py::object self, py::handle kp) { set_required(self, kPosKp, float_arg(kp, "kp")); }

py::float_ get_position_kp(py::object self) { return get_float(self, kPosKp); }

void set_feedforward_gain(py::object self, py::handle gain) {
  py::float_ value = float_arg(gain, "gain");
  self.attr("_feedforward_gain") = value;
  ViewCache* vc;
  py::object pid = lookup_view(self.ptr(), kPid, &vc);
  if (has_field(pid, vc, kFfGain)) set_field(pid, vc, kFfGain, value);
}

py::object get_feedforward_gain(py::object self) {
  ViewCache* vc;
  py::object pid = lookup_view(self.ptr(), kPid, &vc);
  py::object value = has_field(pid, vc, kFfGain) ? get_field(pid, vc, kFfGain) : self.attr("_feedforward_gain");
  PyObject* converted = PyNumber_Float(value.ptr());
  if (converted == nullptr) throw_python_error();
  return py::reinterpret_steal<py::object>(converted);
}

void set_speed_gains(py::object self, py::handle kp, py::handle ki) {
  py::float_ p = float_arg(kp, "kp");
  py::float_ i = float_arg(ki, "ki");
  set_required(self, kSpdKp, p);
  set_required(self, kSpdKi, i);
}

py::tuple get_speed_gains(py::object self) { return py::make_tuple(get_float(self, kSpdKp), get_float(self, kSpdKi)); }

void set_current_gains(py::object self, py::handle kp, py::handle ki) {
  py::float_ p = float_arg(kp, "kp");
  py::float_ i = float_arg(ki, "ki");
  set_required(self, kIdKp, p);
  set_required(self, kIdKi, i);
}

py::tuple get_current_gains(py::object self) { return py::make_tuple(get_float(self, kIdKp), get_float(self, kIdKi)); }

void set_address(py::object self, py::handle address) { self.attr("_address") = glue::as_int(address, "address"); }

py::object get_address(py::object self) { return py::getattr(self, "_address", py::none()); }

py::object address_property(py::object self) { return glue::call_method(self, "get_address"); }

void set_control_type(py::object self, py::handle control_type) {
  set_required(self, kControlType, glue::as_int(control_type, "control_type"));
}

void set_enable(py::object self, py::handle enable) {
  py::object value = truth(enable) ? self.attr("MOTOR_ON") : self.attr("MOTOR_OFF");
  set_required(self, kEnable, value);
}

void set_impedance_gains(py::object self, py::handle k_stiff, py::handle k_damp, py::handle t_ff) {
  py::float_ stiff = float_arg(k_stiff, "k_stiff");
  py::float_ damp = float_arg(k_damp, "k_damp");
  py::float_ feedforward = float_arg(t_ff, "t_ff");
  ViewCache* vc;
  py::object imp = lookup_view(self.ptr(), kImp, &vc);
  set_required_field(imp, vc, kKStiff, stiff);
  set_required_field(imp, vc, kKDamp, damp);
  set_required_field(imp, vc, kTFf, feedforward);
}

py::object nan_value() { return mod.get("math").attr("nan"); }

py::dict get_impedance_gains(py::object self) {
  py::dict out;
  out["k_stiff"] = get_float(self, kKStiff);
  out["k_damp"] = get_float(self, kKDamp);
  out["t_ff"] = get_float(self, kTFf);
  ViewCache* vc;
  py::object imp = lookup_view(self.ptr(), kImp, &vc);
  out["j_imp"] = has_field(imp, vc, kJImp) ? py::object(get_float(self, kJImp)) : nan_value();
  return out;
}

void set_impedance_inertia(py::object self, py::handle j_imp) {
  py::float_ value = float_arg(j_imp, "j_imp");
  ViewCache* vc;
  py::object imp = lookup_view(self.ptr(), kImp, &vc);
  if (has_field(imp, vc, kJImp)) set_field(imp, vc, kJImp, value);
}

void set_damping(py::object self, py::handle k_damp) { set_required(self, kKDamp, float_arg(k_damp, "k_damp")); }

void set_stiffness(py::object self, py::handle k_stiff) { set_required(self, kKStiff, float_arg(k_stiff, "k_stiff")); }

void set_torque_feedforward(py::object self, py::handle t_ff) {
  py::float_ value = float_arg(t_ff, "t_ff");
  self.attr("_reference_feedforward_torque") = value;
  ViewCache* vc;
  py::object inp = lookup_view(self.ptr(), kInp, &vc);
  if (has_field(inp, vc, kRefFfTorque)) {
    set_field(inp, vc, kRefFfTorque, value);
  } else {
    set_required(self, kTFf, value);
  }
}

void set_impedance_references(py::object self, py::handle speed_reference, py::handle acceleration_reference) {
  py::object speed = optional_float_arg(speed_reference, "speed_reference");
  py::object acceleration = optional_float_arg(acceleration_reference, "acceleration_reference");
  ViewCache* vc;
  py::object inp = lookup_view(self.ptr(), kInp, &vc);
  if (!speed.is_none()) {
    self.attr("_impedance_speed_reference") = speed;
    if (has_field(inp, vc, kRefImpedanceSpd)) set_field(inp, vc, kRefImpedanceSpd, speed);
  }
  if (!acceleration.is_none()) {
    self.attr("_impedance_acceleration_reference") = acceleration;
    if (has_field(inp, vc, kRefImpedanceAcel)) set_field(inp, vc, kRefImpedanceAcel, acceleration);
  }
}

void set_filter_cutoffs(py::object self, py::handle speed_cutoff, py::handle current_cutoff) {
  py::object speed = optional_float_arg(speed_cutoff, "speed_cutoff");
  py::object current = optional_float_arg(current_cutoff, "current_cutoff");
  ViewCache* vc;
  py::object filter = lookup_view(self.ptr(), kFilter, &vc);
  if (filter.is_none()) return;
  if (!speed.is_none() && has_field(filter, vc, kSpdCutoff)) set_field(filter, vc, kSpdCutoff, speed);
  if (!current.is_none() && has_field(filter, vc, kCurrentCutoff)) set_field(filter, vc, kCurrentCutoff, current);
}

py::dict get_filter_cutoffs(py::object self) {
  ViewCache* vc;
  py::object filter = lookup_view(self.ptr(), kFilter, &vc);
  auto read = [&](Field f) -> py::object {
    if (filter.is_none() || !has_field(filter, vc, f)) return nan_value();
    py::object value = get_field(filter, vc, f);
    PyObject* converted = PyNumber_Float(value.ptr());
    if (converted == nullptr) throw_python_error();
    return py::reinterpret_steal<py::object>(converted);
  };
  py::dict out;
  out["speed_cutoff"] = read(kSpdCutoff);
  out["current_cutoff"] = read(kCurrentCutoff);
  return out;
}

void set_home_position(py::object self) {
  set_required(self, kResetPos, py::bool_(true));
  dt_step_once(self);
  set_required(self, kResetPos, py::bool_(false));
}

// ---------------------------------------------------------------------------
// Text symbols.

py::str unknown() { return py::str("unknown"); }

bool is_text_character(Py_UCS4 ch) { return ch == '\t' || ch == '\n' || ch == '\r' || Py_UNICODE_ISPRINTABLE(ch); }

py::str decode_c_string_bytes(py::handle raw_value) {
  PyObject* converted = PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyBytes_Type), raw_value.ptr());
  if (converted == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError)) {
      PyErr_Clear();
      return unknown();
    }
    throw_python_error();
  }
  py::bytes data = py::reinterpret_steal<py::bytes>(converted);
  const char* bytes = PyBytes_AS_STRING(data.ptr());
  const auto* nul = static_cast<const char*>(std::memchr(bytes, '\0', static_cast<size_t>(PyBytes_GET_SIZE(data.ptr()))));
  const Py_ssize_t length = nul != nullptr ? nul - bytes : PyBytes_GET_SIZE(data.ptr());
  if (length == 0) return unknown();
  PyObject* text = PyUnicode_DecodeUTF8(bytes, length, "strict");
  if (text == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw_python_error();
    PyErr_Clear();
    return unknown();
  }
  py::str result = py::reinterpret_steal<py::str>(text);
  const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!is_text_character(PyUnicode_READ_CHAR(text, i))) return unknown();
  }
  return result;
}

py::object decode_optional_c_string(py::object self, py::handle symbol_name) {
  py::str name = glue::as_str_or_subclass(symbol_name, "symbol_name");
  py::object lib = self.attr("_lib");
  py::object value = py::getattr(lib, name, py::none());
  if (PyUnicode_Check(value.ptr())) return value;
  py::object ctypes = mod.get("ctypes");
  auto is_instance = [&](py::handle type) {
    const int r = PyObject_IsInstance(value.ptr(), type.ptr());
    if (r < 0) throw_python_error();
    return r == 1;
  };
  if (PyBytes_Check(value.ptr()) || PyByteArray_Check(value.ptr()) || is_instance(ctypes.attr("Array"))) {
    return glue::call_method(self, "_decode_c_string_bytes", value);
  }
  if (is_instance(ctypes.attr("c_char_p"))) {
    py::object raw = value.attr("value");
    return glue::call_method(self, "_decode_c_string_bytes", raw.is_none() ? py::bytes("") : raw);
  }
  if (!py::hasattr(lib, "_dll")) return unknown();
  py::object view;
  try {
    PyObject* made = PyNumber_Multiply(py::object(ctypes.attr("c_char")).ptr(), py::int_(kTextSymbolMaxBytes).ptr());
    if (made == nullptr) throw_python_error();
    py::object array_type = py::reinterpret_steal<py::object>(made);
    view = array_type.attr("in_dll")(lib.attr("_dll"), name);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_TypeError) && !e.matches(PyExc_ValueError)) throw;
    return unknown();
  }
  // Read up to the first NUL and never past the symbol's own end: a short
  // symbol is not followed by 1024 readable bytes of its own.
  void* address = PyLong_AsVoidPtr(ctypes.attr("addressof")(view).ptr());
  if (address == nullptr && PyErr_Occurred()) throw_python_error();
  const std::string text = core::read_symbol_text(address, kTextSymbolMaxBytes);
  return glue::call_method(self, "_decode_c_string_bytes", py::bytes(text));
}

py::object get_motor_model(py::object self) { return glue::call_method(self, "_decode_optional_c_string", "MOTOR_MODEL"); }

py::object get_submodule_commits(py::object self) {
  return glue::call_method(self, "_decode_optional_c_string", "SUBMODULE_COMMITS");
}

py::object get_dtwin_version(py::object self) { return glue::call_method(self, "get_submodule_commits"); }

void remember_native_types(py::handle ctypes) {
  static constexpr const char* kNames[13] = {"c_bool",  "c_double", "c_float", "c_byte", "c_ubyte",
                                             "c_short", "c_ushort", "c_int",   "c_uint", "c_long",
                                             "c_ulong", "c_longlong", "c_ulonglong"};
  for (int i = 0; i < 13; ++i) native_simple_types[i] = py::object(ctypes.attr(kNames[i])).release().ptr();
}

// ---------------------------------------------------------------------------
// C API for the other modules of the package (see _twin_backend_capi.hpp).

namespace capi = vez::twin_backend;

// Runs `fn`, turning C++ exceptions into a pending Python error (-1).
template <typename Fn>
int with_python_errors(Fn&& fn) {
  return glue::python_call(std::forward<Fn>(fn), -1);
}

int capi_step(PyObject* wrapper, double reference, double load) {
  PyTypeObject* type = Py_TYPE(wrapper);
  if (type->tp_getattro != PyObject_GenericGetAttr || glue::compat::type_lookup(type, instance_names[kStepAttr]) != original_step) {
    return 0;
  }
  // A method is a non-data descriptor: an instance attribute of that name wins.
  if (PyObject* d = instance_dict(wrapper)) {
    if (PyDict_GET_SIZE(d) != 0 && PyDict_GetItemWithError(d, instance_names[kStepAttr]) != nullptr) return 0;
    if (PyErr_Occurred()) return -1;
  }
  return with_python_errors([&] {
    step_values(wrapper, reference, load);
    return 1;
  });
}

int capi_step_pure(PyObject* wrapper, double reference, double load) {
  PyTypeObject* type = Py_TYPE(wrapper);
  if (type->tp_getattro != PyObject_GenericGetAttr || glue::compat::type_lookup(type, instance_names[kStepAttr]) != original_step) {
    return 0;
  }
  WrapperCache* cache = last_cache;
  if (wrapper != last_wrapper) {
    auto it = wrapper_caches->find(wrapper);
    if (it == wrapper_caches->end()) return 0;
    cache = it->second;
  }
  if (cache == nullptr || type != cache->type || !same_version(type, cache->type_tag) || !cache->type_ok) return 0;
  // A snapshot exists only after a direct step, which materialized the dict.
  PyObject* d = instance_dict(wrapper);
  if (d == nullptr) return 0;
  if (PyDict_GET_SIZE(d) != 0) {
    PyObject* shadow = PyDict_GetItemWithError(d, instance_names[kStepAttr]);
    if (shadow != nullptr || PyErr_Occurred()) {
      PyErr_Clear();
      return 0;
    }
  }
  if (!step_from_snapshot(cache->snapshot, d, reference, load)) return 0;
  last_wrapper = wrapper;
  last_cache = cache;
  return 1;
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
    PyObject* address = PyObject_CallMethod(original_ctypes, "addressof", "O", structure);
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

// The table is constant and lives as long as the module's code.
const capi::CApi capi_table = {capi::kCApiVersion, sizeof(capi::CApi), &capi_step, &capi_step_pure, &capi_raw_field};

}  // namespace

PYBIND11_MODULE(_twin_backend, m) {
  mod.bind(m);
  m.doc() = "Digital-twin backend: ActuatorWrapper, one isolated instance of a simulation library.";
  intern_names();
  mod.import("ctypes");
  mod.import("importlib.util");
  mod.import("math");
  mod.import("shutil");
  mod.import("tempfile");
  mod.import("weakref");
  mod.import_from("pathlib", {"Path"});
  original_ctypes = mod.get("ctypes").inc_ref().ptr();
  remember_native_types(mod.get("ctypes"));

  mod.set("_DTWIN_CONTROL_CALIBRATION", py::int_(core::kTwinControlCalibration));
  mod.set("_DTWIN_CONTROL_POSITION", py::int_(core::kTwinControlPosition));
  mod.set("_DTWIN_DEFAULT_SIM_RATE_HZ", py::int_(core::kTwinDefaultSimRateHz));
  mod.set("_DTWIN_DEFAULT_TIME_STEP_S", py::float_(core::kTwinDefaultTimeStepS));
  mod.set("_DTWIN_INITIALIZATION_WARMUP_S", py::float_(core::kTwinWarmupS));

  mod.def("get_default_dtwin_time_step_s", &get_default_dtwin_time_step_s,
          glue::doc{"The default simulation step in seconds (1 / 20000)."});
  mod.def("_steps_for_duration", &steps_for_duration, py::arg("duration_s"), py::arg("time_step_s"),
          glue::doc{"Model steps covering duration_s: the quotient rounded half to even, at least 1."});

  py::object cls =
      glue::ClassBuilder(mod, "ActuatorWrapper", py::make_tuple(py::handle(reinterpret_cast<PyObject*>(&PyBaseObject_Type))),
                         "Raw transport wrapper for one digital-twin simulation library instance.\n\n"
                         "Loads a private copy of the shared library and its own copy of the bindings\n"
                         "module, so simulators never share the generated code's static state.")
          .attr("MOTOR_OFF", py::bool_(false))
          .attr("MOTOR_ON", py::bool_(true))
          .attr("instance_count", py::int_(0))
          .def("__init__", &init, py::arg("shared_lib_path"), py::arg("ctypes_path"))
          .def("_load_isolated", &load_isolated, py::arg("lib_path"), py::arg("binding_path"))
          .def("_rebind_ctypes_functions", &rebind_ctypes_functions, py::arg("module"), py::arg("new_handle"))
          .def("_bind_ctypes", &bind_ctypes)
          .def("_bind_optional_global", &bind_optional_global, py::arg("type_name"), py::arg("symbol_name"))
          .def("_apply_optional_inports", &apply_optional_inports)
          .def("initialize", &initialize, py::arg_v("mode", py::int_(core::kTwinControlPosition)),
               glue::doc{"Initialize the model, run one simulated second of warm-up and select the control type "
                         "`mode` (an int, 7 position by default). Returns None."})
          .def("terminate", &terminate,
               glue::doc{"Terminate the model and delete the temporary folder. Returns None."})
          .def("get_sim_time_step_s", &get_sim_time_step_s,
               glue::doc{"The model's time step in seconds (float; 5e-05 at 20 kHz)."})
          .def("set_position_kp", &set_position_kp, py::arg("kp"),
               glue::doc{"Set the position-loop proportional gain `kp`, in (rad/s)/rad. Returns None."})
          .def("get_position_kp", &get_position_kp,
               glue::doc{"The position-loop proportional gain, in (rad/s)/rad (float)."})
          .def("set_feedforward_gain", &set_feedforward_gain, py::arg("gain"),
               glue::doc{"Set the feed-forward share `gain` of the position profile (0..1). Returns None."})
          .def("get_feedforward_gain", &get_feedforward_gain,
               glue::doc{"The feed-forward share of the position profile, 0..1 (float)."})
          .def("set_speed_gains", &set_speed_gains, py::arg("kp"), py::arg("ki"),
               glue::doc{"Set the speed-loop gains: `kp` in N*m/(rad/s), `ki` in N*m/rad. Returns None."})
          .def("get_speed_gains", &get_speed_gains,
               glue::doc{"The speed-loop gains (kp in N*m/(rad/s), ki in N*m/rad), a tuple of floats."})
          .def("set_current_gains", &set_current_gains, py::arg("kp"), py::arg("ki"),
               glue::doc{"Set the current-loop gains of both axes: `kp` in V/A, `ki` in V/(A*s). Returns None."})
          .def("get_current_gains", &get_current_gains,
               glue::doc{"The current-loop gains (kp in V/A, ki in V/(A*s)), a tuple of floats."})
          .def("set_address", &set_address, py::arg("address"),
               glue::doc{"Remember the bus address `address` (an int); the model does not use it. Returns None."})
          .def("get_address", &get_address,
               glue::doc{"The address given to set_address (an int), or None."})
          .def_property_readonly("address", &address_property, "The address given to set_address (an int), or None.")
          .def("set_control_type", &set_control_type, py::arg("control_type"),
               glue::doc{"Select the control type `control_type` (an int: 1 calibration, 2 FVI, 3 open loop, 4 "
                         "DVI, 5 torque, 6 speed, 7 position, 8 impedance). Returns None."})
          .def("set_enable", &set_enable, py::arg("enable"),
               glue::doc{"Turn the power stage on (`enable` true) or off. Returns None."})
          .def("set_impedance_gains", &set_impedance_gains, py::arg("k_stiff"), py::arg("k_damp"),
               py::arg_v("t_ff", py::float_(0.0)),
               glue::doc{"Set the impedance law: stiffness `k_stiff` in N*m/rad, damping `k_damp` in N*m*s/rad "
                         "and constant torque `t_ff` in N*m. Returns None."})
          .def("get_impedance_gains", &get_impedance_gains,
               glue::doc{"The impedance law as {\"k_stiff\": N*m/rad, \"k_damp\": N*m*s/rad, \"t_ff\": N*m, "
                         "\"j_imp\": kg*m^2 (NaN when the model has none)}."})
          .def("set_impedance_inertia", &set_impedance_inertia, py::arg("j_imp"),
               glue::doc{"Set the impedance law's inertia `j_imp` in kg*m^2 (ignored by a model without one). "
                         "Returns None."})
          .def("set_damping", &set_damping, py::arg("k_damp"),
               glue::doc{"Set the impedance damping `k_damp` in N*m*s/rad. Returns None."})
          .def("set_stiffness", &set_stiffness, py::arg("k_stiff"),
               glue::doc{"Set the impedance stiffness `k_stiff` in N*m/rad. Returns None."})
          .def("set_torque_feedforward", &set_torque_feedforward, py::arg("t_ff"),
               glue::doc{"Set the feed-forward torque `t_ff` in N*m. Returns None."})
          .def("set_impedance_references", &set_impedance_references, py::arg_v("speed_reference", py::none()),
               py::arg_v("acceleration_reference", py::none()),
               glue::doc{"Set the impedance mode's speed reference (rad/s) and acceleration reference "
                         "(rad/s^2); None leaves one unchanged. Returns None."})
          .def("set_filter_cutoffs", &set_filter_cutoffs, py::arg_v("speed_cutoff", py::none()),
               py::arg_v("current_cutoff", py::none()),
               glue::doc{"Set the cutoff frequencies in Hz of the speed filter and of the current and torque "
                         "filter; None leaves one unchanged. Returns None."})
          .def("get_filter_cutoffs", &get_filter_cutoffs,
               glue::doc{"The filter cutoffs in Hz as {\"speed_cutoff\": ..., \"current_cutoff\": ...} (NaN "
                         "when the model has no such filter)."})
          .def("set_home_position", &set_home_position,
               glue::doc{"Zero the position (0 rad): one model step with ResetPos set. Returns None."})
          .def("get_motor_model", &get_motor_model,
               glue::doc{"The model name the simulation library reports (text)."})
          .def("get_submodule_commits", &get_submodule_commits,
               glue::doc{"The source revisions the simulation library reports (text)."})
          .def("get_dtwin_version", &get_dtwin_version,
               glue::doc{"The digital twin's version: the same text as get_submodule_commits()."})
          .def_static("_decode_c_string_bytes", &decode_c_string_bytes, py::arg("raw_value"))
          .def("_decode_optional_c_string", &decode_optional_c_string, py::arg("symbol_name"))
          .finish();
  wrapper_class = cls.inc_ref().ptr();

  // step is a method descriptor over a vectorcall C function: the hot path
  // of every simulation, so it skips pybind11's dispatcher.
  original_step = glue::def_fast_method(cls, &step_method);
  Py_INCREF(original_step);
  PyObject* capsule = PyCapsule_New(const_cast<capi::CApi*>(&capi_table), capi::kCApiCapsuleName, nullptr);
  if (capsule == nullptr) throw py::error_already_set();
  mod.set("_C_API", py::reinterpret_steal<py::object>(capsule));
  original_apply_inports =
      PyDict_GetItemString(glue::compat::type_dict(reinterpret_cast<PyTypeObject*>(wrapper_class)), "_apply_optional_inports");
  Py_INCREF(original_apply_inports);
}
