// vez_api.vez_over_usb: VezOverUsb, the transport over the USB adapter's
// serial port, with its receive thread, and the deprecated name VEZ_over_USB.
//
// Two kinds of code live here.  The application-side methods (connect,
// disconnect, ...) are ordinary glue functions; _send_VEZ, called for every
// command, is a fast C method.  The code that runs on the
// receive thread (_polling_thread_worker and what it calls: is_connected and
// _process_pkt) is written against the C API with GIL-aware references,
// because a daemon thread that wakes up while the interpreter is shutting
// down is ended with a forced stack unwind: on that unwind no Python object
// may be released and no exception may be caught, or the process aborts at
// exit.  Ref below leaks instead of releasing when the thread does not hold
// the GIL, and nothing on the thread catches C++ exceptions.
//
// The receive loop has guarded fast paths: while `_ser.read` is the serial
// library's own POSIX read bound to `_ser`, the loop reads the descriptor
// itself (core::PortReader, same timeout and abort semantics, without the
// GIL); while `_process_pkt` and `parse_usb_address_flags` are the module's
// own, a frame goes to its callback without a Python-level call in between.
// A patched, replaced or overridden piece sends the loop down the ordinary
// path, which calls everything through `self` as a Python implementation
// would.
//
// The send path is guarded the same way: while the checks `_send_VEZ` calls
// are the framing base's own and `build_usb_address_flags` the protocol's,
// they are done here in C++; while `_ser.write` is the serial library's
// POSIX write with no write timeout, the frame goes to the descriptor in one
// system call (the library's write would follow it with a select per frame).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/actuator_protocol.hpp"
#include "core/frame.hpp"
#include "core/port_reader.hpp"
#include "core/wake_signal.hpp"
#include "glue/cpython_compat.hpp"
#include "glue/glue.hpp"
#include "glue/installed.hpp"
#include "modules/vez_over_usb_capi.hpp"

namespace py = pybind11;
namespace core = vez::core;
using namespace pybind11::literals;

namespace {

glue::ModuleRef mod;
glue::Installed parse_flags;  // this module's parse_usb_address_flags

PyObject* usb_class = nullptr;             // VezOverUsb
PyObject* deprecated_class = nullptr;      // VEZ_over_USB

// What the receive thread checks before doing work in C++ that Python-level
// calls would do.
struct ReceiveGuards {
  glue::Installed process_pkt;   // VezOverUsb._process_pkt
  glue::Installed is_connected;  // VezOverUsb.is_connected
  // threading.Event and its is_set, when is_set is known to return the
  // instance's `_flag` (checked at import); null and unset otherwise.
  PyObject* event_class = nullptr;
  glue::Installed event_is_set;
  glue::Installed serial_read;   // serial.Serial.read, when it is the POSIX read the fast path mirrors
};
ReceiveGuards receive_guards;

// What the send path checks before doing its work in C++.
struct SendGuards {
  glue::ModuleRef vez_module;       // vez_api._vez, where the static checks look their helpers up
  glue::Installed valid_address;    // _vez.is_valid_vez_address
  glue::Installed valid_payload;    // _vez.is_valid_vez_payload
  glue::Installed build_flags;      // this module's build_usb_address_flags
  glue::Installed check_id_range;   // VEZ._check_vez_id_range
  glue::Installed check_payload;    // VEZ._check_vez_payload_size
  glue::Installed serial_write;     // serial.Serial.write, when it is the POSIX write
  PyObject* write_timeout = nullptr;  // "_write_timeout"
};
SendGuards send_guards;

// The methods the scanner relies on, as VezOverUsb has them.
glue::Installed send_vez_method, set_callback_method, remove_callback_method;

// Attribute names, interned once.  All of these pointers are deliberately
// leaked: they must outlive every thread.
struct Names {
  PyObject *ser, *read, *is_open, *fd, *timeout, *abort_fd, *event, *is_set, *clear, *callbacks, *lock, *acquire,
      *release, *process_pkt, *is_connected, *close, *logger, *warning, *flag, *link_lock, *port, *error, *write;
} names;

using glue::interned;

// ---------------------------------------------------------------------------
// Receive-thread side: C API only.

// True when this thread may release references.  Only the forced unwind of
// a daemon thread at interpreter exit runs this code without the GIL, and
// that happens only once the runtime is finalizing; before that the test is
// one atomic load.
bool holds_gil() {
  return !glue::compat::is_finalizing() || (PyGILState_GetThisThreadState() != nullptr && PyGILState_Check());
}

// An owned reference that is released only while the GIL is held.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* owned) : p_(owned) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      drop();
      p_ = other.p_;
      other.p_ = nullptr;
    }
    return *this;
  }
  ~Ref() { drop(); }

  PyObject* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  void reset(PyObject* owned = nullptr) {
    drop();
    p_ = owned;
  }
  static Ref borrow(PyObject* p) {
    Py_XINCREF(p);
    return Ref(p);
  }

 private:
  void drop() {
    if (p_ != nullptr && holds_gil()) Py_DECREF(p_);
    p_ = nullptr;
  }
  PyObject* p_ = nullptr;
};

// The pending exception, taken out of the interpreter and put back on demand.
struct PendingError {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  void fetch() { PyErr_Fetch(&type, &value, &traceback); }
  void restore() {
    PyErr_Restore(type, value, traceback);
    type = value = traceback = nullptr;
  }
  // Restores it as the context of the exception being raised now, if any.
  void chain() {
    glue::compat::chain_exception(type, value, traceback);
    type = value = traceback = nullptr;
  }
  void discard() {
    Ref t(type), v(value), tb(traceback);
    type = value = traceback = nullptr;
  }
};

// 1 / 0 for the truth of obj.<name>, -1 with an exception set.
int attr_truth(PyObject* obj, PyObject* name) {
  Ref value(PyObject_GetAttr(obj, name));
  return value ? PyObject_IsTrue(value.get()) : -1;
}

int call_method_no_args(PyObject* obj, PyObject* name) {
  Ref result(PyObject_CallMethodNoArgs(obj, name));
  return result ? 0 : -1;
}

// A live class from the serial library, e.g. serialutil.SerialException, or
// a new reference to null (no error) when it cannot be found.
Ref serial_util_class(const char* name) {
  PyObject* serial = mod.peek("serial");
  if (serial == nullptr) return Ref();
  Ref util(PyObject_GetAttrString(serial, "serialutil"));
  Ref cls(util ? PyObject_GetAttrString(util.get(), name) : nullptr);
  if (!cls) PyErr_Clear();
  return cls;
}

PyObject* bytes_to_list(const uint8_t* data, size_t n) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
  if (list == nullptr) return nullptr;
  for (size_t i = 0; i < n; ++i) PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), PyLong_FromLong(data[i]));
  return list;
}

// is_connected: the run event is set and the port is open.
PyObject* is_connected(PyObject*, PyObject* self) {
  Ref event(PyObject_GetAttr(self, names.event));
  if (!event) return nullptr;
  Ref set(PyObject_CallMethodNoArgs(event.get(), names.is_set));
  if (!set) return nullptr;
  int truth = PyObject_IsTrue(set.get());
  if (truth <= 0) return truth < 0 ? nullptr : Py_NewRef(Py_False);
  Ref ser(PyObject_GetAttr(self, names.ser));
  if (!ser) return nullptr;
  truth = attr_truth(ser.get(), names.is_open);
  if (truth < 0) return nullptr;
  return Py_NewRef(truth ? Py_True : Py_False);
}

