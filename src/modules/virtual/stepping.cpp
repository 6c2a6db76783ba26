// DorozeActuatorVirtual.step: advancing the simulation tick by tick.
//
// Each tick steps the model, appends a sample to the telemetry log, builds the
// feedback snapshot and sometimes calls the feedback callback.  Written with
// Python attribute lookups and method calls that costs microseconds, so the
// loop takes guarded shortcuts:
//   * the model step goes through the backend's C API (its own cached DT_step
//     and inport layout) when the wrapper's `step` is the backend's;
//   * the log append and the snapshot read plain numeric model fields from
//     raw memory (wrapper_fields.hpp), and the log's lists through its slots
//     (telemetry_log.hpp);
//   * the instance attributes and the per-tick methods are seen through a
//     SelfView (self_view.hpp): the methods run as C++ only while they are
//     still the ones this module installed.
// Anything replaced, patched or overridden sends that part of the tick down
// the ordinary Python-level path, in the documented order.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <vector>

#include "core/feedback_schedule.hpp"
#include "glue/installed.hpp"
#include "glue/lock_sharing.hpp"
#include "modules/virtual/methods.hpp"
#include "modules/virtual/stepping.hpp"

namespace vez::virtual_actuator {

namespace {

constexpr uint64_t kTicksBetweenSignalChecks = 4096;
constexpr int64_t kLogGrowthTicks = 1 << 16;  // the most a log list grows by at once, in elements

// The loop's state across the ticks of one `step` call.
//
// A tick whose every part can run as C++ without running Python code (a
// Python-free tick) leaves the step count and the feedback snapshot pending:
// nothing can look at them before the next point where Python code may run,
// and there `materialize` writes them, from the model state they describe
// (it has not moved since).  Those points are the feedback callback, any
// ordinary (Python-level) part of a tick, the signal check, an error and the
// end of the call.
struct StepRun {
  py::handle self;
  SelfView in;
  ItemsInUse& items;

