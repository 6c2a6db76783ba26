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
// This file assembles the module.  The parts live in src/modules/twin_backend/:
//   module_state    what the parts share (names, guards on what was installed)
//   field_access    model fields through raw memory or ctypes (ViewCache)
//   wrapper_cache   what the fast paths remember per wrapper
//   library_copy    how long a wrapper's copy of the library stays loaded
//   direct_step     DT_step and ActuatorWrapper.step, direct or through ctypes
//   lifecycle, accessors, symbols
//                   the Python-visible methods, group by group
//   capi            the C API table
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
#include "modules/twin_backend/capi.hpp"
#include "modules/twin_backend/direct_step.hpp"
#include "modules/twin_backend/field_access.hpp"
#include "modules/twin_backend/library_copy.hpp"
#include "modules/twin_backend/methods.hpp"
#include "modules/twin_backend/module_state.hpp"

#include "core/twin_steps.hpp"

namespace py = pybind11;
namespace core = vez::core;
namespace be = vez::backend;

PYBIND11_MODULE(_twin_backend, m) {
  using be::mod;
  mod.bind(m);
  m.doc() = "Digital-twin backend: ActuatorWrapper, one isolated instance of a simulation library.";
  be::intern_names();
  be::dict_guard.open();  // without a watcher the step snapshot is never taken
  mod.import("ctypes");
  mod.import("importlib.util");
  mod.import("math");
  mod.import("shutil");
  mod.import("tempfile");
  mod.import("weakref");
  mod.import_from("pathlib", {"Path"});
  be::installed.ctypes.remember_global(mod, "ctypes");
  be::remember_native_types(mod.get("ctypes"));
  be::remember_library_loader(mod.get("ctypes"));

  mod.set("_DTWIN_CONTROL_CALIBRATION", py::int_(core::kTwinControlCalibration));
  mod.set("_DTWIN_CONTROL_POSITION", py::int_(core::kTwinControlPosition));
  mod.set("_DTWIN_DEFAULT_SIM_RATE_HZ", py::int_(core::kTwinDefaultSimRateHz));
  mod.set("_DTWIN_DEFAULT_TIME_STEP_S", py::float_(core::kTwinDefaultTimeStepS));
  mod.set("_DTWIN_INITIALIZATION_WARMUP_S", py::float_(core::kTwinWarmupS));

  be::add_module_functions();

  glue::ClassBuilder builder(mod, "ActuatorWrapper",
                             py::make_tuple(py::handle(reinterpret_cast<PyObject*>(&PyBaseObject_Type))),
                             "Raw transport wrapper for one digital-twin simulation library instance.\n\n"
                             "Loads a private copy of the shared library and its own copy of the bindings\n"
                             "module, so simulators never share the generated code's static state.");
  builder.attr("MOTOR_OFF", py::bool_(false)).attr("MOTOR_ON", py::bool_(true)).attr("instance_count", py::int_(0));
  be::add_lifecycle_methods(builder);
  be::add_accessor_methods(builder);
  be::add_symbol_methods(builder);
  py::object cls = builder.finish();
  be::wrapper_class = cls.inc_ref().ptr();

  // step is a method descriptor over a vectorcall C function: the hot path
  // of every simulation, so it skips pybind11's dispatcher.
  glue::def_fast_method(cls, &be::step_method);
  be::installed.step.remember_class_attribute(cls, be::instance_names[be::kStepAttr]);
  be::installed.apply_inports.remember_class_attribute(cls, be::instance_names[be::kApplyInportsAttr]);
  be::installed.bind_ctypes.remember_class_attribute(cls, "_bind_ctypes");
  be::installed.bind_optional_global.remember_class_attribute(cls, "_bind_optional_global");
  PyObject* capsule = PyCapsule_New(const_cast<be::capi::CApi*>(&be::capi_table), be::capi::kCApiCapsuleName, nullptr);
  if (capsule == nullptr) throw py::error_already_set();
  mod.set("_C_API", py::reinterpret_steal<py::object>(capsule));
}