// The loop's test.  While VezOverUsb.is_connected is the module's own
// property and the run flag a plain threading.Event, it is evaluated here
// without a Python-level call; `ser_out` receives `_ser` when it was
// fetched on the way.  1 / 0, or -1 with an exception set.
int loop_is_connected(PyObject* self, Ref* ser_out) {
  if (!receive_guards.is_connected.type_resolves(Py_TYPE(self))) return attr_truth(self, names.is_connected);
  Ref event(PyObject_GetAttr(self, names.event));
  if (!event) return -1;
  int truth;
  if (Py_TYPE(event.get()) == reinterpret_cast<PyTypeObject*>(receive_guards.event_class) &&
      receive_guards.event_is_set.type_resolves(Py_TYPE(event.get()))) {
    truth = attr_truth(event.get(), names.flag);
  } else {
    Ref set(PyObject_CallMethodNoArgs(event.get(), names.is_set));
    truth = set ? PyObject_IsTrue(set.get()) : -1;
  }
  if (truth <= 0) return truth;
  Ref ser(PyObject_GetAttr(self, names.ser));
  if (!ser) return -1;
  truth = attr_truth(ser.get(), names.is_open);
  *ser_out = std::move(ser);
  return truth;
}

// Releases `lock` (a threading lock) with the exception of what ran under it
// kept pending: a failing release chains its own error onto that one.  0, or
// -1 with an exception set.
int release_keeping_error(PyObject* lock) {
  PendingError pending;
  pending.fetch();
  if (call_method_no_args(lock, names.release) < 0) {
    pending.chain();
    return -1;
  }
  pending.restore();
  return 0;
}

// The body of _process_pkt.  `pkt` is the payload object when there is one,
// otherwise data/length are used.  0, or -1 with an exception set.
int call_callback_locked(PyObject* self, PyObject* address, PyObject* pkt, const uint8_t* data, size_t length,
                         PyObject* priority_bit) {
  Ref callbacks(PyObject_GetAttr(self, names.callbacks));
  if (!callbacks) return -1;
  Ref callback(PyObject_GetItem(callbacks.get(), address));
  if (!callback) return -1;
  Ref payload(pkt != nullptr ? PySequence_List(pkt) : bytes_to_list(data, length));
  if (!payload) return -1;
  PyObject* args[] = {address, payload.get(), priority_bit};
  Ref result(PyObject_Vectorcall(callback.get(), args, 3, nullptr));
  return result ? 0 : -1;
}

int process_packet(PyObject* self, PyObject* address, PyObject* pkt, const uint8_t* data, size_t length,
                   PyObject* priority_bit) {
  {
    Ref callbacks(PyObject_GetAttr(self, names.callbacks));
    if (!callbacks) return -1;
    // Membership is tested before the lock is taken; the callback is looked
    // up again under the lock.
    const int known = PySequence_Contains(callbacks.get(), address);
    if (known <= 0) return known;
  }
  Ref lock(PyObject_GetAttr(self, names.lock));
  if (!lock || call_method_no_args(lock.get(), names.acquire) < 0) return -1;
  const int rc = call_callback_locked(self, address, pkt, data, length, priority_bit);
  return release_keeping_error(lock.get()) < 0 ? -1 : rc;
}

// _process_pkt(self, address, pkt, priority_bit)
PyObject* process_pkt_method(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"self", "address", "pkt", "priority_bit", nullptr};
  PyObject *self, *address, *pkt, *priority_bit;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO:_process_pkt", const_cast<char**>(keywords), &self, &address,
                                   &pkt, &priority_bit)) {
    return nullptr;
  }
  if (process_packet(self, address, pkt, nullptr, 0, priority_bit) < 0) return nullptr;
  Py_RETURN_NONE;
}

// What the fast read needs from a serial port object.
struct PortHandle {
  int fd = -1;
  int abort_fd = -1;
  double timeout_s = -1.0;
};

bool small_int_attr(PyObject* obj, PyObject* name, int* out, bool none_allowed) {
  Ref value(PyObject_GetAttr(obj, name));
  if (!value) return false;
  if (none_allowed && value.get() == Py_None) {
    *out = -1;
    return true;
  }
  if (!PyLong_CheckExact(value.get())) return false;
  const long v = PyLong_AsLong(value.get());
  if (v < 0 || v > 1 << 30) return false;
  *out = static_cast<int>(v);
  return true;
}

// True when `ser.read` is the serial library's POSIX read bound to `ser` on an
// open port: then reading its descriptor here is what that read would do.
// Anything unexpected answers false (errors cleared): the ordinary path then
// calls `ser.read` and meets the real behaviour.
bool fast_port(PyObject* ser, PortHandle* port) {
  bool ok = receive_guards.serial_read.holds_for(ser) && attr_truth(ser, names.is_open) == 1 &&
            small_int_attr(ser, names.fd, &port->fd, false) && small_int_attr(ser, names.abort_fd, &port->abort_fd, true);
  if (ok) {
    Ref timeout(PyObject_GetAttr(ser, names.timeout));
    if (timeout && timeout.get() == Py_None) {
      port->timeout_s = -1.0;
    } else if (timeout && (PyFloat_CheckExact(timeout.get()) || PyLong_CheckExact(timeout.get()))) {
      port->timeout_s = PyFloat_AsDouble(timeout.get());
      ok = port->timeout_s >= 0;
    } else {
      ok = false;
    }
  }
  if (PyErr_Occurred()) PyErr_Clear();
  return ok;
}

// Raises the serial library's SerialException with the text its read uses.
int raise_read_failure(core::PortReader::Status status, int err) {
  std::string text = status == core::PortReader::Status::kNoData
                         ? "device reports readiness to read but returned no data "
                           "(device disconnected or multiple access on port?)"
                         : "read failed: [Errno " + std::to_string(err) + "] " + std::strerror(err);
  Ref cls = serial_util_class("SerialException");
  PyErr_SetString(cls ? cls.get() : PyExc_OSError, text.c_str());
  return -1;
}

// Hands a completed frame to _process_pkt.  0, or -1 with an exception set.
int deliver(PyObject* self, const core::Frame& frame) {
  Ref address, priority_bit;
  const bool parsed_here = parse_flags.global_holds(mod);
  if (parsed_here) {
    address.reset(PyLong_FromLong(frame.address));
    priority_bit.reset(PyLong_FromLong(frame.priority_bit));
    if (!address || !priority_bit) return -1;
  } else {
    // parse_usb_address_flags was replaced: ask it to split the word.
    Ref parse = Ref::borrow(mod.peek(parse_flags.name()));
    if (!parse) {
      PyErr_Format(PyExc_NameError, "name '%U' is not defined", parse_flags.name());
      return -1;
    }
    const long word = frame.address | (frame.priority_bit << core::kPriorityBitShift) |
                      (frame.can_high_speed_bit << core::kCanHighSpeedBitShift);
    Ref word_obj(PyLong_FromLong(word));
    Ref fields(word_obj ? PyObject_CallOneArg(parse.get(), word_obj.get()) : nullptr);
    Ref tuple(fields ? PySequence_Tuple(fields.get()) : nullptr);
    if (!tuple) return -1;
    if (PyTuple_GET_SIZE(tuple.get()) != 3) {
      PyErr_Format(PyExc_ValueError, "expected 3 values to unpack, got %zd", PyTuple_GET_SIZE(tuple.get()));
      return -1;
    }
    address = Ref::borrow(PyTuple_GET_ITEM(tuple.get(), 0));
    priority_bit = Ref::borrow(PyTuple_GET_ITEM(tuple.get(), 1));
  }

  if (parsed_here && receive_guards.process_pkt.holds_for(self)) {
    return process_packet(self, address.get(), nullptr, frame.payload.data(), frame.length, priority_bit.get());
  }
  Ref method(PyObject_GetAttr(self, names.process_pkt));
  if (!method) return -1;
  Ref pkt(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(frame.payload.data()), frame.length));
  if (!pkt) return -1;
  PyObject* args[] = {address.get(), pkt.get(), priority_bit.get()};
  Ref result(PyObject_Vectorcall(method.get(), args, 3, nullptr));
  return result ? 0 : -1;
}

