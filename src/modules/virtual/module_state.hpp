// What the parts of vez_api.doroze_actuator_virtual share: the module, the
// backend's C API, the classes and constant objects made at import, the
// interned names, and small conversions used on both the fast and the
// ordinary paths.
//
// Threads: everything here needs the GIL.  The pointers are set once, while
// the module is imported, and kept for the process lifetime.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>

#include "core/actuator_protocol.hpp"
#include "core/virtual_telemetry.hpp"
#include "glue/cpython_compat.hpp"
#include "glue/glue.hpp"
#include "modules/_twin_backend_capi.hpp"
#include "modules/actuator_vocabulary.hpp"

namespace vez::virtual_actuator {

namespace py = pybind11;
namespace core = vez::core;
namespace backend_api = vez::twin_backend;

using glue::interned;
using glue::is_instance;
using glue::keep;
using glue::steal;
using glue::throw_python_error;
using glue::truthy;

extern glue::ModuleRef mod;
extern const backend_api::CApi* backend;
// Proves the dicts the stepping loop cached from unchanged (the instance
// dicts of the actuators and of their wrappers); opened at import.
extern glue::compat::DictGuard dict_guard;
extern PyObject* virtual_class;      // DorozeActuatorVirtual
extern PyObject* log_class;          // VirtualActuatorLog
extern PyObject* bounded_log_class;  // BoundedVirtualActuatorLog
extern PyObject* deque_type;         // collections.deque
extern PyObject* deque_append;       // collections.deque.append (method descriptor)
extern PyObject* nan_float;          // shared NaN, 0.0, 1.0 and PCB temperature objects
extern PyObject* zero_float;
extern PyObject* one_float;
extern PyObject* pcb_temperature;

// The base class's enumerations and their members.
extern vez::modules::ActuatorVocabulary vocab;
inline PyObject* parameter(core::Parameter p) { return vocab.parameter(p); }
inline PyObject* mode_member(core::Mode m) { return vocab.mode_member(m); }

// The telemetry table (core/virtual_telemetry.hpp) under short names.
using core::kDebug;
using core::kInfo;
using core::kInp;
using core::kMeas;
using core::kMotor;
inline constexpr size_t kViewCount = core::kTwinViewCount;
inline constexpr size_t kColumnCount = core::kTelemetryColumnCount;
inline constexpr size_t kSeriesCount = core::kTelemetrySeriesCount;
inline constexpr size_t kTimeStepField = core::kTelemetryTimeStepField;
inline constexpr size_t kTimeStartField = core::kTelemetryTimeStartField;
inline constexpr size_t kLogFieldCount = core::kTelemetryFieldCount;
inline constexpr const core::TelemetryColumn* kColumns = core::kTelemetryColumns;

// Names interned once (intern_names, at import).
struct Names {
  PyObject* views[kViewCount];
  PyObject* fields[kColumnCount];
  PyObject* series[kSeriesCount];  // log field names, "time" first
  PyObject* time_step;
  PyObject* time_start;
  PyObject* max_ticks;
  PyObject* ticks;
  PyObject* append;
};
extern Names names;
void intern_names();

// Makes the shared objects above (after the module's imports).
void make_shared_objects();

// ---------------------------------------------------------------------------
// Conversions

py::object nan_object();
bool is_nan_value(py::handle value);
py::object to_float(py::handle value);
// A dict copy as `value.copy()` gives it (exact dicts directly).
py::object copy_of(py::handle value);

// A float object for `value`, reusing `previous` when it holds the same bits
// (repeated values then share one object).  New reference or nullptr.
inline PyObject* float_object(double value, PyObject* previous) {
  if (previous != nullptr && PyFloat_CheckExact(previous)) {
    const double held = PyFloat_AS_DOUBLE(previous);
    if (std::memcmp(&held, &value, sizeof value) == 0) {
      Py_INCREF(previous);
      return previous;
    }
  }
  return PyFloat_FromDouble(value);
}

// The value of an exact float / an exact int that fits in long long / an
// exact float or int; false (no error set) for anything else.
inline bool exact_float(PyObject* obj, double* out) {
  if (obj == nullptr || !PyFloat_CheckExact(obj)) return false;
  *out = PyFloat_AS_DOUBLE(obj);
  return true;
}
bool exact_small_int(PyObject* obj, long long* out);
bool number_value(PyObject* obj, double* out);

// Dicts keyed by enumeration members: Enum.__hash__ is Python code, so they
// are filled with the member's hash computed once (see
// glue::compat::dict_set_known_hash).
inline PyObject* new_dict(Py_ssize_t size) { return glue::compat::new_presized_dict(size); }
inline int dict_put(PyObject* d, PyObject* key, PyObject* value, Py_hash_t hash) {
  return glue::compat::dict_set_known_hash(d, key, value, hash);
}

}  // namespace vez::virtual_actuator
