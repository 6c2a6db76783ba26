// What the parts of vez_api._twin_backend share: the module, the wrapper
// class, the guards on what the module installed, the interned names of the
// model fields and instance attributes the fast paths touch, and small
// conversions.
//
// Threads: everything here needs the GIL.  Set once while the module is
// imported and kept for the process lifetime.
#pragma once

#include <Python.h>

#include <cstdint>

#include "glue/cpython_compat.hpp"
#include "glue/glue.hpp"
#include "glue/installed.hpp"

namespace vez::backend {

namespace py = pybind11;

using glue::throw_python_error;

extern glue::ModuleRef mod;
extern PyObject* wrapper_class;              // ActuatorWrapper
extern PyObject* native_simple_types[13];    // ctypes.c_bool, c_double, ... (the native-order types)

// What the module installed, for the guarded fast paths.
struct InstalledNames {
  glue::Installed ctypes;          // the module global `ctypes`
  glue::Installed step;            // ActuatorWrapper.step (the fast method descriptor)
  glue::Installed apply_inports;   // ActuatorWrapper._apply_optional_inports
  glue::Installed bind_ctypes;     // ActuatorWrapper._bind_ctypes
  glue::Installed bind_optional_global;  // ActuatorWrapper._bind_optional_global
};
extern InstalledNames installed;

// Proves the step snapshot's dicts unchanged (the wrapper's instance dict,
// its bindings module's dict and this module's dict); opened when the module
// is imported.
extern glue::compat::DictGuard dict_guard;

// The ctypes module this module imported (whatever the global holds now).
inline PyObject* ctypes_module() { return installed.ctypes.original(); }
// The module global `ctypes` is still the one imported.
inline bool ctypes_unpatched() { return installed.ctypes.global_holds(mod); }

inline constexpr uint64_t kStepsBetweenSignalChecks = 4096;

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

inline constexpr FieldInfo kFields[kFieldCount] = {
    {"Enable", kInp},         {"ResetPos", kInp},       {"ControlType", kInp},        {"Load", kInp},
    {"Reference", kInp},      {"ref_ff_torque", kInp},  {"ref_impedance_spd", kInp},  {"ref_impedance_acel", kInp},
    {"pos_Kp", kPid},         {"spd_Kp", kPid},         {"spd_Ki", kPid},             {"id_Kp", kPid},
    {"id_Ki", kPid},          {"FF_gain", kPid},        {"K_stiff", kImp},            {"K_damp", kImp},
    {"T_FF", kImp},           {"J_imp", kImp},          {"spd_cutoff", kFilter},      {"current_cutoff", kFilter},
};

inline constexpr const char* kViewNames[kViewCount] = {"inp", "pid", "imp", "filter"};

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
inline constexpr const char* kInstanceNames[kInstanceNameCount] = {
    "_lib", "model", "_reference_feedforward_torque", "_impedance_speed_reference", "_impedance_acceleration_reference",
    "_apply_optional_inports", "DT_step", "ctypes", "step"};

extern PyObject* field_names[kFieldCount];
extern PyObject* view_names[kViewCount];
extern PyObject* instance_names[kInstanceNameCount];

void intern_names();

// Borrowed dict item or nullptr; lookup errors propagate.
PyObject* dict_item(PyObject* dict, PyObject* key);
// obj.<name>, or a null object when obj has no such attribute; other errors
// propagate.
py::object optional_attr(py::handle obj, const char* name);

inline unsigned int version_tag(PyTypeObject* type) { return glue::compat::type_version(type); }
inline bool same_version(PyTypeObject* type, unsigned int tag) { return glue::compat::type_version_holds(type, tag); }

inline bool has_plain_attribute_access(PyTypeObject* type) {
  return type->tp_getattro == PyObject_GenericGetAttr && type->tp_setattro == PyObject_GenericSetAttr;
}

inline void replace_ref(PyObject*& slot, PyObject* value) {
  Py_XINCREF(value);
  Py_XSETREF(slot, value);
}

// Arguments: a float (TypeError in the package's format otherwise); None or
// a float.
py::float_ float_arg(py::handle value, const char* name);
py::object optional_float_arg(py::handle value, const char* name);

}  // namespace vez::backend
