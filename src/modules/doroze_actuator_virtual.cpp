// vez_api.doroze_actuator_virtual: DorozeActuatorVirtual, an actuator with
// the physical actuator's surface whose "device" is a digital-twin
// simulation driven through an ActuatorWrapper, and VirtualActuatorLog, the
// per-tick telemetry it records.
//
// Everything a Python module would import (ActuatorWrapper, the assets
// functions, math, warnings, dataclasses, csv, ...) sits in this module's
// namespace and is looked up there at call time; methods dispatch through
// self; state lives in the instance __dict__ under the documented names.
//
// Fast paths.  `step` runs 20000 ticks per simulated second and each tick
// steps the model, appends 65 values to the telemetry log, builds a feedback
// snapshot and sometimes calls the feedback callback.  Written with Python
// attribute lookups and method calls that costs microseconds, so the loop
// takes guarded shortcuts:
//   * the model step goes through the backend's C API (its own cached
//     DT_step and inport layout) when the wrapper's `step` is the backend's;
//   * the log append and the snapshot read plain numeric model fields from
//     raw memory, located once per wrapper through the backend's C API and
//     trusted only while the wrapper's structure views are the same objects
//     of unchanged types (WrapperPlan);
//   * the log's list fields are read through its slot offsets while the log
//     is exactly one of our log classes and those classes are unpatched;
//   * the instance attributes the loop needs are re-read only when the
//     instance dict changed (its version tag on CPython 3.11; every time on
//     later interpreters), and the per-tick methods (_should_emit_feedback,
//     _build_feedback_snapshot, _emit_callback and what they call) run as C++
//     only while type(self) resolves them to this module's functions and the
//     instance does not shadow them.
// Anything replaced, patched or overridden sends that part of the tick down
// the ordinary Python-level path, in the documented order.  Repeated values
// share one float object (floats are immutable), which keeps the log smaller.
#include <Python.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/actuator_protocol.hpp"
#include "core/raw_field.hpp"
#include "core/twin_steps.hpp"
#include "glue/cpython_compat.hpp"
#include "glue/glue.hpp"
#include "modules/actuator_vocabulary.hpp"
#include "modules/_twin_backend_capi.hpp"

namespace py = pybind11;
namespace core = vez::core;
namespace backend_api = vez::twin_backend;
using namespace pybind11::literals;

namespace {

glue::ModuleRef mod;
const backend_api::CApi* backend = nullptr;
PyObject* virtual_class = nullptr;      // DorozeActuatorVirtual
PyObject* log_class = nullptr;          // VirtualActuatorLog
PyObject* bounded_log_class = nullptr;  // BoundedVirtualActuatorLog
PyObject* deque_type = nullptr;         // collections.deque
PyObject* deque_append = nullptr;       // collections.deque.append (method descriptor)
PyObject* nan_float = nullptr;          // shared NaN, 0.0, 1.0 and 25.0 objects
PyObject* zero_float = nullptr;
PyObject* one_float = nullptr;
PyObject* pcb_temperature = nullptr;

constexpr double kPcbTemperatureC = 25.0;
constexpr uint64_t kTicksBetweenSignalChecks = 4096;
constexpr int64_t kLogGrowthTicks = 1 << 16;  // the most a log list grows by at once, in elements

[[noreturn]] void throw_python_error() { throw py::error_already_set(); }

py::object steal(PyObject* obj) {
  if (obj == nullptr) throw_python_error();
  return py::reinterpret_steal<py::object>(obj);
}

PyObject* keep(py::object obj) { return obj.release().ptr(); }

PyObject* interned(const char* text) {
  PyObject* s = PyUnicode_InternFromString(text);  // kept for the process lifetime
  if (s == nullptr) throw_python_error();
  return s;
}

bool truthy(py::handle obj) {
  const int result = PyObject_IsTrue(obj.ptr());
  if (result < 0) throw_python_error();
  return result == 1;
}

bool is_instance(py::handle obj, PyObject* cls) {
  const int result = PyObject_IsInstance(obj.ptr(), cls);
  if (result < 0) throw_python_error();
  return result == 1;
}

py::object nan_object() { return py::reinterpret_borrow<py::object>(nan_float); }

bool is_nan_value(py::handle value) {
  const double d = PyFloat_AsDouble(value.ptr());
  if (d == -1.0 && PyErr_Occurred()) throw_python_error();
  return std::isnan(d);
}

py::object to_float(py::handle value) { return steal(PyNumber_Float(value.ptr())); }

// A dict copy as `value.copy()` gives it (exact dicts directly).
py::object copy_of(py::handle value) {
  if (PyDict_CheckExact(value.ptr())) return steal(PyDict_Copy(value.ptr()));
  return value.attr("copy")();
}

// ---------------------------------------------------------------------------
// CPython internals used by the fast paths (see glue/cpython_compat.hpp for
// what each does on which interpreter).

using glue::compat::dict_version;
using glue::compat::instance_dict;
constexpr bool kDictVersions = glue::compat::kDictVersionTags;
unsigned int version_tag(PyTypeObject* type) { return glue::compat::type_version(type); }
bool same_version(PyTypeObject* type, unsigned int tag) { return glue::compat::type_version_holds(type, tag); }

// Dicts keyed by enumeration members: Enum.__hash__ is Python code, so the
// snapshot inserts with the member's hash computed once.
PyObject* new_dict(Py_ssize_t size) { return glue::compat::new_presized_dict(size); }
int dict_put(PyObject* d, PyObject* key, PyObject* value, Py_hash_t hash) {
  return glue::compat::dict_set_known_hash(d, key, value, hash);
}

bool same_bits(double a, double b) {
  uint64_t x, y;
  std::memcpy(&x, &a, sizeof x);
  std::memcpy(&y, &b, sizeof y);
  return x == y;
}

// A float object for `value`, reusing `previous` when it holds the same bits.
PyObject* float_object(double value, PyObject* previous) {
  if (previous != nullptr && PyFloat_CheckExact(previous) && same_bits(PyFloat_AS_DOUBLE(previous), value)) {
    Py_INCREF(previous);
    return previous;
  }
  return PyFloat_FromDouble(value);
}

// ---------------------------------------------------------------------------
// The base class's enumerations and their members.

vez::modules::ActuatorVocabulary vocab;

PyObject* parameter(core::Parameter p) { return vocab.parameter(p); }
PyObject* mode_member(core::Mode m) { return vocab.mode_member(m); }

// ---------------------------------------------------------------------------
// The telemetry columns: log field, wrapper structure view and field.

enum View : uint8_t { kInp, kInfo, kMotor, kMeas, kDebug, kViewCount };
constexpr const char* kViewNames[kViewCount] = {"inp", "info", "motor", "meas", "debug"};

enum class Element : uint8_t { kFloat, kInt, kBool };

struct Column {
  const char* name;
  View view;
  const char* field;
  Element element;
  bool optional;  // NaN when the model lacks the field
};

constexpr Column kColumns[] = {
    {"enable", kInfo, "enable", Element::kFloat, false},
    {"temp_winding", kInfo, "temp_winding", Element::kFloat, false},
    {"T_fb", kInfo, "T_fb", Element::kFloat, false},
    {"T_ref", kInfo, "T_ref", Element::kFloat, false},
    {"id_fb", kInfo, "id_fb", Element::kFloat, false},
    {"id_ref", kInfo, "id_ref", Element::kFloat, false},
    {"iq_fb", kInfo, "iq_fb", Element::kFloat, false},
    {"iq_ref", kInfo, "iq_ref", Element::kFloat, false},
    {"pos_fb", kInfo, "pos_fb", Element::kFloat, false},
    {"pos_ref", kInfo, "pos_ref", Element::kFloat, false},
    {"spd_fb", kInfo, "spd_fb", Element::kFloat, false},
    {"spd_ref", kInfo, "spd_ref", Element::kFloat, false},
    {"vd_ref", kInfo, "vd_ref", Element::kFloat, false},
    {"vq_ref", kInfo, "vq_ref", Element::kFloat, false},
    {"m_Te", kMotor, "m_Te", Element::kFloat, false},
    {"m_Tl", kMotor, "m_Tl", Element::kFloat, false},
    {"m_acc", kMotor, "m_acc", Element::kFloat, false},
    {"m_eff_elec", kMotor, "m_eff_elec", Element::kFloat, false},
    {"m_eff_mec", kMotor, "m_eff_mec", Element::kFloat, false},
    {"m_i_dc", kMotor, "m_i_dc", Element::kFloat, false},
    {"m_ia", kMotor, "m_ia", Element::kFloat, false},
    {"m_ib", kMotor, "m_ib", Element::kFloat, false},
    {"m_ic", kMotor, "m_ic", Element::kFloat, false},
    {"m_id", kMotor, "m_id", Element::kFloat, false},
    {"m_iq", kMotor, "m_iq", Element::kFloat, false},
    {"m_pos1", kMotor, "m_pos1", Element::kFloat, false},
    {"m_pos2", kMotor, "m_pos2", Element::kFloat, false},
    {"m_pwr_dc", kMotor, "m_pwr_dc", Element::kFloat, false},
    {"m_pwr_elec", kMotor, "m_pwr_elec", Element::kFloat, false},
    {"m_pwr_mec", kMotor, "m_pwr_mec", Element::kFloat, false},
    {"m_spd1", kMotor, "m_spd1", Element::kFloat, false},
    {"m_spd2", kMotor, "m_spd2", Element::kFloat, false},
    {"m_va", kMotor, "m_va", Element::kFloat, false},
    {"m_vb", kMotor, "m_vb", Element::kFloat, false},
    {"m_vc", kMotor, "m_vc", Element::kFloat, false},
    {"m_vd", kMotor, "m_vd", Element::kFloat, false},
    {"m_vq", kMotor, "m_vq", Element::kFloat, false},
    {"meas_turn", kMeas, "turn", Element::kInt, false},
    {"meas_turn2", kMeas, "turn2", Element::kInt, false},
    {"meas_T", kMeas, "T", Element::kFloat, false},
    {"meas_e_pos", kMeas, "e_pos", Element::kFloat, false},
    {"meas_pos", kMeas, "pos", Element::kFloat, false},
    {"meas_pos2", kMeas, "pos2", Element::kFloat, false},
    {"meas_spd", kMeas, "spd", Element::kFloat, false},
    {"meas_spd2", kMeas, "spd2", Element::kFloat, false},
    {"inp_ref", kInp, "Reference", Element::kFloat, false},
    {"inp_load", kInp, "Load", Element::kFloat, false},
    {"inp_t_adc", kInp, "T_ADC", Element::kFloat, true},
    {"inp_ref_ff_torque", kInp, "ref_ff_torque", Element::kFloat, true},
    {"inp_ref_impedance_spd", kInp, "ref_impedance_spd", Element::kFloat, true},
    {"inp_ref_impedance_acel", kInp, "ref_impedance_acel", Element::kFloat, true},
    {"inp_control_type", kInp, "ControlType", Element::kInt, false},
    {"inp_enable", kInp, "Enable", Element::kBool, false},
    {"inp_reset_pos", kInp, "ResetPos", Element::kBool, false},
    {"debug_T_fb_max", kDebug, "T_fb_max", Element::kBool, false},
    {"debug_T_ref_max", kDebug, "T_ref_max", Element::kBool, false},
    {"debug_i_max", kDebug, "i_max", Element::kBool, false},
    {"debug_pos_fb_max", kDebug, "pos_fb_max", Element::kBool, false},
    {"debug_pos_fb_min", kDebug, "pos_fb_min", Element::kBool, false},
    {"debug_pos_ref_max", kDebug, "pos_ref_max", Element::kBool, false},
    {"debug_pos_ref_min", kDebug, "pos_ref_min", Element::kBool, false},
    {"debug_spd_fb_max", kDebug, "spd_fb_max", Element::kBool, false},
    {"debug_spd_ref_max", kDebug, "spd_ref_max", Element::kBool, false},
    {"debug_spd_ref_min", kDebug, "spd_ref_min", Element::kBool, false},
};
constexpr size_t kColumnCount = sizeof(kColumns) / sizeof(kColumns[0]);
// Log fields: "time", the columns, then the two scalars.
constexpr size_t kSeriesCount = kColumnCount + 1;
constexpr size_t kTimeStepField = kSeriesCount;
constexpr size_t kTimeStartField = kSeriesCount + 1;
constexpr size_t kLogFieldCount = kSeriesCount + 2;

int column_index(View view, const char* field) {
  for (size_t i = 0; i < kColumnCount; ++i) {
    if (kColumns[i].view == view && std::strcmp(kColumns[i].field, field) == 0) return static_cast<int>(i);
  }
  return -1;
}

// Position of the T_fb series, whose length stamps the time of a tick.
int series_of_T_fb() { return column_index(kInfo, "T_fb") + 1; }

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
Names names;

// ---------------------------------------------------------------------------
// Where a wrapper's telemetry fields live, per wrapper.  Valid while the
// wrapper keeps its type, its instance dict holds the same five structure
// views, and each view keeps its type (version tags unchanged).  A view that
// lacks an optional field must also have no instance attributes, so that
// "lacking" stays true.

struct ColumnSource {
  int state = backend_api::RawField::kOther;
  char* address = nullptr;
  core::FieldKind kind = core::FieldKind::f64;
};

struct WrapperPlan {
  PyObject* weakref = nullptr;
  bool built = false;
  bool usable = false;
  PyTypeObject* type = nullptr;
  unsigned type_tag = 0;
  PyObject* dict = nullptr;  // identity only
  uint64_t dict_version = 0;
  PyObject* views[kViewCount] = {};  // strong
  PyTypeObject* view_types[kViewCount] = {};
  unsigned view_tags[kViewCount] = {};
  bool view_lacks_optional[kViewCount] = {};
  ColumnSource columns[kColumnCount];