// The state the receive loop carries from step to step.
struct ReceiveState {
  core::Deframer deframer;
  core::PortReader reader;
  Ref buffered_port;  // the port whose bytes `reader` holds
  long delivering = -1;  // source address of the frame being delivered, -1 between deliveries
};

// Delivers the frame the deframer completed, noting its source address
// while it is being delivered.  0, or -1 with an exception set.
int deliver_completed(PyObject* self, ReceiveState& st) {
  st.delivering = st.deframer.frame().address;
  const int rc = deliver(self, st.deframer.frame());
  if (rc == 0) st.delivering = -1;
  return rc;
}

// One step of the receive algorithm: one read of deframer.want() bytes and,
// when that completes a frame, its delivery.  0, or -1 with an exception set.
int receive_step(PyObject* self, ReceiveState& st, Ref ser) {
  const size_t want = st.deframer.want();
  if (want == 0) {
    // Bytes kept from a rejected frame are searched before the port is read
    // again: a frame that started inside them is delivered from them.
    return st.deframer.resume() ? deliver_completed(self, st) : 0;
  }
  if (!ser) {
    ser.reset(PyObject_GetAttr(self, names.ser));
    if (!ser) return -1;
  }
  bool completed = false;
  PortHandle port;
  if (st.buffered_port.get() == ser.get() && st.reader.available() >= want) {
    // Bytes already taken from the driver answer this read on either path.
    completed = st.deframer.consume(st.reader.data(), want);
    st.reader.consume(want);
  } else if (fast_port(ser.get(), &port)) {
    if (st.buffered_port.get() != ser.get()) {  // a different port object: its stream starts afresh
      st.reader.clear();
      st.buffered_port = Ref::borrow(ser.get());
    }
    if (st.reader.available() < want) {
      // Explicit save/restore, not an RAII guard: at interpreter exit the
      // restore may end this thread with a forced unwind, which must not
      // start inside a destructor.
      PyThreadState* saved = PyEval_SaveThread();
      const core::PortReader::Status status = st.reader.fill(port.fd, port.abort_fd, want, port.timeout_s);
      PyEval_RestoreThread(saved);
      if (status != core::PortReader::Status::kOk) return raise_read_failure(status, st.reader.error());
    }
    const size_t n = std::min(st.reader.available(), want);
    completed = st.deframer.consume(st.reader.data(), n);
    st.reader.consume(n);
  } else {
    // Ordinary path.  Bytes the fast path already took from the driver for
    // this port come first (they are the start of the stream), the rest
    // comes from `ser.read`.
    if (st.buffered_port.get() != ser.get()) {
      st.reader.clear();
      st.buffered_port.reset();
    }
    uint8_t chunk[core::kMaxFrameSize];
    const size_t have = std::min(st.reader.available(), want);
    std::memcpy(chunk, st.reader.data(), have);
    st.reader.consume(have);
    if (st.reader.available() == 0) st.buffered_port.reset();
    size_t n = have;
    bool overlong = false;
    if (have < want) {
      Ref count(PyLong_FromSize_t(want - have));
      Ref data(count ? PyObject_CallMethodOneArg(ser.get(), names.read, count.get()) : nullptr);
      if (!data) return -1;
      Py_buffer view;
      if (PyObject_GetBuffer(data.get(), &view, PyBUF_SIMPLE) != 0) return -1;
      const size_t got = static_cast<size_t>(view.len);
      overlong = got > want - have;  // a read that returns more than asked is not a frame part
      if (!overlong) std::memcpy(chunk + have, view.buf, got);
      n += got;
      PyBuffer_Release(&view);
    }
    completed = overlong ? st.deframer.consume(nullptr, 0) : st.deframer.consume(chunk, n);
  }
  return completed ? deliver_completed(self, st) : 0;
}

enum class AfterError { kContinue, kLeave };

// "<type>: <text>", or the type alone when the text is empty.
Ref describe_error(PyObject* type, PyObject* value) {
  const char* name = PyExceptionClass_Check(type) ? PyExceptionClass_Name(type) : Py_TYPE(type)->tp_name;
  if (const char* dot = std::strrchr(name, '.')) name = dot + 1;
  Ref text(value != nullptr ? PyObject_Str(value) : nullptr);
  if (!text) PyErr_Clear();
  if (text && PyUnicode_GetLength(text.get()) > 0) return Ref(PyUnicode_FromFormat("%s: %U", name, text.get()));
  return Ref(PyUnicode_FromString(name));
}

// ---------------------------------------------------------------------------
// The link going down.  A request waiting for an answer over this transport
// (the actuator module's waiting calls) asks to be woken when the link goes
// down, so that it gives up at once instead of waiting out its timeout.
// Touched only with the GIL held.

struct LinkWatch {
  PyObject* transport;  // borrowed: the watcher holds the transport while it watches
  void (*wake)(void*);
  void* context;
};
// Never freed: a daemon receive thread may still run when statics are destroyed.
std::list<LinkWatch>* const link_watches = new std::list<LinkWatch>();

void* watch_link(PyObject* transport, void (*wake)(void*), void* context) {
  try {
    link_watches->push_back(LinkWatch{transport, wake, context});
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return nullptr;
  }
  return &link_watches->back();
}

void unwatch_link(void* token) {
  for (auto it = link_watches->begin(); it != link_watches->end(); ++it) {
    if (&*it == token) {
      link_watches->erase(it);
      return;
    }
  }
}

// The one place that tells watchers the link of `self` is down: called when
// the transport is told to stop, when the link is found lost and when the
// receive loop has ended (waking a watcher twice does no harm).
void link_went_down(PyObject* self) {
  for (const LinkWatch& w : *link_watches) {
    if (w.transport == self) w.wake(w.context);
  }
}

