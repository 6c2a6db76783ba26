#include "modules/twin_backend/direct_step.hpp"

#include <utility>

#include "modules/twin_backend/wrapper_cache.hpp"

namespace vez::backend {

constexpr int kFuncflagCdecl = 1;  // ctypes' _FUNCFLAG_CDECL: plain C call, GIL released, no errno swap

py::object byref_model(py::handle self) { return mod.get("ctypes").attr("byref")(self.attr("model")); }

void call_library(py::handle self, const char* function) { self.attr("_lib").attr(function)(byref_model(self)); }

// Decides whether wrapper._lib.DT_step may be called directly: a plain C
// function of this ctypes, no errcheck, a scalar or void result, and an
// argument declaration that accepts a reference to the root structure.
static void probe_step(WrapperCache& cache, PyObject* lib, PyObject* model, PyObject* fn) {
  cache.snapshot.release();
  replace_ref(cache.lib, lib);
  replace_ref(cache.model, model);
  replace_ref(cache.step_fn, fn);
  cache.step_ok = false;
  if (fn == nullptr || !PyModule_CheckExact(lib)) return;
  try {
    py::handle ctypes(ctypes_module());
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
    // The function's address, read from its own storage: ctypes.cast would
    // enter the function into its own keep-alive dict (a reference to
    // itself that only the collector can break).
    py::object address =
        ctypes.attr("c_void_p").attr("from_address")(ctypes.attr("addressof")(function)).attr("value");
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
static bool direct_step_target(WrapperCache& cache, PyObject* d, StepFunction* fn_out, void** model_out) {
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
    if (PyObject* d = glue::compat::instance_dict(self.ptr())) {
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
    if (PyObject* d = glue::compat::instance_dict(self.ptr())) {
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

// The ordinary step: ctypes all the way.
static void step_through_ctypes(PyObject* self, double reference, double load) {
  py::handle s(self);
  py::object inp = s.attr("inp");
  set_required_field(inp, nullptr, kReference, py::float_(reference));
  set_required_field(inp, nullptr, kLoad, py::float_(load));
  glue::call_method(s, "_apply_optional_inports");
  call_library(s, "DT_step");
}

static constexpr std::pair<Field, InstanceName> kOptionalInports[kOptionalInportCount] = {
    {kRefFfTorque, kRefFfShadow}, {kRefImpedanceSpd, kSpdRefShadow}, {kRefImpedanceAcel, kAcelRefShadow}};

PyObject* module_dict() { return PyModule_GetDict(mod.module().ptr()); }

static bool view_has_no_instance_attributes(PyObject* view) {
  PyObject* d = glue::compat::instance_dict(view);
  return d == nullptr || PyDict_GET_SIZE(d) == 0;
}

// The step from a valid snapshot: no lookups at all.
// Without a dict guard (no watcher to be had) no snapshot is taken: every
// step then takes the direct path's lookups.
bool step_from_snapshot(StepSnapshot& sn, PyObject* d, double reference, double load) {
  if (!sn.valid || d != sn.self_dict || !dict_guard.holds(d, sn.self_stamp) ||
      !dict_guard.holds(PyModule_GetDict(sn.lib), sn.lib_stamp) || !dict_guard.holds(module_dict(), sn.module_stamp) ||
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

// The stamps of the dicts a step reads, taken before it reads them: anything
// that changes them meanwhile (Python code run by the step) makes the
// snapshot taken after the step stale from the start.
struct StepStamps {
  uint64_t self = 0, lib = 0, module = 0;
};

// Records a snapshot after a direct step whose every write was a plain
// float store.
static void take_snapshot(WrapperCache& cache, PyObject* d, PyObject* inp, const ViewCache& vc, const StepStamps& stamps) {
  StepSnapshot& sn = cache.snapshot;
  sn.release();
  if (stamps.self == 0 || stamps.lib == 0 || stamps.module == 0) return;
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
  sn.self_stamp = stamps.self;
  sn.lib_stamp = stamps.lib;
  sn.module_stamp = stamps.module;
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
static bool step_direct(PyObject* self, double reference, double load) {
  WrapperCache* cache = cache_of(self);
  if (cache == nullptr) return false;
  PyObject* d = glue::compat::instance_dict(self);
  if (d == nullptr) return false;
  if (step_from_snapshot(cache->snapshot, d, reference, load)) return true;
  cache->snapshot.release();

  StepStamps stamps;
  stamps.self = dict_guard.stamp(d, self);
  stamps.module = dict_guard.stamp(module_dict());
  PyObject* stamped_lib = dict_item(d, instance_names[kLibAttr]);
  if (stamped_lib != nullptr && PyModule_CheckExact(stamped_lib)) stamps.lib = dict_guard.stamp(PyModule_GetDict(stamped_lib));
  if (dict_item(d, instance_names[kApplyInportsAttr]) != nullptr) return false;
  PyObject* inp = dict_item(d, view_names[kInp]);
  if (inp == nullptr) return false;
  StepFunction fn;
  void* model;
  if (!direct_step_target(*cache, d, &fn, &model)) return false;
  if (cache->lib != stamped_lib) stamps.lib = 0;  // (only if Python code replaced it meanwhile)
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
  take_snapshot(*cache, d, inp, vc, stamps);
  return true;
}

// The body of step once its arguments are numbers.
void step_values(PyObject* self, double reference, double load) {
  if (!step_direct(self, reference, load)) step_through_ctypes(self, reference, load);
}

static PyObject* step_fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return glue::python_call([&]() -> PyObject* {
    static const glue::FastParameters* parameters =
        new glue::FastParameters("ActuatorWrapper.step", {"ref_value", "load"}, 1);
    PyObject* bound[2];  // ref_value, load
    if (!parameters->bind(args, nargs, kwnames, bound)) return nullptr;
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

}  // namespace vez::backend