  void release_views() {
    for (PyObject*& v : views) Py_CLEAR(v);
  }
};

// Deliberately leaked: entries hold Python references and must never be
// destroyed after the interpreter is gone.
auto* plans = new std::unordered_map<PyObject*, WrapperPlan*>();
PyObject* last_plan_key = nullptr;
WrapperPlan* last_plan = nullptr;

void drop_plan(uintptr_t key) {
  auto* wrapper = reinterpret_cast<PyObject*>(key);
  if (last_plan_key == wrapper) {
    last_plan_key = nullptr;
    last_plan = nullptr;
  }
  auto it = plans->find(wrapper);
  if (it == plans->end()) return;
  WrapperPlan* plan = it->second;
  plans->erase(it);
  plan->release_views();
  Py_CLEAR(plan->weakref);
  delete plan;
}

bool view_has_no_instance_attributes(PyObject* view) {
  PyObject* d = instance_dict(view);
  return d == nullptr || PyDict_GET_SIZE(d) == 0;
}

// The plan still describes `wrapper` (identity checks only, no Python code).
bool plan_matches(WrapperPlan& plan, PyObject* wrapper) {
  if (!plan.built) return false;
  PyTypeObject* type = Py_TYPE(wrapper);
  if (type != plan.type || !same_version(type, plan.type_tag)) return false;
  PyObject* d = instance_dict(wrapper);
  if (d == nullptr || d != plan.dict) return false;
  if (!kDictVersions || dict_version(d) != plan.dict_version) {
    for (int v = 0; v < kViewCount; ++v) {
      if (PyDict_GetItem(d, names.views[v]) != plan.views[v]) return false;
    }
    plan.dict_version = dict_version(d);
  }
  for (int v = 0; v < kViewCount; ++v) {
    PyObject* view = plan.views[v];
    if (view == nullptr) continue;
    if (Py_TYPE(view) != plan.view_types[v] || !same_version(plan.view_types[v], plan.view_tags[v])) return false;
    if (plan.view_lacks_optional[v] && !view_has_no_instance_attributes(view)) return false;
  }
  return true;
}

// Locates every column of `wrapper` (may run Python code).
void build_plan(WrapperPlan& plan, PyObject* wrapper) {
  plan.release_views();
  plan.built = true;
  plan.usable = false;
  plan.type = Py_TYPE(wrapper);
  plan.type_tag = version_tag(plan.type);
  plan.dict = instance_dict(wrapper);
  plan.dict_version = plan.dict != nullptr ? dict_version(plan.dict) : 0;
  bool usable = plan.type_tag != 0 && plan.dict != nullptr && plan.type->tp_getattro == PyObject_GenericGetAttr;
  for (int v = 0; v < kViewCount; ++v) {
    plan.view_types[v] = nullptr;
    plan.view_tags[v] = 0;
    plan.view_lacks_optional[v] = false;
    // A class attribute of that name (a property, say) would decide what
    // wrapper.<view> is: then only the ordinary path knows.
    if (glue::compat::type_lookup(plan.type, names.views[v]) != nullptr) usable = false;
    PyObject* view = plan.dict != nullptr ? PyDict_GetItem(plan.dict, names.views[v]) : nullptr;
    if (view == nullptr) {
      usable = false;
      continue;
    }
    Py_INCREF(view);
    plan.views[v] = view;
    plan.view_types[v] = Py_TYPE(view);
    plan.view_tags[v] = version_tag(Py_TYPE(view));
  }
  for (size_t c = 0; c < kColumnCount && usable; ++c) {
    const Column& column = kColumns[c];
    PyObject* view = plan.views[column.view];
    backend_api::RawField raw{};
    unsigned tag = 0;
    if (backend->raw_field(view, names.fields[c], &raw, &tag) != 0) {
      PyErr_Clear();  // the ordinary path will meet the same problem and report it
      usable = false;
      break;
    }
    ColumnSource& source = plan.columns[c];
    source.state = raw.state;
    source.address = static_cast<char*>(raw.address);
    source.kind = raw.kind;
    if (tag != plan.view_tags[column.view]) usable = false;
    if (raw.state == backend_api::RawField::kAbsent) {
      if (!column.optional) usable = false;  // the ordinary path raises AttributeError
      plan.view_lacks_optional[column.view] = true;
    } else if (raw.state != backend_api::RawField::kRaw) {
      usable = false;
    }
  }
  plan.usable = usable;
}

// The usable plan of `wrapper`, or nullptr when its fields must be read the
// ordinary way.  No Python code runs unless the plan has to be (re)built.
WrapperPlan* plan_for(PyObject* wrapper) {
  WrapperPlan* plan;
  if (wrapper == last_plan_key) {
    plan = last_plan;
  } else {
    auto it = plans->find(wrapper);
    if (it != plans->end()) {
      plan = it->second;
    } else {
      const auto key = reinterpret_cast<uintptr_t>(wrapper);
      py::cpp_function on_collect([key](py::object /*weakref*/) { drop_plan(key); });
      PyObject* weakref = PyWeakref_NewRef(wrapper, on_collect.ptr());
      if (weakref == nullptr) {
        PyErr_Clear();  // not weakly referenceable: ordinary paths only
        return nullptr;
      }
      plan = new WrapperPlan();
      plan->weakref = weakref;
      plans->emplace(wrapper, plan);
    }
    last_plan_key = wrapper;
    last_plan = plan;
  }
  if (plan_matches(*plan, wrapper)) return plan->usable ? plan : nullptr;
  py::object keep_wrapper = py::reinterpret_borrow<py::object>(wrapper);
  build_plan(*plan, wrapper);
  // Building may have run Python code; the plan counts only if it still holds.
  if (plan_matches(*plan, wrapper) && plan->usable) return plan;
  return nullptr;
}

// The plan of `wrapper` when it exists and still holds; never builds one,
// so no Python code runs.
WrapperPlan* plan_for_pure(PyObject* wrapper) {
  WrapperPlan* plan = last_plan;
  if (wrapper != last_plan_key) {
    auto it = plans->find(wrapper);
    if (it == plans->end()) return nullptr;
    plan = it->second;
    last_plan_key = wrapper;
    last_plan = plan;
  }
  return plan != nullptr && plan_matches(*plan, wrapper) && plan->usable ? plan : nullptr;
}

double column_double(const ColumnSource& s) {
  if (core::is_floating(s.kind)) return core::read_floating(s.kind, s.address);
  if (s.kind == core::FieldKind::boolean || core::is_signed_integer(s.kind)) {
    return static_cast<double>(core::read_signed(s.kind, s.address));
  }
  return static_cast<double>(core::read_unsigned(s.kind, s.address));
}

bool column_nonzero(const ColumnSource& s) {
  if (core::is_floating(s.kind)) return core::read_floating(s.kind, s.address) != 0.0;  // NaN counts as set
  if (core::is_signed_integer(s.kind) || s.kind == core::FieldKind::boolean) return core::read_signed(s.kind, s.address) != 0;
  return core::read_unsigned(s.kind, s.address) != 0;
}

// The value ctypes would return for the column (a new reference): float,
// bool or int by the field's C type; the shared NaN for a lacking optional
// field.  `previous` is the series' last element, reused when equal.
PyObject* column_object(const ColumnSource& s, PyObject* previous) {
  if (s.state == backend_api::RawField::kAbsent) {
    Py_INCREF(nan_float);
    return nan_float;
  }
  if (core::is_floating(s.kind)) return float_object(core::read_floating(s.kind, s.address), previous);
  if (s.kind == core::FieldKind::boolean) return PyBool_FromLong(core::read_signed(s.kind, s.address) != 0);
  if (core::is_signed_integer(s.kind)) return PyLong_FromLongLong(core::read_signed(s.kind, s.address));
  return PyLong_FromUnsignedLongLong(core::read_unsigned(s.kind, s.address));
}

// ---------------------------------------------------------------------------
// VirtualActuatorLog and BoundedVirtualActuatorLog.
//
// Their fields are slots; while a log is exactly one of these classes and
// the class still has its own member descriptors and _append, the series
// are read at the slot offsets.

struct LogLayout {
  PyTypeObject* type = nullptr;
  unsigned tag = 0;
  bool ok = false;
  PyObject* original_append = nullptr;  // strong
  PyObject* descriptors[kLogFieldCount + 2] = {};  // strong; +2: the bounded log's own slots
  Py_ssize_t offsets[kLogFieldCount + 2] = {};
  size_t count = 0;

  void remember(PyObject* cls, size_t field_count, PyObject* const* field_names) {
    type = reinterpret_cast<PyTypeObject*>(cls);
    count = field_count;
    original_append = glue::compat::type_lookup(type, names.append);
    Py_XINCREF(original_append);
    for (size_t i = 0; i < count; ++i) {
      PyObject* d = glue::compat::type_lookup(type, field_names[i]);
      if (d == nullptr || !Py_IS_TYPE(d, &PyMemberDescr_Type)) {
        glue::raise(PyExc_ImportError, "telemetry log fields are not slots");
      }
      Py_INCREF(d);
      descriptors[i] = d;
      offsets[i] = glue::compat::member_offset(d);
    }
    tag = version_tag(type);
    ok = tag != 0;
  }

  // `log` is exactly this class, which still has its own descriptors and
  // _append (rechecked whenever the class was modified).
  bool holds(PyObject* log, PyObject* const* field_names) {
    if (Py_TYPE(log) != type) return false;
    if (same_version(type, tag)) return ok;
    ok = glue::compat::type_lookup(type, names.append) == original_append;
    for (size_t i = 0; i < count && ok; ++i) ok = glue::compat::type_lookup(type, field_names[i]) == descriptors[i];
    tag = version_tag(type);
    if (tag == 0) ok = false;
    return ok;
  }