// The one place where the link is found lost: the adapter went away (a
// serial error on the port) or a callback raised KeyboardInterrupt.  The run
// flag is cleared, so the loop ends and the thread closes the port.  When the
// link was meant to run, the loss is logged once at ERROR on the instance's
// logger with the port and the reason; after a disconnect had already cleared
// the flag it is that disconnect's consequence and not news.  Anything that
// must learn of a lost port is told here (waiting calls: link_went_down).
// `type`/`value` describe the error; returns false with an exception set when
// the flag cannot be cleared.
bool mark_link_lost(PyObject* self, PyObject* type, PyObject* value) {
  Ref event(PyObject_GetAttr(self, names.event));
  if (!event) return false;
  Ref set(PyObject_CallMethodNoArgs(event.get(), names.is_set));
  const int was_running = set ? PyObject_IsTrue(set.get()) : -1;
  if (was_running < 0 || call_method_no_args(event.get(), names.clear) < 0) return false;
  link_went_down(self);
  if (was_running) {
    Ref port(PyObject_GetAttr(self, names.port));
    if (!port) PyErr_Clear();
    Ref reason = describe_error(type, value);
    Ref message(reason ? PyUnicode_FromFormat("Lost the link to port %S: %U", port ? port.get() : Py_None,
                                              reason.get())
                       : nullptr);
    Ref logger(message ? PyObject_GetAttr(self, names.logger) : nullptr);
    Ref logged(logger ? PyObject_CallMethodOneArg(logger.get(), names.error, message.get()) : nullptr);
    if (!logged) PyErr_WriteUnraisable(self);  // the logger itself failed; the link stops all the same
  }
  return true;
}

// logger.warning(message, exc_info=error, extra={"address": source}): the
// record carries the traceback, and the source address of the frame whose
// delivery failed (none when the failure was not in a delivery).  0, or -1
// with an exception set.
int log_step_error(PyObject* self, PyObject* message, PyObject* error, long source_address) {
  Ref logger(PyObject_GetAttr(self, names.logger));
  Ref warning(logger ? PyObject_GetAttr(logger.get(), names.warning) : nullptr);
  Ref args(warning ? PyTuple_Pack(1, message) : nullptr);
  Ref kwargs(args ? PyDict_New() : nullptr);
  if (!kwargs || PyDict_SetItemString(kwargs.get(), "exc_info", error) < 0) return -1;
  if (source_address >= 0) {
    Ref address(PyLong_FromLong(source_address));
    Ref extra(address ? PyDict_New() : nullptr);
    if (!extra || PyDict_SetItemString(extra.get(), "address", address.get()) < 0 ||
        PyDict_SetItemString(kwargs.get(), "extra", extra.get()) < 0) {
      return -1;
    }
  }
  Ref logged(PyObject_Call(warning.get(), args.get(), kwargs.get()));
  return logged ? 0 : -1;
}

// Decides what the pending exception of a step means for the loop.  Serial
// errors and KeyboardInterrupt stop the link (mark_link_lost); any other
// Exception (a callback's included) is logged, with its traceback and the
// frame's source address, and the loop goes on with its sync state
// unchanged; other BaseExceptions leave the loop still pending.
AfterError handle_step_error(PyObject* self, long source_address) {
  PendingError pending;
  pending.fetch();
  bool stop = PyErr_GivenExceptionMatches(pending.type, PyExc_KeyboardInterrupt);
  for (const char* name : {"PortNotOpenError", "SerialException"}) {
    if (stop) break;
    Ref cls = serial_util_class(name);
    stop = cls && PyErr_GivenExceptionMatches(pending.type, cls.get());
  }
  if (stop) {
    PyErr_NormalizeException(&pending.type, &pending.value, &pending.traceback);
    const bool marked = mark_link_lost(self, pending.type, pending.value);
    pending.discard();
    return marked ? AfterError::kContinue : AfterError::kLeave;
  }
  if (!PyErr_GivenExceptionMatches(pending.type, PyExc_Exception)) {
    pending.restore();
    return AfterError::kLeave;
  }
  PyErr_NormalizeException(&pending.type, &pending.value, &pending.traceback);
  if (pending.traceback != nullptr) PyException_SetTraceback(pending.value, pending.traceback);
  Ref text(PyObject_Str(pending.value));
  if (!text) {
    PyErr_Clear();
    text.reset(PyUnicode_FromFormat("<unprintable %s object>", Py_TYPE(pending.value)->tp_name));
  }
  Ref message(text ? PyUnicode_FromFormat("Error in polling thread: %U", text.get()) : nullptr);
  if (!message || log_step_error(self, message.get(), pending.value, source_address) < 0) {
    PyErr_WriteUnraisable(self);  // the logger itself failed; keep receiving
  }
  pending.discard();
  return AfterError::kContinue;
}

// Closes `_ser` at the end of the loop, under the transport's link lock so
// that it never interleaves with connect opening the port or disconnect
// waking a read.  0, or -1 with an exception set.
int close_port(PyObject* self) {
  Ref ser(PyObject_GetAttr(self, names.ser));
  if (!ser) return -1;
  Ref lock(PyObject_GetAttr(self, names.link_lock));
  if (!lock) PyErr_Clear();  // an instance set up without one: close unguarded
  if (lock && call_method_no_args(lock.get(), names.acquire) < 0) return -1;
  const int rc = call_method_no_args(ser.get(), names.close);
  if (lock && release_keeping_error(lock.get()) < 0) return -1;
  return rc;
}

// _polling_thread_worker(self): runs on the receive thread.
PyObject* polling_thread_worker(PyObject*, PyObject* self) {
  ReceiveState st;
  bool failed = false;
  for (;;) {
    Ref ser;
    const int connected = loop_is_connected(self, &ser);
    if (connected <= 0) {
      failed = connected < 0;
      break;
    }
    if (receive_step(self, st, std::move(ser)) == 0) continue;
    const long source_address = st.delivering;
    st.delivering = -1;
    if (handle_step_error(self, source_address) == AfterError::kLeave) {
      failed = true;
      break;
    }
  }
  st.buffered_port.reset();

  // The loop is over: close the port, keeping an exception that ended it.
  PendingError pending;
  if (failed) pending.fetch();
  const bool closed = close_port(self) == 0;
  link_went_down(self);
  if (failed) {
    if (closed) {
      pending.restore();
    } else {
      pending.chain();
    }
    return nullptr;
  }
  if (!closed) return nullptr;
  Py_RETURN_NONE;
}

PyMethodDef worker_def = {"_polling_thread_worker", reinterpret_cast<PyCFunction>(polling_thread_worker), METH_O,
                          "_polling_thread_worker(self)\n--\n\n"
                          "Body of the receive thread: reads adapter frames while the link is up and hands each "
                          "payload to the callback of its source address; closes the port when it ends."};
PyMethodDef process_pkt_def = {
    "_process_pkt", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(process_pkt_method)),
    METH_VARARGS | METH_KEYWORDS,
    "_process_pkt(self, address, pkt, priority_bit)\n--\n\n"
    "Calls the callback registered for `address` with (address, list of payload bytes, priority bit)."};
PyMethodDef is_connected_def = {"is_connected", reinterpret_cast<PyCFunction>(is_connected), METH_O,
                                "is_connected(self)\n--\n\n"};

