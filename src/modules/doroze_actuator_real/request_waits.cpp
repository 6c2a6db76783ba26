#include "modules/doroze_actuator_real/request_waits.hpp"

#include <pybind11/pybind11.h>

#include <algorithm>
#include <chrono>
#include <unordered_map>

#include "glue/glue.hpp"
#include "modules/vez_over_usb_capi.hpp"

namespace py = pybind11;

namespace vez::modules::real {

namespace {

// How often a thread waiting for its turn looks for Ctrl-C.
constexpr double kTurnPollSeconds = 0.01;

// The waiting-request state of one actuator object.  It exists only while a
// request holds or waits for the object's turn (so the object is alive and
// its address cannot be reused meanwhile).
struct Slot {
  unsigned long owner = 0;  // thread holding the turn
  int depth = 0;            // nested holds by that thread
  int queued = 0;           // threads waiting for the turn
  AwaitedAnswer* awaited = nullptr;
  core::WakeSignal turn_released;
};

// Touched only with the GIL held.  Never freed: a daemon thread may still
// run when statics are destroyed.
std::unordered_map<PyObject*, Slot*>* const slots = new std::unordered_map<PyObject*, Slot*>();

Slot* find_slot(PyObject* actuator) {
  const auto it = slots->find(actuator);
  return it == slots->end() ? nullptr : it->second;
}

void drop_if_unused(PyObject* actuator, Slot* slot) {
  if (slot->depth == 0 && slot->queued == 0) {
    slots->erase(actuator);
    delete slot;
  }
}

const vez::usb::CApi* usb_api() { return usb_transport_api(); }

void wake_signal(void* context) { static_cast<core::WakeSignal*>(context)->notify(); }

bool truthy(PyObject* obj) {
  const int t = PyObject_IsTrue(obj);
  if (t < 0) throw py::error_already_set();
  return t == 1;
}

}  // namespace

const vez::usb::CApi* usb_transport_api() {
  // Looked for until vez_over_usb is loaded, then kept (GIL-protected).
  static const vez::usb::CApi* api = nullptr;
  if (api == nullptr) api = vez::usb::find_capi();
  return api;
}

double monotonic_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

AwaitedAnswer::~AwaitedAnswer() {
  if (answer != nullptr && PyGILState_Check()) Py_DECREF(answer);
}

void wait_released(const core::WakeSignal& signal, uint64_t seen, double seconds) {
  PyThreadState* saved = PyEval_SaveThread();
  signal.wait(seen, seconds);
  PyEval_RestoreThread(saved);
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

RequestTurn::RequestTurn(PyObject* actuator) : actuator_(actuator) {
  const unsigned long me = PyThread_get_thread_ident();
  Slot* slot = find_slot(actuator);
  if (slot == nullptr) {
    slot = new Slot();
    slots->emplace(actuator, slot);
  }
  if (slot->depth > 0 && slot->owner == me) {
    ++slot->depth;
    return;
  }
  ++slot->queued;
  while (slot->depth > 0) {
    // Read with the GIL held, like depth: a release after this look counts
    // as an event and ends the wait at once.
    const uint64_t seen = slot->turn_released.events();
    try {
      wait_released(slot->turn_released, seen, kTurnPollSeconds);
    } catch (py::error_already_set&) {
      --slot->queued;
      drop_if_unused(actuator, slot);
      throw;
    }
  }
  --slot->queued;
  slot->owner = me;
  slot->depth = 1;
}

RequestTurn::~RequestTurn() {
  if (!PyGILState_Check()) return;  // a forced unwind at exit: leave everything as it is
  Slot* slot = find_slot(actuator_);
  if (slot == nullptr) return;
  if (--slot->depth > 0) return;
  slot->owner = 0;
  slot->awaited = nullptr;
  slot->turn_released.notify();
  drop_if_unused(actuator_, slot);
}

ActiveRequest::ActiveRequest(PyObject* actuator, AwaitedAnswer* awaited) : actuator_(actuator), previous_(nullptr) {
  Slot* slot = find_slot(actuator);
  if (slot == nullptr) return;  // the caller holds the turn, so there is one
  previous_ = slot->awaited;
  slot->awaited = awaited;
}

ActiveRequest::~ActiveRequest() {
  if (!PyGILState_Check()) return;
  if (Slot* slot = find_slot(actuator_)) slot->awaited = previous_;
}

void answer_arrived(PyObject* actuator, AwaitedAnswer::Kind kind, const core::CodeSet& codes, PyObject* answer) {
  if (slots->empty()) return;
  Slot* slot = find_slot(actuator);
  AwaitedAnswer* awaited = slot != nullptr ? slot->awaited : nullptr;
  if (awaited == nullptr || awaited->kind != kind || awaited->answered) return;
  if (kind != AwaitedAnswer::Kind::kPing && !core::answers_request(awaited->codes, codes)) return;
  awaited->answered = true;
  if (answer != nullptr) awaited->answer = Py_NewRef(answer);
  awaited->signal.notify();
}

void abandon_requests(PyObject* actuator) {
  if (slots->empty()) return;
  Slot* slot = find_slot(actuator);
  if (slot == nullptr || slot->awaited == nullptr) return;
  slot->awaited->abandoned = true;
  slot->awaited->signal.notify();
}

LinkWatch::LinkWatch(PyObject* transport, core::WakeSignal* signal) {
  const vez::usb::CApi* api = usb_api();
  if (api == nullptr || !api->is_usb_transport(transport)) return;
  token_ = api->watch(transport, &wake_signal, signal);
  if (token_ == nullptr) throw py::error_already_set();
  transport_ = transport;
}

LinkWatch::~LinkWatch() {
  if (token_ != nullptr && PyGILState_Check()) usb_api()->unwatch(token_);
}

bool LinkWatch::link_down() const {
  if (transport_ == nullptr) return false;
  py::object connected = py::reinterpret_steal<py::object>(PyObject_GetAttrString(transport_, "is_connected"));
  if (!connected) throw py::error_already_set();
  return !truthy(connected.ptr());
}

bool plain_usb_transport(PyObject* transport) {
  const vez::usb::CApi* api = usb_api();
  return api != nullptr && api->plain_methods(transport) == 1;
}

WaitEnd wait_for_answer(AwaitedAnswer& awaited, const WaitPlan& plan, const AnswerCheck& check) {
  LinkWatch watch(plan.transport, &awaited.signal);
  if (!plan.on_signal) {
    // The documented loop: look, then sleep one step through the module's
    // `time`, until the timeout has passed.
    py::handle time_module(plan.time_module);
    auto now = [&] {
      const double t = PyFloat_AsDouble(time_module.attr("time")().ptr());
      if (t == -1.0 && PyErr_Occurred()) throw py::error_already_set();
      return t;
    };
    const double start = now();
    while (now() - start < plan.timeout) {
      if (check()) return WaitEnd::kAnswered;
      if (awaited.abandoned) return WaitEnd::kTimedOut;
      if (watch.link_down()) return WaitEnd::kLinkDown;
      time_module.attr("sleep")(plan.step);
    }
    return WaitEnd::kTimedOut;
  }
  const double start = monotonic_seconds();
  for (double elapsed = 0.0; elapsed < plan.timeout; elapsed = monotonic_seconds() - start) {
    // Events are read before the look: one that comes after it ends the wait.
    const uint64_t seen = awaited.signal.events();
    if (check()) return WaitEnd::kAnswered;
    if (awaited.abandoned) return WaitEnd::kTimedOut;
    if (watch.link_down()) return WaitEnd::kLinkDown;
    wait_released(awaited.signal, seen, std::min(plan.step, plan.timeout - elapsed));
  }
  return WaitEnd::kTimedOut;
}

}  // namespace vez::modules::real