  PyObject* slot(PyObject* log, size_t i) const {
    return *glue::compat::slot_at(log, offsets[i]);
  }
  void set_slot(PyObject* log, size_t i, PyObject* value) const {
    PyObject** p = glue::compat::slot_at(log, offsets[i]);
    PyObject* old = *p;
    *p = value;  // takes the reference
    Py_XDECREF(old);
  }
};
LogLayout plain_layout;
LogLayout bounded_layout;
PyObject* log_field_names[kLogFieldCount + 2] = {};  // series, TIME_STEP, time_start, _max_ticks, ticks
constexpr size_t kMaxTicksField = kLogFieldCount;
constexpr size_t kTicksField = kLogFieldCount + 1;

bool exact_float(PyObject* obj, double* out) {
  if (obj == nullptr || !PyFloat_CheckExact(obj)) return false;
  *out = PyFloat_AS_DOUBLE(obj);
  return true;
}

bool exact_small_int(PyObject* obj, long long* out) {
  if (obj == nullptr || !PyLong_CheckExact(obj)) return false;
  int overflow = 0;
  *out = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (*out == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  return overflow == 0;
}

// Makes room for one more element in a list, growing it by about
// `ticks_ahead` elements (the ticks still to come in this call) or by an
// eighth, as the list itself would, whichever is more.  One reallocation per
// stretch of ticks instead of many keeps long logs from being copied over
// and over.  False with MemoryError set.
bool list_room_for_one(PyObject* list, Py_ssize_t ticks_ahead) {
  const Py_ssize_t n = PyList_GET_SIZE(list);
  return glue::compat::list_reserve_one(list, std::max<Py_ssize_t>({ticks_ahead, (n >> 3) + 6, 1}));
}

// Appends one tick to an unbounded log (exactly VirtualActuatorLog, its
// layout checked) through its slots, reading the wrapper through `plan`;
// false (nothing appended, no Python code run) when the log's contents do
// not allow it.
bool append_plain_with(PyObject* log, const WrapperPlan* plan, Py_ssize_t ticks_ahead) {
  PyObject* series[kSeriesCount];
  for (size_t i = 0; i < kSeriesCount; ++i) {
    series[i] = plain_layout.slot(log, i);
    if (series[i] == nullptr || !PyList_CheckExact(series[i])) return false;
  }
  double time_step, time_start;
  if (!exact_float(plain_layout.slot(log, kTimeStepField), &time_step) ||
      !exact_float(plain_layout.slot(log, kTimeStartField), &time_start)) {
    return false;
  }
  // From here on no Python code runs: the plan and the lists stay valid.
  // Room first and values next, so that running out of memory appends
  // nothing rather than part of a tick.
  for (PyObject* list : series) {
    if (!list_room_for_one(list, ticks_ahead)) throw_python_error();
  }
  const Py_ssize_t ticks = PyList_GET_SIZE(series[series_of_T_fb()]);
  PyObject* values[kSeriesCount];
  values[0] = PyFloat_FromDouble(time_step * static_cast<double>(ticks) + time_start);
  bool failed = values[0] == nullptr;
  for (size_t c = 0; c < kColumnCount; ++c) {
    PyObject* list = series[c + 1];
    const Py_ssize_t n = PyList_GET_SIZE(list);
    values[c + 1] = column_object(plan->columns[c], n > 0 ? PyList_GET_ITEM(list, n - 1) : nullptr);
    failed = failed || values[c + 1] == nullptr;
  }
  if (failed) {
    for (PyObject* v : values) Py_XDECREF(v);
    throw_python_error();
  }
  for (size_t i = 0; i < kSeriesCount; ++i) glue::compat::list_append_reserved(series[i], values[i]);
  return true;
}

bool append_plain_fast(PyObject* log, PyObject* wrapper) {
  if (!plain_layout.holds(log, log_field_names)) return false;
  WrapperPlan* plan = plan_for(wrapper);
  return plan != nullptr && append_plain_with(log, plan, 0);
}

// The same for a bounded log (exactly BoundedVirtualActuatorLog); `plan` is
// needed only when it keeps ticks.
bool append_bounded_with(PyObject* log, const WrapperPlan* plan) {
  long long max_ticks, ticks;
  double time_step, time_start;
  if (!exact_small_int(bounded_layout.slot(log, kMaxTicksField), &max_ticks) ||
      !exact_small_int(bounded_layout.slot(log, kTicksField), &ticks) || ticks == LLONG_MAX ||
      !exact_float(bounded_layout.slot(log, kTimeStepField), &time_step) ||
      !exact_float(bounded_layout.slot(log, kTimeStartField), &time_start)) {
    return false;
  }
  if (max_ticks > 0) {
    if (plan == nullptr) return false;
    PyObject* series[kSeriesCount];
    for (size_t i = 0; i < kSeriesCount; ++i) {
      series[i] = bounded_layout.slot(log, i);
      if (series[i] == nullptr || Py_TYPE(series[i]) != reinterpret_cast<PyTypeObject*>(deque_type)) return false;
    }
    PyObject* values[kSeriesCount];
    values[0] = PyFloat_FromDouble(time_step * static_cast<double>(ticks) + time_start);
    for (size_t c = 0; c < kColumnCount; ++c) values[c + 1] = column_object(plan->columns[c], nullptr);
    bool failed = false;
    for (size_t i = 0; i < kSeriesCount; ++i) {
      if (!failed) {
        PyObject* args[] = {series[i], values[i]};
        PyObject* r = values[i] != nullptr ? PyObject_Vectorcall(deque_append, args, 2, nullptr) : nullptr;
        if (r == nullptr) failed = true;
        Py_XDECREF(r);
      }
      Py_XDECREF(values[i]);
    }
    if (failed) throw_python_error();
  }
  PyObject* next = PyLong_FromLongLong(ticks + 1);
  if (next == nullptr) throw_python_error();
  bounded_layout.set_slot(log, kTicksField, next);
  return true;
}

bool bounded_keeps_ticks(PyObject* log) {
  long long max_ticks;
  return !exact_small_int(bounded_layout.slot(log, kMaxTicksField), &max_ticks) || max_ticks != 0;
}

bool append_bounded_fast(PyObject* log, PyObject* wrapper) {
  if (!bounded_layout.holds(log, log_field_names)) return false;
  const WrapperPlan* plan = bounded_keeps_ticks(log) ? plan_for(wrapper) : nullptr;
  return append_bounded_with(log, plan);
}

// The 64 column values of `wrapper`, read the ordinary way (attribute
// access; optional fields NaN when lacking).  All are read before anything
// is appended, so a failing read leaves the log as it was.
std::vector<py::object> read_columns(py::handle wrapper) {
  std::array<py::object, kViewCount> views;
  std::vector<py::object> values(kColumnCount);
  for (size_t c = 0; c < kColumnCount; ++c) {
    const Column& column = kColumns[c];
    py::object& view = views[column.view];
    if (!view) view = steal(PyObject_GetAttr(wrapper.ptr(), names.views[column.view]));
    if (column.optional) {
      PyObject* found = nullptr;
      const int r = glue::compat::get_optional_attr(view.ptr(), names.fields[c], &found);
      if (r < 0) throw_python_error();
      values[c] = r == 1 ? py::reinterpret_steal<py::object>(found) : nan_object();
    } else {
      values[c] = steal(PyObject_GetAttr(view.ptr(), names.fields[c]));
    }
  }
  return values;
}

void append_series(py::handle log, const py::object& stamp, const std::vector<py::object>& values) {
  log.attr(names.series[0]).attr("append")(stamp);
  for (size_t c = 0; c < kColumnCount; ++c) log.attr(names.series[c + 1]).attr("append")(values[c]);
}

// VirtualActuatorLog._append(act)
void plain_append(py::object log, py::object act) {
  if (append_plain_fast(log.ptr(), act.ptr())) return;
  const std::vector<py::object> values = read_columns(act);
  py::object ticks = steal(PyLong_FromSsize_t(py::len(log.attr(names.series[series_of_T_fb()]))));
  py::object scaled = steal(PyNumber_Multiply(py::object(log.attr(names.time_step)).ptr(), ticks.ptr()));
  py::object stamp = steal(PyNumber_Add(scaled.ptr(), py::object(log.attr(names.time_start)).ptr()));
  append_series(log, stamp, values);
}

// BoundedVirtualActuatorLog._append(act)
void bounded_append(py::object log, py::object act) {
  if (append_bounded_fast(log.ptr(), act.ptr())) return;
  py::object ticks = log.attr(names.ticks);
  if (truthy(log.attr("max_ticks"))) {
    const std::vector<py::object> values = read_columns(act);
    py::object scaled = steal(PyNumber_Multiply(py::object(log.attr(names.time_step)).ptr(), ticks.ptr()));
    py::object stamp = steal(PyNumber_Add(scaled.ptr(), py::object(log.attr(names.time_start)).ptr()));
    append_series(log, stamp, values);
  }
  log.attr(names.ticks) = steal(PyNumber_Add(ticks.ptr(), py::int_(1).ptr()));
}

py::object default_time_step() { return mod.get("get_default_dtwin_time_step_s")(); }

void bounded_init(py::object log, py::handle max_ticks, py::object time_step, py::object time_start) {
  if (!PyLong_Check(max_ticks.ptr())) glue::raise_arg_type("max_ticks", "int", max_ticks);
  if (PyObject_RichCompareBool(max_ticks.ptr(), py::int_(0).ptr(), Py_LT) == 1) {
    glue::raise(PyExc_ValueError, "max_ticks must be >= 0, got " + glue::str(max_ticks));
  }
  py::object deque = mod.get("deque");
  for (PyObject* name : names.series) {
    py::object series = deque("maxlen"_a = max_ticks);
    if (PyObject_SetAttr(log.ptr(), name, series.ptr()) != 0) throw_python_error();
  }
  log.attr(names.time_step) = time_step.is_none() ? default_time_step() : time_step;
  log.attr(names.time_start) = time_start;
  log.attr("_max_ticks") = py::int_(py::reinterpret_borrow<py::int_>(max_ticks));
  log.attr(names.ticks) = py::int_(0);
}

py::object bounded_max_ticks(py::object log) { return log.attr("_max_ticks"); }

// VirtualActuatorLog.to_csv(path): one row per tick under a header of the
// series names.  `path` is a file name or path, or an open text file.
void to_csv(py::object log, py::object path) {
  std::vector<py::object> columns;
  py::list header;
  Py_ssize_t rows = -1;
  for (PyObject* name : names.series) {
    py::object series = log.attr(name);
    const Py_ssize_t n = static_cast<Py_ssize_t>(py::len(series));
    if (rows >= 0 && n != rows) {
      glue::raise(PyExc_ValueError, "telemetry series have different lengths: " + glue::str(name) + " has " +
                                        std::to_string(n) + " ticks, time has " + std::to_string(rows));
    }
    rows = n;
    header.append(name);
    columns.push_back(series);
  }
  py::tuple column_tuple(columns.size());
  for (size_t i = 0; i < columns.size(); ++i) column_tuple[i] = columns[i];
  py::object zip = py::module_::import("builtins").attr("zip");
  auto write = [&](py::object file) {
    py::object writer = mod.get("csv").attr("writer")(file);
    writer.attr("writerow")(header);
    writer.attr("writerows")(steal(PyObject_Call(zip.ptr(), column_tuple.ptr(), nullptr)));
  };
  if (py::hasattr(path, "write")) {
    write(path);
    return;
  }
  py::object open = py::module_::import("builtins").attr("open");
  py::object file = open(path, "w", "newline"_a = "", "encoding"_a = "utf-8");
  try {
    write(file);
  } catch (py::error_already_set&) {
    py::error_scope keep_error;
    PyObject* r = PyObject_CallMethod(file.ptr(), "close", nullptr);
    Py_XDECREF(r);
    PyErr_Clear();
    throw;
  }
  file.attr("close")();
}

// ---------------------------------------------------------------------------
// Feedback items: what each VEZ_Items member reads.

enum class ItemSource : uint8_t { kPath, kErrorFlag, kZeroInt, kVbus, kPcbTemperature, kDebugBool, kNan };

struct ItemRule {
  ItemSource source = ItemSource::kNan;
  int column = -1;    // for kPath / kErrorFlag
  PyObject* path = nullptr;  // "view.field" for the Python-level reads
  Py_hash_t hash = 0;  // hash(member), computed once
};
std::array<ItemRule, 256> item_rules;
// Deliberately leaked, like the members it points at.
auto* rules_by_member = new std::unordered_map<PyObject*, const ItemRule*>();
int vbus_power_column = -1;
int vbus_current_column = -1;

void set_rule(core::Item item, ItemSource source, View view = kInfo, const char* field = nullptr) {
  ItemRule& rule = item_rules[static_cast<uint8_t>(item)];
  rule.source = source;
  if (field != nullptr) {
    rule.column = column_index(view, field);
    if (rule.column < 0) glue::raise(PyExc_ImportError, std::string("no telemetry column for ") + field);
    rule.path = interned((std::string(kViewNames[view]) + "." + field).c_str());
  }
}

void build_item_rules() {
  using core::Item;
  for (const core::NamedCode& c : core::kItemNames) {
    // Every DEBUG_SIGNALnn reads NaN; DEBUG_SIGNAL_BOOL is set below.
    item_rules[c.value].source = ItemSource::kNan;
    item_rules[c.value].hash = PyObject_Hash(vocab.item_members[c.value]);
    if (item_rules[c.value].hash == -1) throw_python_error();
    (*rules_by_member)[vocab.item_members[c.value]] = &item_rules[c.value];
  }
  set_rule(Item::ENCODER_INT, ItemSource::kPath, kMeas, "pos");
  set_rule(Item::ENCODER_INT_RAW, ItemSource::kPath, kMeas, "turn");
  set_rule(Item::ENCODER_EXT, ItemSource::kPath, kMeas, "pos2");
  set_rule(Item::ENCODER_EXT_RAW, ItemSource::kPath, kMeas, "turn2");
  set_rule(Item::SPEED_FB, ItemSource::kPath, kInfo, "spd_fb");
  set_rule(Item::IA, ItemSource::kPath, kMotor, "m_ia");
  set_rule(Item::IB, ItemSource::kPath, kMotor, "m_ib");
  set_rule(Item::IC, ItemSource::kPath, kMotor, "m_ic");
  set_rule(Item::TORQUE_SENS, ItemSource::kPath, kMeas, "T");
  set_rule(Item::TORQUE_SENS_RAW, ItemSource::kPath, kMeas, "T");
  set_rule(Item::POSITION_REF, ItemSource::kPath, kInfo, "pos_ref");
  set_rule(Item::POSITION_FB, ItemSource::kPath, kInfo, "pos_fb");
  set_rule(Item::POSITION_FB_INTERNAL, ItemSource::kPath, kMeas, "pos");
  set_rule(Item::SPEED_REF, ItemSource::kPath, kInfo, "spd_ref");
  set_rule(Item::ID_REF, ItemSource::kPath, kInfo, "id_ref");
  set_rule(Item::ID_FB, ItemSource::kPath, kInfo, "id_fb");
  set_rule(Item::IQ_REF, ItemSource::kPath, kInfo, "iq_ref");
  set_rule(Item::IQ_FB, ItemSource::kPath, kInfo, "iq_fb");
  set_rule(Item::VD_REF, ItemSource::kPath, kInfo, "vd_ref");
  set_rule(Item::VQ_REF, ItemSource::kPath, kInfo, "vq_ref");
  set_rule(Item::TORQUE_REF, ItemSource::kPath, kInfo, "T_ref");
  set_rule(Item::TORQUE_FB, ItemSource::kPath, kInfo, "T_fb");
  set_rule(Item::REFERENCE_A_VOLTAGE, ItemSource::kPath, kMotor, "m_va");
  set_rule(Item::REFERENCE_B_VOLTAGE, ItemSource::kPath, kMotor, "m_vb");
  set_rule(Item::REFERENCE_C_VOLTAGE, ItemSource::kPath, kMotor, "m_vc");
  set_rule(Item::BUS_POWER, ItemSource::kPath, kMotor, "m_pwr_dc");
  set_rule(Item::BUS_CURRENT, ItemSource::kPath, kMotor, "m_i_dc");
  set_rule(Item::THREE_PHASE_POWER, ItemSource::kPath, kMotor, "m_pwr_elec");
  set_rule(Item::MECHANICAL_POWER, ItemSource::kPath, kMotor, "m_pwr_mec");
  set_rule(Item::INVERTER_EFFICIENCY, ItemSource::kPath, kMotor, "m_eff_elec");
  set_rule(Item::MOTOR_EFFICIENCY, ItemSource::kPath, kMotor, "m_eff_mec");
  set_rule(Item::ERRORS_ENCODER_INT, ItemSource::kErrorFlag, kDebug, "pos_fb_max");
  set_rule(Item::ERRORS_ENCODER_EXT, ItemSource::kErrorFlag, kDebug, "pos_fb_min");
  set_rule(Item::ERRORS_OVERRUN, ItemSource::kErrorFlag, kDebug, "i_max");
  set_rule(Item::ERROR_BITS, ItemSource::kZeroInt);
  set_rule(Item::CONTROL_LOOP_TIME_MIN, ItemSource::kZeroInt);
  set_rule(Item::CONTROL_LOOP_TIME_MAX, ItemSource::kZeroInt);
  set_rule(Item::CONTROL_LOOP_TIME_AVG, ItemSource::kZeroInt);
  set_rule(Item::VBUS, ItemSource::kVbus);
  set_rule(Item::TEMP_PCB, ItemSource::kPcbTemperature);
  set_rule(Item::TEMP_MOTOR, ItemSource::kPath, kInfo, "temp_winding");
  set_rule(Item::DEBUG_SIGNAL_BOOL, ItemSource::kDebugBool);
  vbus_power_column = column_index(kMotor, "m_pwr_dc");
  vbus_current_column = column_index(kMotor, "m_i_dc");
}

// The rule of `item` when it is a VEZ_Items member, else nullptr (no
// Python code runs).
const ItemRule* rule_of(PyObject* item) {
  auto it = rules_by_member->find(item);
  return it != rules_by_member->end() ? it->second : nullptr;
}

bool any_debug_flag(const WrapperPlan& plan) {
  for (size_t c = 0; c < kColumnCount; ++c) {
    if (kColumns[c].view == kDebug && column_nonzero(plan.columns[c])) return true;
  }
  return false;
}

// The item's value from raw memory (a new reference); `previous` is the
// object of the last snapshot for this item, reused when equal.
PyObject* item_value_fast(const WrapperPlan& plan, const ItemRule& rule, PyObject* previous) {
  switch (rule.source) {
    case ItemSource::kPath:
      return float_object(column_double(plan.columns[rule.column]), previous);
    case ItemSource::kErrorFlag:
      return Py_NewRef(column_nonzero(plan.columns[rule.column]) ? one_float : zero_float);
    case ItemSource::kZeroInt:
      return PyLong_FromLong(0);
    case ItemSource::kVbus: {
      const double power = column_double(plan.columns[vbus_power_column]);
      const double current = column_double(plan.columns[vbus_current_column]);
      return float_object(power / (current == 0.0 ? 1.0 : current), previous);
    }
    case ItemSource::kPcbTemperature:
      return Py_NewRef(pcb_temperature);
    case ItemSource::kDebugBool:
      return Py_NewRef(any_debug_flag(plan) ? one_float : zero_float);
    case ItemSource::kNan:
      return Py_NewRef(nan_float);
  }
  return Py_NewRef(nan_float);
}

// The resolved feedback items of one stepping run, with the objects of the
// last snapshot for reuse.
struct ItemsPlan {
  std::vector<PyObject*> members;  // borrowed: enumeration members live as long as their class
  std::vector<const ItemRule*> rules;
  std::vector<PyObject*> last;  // strong
  bool valid = false;

  ~ItemsPlan() { clear_last(); }
  void clear_last() {
    for (PyObject*& o : last) Py_CLEAR(o);
  }

  // Matches `items` (an exact list); rebuilt when its contents changed.
  bool match(PyObject* items) {
    const Py_ssize_t n = PyList_GET_SIZE(items);
    if (valid && static_cast<size_t>(n) == members.size()) {
      bool same = true;
      for (Py_ssize_t i = 0; i < n && same; ++i) same = PyList_GET_ITEM(items, i) == members[static_cast<size_t>(i)];
      if (same) return true;
    }
    clear_last();
    members.clear();
    rules.clear();
    valid = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = PyList_GET_ITEM(items, i);
      const ItemRule* rule = rule_of(item);
      if (rule == nullptr) return false;  // the ordinary path reports it
      members.push_back(item);
      rules.push_back(rule);
    }
    last.assign(members.size(), nullptr);
    valid = true;
    return true;
  }
};

// ---------------------------------------------------------------------------
// The per-tick methods as this module installs them; the stepping loop runs
// them as C++ only while type(self) resolves them to these and the instance
// does not shadow them.

enum Method : uint8_t {
  kShouldEmit,
  kEmitCallback,
  kBuildSnapshot,
  kGetItemValue,
  kReadPath,
  kRequireActuator,
  kHasErrors,
  kGetDebugFlags,
  kEnsureInitialized,
  kMethodCount
};
constexpr const char* kMethodNames[kMethodCount] = {
    "_should_emit_feedback", "_emit_callback", "_build_feedback_snapshot", "_get_item_value",
    "_read_path",            "_require_actuator", "has_errors",             "get_debug_flags",
    "_ensure_initialized"};
PyObject* method_names[kMethodCount] = {};
PyObject* original_methods[kMethodCount] = {};  // strong

// Instance attributes the loop reads and writes.
enum Attribute : uint8_t {
  kActuator,
  kTelemetryLog,
  kSetpoint,
  kLoadValue,
  kFeedbackItems,
  kFeedbackCallback,
  kRateDivider,
  kStepCount,
  kAddress,
  kLatestFeedback,
  kFeedback,
  kConnected,
  kAttributeCount
};
constexpr const char* kAttributeNames[kAttributeCount] = {
    "actuator",         "telemetry_log",          "_setpoint", "_load_value", "_feedback_items",
    "_feedback_callback", "_feedback_rate_divider", "_simulation_step_count", "_address", "_latest_feedback",
    "_feedback", "_connected"};
PyObject* attribute_names[kAttributeCount] = {};

// The last type examined by Instance::check_type, reused while its version
// tag holds (a class keeps its tag until it is modified).
struct TypeVerdict {
  PyTypeObject* type = nullptr;
  unsigned tag = 0;
  bool type_ok = false;
  bool own[kMethodCount] = {};
};
TypeVerdict verdict;

// What the loop knows about `self`: which methods are this module's own and
// the attribute values (borrowed from the instance dict, valid while the dict
// keeps its version).
struct Instance {
  PyObject* self;
  PyObject** dict_slot = nullptr;  // where self keeps its __dict__ (fixed for a type)
  PyObject* dict = nullptr;
  bool valid = false;
  uint64_t version = 0;
  PyTypeObject* type = nullptr;
  unsigned type_tag = 0;
  bool type_ok = false;  // generic attribute access, no class attribute named like an instance attribute
  bool own_by_type[kMethodCount] = {};
  bool own[kMethodCount] = {};
  PyObject* attrs[kAttributeCount] = {};

  explicit Instance(PyObject* s) : self(s) {}

  bool snapshot_is_own() const {
    return own[kBuildSnapshot] && own[kGetItemValue] && own[kReadPath] && own[kRequireActuator] && own[kHasErrors] &&
           own[kGetDebugFlags];
  }

  void check_type(PyTypeObject* t) {
    type = t;
    dict_slot = nullptr;
    if (t == verdict.type && same_version(t, verdict.tag)) {
      type_tag = verdict.tag;
      type_ok = verdict.type_ok;
      std::copy(std::begin(verdict.own), std::end(verdict.own), std::begin(own_by_type));
      return;
    }
    type_tag = version_tag(t);
    type_ok = type_tag != 0 && t->tp_getattro == PyObject_GenericGetAttr && t->tp_setattro == PyObject_GenericSetAttr;
    for (PyObject* name : attribute_names) {
      if (glue::compat::type_lookup(t, name) != nullptr) type_ok = false;
    }
    for (int m = 0; m < kMethodCount; ++m) own_by_type[m] = glue::compat::type_lookup(t, method_names[m]) == original_methods[m];
    verdict.type = t;
    verdict.tag = type_tag;
    verdict.type_ok = type_ok;
    std::copy(std::begin(own_by_type), std::end(own_by_type), std::begin(verdict.own));
  }