// A builtin function on the C API, as a method of a plain class.
py::object raw_function(PyMethodDef* def) {
  py::str module_name(mod.name());
  PyObject* fn = PyCFunction_NewEx(def, nullptr, module_name.ptr());
  if (fn == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(fn);
}

py::object raw_method(PyMethodDef* def) {
  py::object fn = raw_function(def);
  PyObject* method = PyInstanceMethod_New(fn.ptr());
  if (method == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(method);
}

// ---------------------------------------------------------------------------
// Application side: glue.

using glue::truthy;

// A Python exception of the serial library's class `name` (live lookup).
bool is_serial_error(py::error_already_set& e, const char* name) {
  py::object cls = mod.get("serial").attr("serialutil").attr(name);
  return e.matches(cls);
}

void init(py::object self, py::handle port, py::handle connect_on_init, py::object logger) {
  py::object port_name = glue::as_optional_str_or_subclass(port, "port");
  glue::super_attr(usb_class, self, "__init__")("logger"_a = logger);
  self.attr("_port") = port_name;
  // Created unopened and reused across reconnects.
  self.attr("_ser") =
      mod.get("serial").attr("Serial")("port"_a = py::none(), "baudrate"_a = 115200, "timeout"_a = 0.8,
                                       "interCharTimeout"_a = 0.1);
  self.attr("_polling_thread_event") = mod.get("threading").attr("Event")();
  self.attr("_polling_thread") = py::none();
  // Orders opening the port (connect), waking a read (disconnect) and the
  // receive thread closing the port: none of them may run into another.
  self.attr("_link_lock") = mod.get("threading").attr("RLock")();
  if (truthy(connect_on_init)) glue::call_method(self, "connect", "port"_a = port_name);
}

// Runs fn() under the transport's link lock (unguarded on an instance that
// has none, e.g. one whose __init__ was replaced).
template <typename Fn>
decltype(auto) with_link_lock(py::handle self, Fn&& fn) {
  py::object lock = py::getattr(self, "_link_lock", py::none());
  if (lock.is_none()) return fn();
  return glue::with_lock(lock, std::forward<Fn>(fn));
}

bool is_other_live_thread(py::handle thread) {
  if (!truthy(thread) || !truthy(thread.attr("is_alive")())) return false;
  return !thread.is(mod.get("threading").attr("current_thread")());
}

// Wakes a receive thread blocked in the serial library's read of `ser`, so
// that disconnect does not wait out the read timeout.  Only done when the
// read in use is the library's own; it ends the wait early and changes
// nothing else.  Called under the link lock: the port cannot be closed
// meanwhile, so the wake-up never writes to a descriptor already closed.
void wake_reader(py::handle ser) {
  if (!receive_guards.serial_read.holds_for(ser.ptr())) return;
  try {
    if (truthy(ser.attr("is_open"))) ser.attr("cancel_read")();
  } catch (py::error_already_set&) {
    // The port went away meanwhile; the thread then ends on its own.
  }
}

// Stops `thread` (another thread than this one) and waits up to 1 s for it.
void stop_and_join(py::handle self, py::handle thread) {
  with_link_lock(self, [&] { wake_reader(self.attr("_ser")); });
  thread.attr("join")("timeout"_a = 1.0);
}

bool connect(py::object self, py::object port) {
  glue::call_method(self, "disconnect");
  // A receive thread may still be on its way out (its link was lost, or
  // another thread disconnected it): it closes the port when it ends, so the
  // port is not opened again before then.
  py::object previous = self.attr("_polling_thread");
  if (is_other_live_thread(previous)) stop_and_join(self, previous);
  return with_link_lock(self, [&]() -> bool {
    if (truthy(port)) self.attr("_port") = port;
    if (!truthy(self.attr("_port"))) {
      self.attr("_port") = glue::call_method(self, "get_port");
      if (!truthy(self.attr("_port"))) return false;
    }
    py::object ser = self.attr("_ser");
    // Open, or still owned by a receive thread that has not ended (a
    // callback that does not return, a reconnect from inside a callback, a
    // concurrent connect that came first): the port's own refusal.  Setting
    // `port` on an open port would close and reopen it under that thread.
    if (truthy(ser.attr("is_open")) || is_other_live_thread(self.attr("_polling_thread"))) {
      glue::log(self.attr("logger"), "error",
                "Couldn't connect to port " + glue::str(self.attr("_port")) + ": Port is already open.");
      return false;
    }
    try {
      ser.attr("port") = self.attr("_port");
      ser.attr("open")();
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_Exception)) throw;
      glue::log(self.attr("logger"), "error",
                "Couldn't connect to port " + glue::str(self.attr("_port")) + ": " + glue::str(e.value()));
      return false;
    }
    ser.attr("flushInput")();
    ser.attr("flushOutput")();
    ser.attr("read")(ser.attr("in_waiting"));  // whatever arrived before the link came up is stale
    self.attr("_polling_thread_event").attr("set")();
    py::object thread = mod.get("threading").attr("Thread")("target"_a = self.attr("_polling_thread_worker"),
                                                            "daemon"_a = true);
    self.attr("_polling_thread") = thread;
    thread.attr("start")();
    return true;
  });
}

void disconnect(py::object self) {
  // An instance whose __init__ failed early (a bad argument) has nothing to
  // stop; its finaliser must stay quiet.
  if (!py::hasattr(self, "_polling_thread_event")) return;
  if (!truthy(self.attr("is_connected"))) return;
  self.attr("_polling_thread_event").attr("clear")();
  link_went_down(self.ptr());
  // During interpreter shutdown daemon threads cannot run any more: there
  // is nothing to wait for.
  if (glue::compat::is_finalizing()) return;
  // A callback that closes its own transport runs on the receive thread:
  // the loop ends when the callback returns.
  py::object thread = self.attr("_polling_thread");
  if (!is_other_live_thread(thread)) return;
  stop_and_join(self, thread);
}

// The frame for _send_VEZ: FE, the address/flags word little-endian, the
// length, the payload, FD.
py::bytes build_frame(py::handle word, py::list data) {
  uint16_t address_flags = 0;
  bool fits = false;
  if (PyLong_Check(word.ptr())) {
    const int64_t v = glue::int64_of(word, &fits);
    fits = fits && v >= 0 && v <= 0xFFFF;
    address_flags = static_cast<uint16_t>(v);
  }
  if (!fits) {
    // Whatever struct makes of it (normally struct.error).
    py::bytes packed = mod.get("struct").attr("pack")("<H", word);
    const std::string b = packed;
    address_flags = static_cast<uint16_t>(static_cast<uint8_t>(b.at(0)) | (static_cast<uint8_t>(b.at(1)) << 8));
  }
  PyObject* payload = PyBytes_FromObject(data.ptr());  // the errors of bytes(data)
  if (payload == nullptr) throw py::error_already_set();
  py::bytes payload_bytes = py::reinterpret_steal<py::bytes>(payload);
  const size_t length = static_cast<size_t>(PyBytes_GET_SIZE(payload));
  if (length > 255) glue::raise(PyExc_ValueError, "bytes must be in range(0, 256)");
  std::vector<uint8_t> frame(core::kUsbHeaderLength + length + 1);
  const size_t n = core::encode_frame(address_flags, reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(payload)),
                                      length, frame.data());
  return py::bytes(reinterpret_cast<const char*>(frame.data()), n);
}

// Writes `frame` to the port's descriptor in one system call when `ser` is
// the serial library's POSIX port with no write timeout: its own write would
// do the same write and then wait in select for the line to drain, once per
// frame.  Returns the bytes written, or -1 when the frame must go through
// `ser.write` (another port class or a patched write, a write timeout, a
// blocking descriptor, or a write the descriptor refused: EAGAIN, EINTR or
// a failure the library reports in its own words).  The GIL stays held
// throughout, so no Python code can close the port (and let its descriptor
// be reused) between reading `fd` and the write.
Py_ssize_t write_direct(PyObject* ser, const uint8_t* frame, size_t n) {
  if (!send_guards.serial_write.holds_for(ser)) return -1;
  int fd = -1;
  {
    Ref timeout(PyObject_GetAttr(ser, send_guards.write_timeout));
    if (!timeout || timeout.get() != Py_None || !small_int_attr(ser, names.fd, &fd, false)) {
      PyErr_Clear();
      return -1;
    }
  }
  // The library opens its ports non-blocking; a descriptor someone made
  // blocking could hold the GIL while the line drains, so it is left to the
  // library's write.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || (flags & O_NONBLOCK) == 0) return -1;
  const ssize_t written = ::write(fd, frame, n);
  return written < 0 ? -1 : static_cast<Py_ssize_t>(written);
}

