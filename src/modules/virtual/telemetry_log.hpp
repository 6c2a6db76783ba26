// VirtualActuatorLog and BoundedVirtualActuatorLog: the per-tick telemetry
// of a virtual actuator, one list (or bounded deque) per column.
//
// Their fields are slots.  While a log is exactly one of these classes and
// the class still has its own member descriptors and _append (LogSlots), the
// stepping loop appends through the slot offsets without running Python code;
// otherwise it calls log._append(wrapper), whose installed version takes the
// same shortcut when it can and the attribute path when it cannot.
//
// Threads: the GIL must be held.
#pragma once

#include <Python.h>

#include "glue/installed.hpp"
#include "modules/virtual/module_state.hpp"
#include "modules/virtual/wrapper_fields.hpp"

namespace vez::virtual_actuator {

// Log fields after the common ones: the bounded log's own two slots.
inline constexpr size_t kMaxTicksField = kLogFieldCount;
inline constexpr size_t kTicksField = kLogFieldCount + 1;
inline constexpr size_t kAllLogFields = kLogFieldCount + 2;

// The slot layout of one log class, trusted while the class still resolves
// _append and each field to what it had when the module made it (rechecked
// whenever the class's version tag changes).
class LogSlots {
 public:
  void remember(PyObject* cls, size_t field_count);
  // `log` is exactly this class, and the class is as made.
  bool hold_for(PyObject* log);

  PyObject* slot(PyObject* log, size_t i) const { return *glue::compat::slot_at(log, offsets_[i]); }
  // Replaces a slot's value (the reference to `value` is taken).
  void set_slot(PyObject* log, size_t i, PyObject* value) const;

 private:
  PyTypeObject* type_ = nullptr;
  unsigned tag_ = 0;
  bool ok_ = false;
  size_t count_ = 0;
  glue::Installed append_;
  glue::Installed fields_[kAllLogFields];
  Py_ssize_t offsets_[kAllLogFields] = {};
};

extern LogSlots plain_log;
extern LogSlots bounded_log;

// Appends one tick to an unbounded log (whose slots hold) without running
// Python code, the values read through `fields`; false (nothing appended)
// when the log's contents do not allow it.  `ticks_ahead` sizes the growth
// of the lists.  Throws only on running out of memory (nothing appended).
bool append_plain_with(PyObject* log, const WrapperFields* fields, Py_ssize_t ticks_ahead);
// The same for a bounded log; `fields` is needed only when it keeps ticks.
bool append_bounded_with(PyObject* log, const WrapperFields* fields);
// A bounded log that keeps ticks (or whose max_ticks cannot be read fast).
bool bounded_keeps_ticks(PyObject* log);

// VirtualActuatorLog._append / BoundedVirtualActuatorLog._append as installed.
void plain_append(py::object log, py::object act);
void bounded_append(py::object log, py::object act);

// time_step * ticks + time_start of `log`, as Python numbers.
py::object time_stamp_object(py::handle log, py::handle ticks);

// Makes both classes (after the module's imports) and records their slots.
void make_log_classes();

}  // namespace vez::virtual_actuator