  // True when the cached view is current (refreshing it if needed); false
  // when the loop must use ordinary attribute access.  Runs no Python code.
  bool refresh() {
    PyTypeObject* t = Py_TYPE(self);
    if (valid && kDictVersions && t == type && *dict_slot == dict && same_version(t, type_tag) &&
        dict_version(dict) == version) {
      return true;
    }
    valid = false;
    if (t != type || !same_version(t, type_tag)) check_type(t);
    dict_slot = glue::compat::instance_dict_slot(self);  // materializes an inline-values dict
    PyObject* d = dict_slot != nullptr ? *dict_slot : nullptr;
    dict = d;
    if (d == nullptr || !type_ok) return false;
    for (int a = 0; a < kAttributeCount; ++a) attrs[a] = PyDict_GetItem(d, attribute_names[a]);
    for (int m = 0; m < kMethodCount; ++m) own[m] = own_by_type[m] && PyDict_GetItem(d, method_names[m]) == nullptr;
    version = dict_version(d);
    valid = true;
    return true;
  }

  PyObject* attr(Attribute a) const { return attrs[a]; }

  // self.<name> = value: straight into the dict when that is what the
  // assignment would do, keeping the cached view current.
  void store(Attribute a, PyObject* value) {
    if (refresh()) {
      PyObject* old = PyDict_GetItem(dict, attribute_names[a]);
      Py_XINCREF(old);  // released after the version is noted: its destruction may run code
      const int r = PyDict_SetItem(dict, attribute_names[a], value);
      if (r == 0) {
        attrs[a] = value;
        version = dict_version(dict);
      } else {
        valid = false;
      }
      Py_XDECREF(old);
      if (r != 0) throw_python_error();
      return;
    }
    if (PyObject_SetAttr(self, attribute_names[a], value) != 0) throw_python_error();
  }
};

// ---------------------------------------------------------------------------
// Lifecycle and basic queries.

py::object require_actuator(py::object self) {
  py::object act = self.attr("actuator");
  if (act.is_none()) glue::raise(PyExc_ValueError, "Actuator not configured. Call set_actuator(...) first.");
  return act;
}

bool wrapper_initialized(py::handle act) { return truthy(py::getattr(act, "_initialized", py::bool_(false))); }

void init(py::object self, py::object adapter_handler, py::handle address, py::handle logger, py::handle telemetry_max_ticks) {
  py::object addr = address.is_none() ? py::object(py::none()) : py::object(glue::as_int(address, "address"));
  py::object bounded_ticks = py::none();
  if (!telemetry_max_ticks.is_none()) {
    if (!PyLong_Check(telemetry_max_ticks.ptr())) glue::raise_arg_type("telemetry_max_ticks", "int", telemetry_max_ticks);
    if (PyObject_RichCompareBool(telemetry_max_ticks.ptr(), py::int_(0).ptr(), Py_LT) == 1) {
      glue::raise(PyExc_ValueError, "telemetry_max_ticks must be None or >= 0, got " + glue::str(telemetry_max_ticks));
    }
    bounded_ticks = py::reinterpret_borrow<py::object>(telemetry_max_ticks);
  }
  glue::super_attr(virtual_class, self, "__init__")("address"_a = addr.is_none() ? py::int_(0) : addr,
                                                    "logger"_a = logger);
  self.attr("actuator") = adapter_handler;
  self.attr("_address") = addr;
  self.attr("_model") = "virtual";
  self.attr("_configured_model_name") = py::none();
  self.attr("_enabled") = false;
  self.attr("_mode") = py::handle(mode_member(core::Mode::POSITION));
  self.attr("_setpoint") = 0.0;
  self.attr("_load_value") = 0.0;
  self.attr("_impedance_speed_reference") = 0.0;
  self.attr("_feedback_items") = py::list();
  self.attr("_feedback_rate_divider") = py::handle(vocab.rates).attr("RATE_1KHZ").attr("value");
  self.attr("_latest_feedback") = py::dict();
  self.attr("_simulation_step_count") = 0;
  self.attr("_torque_performance") = py::handle(vocab.torque_performance).attr("BALANCED");
  self.attr("_speed_performance") = py::handle(vocab.speed_performance).attr("BALANCED");
  // A copy: py::dict() of a dict would be the same object.
  self.attr("_tracked_numeric_values") = py::module_::import("builtins").attr("dict")(self.attr("_TRACKED_NUMERIC_DEFAULTS"));
  self.attr("telemetry_log") = bounded_ticks.is_none() ? mod.get("VirtualActuatorLog")()
                                                       : mod.get("BoundedVirtualActuatorLog")(bounded_ticks);
  if (!adapter_handler.is_none() && !addr.is_none()) adapter_handler.attr("set_address")(addr);
}

py::object address_property(py::object self) {
  py::object address = self.attr("_address");
  if (address.is_none()) return address;
  return steal(PyNumber_Long(address.ptr()));
}

py::object model_property(py::object self) {
  py::object configured = self.attr("_configured_model_name");
  if (!configured.is_none() && truthy(configured)) return configured;
  py::object act = self.attr("actuator");
  if (!act.is_none() && py::hasattr(act, "get_motor_model")) return py::str(act.attr("get_motor_model")());
  return self.attr("_model");
}

py::object get_model_version(py::object self) {
  py::object act = self.attr("actuator");
  if (!act.is_none() && py::hasattr(act, "get_dtwin_version")) return py::str(act.attr("get_dtwin_version")());
  if (act.is_none() || !py::hasattr(act, "get_submodule_commits")) return py::str("virtual");
  return py::str(act.attr("get_submodule_commits")());
}

py::object version_property(py::object self) { return glue::call_method(self, "get_model_version"); }

py::object discover_available_actuators(py::object bindings_path) {
  try {
    return mod.get("list_available_dtwin_artifacts")(bindings_path);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_FileNotFoundError)) throw;
    return py::list();
  }
}

[[noreturn]] void raise_file_not_found(const std::string& message) {
  PyErr_SetString(PyExc_FileNotFoundError, message.c_str());
  throw_python_error();
}

py::object set_actuator(py::object self, py::handle model_name, py::object library_path, py::object bindings_root) {
  py::str name = glue::as_str_or_subclass(model_name, "model_name");
  const std::string quoted = "Actuator '" + glue::str(name) + "'";
  py::object library, bindings;
  if (library_path.is_none()) {
    py::object paths = mod.get("resolve_dtwin_artifacts")(name, bindings_root);
    library = paths.attr("library");
    bindings = paths.attr("py_bindings");
    if (library.is_none() || bindings.is_none()) glue::raise(PyExc_ValueError, quoted + " has incomplete digital-twin paths");
  } else {
    py::object spec = mod.get("get_actuator_spec")(name, library_path);
    py::object paths = spec.attr("dtwin_paths");
    if (paths.is_none()) glue::raise(PyExc_ValueError, quoted + " has no digital-twin paths");
    library = paths.attr("library");
    bindings = paths.attr("py_bindings");
    if (library.is_none() || bindings.is_none()) glue::raise(PyExc_ValueError, quoted + " has incomplete digital-twin paths");
    py::object path_type = mod.get("Path");
    if (!truthy(path_type(library).attr("exists")())) raise_file_not_found("Library not found: " + glue::str(library));
    if (!truthy(path_type(bindings).attr("exists")())) raise_file_not_found("Bindings not found: " + glue::str(bindings));
  }
  self.attr("_configured_model_name") = name;
  return glue::call_method(self, "set_actuator_from_paths", "library_path"_a = library, "bindings_path"_a = bindings);
}

py::object set_actuator_from_paths(py::object self, py::object library_path, py::object bindings_path) {
  py::object act = mod.get("ActuatorWrapper")(py::str(library_path), py::str(bindings_path));
  self.attr("actuator") = act;
  py::object address = self.attr("_address");
  if (!address.is_none()) act.attr("set_address")(address);
  self.attr("telemetry_log").attr("TIME_STEP") = glue::call_method(self, "get_sim_time_step_s");
  return act;
}

bool connect(py::object self, py::handle /*timeout: nothing to wait for*/) {
  py::object act = glue::call_method(self, "_require_actuator");
  py::object address = self.attr("_address");
  if (!address.is_none()) act.attr("set_address")(address);
  self.attr("_connected") = true;
  return true;
}

// Runs fn(), then sets self.<name> = value whatever happened.
template <typename Fn>
void finally_set(py::handle self, const char* name, py::handle value, Fn&& fn) {
  try {
    fn();
  } catch (py::error_already_set&) {
    py::error_scope keep_error;
    if (PyObject_SetAttrString(self.ptr(), name, value.ptr()) != 0) PyErr_Clear();
    throw;
  }
  self.attr(name) = value;
}

void disconnect(py::object self) {
  finally_set(self, "_connected", py::bool_(false), [&] {
    py::object act = self.attr("actuator");
    if (!act.is_none() && wrapper_initialized(act)) {
      glue::call_method(self, "stop");
      act.attr("terminate")();
    }
  });
}

py::object send_ping(py::object self, py::handle /*timeout*/) {
  py::object connected = self.attr("_connected");
  if (!truthy(connected)) return connected;
  return py::bool_(!py::object(self.attr("actuator")).is_none());
}

void ensure_initialized(py::object self) {
  py::object act = glue::call_method(self, "_require_actuator");
  if (!truthy(self.attr("_connected"))) glue::raise(PyExc_RuntimeError, "Actuator not connected. Call connect() first.");
  if (wrapper_initialized(act)) return;
  act.attr("initialize")(self.attr("_mode").attr("value"));
  act.attr("set_enable")(self.attr("_enabled"));
}

void start(py::object self) {
  glue::call_method(self, "_ensure_initialized");
  self.attr("_enabled") = true;
  self.attr("actuator").attr("set_enable")(true);
}

void stop(py::object self) {
  finally_set(self, "_enabled", py::bool_(false), [&] {
    py::object act = self.attr("actuator");
    if (!act.is_none() && wrapper_initialized(act)) act.attr("set_enable")(false);
  });
}

void set_home_position(py::object self) {
  glue::call_method(self, "_ensure_initialized");
  self.attr("actuator").attr("set_home_position")();
}

void start_steps(py::object self, py::handle step_number) { glue::call_method(self, "step", "steps"_a = step_number); }

void change_load(py::object self, py::handle load) { self.attr("_load_value") = to_float(load); }

py::object get_sim_time(py::object self, py::handle round_dec) {
  py::object log = self.attr("telemetry_log");
  py::object times = log.attr(names.series[0]);
  py::object last;
  if (py::len(times) != 0) {
    last = to_float(times[py::int_(-1)]);
  } else if (is_instance(log, bounded_log_class)) {
    // A log that keeps nothing still counts its ticks.
    py::object ticks = log.attr(names.ticks);
    if (!truthy(ticks)) return py::float_(0.0);
    py::object previous = steal(PyNumber_Subtract(ticks.ptr(), py::int_(1).ptr()));
    py::object scaled = steal(PyNumber_Multiply(py::object(log.attr(names.time_step)).ptr(), previous.ptr()));
    last = to_float(steal(PyNumber_Add(scaled.ptr(), py::object(log.attr(names.time_start)).ptr())));
  } else {
    return py::float_(0.0);
  }
  return py::module_::import("builtins").attr("round")(last, round_dec);
}

py::object get_sim_time_step_s(py::object self) {
  py::object act = self.attr("actuator");
  if (!act.is_none() && py::hasattr(act, "get_sim_time_step_s")) return to_float(act.attr("get_sim_time_step_s")());
  return to_float(self.attr("telemetry_log").attr(names.time_step));
}

py::object get_sim_rate_hz(py::object self) {
  py::object step = glue::call_method(self, "get_sim_time_step_s");
  const int non_positive = PyObject_RichCompareBool(step.ptr(), py::float_(0.0).ptr(), Py_LE);
  if (non_positive < 0) throw_python_error();
  if (non_positive) glue::raise(PyExc_RuntimeError, "Invalid DTwin simulation timestep: " + glue::str(py::repr(step)));
  return steal(PyNumber_TrueDivide(py::float_(1.0).ptr(), step.ptr()));
}

// ---------------------------------------------------------------------------
// Model paths and parameters.

py::object follow(py::object start, const std::vector<std::string>& parts, size_t count) {
  py::object obj = start;
  for (size_t i = 0; i < count; ++i) obj = obj.attr(parts[i].c_str());
  return obj;
}

std::vector<std::string> split_path(py::handle path) {
  const std::string text = glue::str(glue::as_str_or_subclass(path, "path"));
  std::vector<std::string> parts;
  size_t begin = 0;
  while (true) {
    const size_t dot = text.find('.', begin);
    parts.push_back(text.substr(begin, dot == std::string::npos ? std::string::npos : dot - begin));
    if (dot == std::string::npos) break;
    begin = dot + 1;
  }
  return parts;
}

py::object read_path(py::object self, py::handle path) {
  const std::vector<std::string> parts = split_path(path);
  py::object act = glue::call_method(self, "_require_actuator");
  return to_float(follow(act, parts, parts.size()));
}

void write_path(py::object self, py::handle path, py::object value) {
  const std::vector<std::string> parts = split_path(path);
  py::object act = glue::call_method(self, "_require_actuator");
  follow(act, parts, parts.size() - 1).attr(parts.back().c_str()) = value;
}

py::object tracked_values(py::handle self) { return self.attr("_tracked_numeric_values"); }

void set_feedforward_gain_impl(py::object self, py::object value) {
  tracked_values(self)[py::handle(parameter(core::Parameter::FF_GAIN))] = value;
  py::object act = self.attr("actuator");
  if (!act.is_none() && py::hasattr(act, "set_feedforward_gain")) act.attr("set_feedforward_gain")(value);
}

py::object get_feedforward_gain_impl(py::object self) {
  py::object act = self.attr("actuator");
  if (!act.is_none() && py::hasattr(act, "get_feedforward_gain")) return to_float(act.attr("get_feedforward_gain")());
  return to_float(tracked_values(self)[py::handle(parameter(core::Parameter::FF_GAIN))]);
}

void set_filter_cutoff(py::object self, py::object speed_cutoff, py::object current_cutoff) {
  py::object tracked = tracked_values(self);
  if (!speed_cutoff.is_none()) tracked[py::handle(parameter(core::Parameter::SPEED_CUTOFF))] = speed_cutoff;
  if (!current_cutoff.is_none()) tracked[py::handle(parameter(core::Parameter::CURRENT_CUTOFF))] = current_cutoff;
  py::object act = self.attr("actuator");
  if (!act.is_none() && py::hasattr(act, "set_filter_cutoffs")) {
    act.attr("set_filter_cutoffs")("speed_cutoff"_a = speed_cutoff, "current_cutoff"_a = current_cutoff);
  }
}

py::object get_filter_cutoff(py::object self, py::handle key) {
  py::str name = glue::as_str_or_subclass(key, "key");
  py::object act = self.attr("actuator");
  if (!act.is_none() && py::hasattr(act, "get_filter_cutoffs")) {
    py::object value = act.attr("get_filter_cutoffs")().attr("get")(name, nan_object());
    if (!is_nan_value(value)) return to_float(value);
  }
  const bool speed = glue::str(name) == "speed_cutoff";
  return to_float(tracked_values(self)[py::handle(parameter(speed ? core::Parameter::SPEED_CUTOFF
                                                                  : core::Parameter::CURRENT_CUTOFF))]);
}

py::object tracked_or_nan(py::handle self, py::handle key) {
  py::object value = tracked_values(self).attr("get")(key, py::none());
  return value.is_none() ? nan_object() : to_float(value);
}