// Frames sent from several application threads must not interleave on the
// line.  A frame written in one system call with the GIL held cannot be cut
// by another sender; a frame that goes (wholly or partly) through the
// library's write may give the GIL up inside it, so its transport is marked
// as having a frame under way, and the other senders on that transport wait
// for it, with the GIL released, before they write.  Touched only with the
// GIL held; never freed (a daemon thread may outlive the statics).
std::vector<PyObject*>* const writes_under_way = new std::vector<PyObject*>();
core::WakeSignal* const line_free = new core::WakeSignal();
int line_waiters = 0;

bool write_under_way(PyObject* transport) {
  return std::find(writes_under_way->begin(), writes_under_way->end(), transport) != writes_under_way->end();
}

// Returns once no other frame of `transport` is half on the line.  Throws
// py::error_already_set on Ctrl-C.
void wait_for_line(PyObject* transport) {
  while (!writes_under_way->empty() && write_under_way(transport)) {
    const uint64_t seen = line_free->events();
    ++line_waiters;
    PyThreadState* saved = PyEval_SaveThread();
    line_free->wait(seen, 0.01);
    PyEval_RestoreThread(saved);
    --line_waiters;
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  }
}

// Marks a frame of `transport` as under way while it lives.
class MarkedWrite {
 public:
  explicit MarkedWrite(PyObject* transport) : transport_(transport) { writes_under_way->push_back(transport); }
  ~MarkedWrite() {
    if (!PyGILState_Check()) return;  // a forced unwind at exit
    const auto it = std::find(writes_under_way->begin(), writes_under_way->end(), transport_);
    if (it != writes_under_way->end()) writes_under_way->erase(it);
    if (line_waiters > 0) line_free->notify();
  }
  MarkedWrite(const MarkedWrite&) = delete;
  MarkedWrite& operator=(const MarkedWrite&) = delete;

 private:
  PyObject* transport_;
};

// True when `e`, raised by `ser.write`, means the port was closed while the
// frame was going out: another thread closed it (the serial library then
// fails inside on its closed state, with a TypeError among others).
bool closed_during_write(py::handle ser, py::error_already_set& e) {
  if (!e.matches(PyExc_TypeError) && !e.matches(PyExc_AttributeError) && !e.matches(PyExc_ValueError)) return false;
  if (!truthy(ser.attr("is_open"))) return true;
  py::object fd = py::getattr(ser, "fd", py::int_(0));
  return fd.is_none();  // the serial library's close is under way
}

// Step 4 of _send_VEZ: the frame goes out when the port is open; True when
// all of it was written.
bool write_frame(py::handle self, const uint8_t* frame, size_t n) {
  py::object ser = py::reinterpret_steal<py::object>(PyObject_GetAttr(self.ptr(), names.ser));
  if (!ser) throw py::error_already_set();
  const int open = attr_truth(ser.ptr(), names.is_open);
  if (open < 0) throw py::error_already_set();
  if (!open) {
    glue::log(self.attr("logger"), "warning", "Serial port not connected");
    return false;
  }
  wait_for_line(self.ptr());
  const Py_ssize_t direct = write_direct(ser.ptr(), frame, n);
  if (direct == static_cast<Py_ssize_t>(n)) return true;
  MarkedWrite marked(self.ptr());
  // What did not go out directly goes through the library's write, which
  // waits for the line as it always does.
  const size_t done = direct > 0 ? static_cast<size_t>(direct) : 0;
  py::object written;
  try {
    py::bytes rest(reinterpret_cast<const char*>(frame + done), n - done);
    PyObject* args[] = {ser.ptr(), rest.ptr()};
    written = py::reinterpret_steal<py::object>(PyObject_VectorcallMethod(names.write, args, 2, nullptr));
    if (!written) throw py::error_already_set();
  } catch (py::error_already_set& e) {
    // A failed write is a bus-level failure, logged and answered with False
    // like the others, not raised: the adapter unplugged under a send, or the
    // port closed by another thread meanwhile.
    std::string reason;
    if (is_serial_error(e, "SerialException") || e.matches(PyExc_OSError)) {
      reason = glue::str(e.value());
    } else if (closed_during_write(ser, e)) {
      reason = "the port was closed during the write";
    } else {
      throw;
    }
    glue::log(self.attr("logger"), "error", "Couldn't write to port " + glue::str(self.attr("_port")) + ": " + reason);
    return false;
  }
  if (PyLong_CheckExact(written.ptr())) {
    const Py_ssize_t count = PyLong_AsSsize_t(written.ptr());
    if (count != -1 || !PyErr_Occurred()) return count == static_cast<Py_ssize_t>(n - done);
    PyErr_Clear();  // beyond any length: not the frame's
    return false;
  }
  return written.equal(py::int_(n - done));
}

