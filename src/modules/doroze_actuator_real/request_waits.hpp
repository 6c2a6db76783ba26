// Requests that wait for an answer (ping, parameter batch, blocking item
// read) and the receive routine that answers them meet here.
//
//  * One waiting request per actuator object at a time: RequestTurn makes a
//    second thread wait its turn (the same thread may nest, as a parameter
//    read does batch after batch).
//  * The request says what it waits for (AwaitedAnswer, registered by
//    ActiveRequest before the request is sent, so an answer that comes back
//    before the wait begins is not missed); the receive routine reports every
//    answer it stores (answer_arrived) and only one that answers the request
//    (core/request_match.hpp) marks it answered and wakes the waiter.
//  * wait_for_answer waits with the GIL released on the request's signal, at
//    most one polling step between two looks at the documented state, and
//    gives up at once when the transport's link goes down or the actuator is
//    disconnected.  Ctrl-C is seen after each step.
//
// Everything here runs with the GIL held, except the waits themselves.  The
// GIL is given up and taken back with explicit calls, never from a
// destructor: at interpreter exit taking it back may end a daemon thread
// with a forced unwind, which must not start inside a destructor, and the
// destructors here touch nothing when the GIL is not held.
#pragma once

#include <Python.h>

#include <cstdint>
#include <functional>

#include "core/request_match.hpp"
#include "core/wake_signal.hpp"

namespace vez::modules::real {

// What a waiting request waits for.
struct AwaitedAnswer {
  enum class Kind : uint8_t { kPing, kItems, kParameters };

  AwaitedAnswer(Kind k, const core::CodeSet& requested) : kind(k), codes(requested) {}
  ~AwaitedAnswer();
  AwaitedAnswer(const AwaitedAnswer&) = delete;
  AwaitedAnswer& operator=(const AwaitedAnswer&) = delete;

  const Kind kind;
  const core::CodeSet codes;  // items or parameters asked for
  bool answered = false;      // the receive routine stored an answer to it
  PyObject* answer = nullptr; // owned: the item dictionary that answered
  bool abandoned = false;     // the actuator was disconnected meanwhile
  core::WakeSignal signal;
};

// Holds the actuator object's turn for waiting requests while it lives.
// Waits (GIL released, Ctrl-C honoured) while another thread holds it;
// re-entrant on the holding thread.  Throws py::error_already_set.
class RequestTurn {
 public:
  explicit RequestTurn(PyObject* actuator);
  ~RequestTurn();
  RequestTurn(const RequestTurn&) = delete;
  RequestTurn& operator=(const RequestTurn&) = delete;

 private:
  PyObject* actuator_;
};

// Makes `awaited` the request the actuator's answers are matched against
// while it lives (the caller holds the actuator's turn).
class ActiveRequest {
 public:
  ActiveRequest(PyObject* actuator, AwaitedAnswer* awaited);
  ~ActiveRequest();
  ActiveRequest(const ActiveRequest&) = delete;
  ActiveRequest& operator=(const ActiveRequest&) = delete;

 private:
  PyObject* actuator_;
  AwaitedAnswer* previous_;
};

// The receive routine stored an answer of `kind` carrying `codes` (items or
// parameters); `answer` is the stored item dictionary, or nullptr.
void answer_arrived(PyObject* actuator, AwaitedAnswer::Kind kind, const core::CodeSet& codes, PyObject* answer);

// The actuator was disconnected: a request waiting for it gives up.
void abandon_requests(PyObject* actuator);

enum class WaitEnd : uint8_t { kAnswered, kTimedOut, kLinkDown };

// A look at the documented state: true when the request is answered.  May
// throw py::error_already_set.
using AnswerCheck = std::function<bool()>;

struct WaitPlan {
  double timeout = 1.0;         // seconds, as the caller gave it
  double step = 0.01;           // the polling step of the request
  bool on_signal = true;        // false: the documented polling loop through the module's `time`
  PyObject* transport = nullptr;
  PyObject* time_module = nullptr;  // for the polling loop
};

// Waits until check() answers 1, the timeout passes, the request is abandoned
// or the transport's link goes down.  Throws py::error_already_set (an error
// of check(), of the transport, or KeyboardInterrupt).
WaitEnd wait_for_answer(AwaitedAnswer& awaited, const WaitPlan& plan, const AnswerCheck& check);

// A condition variable wait of at most `seconds` on `signal` with the GIL
// released, then Ctrl-C: throws py::error_already_set when a signal handler
// raised.
void wait_released(const core::WakeSignal& signal, uint64_t seen, double seconds);

// Monotonic seconds.
double monotonic_seconds();

// Wakes `signal` when the link of `transport` goes down, while it lives
// (only a VezOverUsb can say so; for other transports it does nothing).
class LinkWatch {
 public:
  LinkWatch(PyObject* transport, core::WakeSignal* signal);
  ~LinkWatch();
  LinkWatch(const LinkWatch&) = delete;
  LinkWatch& operator=(const LinkWatch&) = delete;

  // True when the transport is watched and its link is down.  Throws.
  bool link_down() const;

 private:
  PyObject* transport_ = nullptr;  // set when watched
  void* token_ = nullptr;
};

// 1 when `transport` is a VezOverUsb whose methods are the package's own.
bool plain_usb_transport(PyObject* transport);

}  // namespace vez::modules::real

namespace vez::usb {
struct CApi;
}

namespace vez::modules::real {

// The USB transport's C API once vez_api.vez_over_usb is loaded, else
// nullptr (until then no transport can be a VezOverUsb).
const vez::usb::CApi* usb_transport_api();

}  // namespace vez::modules::real