void set_parameter_value(py::object self, py::object param, py::object value) {
  using core::Parameter;
  py::object paths = self.attr("_PARAMETER_PATHS");
  const int in_paths = PySequence_Contains(paths.ptr(), param.ptr());
  if (in_paths < 0) throw_python_error();
  if (in_paths) {
    glue::call_method(self, "_write_path", paths[param], value);
  } else if (param.ptr() == parameter(Parameter::FF_GAIN)) {
    glue::call_method(self, "_set_feedforward_gain", value);
  } else if (param.ptr() == parameter(Parameter::SPEED_CUTOFF)) {
    glue::call_method(self, "_set_filter_cutoff", "speed_cutoff"_a = value);
  } else if (param.ptr() == parameter(Parameter::CURRENT_CUTOFF)) {
    glue::call_method(self, "_set_filter_cutoff", "current_cutoff"_a = value);
  } else if (param.ptr() == parameter(Parameter::SETPOINT)) {
    self.attr("_setpoint") = value;
  } else if (param.ptr() == parameter(Parameter::MODE)) {
    glue::call_method(self, "change_mode", py::handle(vocab.mode)(steal(PyNumber_Long(value.ptr()))));
  } else if (param.ptr() == parameter(Parameter::TORQUE_PERFORMANCE)) {
    self.attr("_torque_performance") = py::handle(vocab.torque_performance)(steal(PyNumber_Long(value.ptr())));
  } else if (param.ptr() == parameter(Parameter::SPEED_PERFORMANCE)) {
    self.attr("_speed_performance") = py::handle(vocab.speed_performance)(steal(PyNumber_Long(value.ptr())));
  } else if (param.ptr() == parameter(Parameter::VEZ_ADDRESS)) {
    glue::call_method(self, "change_address", steal(PyNumber_Long(value.ptr())));
  } else if (param.ptr() == parameter(Parameter::CAN_HIGH_SPEED)) {
    const int nonzero = PyObject_RichCompareBool(value.ptr(), py::int_(0).ptr(), Py_NE);
    if (nonzero < 0) throw_python_error();
    glue::call_method(self, "set_can_high_speed", py::bool_(nonzero == 1));
  } else {
    tracked_values(self)[param] = value;
  }
}

py::object get_parameter_value(py::object self, py::object param) {
  using core::Parameter;
  py::object paths = self.attr("_PARAMETER_PATHS");
  const int in_paths = PySequence_Contains(paths.ptr(), param.ptr());
  if (in_paths < 0) throw_python_error();
  if (in_paths) return glue::call_method(self, "_read_path", paths[param]);
  PyObject* p = param.ptr();
  if (p == parameter(Parameter::FF_GAIN)) return glue::call_method(self, "_get_feedforward_gain");
  if (p == parameter(Parameter::SPEED_CUTOFF)) return glue::call_method(self, "_get_filter_cutoff", "speed_cutoff");
  if (p == parameter(Parameter::CURRENT_CUTOFF)) return glue::call_method(self, "_get_filter_cutoff", "current_cutoff");
  if (p == parameter(Parameter::MODE)) return to_float(self.attr("_mode").attr("value"));
  if (p == parameter(Parameter::SETPOINT)) return to_float(self.attr("_setpoint"));
  if (p == parameter(Parameter::TORQUE_PERFORMANCE)) return to_float(self.attr("_torque_performance").attr("value"));
  if (p == parameter(Parameter::SPEED_PERFORMANCE)) return to_float(self.attr("_speed_performance").attr("value"));
  if (p == parameter(Parameter::VEZ_ADDRESS)) {
    py::object address = self.attr("_address");
    return address.is_none() ? nan_object() : to_float(address);
  }
  return tracked_or_nan(self, param);
}

void set_parameters(py::object self, py::handle parameters) {
  py::dict table = glue::as_dict_or_subclass(parameters, "parameters");
  // A snapshot of the pairs: a setter may not change what is being walked.
  py::list pairs(table.attr("items")());
  for (py::handle pair : pairs) {
    glue::call_method(self, "_set_parameter_value", pair[py::int_(0)], pair[py::int_(1)]);
  }
}

py::dict get_parameters(py::object self, py::handle parameters, py::handle /*timeout*/) {
  py::dict out;
  for (py::handle p : parameters) out[p] = glue::call_method(self, "_get_parameter_value", p);
  return out;
}

py::object get_parameters_all(py::object self) {
  py::list every;
  for (py::handle member : py::handle(vocab.parameters)) every.append(member);
  return glue::call_method(self, "get_parameters", every);
}

// ---------------------------------------------------------------------------
// Items and diagnostic readers.

py::object get_item_value(py::object self, py::object item) {
  glue::call_method(self, "_require_actuator");
  const ItemRule* rule = rule_of(item.ptr());
  if (rule == nullptr) {
    PyErr_SetObject(PyExc_KeyError, py::str("Unsupported feedback item: " + glue::str(item)).ptr());
    throw_python_error();
  }
  auto read = [&](PyObject* path) { return glue::call_method(self, "_read_path", py::handle(path)); };
  auto flag = [&](py::object value) {
    const int nonzero = PyObject_RichCompareBool(value.ptr(), py::int_(0).ptr(), Py_NE);
    if (nonzero < 0) throw_python_error();
    return py::reinterpret_borrow<py::object>(nonzero ? one_float : zero_float);
  };
  switch (rule->source) {
    case ItemSource::kPath:
      return read(rule->path);
    case ItemSource::kErrorFlag:
      return flag(read(rule->path));
    case ItemSource::kZeroInt:
      return py::int_(0);
    case ItemSource::kVbus: {
      py::object power = read(item_rules[static_cast<uint8_t>(core::Item::BUS_POWER)].path);
      py::object current = read(item_rules[static_cast<uint8_t>(core::Item::BUS_CURRENT)].path);
      const int zero = PyObject_RichCompareBool(current.ptr(), py::int_(0).ptr(), Py_EQ);
      if (zero < 0) throw_python_error();
      return steal(PyNumber_TrueDivide(power.ptr(), zero ? one_float : current.ptr()));
    }
    case ItemSource::kPcbTemperature:
      return py::reinterpret_borrow<py::object>(pcb_temperature);
    case ItemSource::kDebugBool:
      return py::reinterpret_borrow<py::object>(truthy(glue::call_method(self, "has_errors")) ? one_float : zero_float);
    case ItemSource::kNan:
      return nan_object();
  }
  return nan_object();
}

py::dict read_view(py::object self, const char* view_name, std::initializer_list<const char*> fields, char convert) {
  py::object view = glue::call_method(self, "_require_actuator").attr(view_name);
  py::dict out;
  for (const char* field : fields) {
    py::object value = view.attr(field);
    if (convert == 'f') value = to_float(value);
    if (convert == 'i') value = steal(PyNumber_Long(value.ptr()));
    out[field] = value;
  }
  return out;
}

py::dict get_info(py::object self) {
  return read_view(self, "info",
                   {"enable", "temp_winding", "T_fb", "T_ref", "id_fb", "id_ref", "iq_fb", "iq_ref", "pos_fb",
                    "pos_ref", "spd_fb", "spd_ref", "vd_ref", "vq_ref"},
                   'f');
}

py::dict get_motor_state(py::object self) {
  return read_view(self, "motor",
                   {"m_Te", "m_Tl", "m_acc", "m_eff_elec", "m_eff_mec", "m_i_dc", "m_ia", "m_ib", "m_ic", "m_id",
                    "m_iq", "m_pos1", "m_pos2", "m_pwr_dc", "m_pwr_elec", "m_pwr_mec", "m_spd1", "m_spd2", "m_va",
                    "m_vb", "m_vc", "m_vd", "m_vq"},
                   'f');
}

py::dict get_measurements(py::object self) {
  py::object meas = glue::call_method(self, "_require_actuator").attr("meas");
  py::dict out;
  out["turn"] = steal(PyNumber_Long(py::object(meas.attr("turn")).ptr()));
  out["turn2"] = steal(PyNumber_Long(py::object(meas.attr("turn2")).ptr()));
  for (const char* field : {"T", "e_pos", "pos", "pos2", "spd", "spd2"}) out[field] = to_float(meas.attr(field));
  return out;
}

py::dict get_debug_flags(py::object self) {
  return read_view(self, "debug",
                   {"T_fb_max", "T_ref_max", "i_max", "pos_fb_max", "pos_fb_min", "pos_ref_max", "pos_ref_min",
                    "spd_fb_max", "spd_ref_max", "spd_ref_min"},
                   'r');
}

bool has_errors(py::object self) {
  py::object flags = glue::call_method(self, "get_debug_flags");
  for (py::handle value : flags.attr("values")()) {
    if (truthy(value)) return true;
  }
  return false;
}

py::object field_or_nan(py::handle view, const char* field) {
  PyObject* found = nullptr;
  py::str name(field);
  const int r = glue::compat::get_optional_attr(view.ptr(), name.ptr(), &found);
  if (r < 0) throw_python_error();
  if (r == 0) return nan_object();
  return to_float(py::reinterpret_steal<py::object>(found));
}

py::dict get_all_parameters(py::object self) {
  py::object act = glue::call_method(self, "_require_actuator");
  py::object pid = act.attr("pid");
  py::object imp = act.attr("imp");
  py::object lim = act.attr("lim");
  auto f = [](py::handle view, const char* field) { return to_float(view.attr(field)); };
  py::dict pid_values;
  pid_values["pos_kp"] = f(pid, "pos_Kp");
  pid_values["pos_ki"] = field_or_nan(pid, "pos_Ki");
  pid_values["pos_kd"] = field_or_nan(pid, "pos_Kd");
  pid_values["spd_kp"] = f(pid, "spd_Kp");
  pid_values["spd_ki"] = f(pid, "spd_Ki");
  pid_values["id_kp"] = f(pid, "id_Kp");
  pid_values["id_ki"] = f(pid, "id_Ki");
  pid_values["ff_gain"] = py::hasattr(pid, "FF_gain")
                              ? f(pid, "FF_gain")
                              : tracked_or_nan(self, parameter(core::Parameter::FF_GAIN));
  py::dict impedance;
  impedance["k_stiff"] = f(imp, "K_stiff");
  impedance["k_damp"] = f(imp, "K_damp");
  impedance["t_ff"] = f(imp, "T_FF");
  impedance["j_imp"] = field_or_nan(imp, "J_imp");
  py::dict limits;
  for (const char* field : {"lim_T", "lim_pos_max", "lim_pos_min", "lim_spd_max", "lim_spd_min"}) limits[field] = f(lim, field);
  py::dict profile;
  for (const char* field : {"prof_pos_max", "prof_pos_min", "prof_spd_max", "prof_spd_min"}) profile[field] = f(lim, field);
  py::object filter;
  if (py::hasattr(act, "get_filter_cutoffs")) {
    filter = act.attr("get_filter_cutoffs")();
  } else {
    py::dict tracked_filter;
    tracked_filter["speed_cutoff"] = tracked_or_nan(self, parameter(core::Parameter::SPEED_CUTOFF));
    tracked_filter["current_cutoff"] = tracked_or_nan(self, parameter(core::Parameter::CURRENT_CUTOFF));
    filter = tracked_filter;
  }
  py::dict out;
  out["pid"] = pid_values;
  out["impedance"] = impedance;
  out["limits"] = limits;
  out["profile"] = profile;
  out["filter"] = filter;
  return out;
}

// ---------------------------------------------------------------------------
// Commands, modes and setpoints.

void require_member(py::handle value, PyObject* enum_cls, const char* arg, const char* expected) {
  if (!is_instance(value, enum_cls)) glue::raise_arg_type(arg, expected, value);
}

void change_mode(py::object self, py::handle mode) {
  require_member(mode, vocab.mode, "mode", "Mode");
  self.attr("_mode") = mode;
  self.attr("_current_mode") = mode;
  py::object act = self.attr("actuator");
  if (!act.is_none() && wrapper_initialized(act)) act.attr("set_control_type")(mode.attr("value"));
}

py::object get_mode(py::object self) { return self.attr("_mode"); }

void change_mode_if_needed(py::object self, py::handle mode) {
  const int differs = PyObject_RichCompareBool(py::object(self.attr("_mode")).ptr(), mode.ptr(), Py_NE);
  if (differs < 0) throw_python_error();
  if (differs) glue::call_method(self, "change_mode", mode);
}

py::float_ float_arg(py::handle value, const char* name) { return py::float_(glue::as_float(value, name)); }

// An optional argument: given unless it is NaN.
struct Option {
  py::float_ value;
  bool given;
};
Option option(py::handle value, const char* name) {
  py::float_ v = float_arg(value, name);
  return {v, !std::isnan(static_cast<double>(v))};
}

void change_setpoint(py::object self, py::handle setpoint) { self.attr("_setpoint") = float_arg(setpoint, "setpoint"); }

void mode_and_setpoint(py::object self, core::Mode mode, const py::float_& setpoint) {
  glue::call_method(self, "_change_mode_if_needed", py::handle(mode_member(mode)));
  self.attr("_setpoint") = setpoint;
}

// (a, b) = value, as tuple unpacking does it (and fails).
std::pair<py::object, py::object> unpack_pair(py::handle value) {
  py::object iterator = steal(PyObject_GetIter(value.ptr()));
  py::object items[2];
  for (int i = 0; i < 2; ++i) {
    PyObject* next = PyIter_Next(iterator.ptr());
    if (next == nullptr) {
      if (PyErr_Occurred()) throw_python_error();
      glue::raise(PyExc_ValueError, "not enough values to unpack (expected 2, got " + std::to_string(i) + ")");
    }
    items[i] = py::reinterpret_steal<py::object>(next);
  }
  PyObject* extra = PyIter_Next(iterator.ptr());
  if (extra != nullptr) {
    Py_DECREF(extra);
    glue::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
  }
  if (PyErr_Occurred()) throw_python_error();
  return {items[0], items[1]};
}

py::object kept_or(const Option& given, py::object current) { return given.given ? py::object(given.value) : current; }

void change_torque_setpoint(py::object self, py::handle setpoint, py::handle id_Kp, py::handle id_Ki,
                            py::handle iq_Kp, py::handle iq_Ki) {
  const py::float_ value = float_arg(setpoint, "setpoint");
  const Option id_kp = option(id_Kp, "id_Kp"), id_ki = option(id_Ki, "id_Ki");
  const Option iq_kp = option(iq_Kp, "iq_Kp"), iq_ki = option(iq_Ki, "iq_Ki");
  mode_and_setpoint(self, core::Mode::TORQUE, value);
  if (id_kp.given || id_ki.given) {
    py::object act = glue::call_method(self, "_require_actuator");
    auto [kp, ki] = unpack_pair(act.attr("get_current_gains")());
    act.attr("set_current_gains")(kept_or(id_kp, kp), kept_or(id_ki, ki));
  }
  // The model has one set of current-loop gains for both axes.
  auto differ = [](const Option& q, const Option& d) {
    return q.given && d.given && static_cast<double>(q.value) != static_cast<double>(d.value);
  };
  if (differ(iq_kp, id_kp) || differ(iq_ki, id_ki)) {
    glue::log(self.attr("logger"), "warning",
              "Virtual actuator exposes shared current gains; q-axis gains cannot differ from d-axis gains.");
  }
}

void apply_speed_setpoint_options(py::object self, py::handle FF_gain, py::handle spd_Ki, py::handle spd_Kp,
                                  py::handle ref_ff_torque) {
  const Option ff = option(FF_gain, "FF_gain"), ki = option(spd_Ki, "spd_Ki"), kp = option(spd_Kp, "spd_Kp");
  const Option torque = option(ref_ff_torque, "ref_ff_torque");
  if (ff.given) glue::call_method(self, "_set_feedforward_gain", ff.value);
  if (kp.given || ki.given) {
    py::object act = glue::call_method(self, "_require_actuator");
    auto [current_kp, current_ki] = unpack_pair(act.attr("get_speed_gains")());
    act.attr("set_speed_gains")(kept_or(kp, current_kp), kept_or(ki, current_ki));
  }
  if (torque.given) glue::call_method(self, "_require_actuator").attr("set_torque_feedforward")(torque.value);
}

void change_speed_setpoint(py::object self, py::handle setpoint, py::handle FF_gain, py::handle spd_Ki,
                           py::handle spd_Kp, py::handle ref_ff_torque) {
  const py::float_ value = float_arg(setpoint, "setpoint");
  mode_and_setpoint(self, core::Mode::SPEED, value);
  glue::call_method(self, "_apply_speed_setpoint_options", "FF_gain"_a = FF_gain, "spd_Ki"_a = spd_Ki,
                    "spd_Kp"_a = spd_Kp, "ref_ff_torque"_a = ref_ff_torque);
}