// _send_VEZ with every check and the flag word called through self and the
// module's names, as the framing base defines them.
bool send_vez_ordinary(py::handle self, py::handle addr, py::list payload, py::handle priority,
                       py::handle can_high_speed) {
  if (!truthy(glue::call_method(self, "_check_vez_id_range", addr))) {
    glue::log(self.attr("logger"), "error", "Invalid VEZ ID: " + glue::str(addr));
    return false;
  }
  if (!truthy(glue::call_method(self, "_check_vez_payload_size", payload))) {
    glue::log(self.attr("logger"), "warning",
              "Invalid payload length for address " + glue::str(addr) + " - len " + std::to_string(payload.size()));
    return false;
  }
  py::object word =
      mod.get("build_usb_address_flags")(addr, "priority"_a = priority, "can_high_speed"_a = can_high_speed);
  py::bytes frame = build_frame(word, payload);
  const std::string bytes = frame;
  return write_frame(self, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// True while the checks _send_VEZ calls are the framing base's own and the
// helpers they use (and the flag builder) are the protocol module's.
bool checks_are_ours(PyObject* self) {
  return send_guards.check_id_range.holds_for(self) && send_guards.check_payload.holds_for(self) &&
         send_guards.valid_address.global_holds(send_guards.vez_module) &&
         send_guards.valid_payload.global_holds(send_guards.vez_module) && send_guards.build_flags.global_holds(mod);
}

// The payload's bytes when `list` holds only ints 0..255; false for anything
// else (then bytes() of the list says what is wrong, or converts it).
bool small_int_payload(PyObject* list, uint8_t* out) {
  const Py_ssize_t n = PyList_GET_SIZE(list);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GET_ITEM(list, i);
    if (!PyLong_CheckExact(item)) return false;
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(item, &overflow);
    if (overflow != 0 || value < 0 || value > 255) return false;
    out[i] = static_cast<uint8_t>(value);
  }
  return true;
}

// A bool or a number with a fraction part names no node: rounding 16.9 down
// would send to another one.  It is refused like an address out of range,
// before the range check (which would round it).  False after logging so.
bool whole_address(py::handle address, py::object* addr) {
  py::int_ whole;
  const bool is_whole = glue::as_whole_int(address, "address", &whole);
  *addr = is_whole ? py::object(whole) : py::reinterpret_borrow<py::object>(address);
  return is_whole;
}

void log_invalid_address(py::handle self, py::handle addr) {
  glue::log(self.attr("logger"), "error", "Invalid VEZ ID: " + glue::str(addr));
}

// The two checks of _send_VEZ done here (they are the framing base's own):
// the destination and the payload length, each logged as the Part says.
// The destination (checked) goes to *destination.
bool checks_pass(py::handle self, py::handle addr, size_t length, int64_t* destination) {
  bool fits = false;
  *destination = glue::int64_of(addr, &fits);
  if (!fits || !core::is_valid_vez_address(*destination)) {
    log_invalid_address(self, addr);
    return false;
  }
  if (!core::is_valid_payload_length(length)) {
    glue::log(self.attr("logger"), "warning",
              "Invalid payload length for address " + glue::str(addr) + " - len " + std::to_string(length));
    return false;
  }
  return true;
}

bool truth(py::handle obj) {
  const int t = PyObject_IsTrue(obj.ptr());
  if (t < 0) throw py::error_already_set();
  return t == 1;
}

// The frame of a checked destination and payload, written.
bool send_frame(py::handle self, int64_t destination, const uint8_t* bytes, size_t length, bool prioritised,
                bool high_speed) {
  const uint16_t word = core::build_usb_address_flags(static_cast<uint64_t>(destination), prioritised, high_speed);
  uint8_t frame[core::kMaxFrameSize];
  const size_t n = core::encode_frame(word, bytes, std::min(length, static_cast<size_t>(core::kUsbMaxPayloadSize)),
                                      frame);
  return write_frame(self, frame, n);
}

bool send_vez(py::handle self, py::handle address, py::handle data, py::handle priority, py::handle can_high_speed) {
  py::object addr;
  const bool is_whole = whole_address(address, &addr);
  py::list payload = glue::as_list_or_subclass(data, "data");
  if (!is_whole) {
    log_invalid_address(self, addr);
    return false;
  }
  if (!checks_are_ours(self.ptr())) return send_vez_ordinary(self, addr, payload, priority, can_high_speed);
  int64_t destination = 0;
  if (!checks_pass(self, addr, static_cast<size_t>(PyList_GET_SIZE(payload.ptr())), &destination)) return false;
  // The flags are read before the payload is converted, as the word is built
  // before the frame.
  const bool prioritised = truth(priority);
  const bool high_speed = truth(can_high_speed);
  uint8_t body[core::kUsbMaxPayloadSize];
  if (small_int_payload(payload.ptr(), body)) {
    return send_frame(self, destination, body, static_cast<size_t>(PyList_GET_SIZE(payload.ptr())), prioritised,
                      high_speed);
  }
  // bytes(data) says what is wrong with an item, or converts it; an item's
  // conversion may even have changed the list meanwhile, so the frame carries
  // what bytes() produced.
  py::object converted = py::reinterpret_steal<py::object>(PyBytes_FromObject(payload.ptr()));
  if (!converted) throw py::error_already_set();
  return send_frame(self, destination, reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(converted.ptr())),
                    static_cast<size_t>(PyBytes_GET_SIZE(converted.ptr())), prioritised, high_speed);
}

// The capsule's send: _send_VEZ(address, <payload as a list>, priority,
// can_high_speed) without making the list, when that is what the call would
// do (the transport is a VezOverUsb whose _send_VEZ and checks are the
// package's own).  1 / 0 for the result, -1 with an error set, -2 when it
// does not apply (nothing done, no error set).
int send_payload(PyObject* transport, PyObject* address, const uint8_t* payload, size_t length, int priority,
                 int can_high_speed) {
  if (PyObject_TypeCheck(transport, reinterpret_cast<PyTypeObject*>(usb_class)) == 0 ||
      !send_vez_method.holds_for(transport) || !checks_are_ours(transport)) {
    return -2;
  }
  return glue::python_call([&]() -> int {
    py::object addr;
    if (!whole_address(address, &addr)) {
      log_invalid_address(transport, addr);
      return 0;
    }
    int64_t destination = 0;
    if (!checks_pass(transport, addr, length, &destination)) return 0;
    return send_frame(transport, destination, payload, length, priority != 0, can_high_speed != 0) ? 1 : 0;
  }, -1);
}

const glue::FastParameters* send_vez_parameters = nullptr;  // made at import, never freed

// _send_VEZ(self, address, data, priority=True, can_high_speed=False) as a
// method descriptor over a vectorcall C function: every command and
// setpoint comes through here, so it skips pybind11's dispatcher.
PyObject* send_vez_fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return glue::python_call([&]() -> PyObject* {
    PyObject* bound[4];  // address, data, priority, can_high_speed
    if (!send_vez_parameters->bind(args, nargs, kwnames, bound)) return nullptr;
    const bool sent = send_vez(self, bound[0], bound[1], bound[2] != nullptr ? bound[2] : Py_True,
                               bound[3] != nullptr ? bound[3] : Py_False);
    return Py_NewRef(sent ? Py_True : Py_False);
  });
}

PyMethodDef send_vez_def = {
    "_send_VEZ", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(send_vez_fastcall)),
    METH_FASTCALL | METH_KEYWORDS,
    "_send_VEZ(self, address, data, priority=True, can_high_speed=False)\n--\n\n"
    "Frame `data` for `address` and write it; True when the whole frame was written."};

// ---------------------------------------------------------------------------
// C API for the package's other modules (vez_over_usb_capi.hpp).

int is_usb_transport(PyObject* transport) {
  const int is = PyObject_IsInstance(transport, usb_class);
  if (is < 0) PyErr_Clear();
  return is == 1 ? 1 : 0;
}

int plain_methods(PyObject* transport) {
  return is_usb_transport(transport) && send_vez_method.holds_for(transport) &&
                 set_callback_method.holds_for(transport) && remove_callback_method.holds_for(transport)
             ? 1
             : 0;
}

const vez::usb::CApi capi_table = {vez::usb::kCApiVersion, sizeof(vez::usb::CApi), &is_usb_transport, &plain_methods,
                                   &watch_link, &unwatch_link, &send_payload};

void enter_bootloader(py::object self) {
  py::list payload;
  payload.append(static_cast<int>(core::Action::ENTER_BOOTLOADER));  // to the directly connected device
  glue::call_method(self, "_send_VEZ", 0, payload);
  mod.get("time").attr("sleep")(core::kBootloaderPauseSeconds);
  glue::call_method(self, "close");
}

constexpr long kAdapterVendorId = 1155;  // 0x0483
constexpr long kAdapterProductIdFirst = 42304;  // 0xA540
constexpr long kAdapterProductIdLast = 42314;   // 0xA54A

py::list get_ports() {
  py::object comports = mod.get("serial").attr("tools").attr("list_ports").attr("comports");
  py::list devices;
  for (py::handle info : comports()) {
    py::object vid = info.attr("vid");
    if (!vid.equal(py::int_(kAdapterVendorId))) continue;
    py::object pid = info.attr("pid");
    if (pid.is_none()) continue;
    if (pid >= py::int_(kAdapterProductIdFirst) && pid <= py::int_(kAdapterProductIdLast)) {
      devices.append(info.attr("device"));
    }
  }
  return devices;
}

