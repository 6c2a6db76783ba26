// What the stepping loop knows about `self` (a DorozeActuatorVirtual): which
// of the per-tick methods are still this module's own, and the instance
// attributes it reads and writes, borrowed from the instance dict.
//
// A method counts as our own while type(self) resolves it to what the module
// installed and the instance does not shadow it (glue::Installed); the loop
// then runs its C++ directly.  The attribute values are trusted while the
// stamp of the instance dict holds (dict_guard; the loop's own stores keep
// it); without one they are re-read on every refresh.  Anything else sends
// the loop down the ordinary Python-level path.
//
// Threads: the GIL must be held.
#pragma once

#include <Python.h>

#include "glue/installed.hpp"
#include "modules/virtual/module_state.hpp"

namespace vez::virtual_actuator {

// The per-tick methods the loop may run as C++.
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

// Remembers the methods as installed on DorozeActuatorVirtual (once the
// class is complete).
void remember_installed_methods(py::handle cls);

struct SelfView {
  PyObject* self;
  PyObject** dict_slot = nullptr;  // where self keeps its __dict__ (fixed for a type)
  PyObject* dict = nullptr;
  bool valid = false;
  uint64_t stamp = 0;
  PyTypeObject* type = nullptr;
  unsigned type_tag = 0;
  bool type_ok = false;  // generic attribute access, no class attribute named like an instance attribute
  bool own_by_type[kMethodCount] = {};
  bool own[kMethodCount] = {};
  PyObject* attrs[kAttributeCount] = {};

  explicit SelfView(PyObject* s) : self(s) {}

  // _build_feedback_snapshot and everything it calls are our own.
  bool snapshot_is_own() const {
    return own[kBuildSnapshot] && own[kGetItemValue] && own[kReadPath] && own[kRequireActuator] && own[kHasErrors] &&
           own[kGetDebugFlags];
  }

  // True when the view is current (refreshing it if needed); false when the
  // loop must use ordinary attribute access.  Runs no Python code.
  bool refresh() {
    if (valid && Py_TYPE(self) == type && *dict_slot == dict && glue::compat::type_version_holds(type, type_tag) &&
        dict_guard.holds(dict, stamp)) {
      return true;
    }
    return reload();
  }

  PyObject* attr(Attribute a) const { return attrs[a]; }

  // self.<name> = value: straight into the dict when that is what the
  // assignment would do, keeping the view current.
  void store(Attribute a, PyObject* value);

 private:
  bool reload();
  void check_type(PyTypeObject* t);
};

}  // namespace vez::virtual_actuator