void change_position_setpoint(py::object self, py::handle setpoint, py::handle FF_gain, py::handle spd_Ki,
                              py::handle spd_Kp, py::handle pos_Kp, py::handle ref_ff_torque) {
  const py::float_ value = float_arg(setpoint, "setpoint");
  const Option pos_kp = option(pos_Kp, "pos_Kp");
  mode_and_setpoint(self, core::Mode::POSITION, value);
  glue::call_method(self, "_apply_speed_setpoint_options", "FF_gain"_a = FF_gain, "spd_Ki"_a = spd_Ki,
                    "spd_Kp"_a = spd_Kp, "ref_ff_torque"_a = ref_ff_torque);
  if (pos_kp.given) glue::call_method(self, "_require_actuator").attr("set_position_kp")(pos_kp.value);
}

void change_impedance_setpoint(py::object self, py::handle setpoint, py::handle FF_gain, py::handle K_stiff,
                               py::handle K_damp, py::handle J_imp, py::handle ref_ff_torque,
                               py::handle ref_impedance_spd, py::handle ref_impedance_acel) {
  const py::float_ value = float_arg(setpoint, "setpoint");
  const Option ff = option(FF_gain, "FF_gain"), stiff = option(K_stiff, "K_stiff"), damp = option(K_damp, "K_damp");
  const Option inertia = option(J_imp, "J_imp"), torque = option(ref_ff_torque, "ref_ff_torque");
  const Option speed = option(ref_impedance_spd, "ref_impedance_spd");
  const Option acceleration = option(ref_impedance_acel, "ref_impedance_acel");
  mode_and_setpoint(self, core::Mode::IMPEDANCE, value);
  if (ff.given) glue::call_method(self, "_set_feedforward_gain", ff.value);
  if (stiff.given || damp.given) {
    py::object act = glue::call_method(self, "_require_actuator");
    py::object gains = act.attr("get_impedance_gains")();
    // The torque feed-forward of the impedance law stays as it is.
    act.attr("set_impedance_gains")(kept_or(stiff, gains["k_stiff"]), kept_or(damp, gains["k_damp"]), gains["t_ff"]);
  }
  if (inertia.given) glue::call_method(self, "_require_actuator").attr("set_impedance_inertia")(inertia.value);
  if (torque.given) glue::call_method(self, "_require_actuator").attr("set_torque_feedforward")(torque.value);
  if (speed.given || acceleration.given) {
    glue::call_method(self, "_require_actuator")
        .attr("set_impedance_references")(speed.given ? py::object(speed.value) : py::object(py::none()),
                                          acceleration.given ? py::object(acceleration.value) : py::object(py::none()));
  }
  if (speed.given) self.attr("_impedance_speed_reference") = speed.value;
}

void change_address(py::object self, py::handle new_address) {
  py::int_ address = glue::as_int(new_address, "new_address");
  const int same = PyObject_RichCompareBool(address.ptr(), py::object(self.attr("_address")).ptr(), Py_EQ);
  if (same < 0) throw_python_error();
  if (same) {
    self.attr("logger").attr("warning")("New address is the same as the current address %s", address);
    return;
  }
  if (!truthy(glue::call_method(self, "is_valid_actuator_address", address))) {
    glue::raise(PyExc_ValueError,
                "Invalid new address " + glue::str(address) + ". Address must be between 0x10 and 0x3FFE.");
  }
  self.attr("_address") = address;
  py::object act = self.attr("actuator");
  if (!act.is_none()) act.attr("set_address")(address);
}

void set_can_high_speed(py::object self, py::object enabled) {
  self.attr("_can_high_speed") = enabled;
  tracked_values(self)[py::handle(parameter(core::Parameter::CAN_HIGH_SPEED))] = py::float_(truthy(enabled) ? 1.0 : 0.0);
}

void set_torque_performance(py::object self, py::handle performance) {
  require_member(performance, vocab.torque_performance, "performance", "TorquePerformance");
  self.attr("_torque_performance") = performance;
}

void set_speed_performance(py::object self, py::handle performance) {
  require_member(performance, vocab.speed_performance, "performance", "SpeedPerformance");
  self.attr("_speed_performance") = performance;
}

void save_config(py::object self) {
  glue::log(self.attr("logger"), "info", "Virtual actuators do not persist configuration.");
}

void blink(py::object self, py::handle /*timeout*/) {
  glue::log(self.attr("logger"), "info", "Blink is a no-op for the virtual actuator.");
}

// ---------------------------------------------------------------------------
// Feedback.

void set_feedback_items(py::object self, py::handle items) {
  py::list list = glue::as_list_or_subclass(items, "items");
  self.attr("_feedback_items") = steal(PySequence_List(list.ptr()));  // a copy
  self.attr("_latest_feedback") = py::dict();
}

void set_feedback_rate(py::object self, py::handle rate) {
  double target = 0.0;
  if (is_instance(rate, vocab.rates)) {
    py::handle rates(vocab.rates);
    if (rate.is(rates.attr("DISABLED"))) {
      self.attr("_feedback_rate_divider") = 0;
      return;
    }
    py::object hz = steal(PyNumber_TrueDivide(to_float(rates.attr("RATE_1HZ").attr("value")).ptr(),
                                              to_float(rate.attr("value")).ptr()));
    target = py::cast<double>(hz);
  } else if (PyLong_Check(rate.ptr())) {
    const int sign = PyObject_RichCompareBool(rate.ptr(), py::int_(0).ptr(), Py_EQ);
    if (sign < 0) throw_python_error();
    if (sign) {
      self.attr("_feedback_rate_divider") = 0;
      return;
    }
    if (PyObject_RichCompareBool(rate.ptr(), py::int_(0).ptr(), Py_LT) == 1) {
      glue::raise(PyExc_ValueError, "Rate must be non-negative, got " + glue::str(rate));
    }
    target = py::cast<double>(to_float(rate));
  } else {
    glue::raise(PyExc_TypeError,
                "rate must be a Rates enum or int, got " + glue::str(py::type::handle_of(rate).attr("__name__")));
  }
  py::object sim = glue::call_method(self, "get_sim_rate_hz");
  const double sim_hz = py::cast<double>(to_float(sim));
  if (target > sim_hz) {
    py::object text = steal(PyObject_Format(to_float(sim).ptr(), py::str("g").ptr()));
    glue::raise(PyExc_ValueError, "Rate cannot exceed DTwin simulation rate of " + glue::str(text) + " Hz");
  }
  const double rounded = core::round_half_even(sim_hz / target);
  if (std::isnan(rounded)) glue::raise(PyExc_ValueError, "cannot convert float NaN to integer");
  if (std::isinf(rounded)) glue::raise(PyExc_OverflowError, "cannot convert float infinity to integer");
  py::object divider = steal(PyLong_FromDouble(rounded));
  if (PyObject_RichCompareBool(divider.ptr(), py::int_(1).ptr(), Py_LT) == 1) divider = py::int_(1);
  self.attr("_feedback_rate_divider") = divider;
}

py::object get_feedback(py::object self) { return copy_of(self.attr("_latest_feedback")); }

const std::string item_limit_warning(py::handle limit) {
  return "Feedback item requests are limited to " + glue::str(limit) + "; the extra items will be ignored.";
}

py::dict get_items_blocking(py::object self, py::handle items, py::handle /*timeout*/) {
  glue::call_method(self, "_require_actuator");
  py::list requested = glue::as_list_or_subclass(items, "items");
  py::object limit = mod.get("VEZ_MAX_FEEDBACK_ITEMS_PER_REQUEST");
  py::object kept = requested;
  if (PyObject_RichCompareBool(py::int_(py::len(requested)).ptr(), limit.ptr(), Py_GT) == 1) {
    glue::warn(mod, PyExc_UserWarning, item_limit_warning(limit));
    const Py_ssize_t keep_count = PyNumber_AsSsize_t(limit.ptr(), PyExc_OverflowError);
    if (keep_count == -1 && PyErr_Occurred()) throw_python_error();
    kept = steal(PySequence_GetSlice(requested.ptr(), 0, keep_count));
  }
  py::dict out;
  for (py::handle item : kept) out[item] = glue::call_method(self, "_get_item_value", item);
  return out;
}

// The snapshot from raw memory into a fresh dict; nullptr (no error) when
// that does not apply.  `items` is the exact list of items, not empty.
PyObject* snapshot_fast(PyObject* wrapper, PyObject* items, ItemsPlan& plan) {
  py::object keep_items = py::reinterpret_borrow<py::object>(items);
  py::object keep_wrapper = py::reinterpret_borrow<py::object>(wrapper);
  // What may run Python code (a collection while allocating, building a
  // plan) comes first; matching the items runs none, and filling the dict
  // none after the first insert of each member (see dict_put): everything
  // used across it is held.
  py::object snapshot = steal(new_dict(PyList_GET_SIZE(items)));
  WrapperPlan* layout = plan_for(wrapper);
  if (layout == nullptr || !plan.match(items)) return nullptr;
  for (size_t i = 0; i < plan.members.size(); ++i) {
    const ItemRule& rule = *plan.rules[i];
    PyObject* value = item_value_fast(*layout, rule, plan.last[i]);
    if (value == nullptr) throw_python_error();
    Py_XSETREF(plan.last[i], value);  // the plan keeps one reference, the dict takes another
    py::object hold = py::reinterpret_borrow<py::object>(value);
    if (dict_put(snapshot.ptr(), plan.members[i], value, rule.hash) != 0) throw_python_error();
  }
  return snapshot.release().ptr();
}

// _build_feedback_snapshot as installed: raw reads when `self` resolves the
// methods it uses to this module's own and the wrapper's fields can be
// located; the ordinary calls otherwise.
py::object build_snapshot_impl(py::handle self, Instance& in, ItemsPlan& plan) {
  if (in.refresh() && in.snapshot_is_own()) {
    PyObject* items = in.attr(kFeedbackItems);
    PyObject* wrapper = in.attr(kActuator);
    if (items != nullptr && PyList_CheckExact(items)) {
      if (PyList_GET_SIZE(items) == 0) return py::dict();
      if (wrapper != nullptr && wrapper != Py_None) {
        if (PyObject* snapshot = snapshot_fast(wrapper, items, plan)) return py::reinterpret_steal<py::object>(snapshot);
      }
    }
  }
  py::object items = self.attr("_feedback_items");
  py::dict out;
  if (!truthy(items)) return out;
  for (py::handle item : items) out[item] = glue::call_method(self, "_get_item_value", item);
  return out;
}

py::object build_feedback_snapshot(py::object self) {
  Instance in(self.ptr());
  ItemsPlan plan;
  return build_snapshot_impl(self, in, plan);
}

bool should_emit_feedback(py::object self) {
  if (py::object(self.attr("_feedback_callback")).is_none()) return false;
  if (!truthy(self.attr("_feedback_items"))) return false;
  py::object divider = self.attr("_feedback_rate_divider");
  long long d, count;
  if (exact_small_int(divider.ptr(), &d)) {
    if (d <= 0) return false;
    if (exact_small_int(py::object(self.attr("_simulation_step_count")).ptr(), &count)) return count % d == 0;
  } else if (PyObject_RichCompareBool(divider.ptr(), py::int_(0).ptr(), Py_GT) != 1) {
    if (PyErr_Occurred()) throw_python_error();
    return false;
  }
  py::object rest = steal(PyNumber_Remainder(py::object(self.attr("_simulation_step_count")).ptr(), divider.ptr()));
  const int zero = PyObject_RichCompareBool(rest.ptr(), py::int_(0).ptr(), Py_EQ);
  if (zero < 0) throw_python_error();
  return zero == 1;
}

void emit_callback(py::object /*self*/, py::object callback, py::object address, py::object payload) {
  if (callback.is_none()) return;
  callback(address, payload);
}

// ---------------------------------------------------------------------------
// Stepping.

// The loop's state across the ticks of one `step` call.
//
// A tick whose every part can run as C++ without running Python code (a
// "pure" tick) leaves the step count and the feedback snapshot pending:
// nothing can look at them before the next point where Python code may run,
// and there `materialize` writes them, from the model state they describe
// (it has not moved since).  Those points are the feedback callback, any
// ordinary (Python-level) part of a tick, the signal check, an error and the
// end of the call.
struct StepRun {
  py::handle self;
  Instance in;
  ItemsPlan& items;

  // Checked by `verify` and true until Python code may have run.
  bool verified = false;
  PyObject* wrapper = nullptr;  // borrowed, like the rest, while verified
  PyObject* log = nullptr;
  PyObject* callback = nullptr;
  WrapperPlan* plan = nullptr;
  bool bounded_log = false;
  double reference = 0.0;
  double load = 0.0;
  long long divider = 0;

  // Ticks still to come in this call (capped), to grow the log's lists once
  // per stretch.
  Py_ssize_t ticks_ahead = 0;

  // Pending state.
  long long count = 0;  // the step count, while count_pending
  bool count_pending = false;
  bool snapshot_pending = false;

  explicit StepRun(py::handle s);
};

// The resolved items of the last run, shared by all runs so that one step()
// per tick does not resolve them again (every use matches them first).
ItemsPlan* shared_items = new ItemsPlan();  // deliberately leaked
StepRun::StepRun(py::handle s) : self(s), in(s.ptr()), items(*shared_items) {}

bool number_value(PyObject* obj, double* out) {
  if (obj == nullptr) return false;
  if (PyFloat_CheckExact(obj)) {
    *out = PyFloat_AS_DOUBLE(obj);
    return true;
  }
  if (PyLong_CheckExact(obj)) {
    *out = PyLong_AsDouble(obj);
    if (*out == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();  // the ordinary call reports it
      return false;
    }
    return true;
  }
  return false;
}

// actuator.step(_setpoint, _load_value)
void tick_model(StepRun& run) {
  Instance& in = run.in;
  double reference, load;
  if (in.refresh() && in.attr(kActuator) != nullptr && number_value(in.attr(kSetpoint), &reference) &&
      number_value(in.attr(kLoadValue), &load)) {
    py::object wrapper = py::reinterpret_borrow<py::object>(in.attr(kActuator));
    const int r = backend->step(wrapper.ptr(), reference, load);
    if (r < 0) throw_python_error();
    if (r == 1) return;
  }
  py::object wrapper = run.self.attr("actuator");
  wrapper.attr("step")(run.self.attr("_setpoint"), run.self.attr("_load_value"));
}

// telemetry_log._append(actuator)
void tick_log(StepRun& run) {
  Instance& in = run.in;
  if (in.refresh() && in.attr(kTelemetryLog) != nullptr && in.attr(kActuator) != nullptr) {
    py::object log = py::reinterpret_borrow<py::object>(in.attr(kTelemetryLog));
    py::object wrapper = py::reinterpret_borrow<py::object>(in.attr(kActuator));
    if (plain_layout.holds(log.ptr(), log_field_names)) {
      plain_append(log, wrapper);
      return;
    }
    if (bounded_layout.holds(log.ptr(), log_field_names)) {
      bounded_append(log, wrapper);
      return;
    }
  }
  py::object log = run.self.attr("telemetry_log");
  log.attr("_append")(run.self.attr("actuator"));
}

// _simulation_step_count += 1
void tick_count(StepRun& run) {
  Instance& in = run.in;
  long long count;
  if (in.refresh() && exact_small_int(in.attr(kStepCount), &count) && count < LLONG_MAX) {
    py::object next = steal(PyLong_FromLongLong(count + 1));
    in.store(kStepCount, next.ptr());
    return;
  }
  py::object count_obj = run.self.attr("_simulation_step_count");
  run.self.attr("_simulation_step_count") = steal(PyNumber_Add(count_obj.ptr(), py::int_(1).ptr()));
}