py::object get_port() {
  py::list ports = mod.get("VezOverUsb").attr("get_ports")();
  if (ports.size() == 1) return ports[0];
  if (ports.size() == 0) {
    glue::log(mod.get("logger"), "warning", "No serial ports found");
  } else {
    glue::log(mod.get("logger"), "warning",
              "Found multiple serial ports. Manually select one. Available ports: " + glue::str(py::repr(ports)));
  }
  return py::str("");
}

void deprecated_init(py::object self, py::object port, py::object connect_on_init, py::object logger) {
  glue::warn(mod, PyExc_DeprecationWarning, "VEZ_over_USB is deprecated; use VezOverUsb instead.");
  glue::super_attr(deprecated_class, self, "__init__")("port"_a = port, "connect_on_init"_a = connect_on_init,
                                                      "logger"_a = logger);
}

// Remembers threading.Event when its is_set answers the instance's `_flag`.
void remember_event_class() {
  py::object cls = mod.get("threading").attr("Event");
  py::object probe = cls();
  bool plain = py::hasattr(probe, "_flag") && !truthy(probe.attr("_flag"));
  probe.attr("set")();
  plain = plain && truthy(probe.attr("_flag")) && truthy(probe.attr("is_set")());
  PyObject* is_set = glue::compat::type_lookup(reinterpret_cast<PyTypeObject*>(cls.ptr()), names.is_set);
  if (!plain || is_set == nullptr) return;
  receive_guards.event_class = Py_NewRef(cls.ptr());
  receive_guards.event_is_set.remember_class_attribute(cls, names.is_set);
}

// Remembers serial.Serial's own read and write when they are the POSIX ones,
// whose behaviour the fast read and the direct write reproduce.
void remember_serial_io() {
  py::object cls = mod.get("serial").attr("Serial");
  if (!PyType_Check(cls.ptr()) || !py::str(cls.attr("__module__")).equal(py::str("serial.serialposix"))) return;
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
  PyObject* read = PyDict_GetItemString(glue::compat::type_dict(type), "read");
  if (read != nullptr && PyFunction_Check(read)) receive_guards.serial_read.remember_class_attribute(cls, "read");
  PyObject* write = PyDict_GetItemString(glue::compat::type_dict(type), "write");
  if (write != nullptr && PyFunction_Check(write)) send_guards.serial_write.remember_class_attribute(cls, "write");
}

// The originals the send path compares with before doing its checks itself.
void remember_send_guards() {
  send_guards.vez_module.bind(py::module_::import("vez_api._vez"));
  send_guards.valid_address.remember_global(send_guards.vez_module, "is_valid_vez_address");
  send_guards.valid_payload.remember_global(send_guards.vez_module, "is_valid_vez_payload");
  send_guards.build_flags.remember_global(mod, "build_usb_address_flags");
  py::object vez = mod.get("VEZ");
  send_guards.check_id_range.remember_class_attribute(vez, "_check_vez_id_range");
  send_guards.check_payload.remember_class_attribute(vez, "_check_vez_payload_size");
  send_guards.write_timeout = glue::interned("_write_timeout");
}

}  // namespace

PYBIND11_MODULE(vez_over_usb, m) {
  mod.bind(m);
  m.doc() = "USB serial link: the adapter frame transport VezOverUsb and its receive thread.";
  mod.import("threading");
  mod.import("time");
  mod.import("warnings");
  mod.import("serial");
  mod.import("serial.tools.list_ports");
  mod.import("logging");
  mod.import("struct");
  mod.import_from("typing", {"Optional"});
  mod.import_from("vez_api._vez", {"VEZ"});
  mod.import_from("vez_api._protocol", {"build_usb_address_flags", "parse_usb_address_flags"});
  mod.set("logger", mod.default_logger());
  parse_flags.remember_global(mod, "parse_usb_address_flags");
  remember_serial_io();
  remember_send_guards();

  names = {interned("_ser"),       interned("read"),      interned("is_open"),      interned("fd"),
           interned("_timeout"),   interned("pipe_abort_read_r"), interned("_polling_thread_event"), interned("is_set"),
           interned("clear"),      interned("_callbacks"), interned("_lock"),       interned("acquire"),
           interned("release"),    interned("_process_pkt"), interned("is_connected"), interned("close"),
           interned("logger"),     interned("warning"), interned("_flag"),        interned("_link_lock"),
           interned("_port"),      interned("error"),   interned("write")};
  remember_event_class();

  py::object property = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyProperty_Type))(
      raw_function(&is_connected_def), py::none(), py::none(), "True while the receive thread runs on an open port.");

  py::object cls =
      glue::ClassBuilder(mod, "VezOverUsb", py::make_tuple(mod.get("VEZ")),
                         "Transport over the USB-CAN adapter's serial port.\n\n"
                         "Finds the adapter by its USB ids (or takes a port name), opens it and runs one daemon "
                         "thread that reads adapter frames and calls the callback registered for each frame's "
                         "source address.  `_send_VEZ` writes frames from the caller's thread.")
          .def("__init__", &init, py::arg("port") = py::none(), py::arg("connect_on_init") = true,
               py::arg("logger") = py::none())
          .def("connect", &connect, py::arg("port") = py::none(),
               glue::doc{"Open `port` (or the remembered or discovered one) and start the receive thread. "
                         "Returns True when the link is up; False when no single adapter was found or the port "
                         "did not open (logged)."})
          .def("disconnect", &disconnect,
               glue::doc{"Stop the receive thread (waits up to 1 s); the thread closes the port. Returns None."})
          .attr("is_connected", property)
          .def("enter_bootloader", &enter_bootloader,
               glue::doc{"Restart the directly connected device into its boot loader, wait 0.1 s and close the "
                         "link. Returns None."})
          .def_static("get_ports", &get_ports,
               glue::doc{"Device names (list of str) of the serial ports that are the adapter, in enumeration "
                         "order."})
          .def_static("get_port", &get_port,
               glue::doc{"The adapter's device name when exactly one is present, otherwise '' (the reason is "
                         "logged)."})
          .attr("_polling_thread_worker", raw_method(&worker_def))
          .attr("_process_pkt", raw_method(&process_pkt_def))
          .finish();
  usb_class = Py_NewRef(cls.ptr());
  send_vez_parameters = new glue::FastParameters("_send_VEZ", {"address", "data", "priority", "can_high_speed"}, 2);
  glue::def_fast_method(cls, &send_vez_def);
  send_vez_method.remember_class_attribute(cls, "_send_VEZ");
  set_callback_method.remember_class_attribute(cls, "set_callback");
  remove_callback_method.remember_class_attribute(cls, "remove_callback");
  receive_guards.process_pkt.remember_class_attribute(cls, names.process_pkt);
  receive_guards.is_connected.remember_class_attribute(cls, names.is_connected);
  PyObject* capsule = PyCapsule_New(const_cast<vez::usb::CApi*>(&capi_table), vez::usb::kCApiCapsuleName, nullptr);
  if (capsule == nullptr) throw py::error_already_set();
  mod.set("_C_API", py::reinterpret_steal<py::object>(capsule));

  py::object deprecated =
      glue::ClassBuilder(mod, "VEZ_over_USB", py::make_tuple(cls), "Deprecated compatibility name for :class:`VezOverUsb`.")
          .def("__init__", &deprecated_init, py::arg("port") = py::none(), py::arg("connect_on_init") = true,
               py::arg("logger") = py::none())
          .finish();
  deprecated_class = Py_NewRef(deprecated.ptr());
}