  // Checked by `verify` and true until Python code may have run.
  bool verified = false;
  PyObject* wrapper = nullptr;  // borrowed, like the rest, while verified
  PyObject* log = nullptr;
  PyObject* callback = nullptr;
  const WrapperFields* fields = nullptr;
  bool log_is_bounded = false;
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
ItemsInUse* shared_items = new ItemsInUse();  // deliberately leaked
StepRun::StepRun(py::handle s) : self(s), in(s.ptr()), items(*shared_items) {}

// actuator.step(_setpoint, _load_value)
void tick_model(StepRun& run) {
  SelfView& in = run.in;
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
  SelfView& in = run.in;
  if (in.refresh() && in.attr(kTelemetryLog) != nullptr && in.attr(kActuator) != nullptr) {
    py::object log = py::reinterpret_borrow<py::object>(in.attr(kTelemetryLog));
    py::object wrapper = py::reinterpret_borrow<py::object>(in.attr(kActuator));
    if (plain_log.hold_for(log.ptr())) {
      plain_append(log, wrapper);
      return;
    }
    if (bounded_log.hold_for(log.ptr())) {
      bounded_append(log, wrapper);
      return;
    }
  }
  py::object log = run.self.attr("telemetry_log");
  log.attr("_append")(run.self.attr("actuator"));
}

// _simulation_step_count += 1
void tick_count(StepRun& run) {
  SelfView& in = run.in;
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
  SelfView& in = run.in;
  PyObject* items = in.attr(kFeedbackItems);
  PyObject* wrapper = in.attr(kActuator);
  if (items == nullptr || !PyList_CheckExact(items) || PyList_GET_SIZE(items) == 0 || wrapper == nullptr ||
      wrapper == Py_None) {
    return false;
  }
  const WrapperFields* fields = known_fields_of(wrapper);  // never locates: no Python code runs in here
  if (fields == nullptr || !run.items.match(items)) return false;
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
  ItemsInUse& in_use = run.items;
  for (size_t i = 0; i < in_use.members.size(); ++i) {
    const ItemRule& rule = *in_use.rules[i];
    PyObject* value = item_value_from_fields(*fields, rule, in_use.last[i]);
    if (value == nullptr) throw_python_error();
    Py_XSETREF(in_use.last[i], value);
    if (dict_put(latest.ptr(), in_use.members[i], value, rule.hash) != 0 ||
        dict_put(feedback.ptr(), in_use.members[i], value, rule.hash) != 0) {
      throw_python_error();
    }
  }
  return true;
}

// _latest_feedback = _build_feedback_snapshot(); _feedback = a copy
void tick_snapshot(StepRun& run) {
  SelfView& in = run.in;
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
  SelfView& in = run.in;
  bool emit;
  if (in.refresh() && in.own[kShouldEmit]) {
    PyObject* callback = in.attr(kFeedbackCallback);
    PyObject* items = in.attr(kFeedbackItems);
    long long divider, count;
    if (callback == Py_None) return;
    if (callback != nullptr && items != nullptr && PyList_CheckExact(items) &&
        exact_small_int(in.attr(kRateDivider), &divider) && exact_small_int(in.attr(kStepCount), &count)) {
      emit = core::feedback_due(true, static_cast<size_t>(PyList_GET_SIZE(items)), divider, count);
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

// Whether the next ticks can be Python-free; fills the run's cached view.  Runs
// no Python code.
bool verify(StepRun& run) {
  SelfView& in = run.in;
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
  run.fields = known_fields_of(run.wrapper);
  if (plain_log.hold_for(run.log)) {
    run.log_is_bounded = false;
    if (run.fields == nullptr) return false;
    for (size_t i = 0; i < kSeriesCount; ++i) {
      PyObject* series = plain_log.slot(run.log, i);
      if (series == nullptr || !PyList_CheckExact(series)) return false;
    }
    double unused;
    if (!exact_float(plain_log.slot(run.log, kTimeStepField), &unused) ||
        !exact_float(plain_log.slot(run.log, kTimeStartField), &unused)) {
      return false;
    }
  } else if (bounded_log.hold_for(run.log)) {
    run.log_is_bounded = true;
    long long ticks;
    double unused;
    if (!exact_small_int(bounded_log.slot(run.log, kTicksField), &ticks) || ticks == LLONG_MAX ||
        !exact_float(bounded_log.slot(run.log, kTimeStepField), &unused) ||
        !exact_float(bounded_log.slot(run.log, kTimeStartField), &unused)) {
      return false;
    }
    if (bounded_keeps_ticks(run.log)) {
      if (run.fields == nullptr) return false;
      for (size_t i = 0; i < kSeriesCount; ++i) {
        PyObject* series = bounded_log.slot(run.log, i);
        if (series == nullptr || Py_TYPE(series) != reinterpret_cast<PyTypeObject*>(deque_type)) return false;
      }
    }
  } else {
    return false;
  }
  if (!run.items.members.empty() && run.fields == nullptr) return false;
  run.verified = true;
  return true;
}

// One Python-free tick; false when it cannot be done (nothing has happened then).
bool tick_without_python(StepRun& run) {
  if (backend->step_pure(run.wrapper, run.reference, run.load) != 1) {
    run.verified = false;
    return false;
  }
  // The model has moved: from here on this tick must complete.
  python_free_ticks += 1;
  const bool appended =
      run.log_is_bounded ? append_bounded_with(run.log, run.fields) : append_plain_with(run.log, run.fields, run.ticks_ahead);
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
  if (core::feedback_due(run.callback != Py_None, run.items.members.size(), run.divider, run.count)) {
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
  if (!glue::instance_dict_decides(Py_TYPE(wrapper), name)) return false;
  PyObject* d = glue::compat::instance_dict(wrapper);
  return d != nullptr && PyDict_GetItem(d, name) == Py_True;
}

// self._ensure_initialized(), without Python calls when it is this module's
// own and the simulator runs already (the case of every step but the first).
void ensure_initialized_for(StepRun& run) {
  SelfView& in = run.in;
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
  // A long run lets the process's other threads in regularly, as Python's
  // own loop would: the pending state is written first, since they may look.
  glue::LockSharing sharing;
  try {
    for (int64_t i = 0; i < count; ++i) {
      run.ticks_ahead = static_cast<Py_ssize_t>(std::min<int64_t>(count - i, kLogGrowthTicks));
      if (!(run.verified || verify(run)) || !tick_without_python(run)) {
        materialize(run);
        regular_tick(run);
      }
      if (i + 1 == count) break;
      if ((static_cast<uint64_t>(i) + 1) % kTicksBetweenSignalChecks == 0) {
        materialize(run);
        if (PyErr_CheckSignals() != 0) throw_python_error();
      }
      if (sharing.due()) {
        materialize(run);
        glue::let_other_threads_run();
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
    static const glue::FastParameters* parameters = new glue::FastParameters("step", {"load", "steps"}, 0);
    PyObject* bound[2];  // load, steps
    if (!parameters->bind(args, nargs, kwnames, bound)) return nullptr;
    py::object one = py::int_(1);
    py::object result = step(py::reinterpret_borrow<py::object>(self), bound[0] != nullptr ? bound[0] : Py_None,
                             bound[1] != nullptr ? bound[1] : one.ptr());
    return result.release().ptr();
  });
}

}  // namespace

uint64_t python_free_ticks = 0;

PyMethodDef step_method = {
    "step", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(step_fastcall)), METH_FASTCALL | METH_KEYWORDS,
    "step(self, load=None, steps=1)\n--\n\n"
    "Advance the simulation `steps` ticks with the current setpoint and load\n"
    "(`load`, a float in N*m on the output shaft, replaces the load first; one tick is 50 us at 20 kHz).\n"
    "Returns the last feedback snapshot, {VEZ_Items member: value}."};

}  // namespace vez::virtual_actuator