// A dict only the instance holds, with exactly `members` as keys in that
// order: replacing its values in place is indistinguishable from assigning
// a new dict with the same keys.  Its values must be plain numbers, whose
// release runs no code.
bool refillable(PyObject* d, const std::vector<PyObject*>& members) {
  if (d == nullptr || !PyDict_CheckExact(d) || Py_REFCNT(d) != 1 ||
      PyDict_GET_SIZE(d) != static_cast<Py_ssize_t>(members.size())) {
    return false;
  }
  Py_ssize_t position = 0;
  PyObject* key;
  PyObject* value;
  for (PyObject* member : members) {
    if (!PyDict_Next(d, &position, &key, &value) || key != member) return false;
    if (!PyFloat_CheckExact(value) && !PyLong_CheckExact(value)) return false;
  }
  return true;
}

// The snapshot tick when the previous snapshot and its copy can be refilled
// with the new values; false (nothing done) otherwise.
bool snapshot_in_place(StepRun& run) {
  Instance& in = run.in;
  PyObject* items = in.attr(kFeedbackItems);
  PyObject* wrapper = in.attr(kActuator);
  if (items == nullptr || !PyList_CheckExact(items) || PyList_GET_SIZE(items) == 0 || wrapper == nullptr ||
      wrapper == Py_None) {
    return false;
  }
  WrapperPlan* layout = plan_for_pure(wrapper);  // never builds: no Python code runs in here
  if (layout == nullptr || !run.items.match(items)) return false;
  py::object latest = py::reinterpret_borrow<py::object>(in.attr(kLatestFeedback));
  py::object feedback = py::reinterpret_borrow<py::object>(in.attr(kFeedback));
  // Our own references count once each here.
  if (!latest || !feedback || latest.is(feedback)) return false;
  Py_DECREF(latest.ptr());
  Py_DECREF(feedback.ptr());
  const bool ok = refillable(latest.ptr(), run.items.members) && refillable(feedback.ptr(), run.items.members);
  Py_INCREF(latest.ptr());
  Py_INCREF(feedback.ptr());
  if (!ok) return false;
  ItemsPlan& plan = run.items;
  for (size_t i = 0; i < plan.members.size(); ++i) {
    const ItemRule& rule = *plan.rules[i];
    PyObject* value = item_value_fast(*layout, rule, plan.last[i]);
    if (value == nullptr) throw_python_error();
    Py_XSETREF(plan.last[i], value);
    if (dict_put(latest.ptr(), plan.members[i], value, rule.hash) != 0 ||
        dict_put(feedback.ptr(), plan.members[i], value, rule.hash) != 0) {
      throw_python_error();
    }
  }
  return true;
}

// _latest_feedback = _build_feedback_snapshot(); _feedback = a copy
void tick_snapshot(StepRun& run) {
  Instance& in = run.in;
  if (in.refresh() && in.snapshot_is_own() && snapshot_in_place(run)) return;
  py::object snapshot;
  if (in.refresh() && in.own[kBuildSnapshot]) {
    snapshot = build_snapshot_impl(run.self, in, run.items);
  } else {
    snapshot = glue::call_method(run.self, "_build_feedback_snapshot");
  }
  in.store(kLatestFeedback, snapshot.ptr());
  py::object copy = copy_of(snapshot);
  in.store(kFeedback, copy.ptr());
}

// When _should_emit_feedback(): _emit_callback(_feedback_callback, _address, copy of _latest_feedback)
void tick_emit(StepRun& run) {
  Instance& in = run.in;
  bool emit;
  if (in.refresh() && in.own[kShouldEmit]) {
    PyObject* callback = in.attr(kFeedbackCallback);
    PyObject* items = in.attr(kFeedbackItems);
    long long divider, count;
    if (callback == Py_None) return;
    if (callback != nullptr && items != nullptr && PyList_CheckExact(items) &&
        exact_small_int(in.attr(kRateDivider), &divider) && exact_small_int(in.attr(kStepCount), &count)) {
      emit = PyList_GET_SIZE(items) > 0 && divider > 0 && count % divider == 0;
    } else {
      emit = should_emit_feedback(py::reinterpret_borrow<py::object>(run.self));
    }
  } else {
    emit = truthy(glue::call_method(run.self, "_should_emit_feedback"));
  }
  if (!emit) return;
  py::object callback = run.self.attr("_feedback_callback");
  py::object address = run.self.attr("_address");
  py::object payload = copy_of(run.self.attr("_latest_feedback"));
  if (in.refresh() && in.own[kEmitCallback]) {
    if (callback.is_none()) return;
    PyObject* args[] = {address.ptr(), payload.ptr()};
    steal(PyObject_Vectorcall(callback.ptr(), args, 2, nullptr));
  } else {
    glue::call_method(run.self, "_emit_callback", callback, address, payload);
  }
}

void regular_tick(StepRun& run) {
  tick_model(run);
  tick_log(run);
  tick_count(run);
  tick_snapshot(run);
  tick_emit(run);
}

// Writes the pending step count and snapshot.  May run Python code.
void materialize(StepRun& run) {
  run.verified = false;
  if (run.count_pending) {
    run.count_pending = false;
    py::object count = steal(PyLong_FromLongLong(run.count));
    run.in.store(kStepCount, count.ptr());
  }
  if (run.snapshot_pending) {
    run.snapshot_pending = false;
    tick_snapshot(run);
  }
}

// Whether the next ticks can be pure; fills the run's cached view.  Runs
// no Python code.
bool verify(StepRun& run) {
  Instance& in = run.in;
  if (!in.refresh() || !in.snapshot_is_own() || !in.own[kShouldEmit] || !in.own[kEmitCallback]) return false;
  run.wrapper = in.attr(kActuator);
  run.log = in.attr(kTelemetryLog);
  run.callback = in.attr(kFeedbackCallback);
  PyObject* items = in.attr(kFeedbackItems);
  if (run.wrapper == nullptr || run.wrapper == Py_None || run.log == nullptr || run.callback == nullptr ||
      items == nullptr || !PyList_CheckExact(items) || !number_value(in.attr(kSetpoint), &run.reference) ||
      !number_value(in.attr(kLoadValue), &run.load) || !exact_small_int(in.attr(kRateDivider), &run.divider) ||
      in.attr(kLatestFeedback) == nullptr || in.attr(kFeedback) == nullptr || in.attr(kAddress) == nullptr) {
    return false;
  }
  if (!run.count_pending && !exact_small_int(in.attr(kStepCount), &run.count)) return false;
  if (run.count == LLONG_MAX) return false;
  if (!run.items.match(items)) return false;
  run.plan = plan_for_pure(run.wrapper);
  if (plain_layout.holds(run.log, log_field_names)) {
    run.bounded_log = false;
    if (run.plan == nullptr) return false;
    for (size_t i = 0; i < kSeriesCount; ++i) {
      PyObject* series = plain_layout.slot(run.log, i);
      if (series == nullptr || !PyList_CheckExact(series)) return false;
    }
    double unused;
    if (!exact_float(plain_layout.slot(run.log, kTimeStepField), &unused) ||
        !exact_float(plain_layout.slot(run.log, kTimeStartField), &unused)) {
      return false;
    }
  } else if (bounded_layout.holds(run.log, log_field_names)) {
    run.bounded_log = true;
    long long ticks;
    double unused;
    if (!exact_small_int(bounded_layout.slot(run.log, kTicksField), &ticks) || ticks == LLONG_MAX ||
        !exact_float(bounded_layout.slot(run.log, kTimeStepField), &unused) ||
        !exact_float(bounded_layout.slot(run.log, kTimeStartField), &unused)) {
      return false;
    }
    if (bounded_keeps_ticks(run.log)) {
      if (run.plan == nullptr) return false;
      for (size_t i = 0; i < kSeriesCount; ++i) {
        PyObject* series = bounded_layout.slot(run.log, i);
        if (series == nullptr || Py_TYPE(series) != reinterpret_cast<PyTypeObject*>(deque_type)) return false;
      }
    }
  } else {
    return false;
  }
  if (!run.items.members.empty() && run.plan == nullptr) return false;
  run.verified = true;
  return true;
}

// One pure tick; false when it cannot be done (nothing has happened then).
bool pure_tick(StepRun& run) {
  if (backend->step_pure(run.wrapper, run.reference, run.load) != 1) {
    run.verified = false;
    return false;
  }
  // The model has moved: from here on this tick must complete.
  const bool appended =
      run.bounded_log ? append_bounded_with(run.log, run.plan) : append_plain_with(run.log, run.plan, run.ticks_ahead);
  if (!appended) {
    // Unreachable while verified (nothing could change the log); kept as
    // the ordinary append rather than a lost tick.
    run.verified = false;
    py::object log = py::reinterpret_borrow<py::object>(run.log);
    log.attr("_append")(py::handle(run.wrapper));
  }
  run.count += 1;
  run.count_pending = true;
  run.snapshot_pending = true;
  if (run.callback != Py_None && !run.items.members.empty() && run.divider > 0 && run.count % run.divider == 0) {
    py::object callback = py::reinterpret_borrow<py::object>(run.callback);
    materialize(run);
    py::object address = run.self.attr("_address");
    py::object payload = copy_of(run.self.attr("_latest_feedback"));
    PyObject* args[] = {address.ptr(), payload.ptr()};
    steal(PyObject_Vectorcall(callback.ptr(), args, 2, nullptr));
  }
  return true;
}

// wrapper._initialized is True, read from its dict where that decides it.
bool wrapper_flagged_initialized(PyObject* wrapper) {
  static PyObject* name = interned("_initialized");
  PyTypeObject* type = Py_TYPE(wrapper);
  if (type->tp_getattro != PyObject_GenericGetAttr || glue::compat::type_lookup(type, name) != nullptr) return false;
  PyObject* d = instance_dict(wrapper);
  return d != nullptr && PyDict_GetItem(d, name) == Py_True;
}

// self._ensure_initialized(), without Python calls when it is this module's
// own and the simulator runs already (the case of every step but the first).
void ensure_initialized_for(StepRun& run) {
  Instance& in = run.in;
  if (in.refresh() && in.own[kEnsureInitialized] && in.own[kRequireActuator]) {
    PyObject* wrapper = in.attr(kActuator);
    if (wrapper != nullptr && wrapper != Py_None && in.attr(kConnected) == Py_True &&
        wrapper_flagged_initialized(wrapper)) {
      return;
    }
  }
  glue::call_method(run.self, "_ensure_initialized");
}

py::object step(py::object self, py::handle load, py::handle steps) {
  if (!load.is_none() && !PyFloat_CheckExact(load.ptr())) glue::raise_arg_type("load", "float", load);
  py::int_ count_obj = glue::as_int(steps, "steps");
  bool fits = false;
  int64_t count = glue::int64_of(count_obj, &fits);
  if (!fits) count = PyObject_RichCompareBool(count_obj.ptr(), py::int_(0).ptr(), Py_LT) == 1 ? 0 : INT64_MAX;
  if (count < 1) glue::raise(PyExc_ValueError, "steps must be >= 1");
  StepRun run(self);
  ensure_initialized_for(run);
  if (run.in.refresh() ? run.in.attr(kActuator) == Py_None : py::object(self.attr("actuator")).is_none()) {
    PyErr_SetNone(PyExc_AssertionError);
    throw_python_error();
  }
  if (!load.is_none()) {
    if (run.in.refresh() && run.in.attr(kLoadValue) != nullptr) {
      run.in.store(kLoadValue, load.ptr());
    } else {
      self.attr("_load_value") = load;
    }
  }
  try {
    for (int64_t i = 0; i < count; ++i) {
      run.ticks_ahead = static_cast<Py_ssize_t>(std::min<int64_t>(count - i, kLogGrowthTicks));
      if (!(run.verified || verify(run)) || !pure_tick(run)) {
        materialize(run);
        regular_tick(run);
      }
      if ((static_cast<uint64_t>(i) + 1) % kTicksBetweenSignalChecks == 0 && i + 1 < count) {
        materialize(run);
        if (PyErr_CheckSignals() != 0) throw_python_error();
      }
    }
    materialize(run);
  } catch (py::error_already_set&) {
    // The ticks already taken stay counted, whatever failed.
    py::error_scope keep_error;
    try {
      materialize(run);
    } catch (py::error_already_set&) {
      // the first error is the one to report
    }
    throw;
  }
  return copy_of(self.attr("_latest_feedback"));
}

// step() as a method descriptor over a vectorcall C function: called once
// per control period by many programs, so it skips pybind11's dispatcher.
PyObject* step_fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return glue::python_call([&]() -> PyObject* {
    PyObject* bound[2];  // load, steps
    if (!glue::bind_fast_arguments("step", args, nargs, kwnames, {"load", "steps"}, 0, bound)) return nullptr;
    py::object one = py::int_(1);
    py::object result = step(py::reinterpret_borrow<py::object>(self), bound[0] != nullptr ? bound[0] : Py_None,
                             bound[1] != nullptr ? bound[1] : one.ptr());
    return result.release().ptr();
  });
}

PyMethodDef step_method = {
    "step", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(step_fastcall)), METH_FASTCALL | METH_KEYWORDS,
    "step(self, load=None, steps=1)\n--\n\n"
    "Advance the simulation `steps` ticks with the current setpoint and load\n"
    "(`load`, a float, replaces the load first); returns the last feedback snapshot."};

// ---------------------------------------------------------------------------
// Benchmark floor: what the telemetry log and the snapshot cost by
// themselves, as a bare C loop (used by bench/virtual_actuator_bench.py).

py::tuple benchmark_telemetry_floor(py::handle ticks_arg, py::handle items_arg, py::handle payload_every_arg) {
  bool fits = false;
  const int64_t ticks = glue::int64_of(glue::as_int(ticks_arg, "ticks"), &fits);
  const int64_t payload_every = glue::int64_of(glue::as_int(payload_every_arg, "payload_every"), &fits);
  py::list items = glue::as_list_or_subclass(items_arg, "items");
  std::vector<PyObject*> keys;
  std::vector<Py_hash_t> hashes;
  for (py::handle item : items) {
    keys.push_back(item.ptr());
    hashes.push_back(PyObject_Hash(item.ptr()));
    if (hashes.back() == -1) throw_python_error();
  }
  std::vector<py::list> series(kSeriesCount);
  py::object latest = py::dict(), feedback = py::dict();
  for (int64_t t = 0; t < ticks; ++t) {
    const double x = static_cast<double>(t) * 1e-3;
    for (size_t s = 0; s < kSeriesCount; ++s) {
      PyObject* value = PyFloat_FromDouble(x + static_cast<double>(s));
      if (value == nullptr || PyList_Append(series[s].ptr(), value) != 0) throw_python_error();
      Py_DECREF(value);
    }
    py::object snapshot = steal(new_dict(static_cast<Py_ssize_t>(keys.size())));
    for (size_t k = 0; k < keys.size(); ++k) {
      py::object value = steal(PyFloat_FromDouble(x * static_cast<double>(k + 1)));
      if (dict_put(snapshot.ptr(), keys[k], value.ptr(), hashes[k]) != 0) throw_python_error();
    }
    latest = snapshot;
    feedback = steal(PyDict_Copy(snapshot.ptr()));
    if (payload_every > 0 && (t + 1) % payload_every == 0) steal(PyDict_Copy(latest.ptr()));
  }
  py::tuple out(kSeriesCount);
  for (size_t s = 0; s < kSeriesCount; ++s) out[s] = series[s];
  return out;
}

// ---------------------------------------------------------------------------
// Module setup.

py::dict parameter_paths() {
  using core::Parameter;
  static constexpr std::pair<Parameter, const char*> kPaths[] = {
      {Parameter::K_DAMPING, "imp.K_damp"},
      {Parameter::K_STIFFNESS, "imp.K_stiff"},
      {Parameter::TORQUE_FF, "imp.T_FF"},
      {Parameter::LIM_TORQUE, "lim.lim_T"},
      {Parameter::LIM_POSITION_MAX, "lim.lim_pos_max"},
      {Parameter::LIM_POSITION_MIN, "lim.lim_pos_min"},
      {Parameter::LIM_SPEED_MAX, "lim.lim_spd_max"},
      {Parameter::LIM_SPEED_MIN, "lim.lim_spd_min"},
      {Parameter::PROFILE_POSITION_MAX, "lim.prof_pos_max"},
      {Parameter::PROFILE_POSITION_MIN, "lim.prof_pos_min"},
      {Parameter::PROFILE_SPEED_MAX, "lim.prof_spd_max"},
      {Parameter::PROFILE_SPEED_MIN, "lim.prof_spd_min"},
      {Parameter::KP_SPEED, "pid.spd_Kp"},
      {Parameter::KI_SPEED, "pid.spd_Ki"},
      {Parameter::KP_POSITION, "pid.pos_Kp"},
  };
  py::dict out;
  for (const auto& [p, path] : kPaths) out[py::handle(parameter(p))] = py::str(path);
  return out;
}

py::dict tracked_numeric_defaults() {
  using core::Parameter;
  const double nan = std::nan("");
  const std::pair<Parameter, double> defaults[] = {
      {Parameter::FF_GAIN, nan},          {Parameter::PROFILE_SPEED_MAX_RAD_S, nan},
      {Parameter::PROFILE_TORQUE_MAX_NM, nan}, {Parameter::SPEED_CUTOFF, nan},
      {Parameter::CURRENT_CUTOFF, nan},   {Parameter::INVERT_FLAG, 0.0},
      {Parameter::CAN_HIGH_SPEED, 0.0},   {Parameter::SERIAL_NUMBER, nan},
      {Parameter::FIRMWARE_VERSION, nan}, {Parameter::DEVICE_MODEL, nan},
      {Parameter::CONTROL_VERSION, nan},
  };
  py::dict out;
  for (const auto& [p, value] : defaults) out[py::handle(parameter(p))] = py::float_(value);
  return out;
}

void intern_names() {
  for (int v = 0; v < kViewCount; ++v) names.views[v] = interned(kViewNames[v]);
  names.series[0] = interned("time");
  for (size_t c = 0; c < kColumnCount; ++c) {
    names.fields[c] = interned(kColumns[c].field);
    names.series[c + 1] = interned(kColumns[c].name);
  }
  names.time_step = interned("TIME_STEP");
  names.time_start = interned("time_start");
  names.max_ticks = interned("_max_ticks");
  names.ticks = interned("ticks");
  names.append = interned("_append");
  for (size_t i = 0; i < kSeriesCount; ++i) log_field_names[i] = names.series[i];
  log_field_names[kTimeStepField] = names.time_step;
  log_field_names[kTimeStartField] = names.time_start;
  log_field_names[kMaxTicksField] = names.max_ticks;
  log_field_names[kTicksField] = names.ticks;
  for (int m = 0; m < kMethodCount; ++m) method_names[m] = interned(kMethodNames[m]);
  for (int a = 0; a < kAttributeCount; ++a) attribute_names[a] = interned(kAttributeNames[a]);
}

const char* element_type_name(Element e) {
  switch (e) {
    case Element::kInt:
      return "int";
    case Element::kBool:
      return "bool";
    case Element::kFloat:
      break;
  }
  return "float";
}

void make_log_classes() {
  py::object builtins = py::module_::import("builtins");
  py::object list_type = builtins.attr("list");
  py::object field = mod.get("field");
  auto list_of = [&](const char* element) { return list_type[builtins.attr(element)]; };

  glue::ClassBuilder builder(
      mod, "VirtualActuatorLog", py::make_tuple(py::handle(reinterpret_cast<PyObject*>(&PyBaseObject_Type))),
      "Per-tick telemetry of a virtual actuator: one element per simulator tick in every list.\n\n"
      "`time` holds the simulated time at the start of each tick (time_start + k * TIME_STEP);\n"
      "the other lists hold the model's signals as read after the tick.");
  builder.annotate("time", list_of("float"));
  builder.attr("time", field("default_factory"_a = list_type));
  for (const Column& c : kColumns) {
    builder.annotate(c.name, list_of(element_type_name(c.element)));
    builder.attr(c.name, field("default_factory"_a = list_type));
  }
  builder.annotate("TIME_STEP", builtins.attr("float"));
  builder.attr("TIME_STEP", field("default_factory"_a = glue::function("_default_time_step", &default_time_step)));
  builder.annotate("time_start", builtins.attr("float"));
  builder.attr("time_start", py::float_(0.0));
  builder.def("_append", &plain_append, py::arg("act"),
              glue::doc{"Append one tick: the time stamp, then the wrapper's values, one to every list."});
  builder.def("to_csv", &to_csv, py::arg("path"),
              glue::doc{"Write the log as CSV: a header row of field names, then one row per tick.\n\n"
                        "`path` is a file path or an open text file."});
  py::object plain = mod.get("dataclass")("slots"_a = true)(builder.cls());
  mod.set("VirtualActuatorLog", plain);
  log_class = keep(plain);

  glue::ClassBuilder bounded(
      mod, "BoundedVirtualActuatorLog", py::make_tuple(plain),
      "A VirtualActuatorLog that keeps only the last `max_ticks` ticks (none when 0).\n\n"
      "Its series are collections.deque objects with that maximum length; `ticks` counts every\n"
      "tick recorded, kept or not, and the time stamps go on from it.");
  bounded.attr("__slots__", py::make_tuple("_max_ticks", "ticks"));
  bounded.def("__init__", &bounded_init, py::arg("max_ticks"), py::arg_v("TIME_STEP", py::none()),
              py::arg_v("time_start", py::float_(0.0)));
  bounded.def_property_readonly("max_ticks", &bounded_max_ticks, "How many ticks the log keeps.");
  bounded.def("_append", &bounded_append, py::arg("act"),
              glue::doc{"Record one tick; its values are kept when max_ticks allows."});
  // The __slots__ above only take effect when the class is created with
  // them, so the class is made again from the builder's namespace.
  py::object ns = py::dict(bounded.cls().attr("__dict__"));
  ns.attr("pop")("__dict__", py::none());
  ns.attr("pop")("__weakref__", py::none());
  py::object bounded_cls = py::handle(reinterpret_cast<PyObject*>(&PyType_Type))(
      "BoundedVirtualActuatorLog", py::make_tuple(plain), ns);
  mod.set("BoundedVirtualActuatorLog", bounded_cls);
  bounded_log_class = keep(bounded_cls);

  plain_layout.remember(log_class, kLogFieldCount, log_field_names);
  bounded_layout.remember(bounded_log_class, kLogFieldCount + 2, log_field_names);
}

}  // namespace

PYBIND11_MODULE(doroze_actuator_virtual, m) {
  mod.bind(m);
  m.doc() = "Virtual actuator: the actuator surface on a digital-twin simulation that the caller steps.";
  intern_names();
  mod.import("csv");
  mod.import("logging");
  mod.import("math");
  mod.import("warnings");
  mod.import_from("collections", {"deque"});
  mod.import_from("dataclasses", {"dataclass", "field"});
  mod.import_from("pathlib", {"Path"});
  mod.import_from("typing", {"Any", "Callable", "Dict", "List", "Optional"});
  mod.import_from("vez_api._protocol", {"VEZ_MAX_FEEDBACK_ITEMS_PER_REQUEST"});
  mod.import_from("vez_api._doroze_actuator_base", {"DorozeActuatorBase"});
  mod.import_from("vez_api._twin_assets",
                  {"DTwinPaths", "get_actuator_spec", "list_available_dtwin_artifacts", "resolve_dtwin_artifacts"});
  mod.import_from("vez_api._twin_backend", {"ActuatorWrapper", "get_default_dtwin_time_step_s"});
  backend = backend_api::import_capi();
  if (backend == nullptr) throw_python_error();

  deque_type = keep(mod.get("deque"));
  deque_append = keep(mod.get("deque").attr("append"));
  nan_float = keep(py::float_(std::nan("")));
  zero_float = keep(py::float_(0.0));
  one_float = keep(py::float_(1.0));
  pcb_temperature = keep(py::float_(kPcbTemperatureC));

  py::object base = mod.get("DorozeActuatorBase");
  vocab.load(base);
  build_item_rules();

  make_log_classes();

  const py::object nan = py::float_(std::nan(""));
  py::object builtins = py::module_::import("builtins");
  py::object optional = mod.get("Optional");
  glue::ClassBuilder builder(
      mod, "DorozeActuatorVirtual", py::make_tuple(base),
      "A Doroze actuator simulated by its digital twin, with the physical actuator's surface.\n\n"
      "Three things differ from the physical actuator:\n"
      "- the digital-twin library must be selected (set_actuator) before connecting;\n"
      "- the simulator is stepped explicitly by the caller (step); nothing runs in the background;\n"
      "- the external load on the shaft is supplied by software (step(load=...), change_load).");
  builder.annotate("actuator", optional[mod.get("ActuatorWrapper")])
      .annotate("telemetry_log", mod.get("VirtualActuatorLog"))
      .attr("_PARAMETER_PATHS", parameter_paths())
      .attr("_TRACKED_NUMERIC_DEFAULTS", tracked_numeric_defaults())
      // Lifecycle and simulation
      .def("__init__", &init, py::arg_v("adapter_handler", py::none()), py::arg_v("address", py::none()),
           py::arg_v("logger", py::none()), py::kw_only(), py::arg_v("telemetry_max_ticks", py::none()),
           glue::sig{"(self, adapter_handler=None, address=None, logger=None, *, telemetry_max_ticks=None)"})
      .def_property_readonly("address", &address_property, "Bus address mirrored into the wrapper, or None.")
      .def_property_readonly("model", &model_property, "Model name of the simulated actuator.")
      .def_property_readonly("version", &version_property, "Version of the digital twin (\"virtual\" without one).")
      .def("get_model_version", &get_model_version)
      .def_static("discover_available_actuators", &discover_available_actuators, py::arg("bindings_path"),
                  glue::doc{"Model names with digital-twin artifacts under `bindings_path` ([] when none)."})
      .def("set_actuator", &set_actuator, py::arg("model_name"), py::arg_v("library_path", py::none()),
           py::arg_v("bindings_root", py::none()),
           glue::doc{"Select the simulated model by name (through the actuator library file when given)."})
      .def("set_actuator_from_paths", &set_actuator_from_paths, py::arg("library_path"), py::arg("bindings_path"),
           glue::doc{"Load the simulation library and bindings module at these paths."})
      .def("connect", &connect, py::arg_v("timeout", py::float_(1.0)))
      .def("disconnect", &disconnect, glue::doc{"Stop and terminate the simulation."})
      .def("send_ping", &send_ping, py::arg_v("timeout", py::float_(1.0)))
      .def("start", &start)
      .def("stop", &stop)
      .def("set_home_position", &set_home_position)
      .def("_require_actuator", &require_actuator)
      .def("_ensure_initialized", &ensure_initialized)
      .def("start_steps", &start_steps, py::arg("step_number"))
      .def("change_load", &change_load, py::arg("load"), glue::doc{"External load torque for the following ticks."})
      .def("get_sim_time", &get_sim_time, py::arg_v("round_dec", py::int_(3)))
      .def("get_sim_time_step_s", &get_sim_time_step_s)
      .def("get_sim_rate_hz", &get_sim_rate_hz)
      // Parameters and items
      .def("_read_path", &read_path, py::arg("path"))
      .def("_write_path", &write_path, py::arg("path"), py::arg("value"))
      .def("set_parameters", &set_parameters, py::arg("parameters"))
      .def("get_parameters", &get_parameters, py::arg("parameters"), py::arg_v("timeout", py::float_(1.0)))
      .def("get_parameters_all", &get_parameters_all)
      .def("_set_parameter_value", &set_parameter_value, py::arg("parameter"), py::arg("value"))
      .def("_get_parameter_value", &get_parameter_value, py::arg("parameter"))
      .def("_set_feedforward_gain", &set_feedforward_gain_impl, py::arg("value"))
      .def("_get_feedforward_gain", &get_feedforward_gain_impl)
      .def("_set_filter_cutoff", &set_filter_cutoff, py::arg_v("speed_cutoff", py::none()),
           py::arg_v("current_cutoff", py::none()))
      .def("_get_filter_cutoff", &get_filter_cutoff, py::arg("key"))
      .def("_get_item_value", &get_item_value, py::arg("item"))
      .def("get_info", &get_info)
      .def("get_motor_state", &get_motor_state)
      .def("get_measurements", &get_measurements)
      .def("get_debug_flags", &get_debug_flags)
      .def("has_errors", &has_errors)
      .def("get_all_parameters", &get_all_parameters)
      // Commands
      .def("change_mode", &change_mode, py::arg("mode"))
      .def("get_mode", &get_mode)
      .def("_change_mode_if_needed", &change_mode_if_needed, py::arg("mode"))
      .def("change_setpoint", &change_setpoint, py::arg("setpoint"))
      .def("change_torque_setpoint", &change_torque_setpoint, py::arg("setpoint"), py::arg_v("id_Kp", nan),
           py::arg_v("id_Ki", nan), py::arg_v("iq_Kp", nan), py::arg_v("iq_Ki", nan))
      .def("change_speed_setpoint", &change_speed_setpoint, py::arg("setpoint"), py::arg_v("FF_gain", nan),
           py::arg_v("spd_Ki", nan), py::arg_v("spd_Kp", nan), py::arg_v("ref_ff_torque", nan))
      .def("change_position_setpoint", &change_position_setpoint, py::arg("setpoint"), py::arg_v("FF_gain", nan),
           py::arg_v("spd_Ki", nan), py::arg_v("spd_Kp", nan), py::arg_v("pos_Kp", nan),
           py::arg_v("ref_ff_torque", nan))
      .def("change_impedance_setpoint", &change_impedance_setpoint, py::arg("setpoint"), py::arg_v("FF_gain", nan),
           py::arg_v("K_stiff", nan), py::arg_v("K_damp", nan), py::arg_v("J_imp", nan),
           py::arg_v("ref_ff_torque", nan), py::arg_v("ref_impedance_spd", nan), py::arg_v("ref_impedance_acel", nan))
      .def("_apply_speed_setpoint_options", &apply_speed_setpoint_options, py::arg_v("FF_gain", nan),
           py::arg_v("spd_Ki", nan), py::arg_v("spd_Kp", nan), py::arg_v("ref_ff_torque", nan))
      .def("change_address", &change_address, py::arg("new_address"))
      .def("set_can_high_speed", &set_can_high_speed, py::arg("enabled"))
      .def("set_torque_performance", &set_torque_performance, py::arg("performance"))
      .def("set_speed_performance", &set_speed_performance, py::arg("performance"))
      .def("save_config", &save_config)
      .def("blink", &blink, py::arg_v("timeout", py::float_(1.0)))
      // Feedback
      .def("set_feedback_items", &set_feedback_items, py::arg("items"))
      .def("set_feedback_rate", &set_feedback_rate, py::arg("rate"),
           glue::doc{"Feedback rate: a Rates member or a rate in Hz, at most the simulation rate (0 stops it)."})
      .def("get_feedback", &get_feedback, glue::doc{"A copy of the last feedback snapshot."})
      .def("get_items_blocking", &get_items_blocking, py::arg("items"), py::arg_v("timeout", py::float_(1.0)),
           glue::doc{"Read items from the model now (at most 10); does not step."})
      .def("_build_feedback_snapshot", &build_feedback_snapshot)
      .def("_should_emit_feedback", &should_emit_feedback)
      .def("_emit_callback", &emit_callback, py::arg("callback"), py::arg("address"), py::arg("payload"));
  virtual_class = keep(builder.finish());
  glue::def_fast_method(virtual_class, &step_method);
  for (int i = 0; i < kMethodCount; ++i) {
    original_methods[i] = glue::compat::type_lookup(reinterpret_cast<PyTypeObject*>(virtual_class), method_names[i]);
    Py_XINCREF(original_methods[i]);
  }

  mod.def("_benchmark_telemetry_floor", &benchmark_telemetry_floor, py::arg("ticks"), py::arg("items"),
          py::arg("payload_every"),
          glue::doc{"Benchmark helper: `ticks` ticks of what the telemetry log and the feedback snapshot\n"
                    "cost by themselves (65 new floats appended to lists, a snapshot dict of `items` and its\n"
                    "copy, a payload copy every `payload_every` ticks), in a bare C loop; returns the lists."});
}
