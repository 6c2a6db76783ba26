// vez_api.vez_over_usb: VezOverUsb, the transport over the USB adapter's
// serial port, with its receive thread, and the deprecated name VEZ_over_USB.
//
// Two kinds of code live here.  The application-side methods (connect,
// _send_VEZ, ...) are ordinary glue functions.  The code that runs on the
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
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/frame.hpp"
#include "core/port_reader.hpp"
#include "glue/cpython_compat.hpp"
#include "glue/glue.hpp"

namespace py = pybind11;
namespace core = vez::core;
using namespace pybind11::literals;

namespace {

glue::ModuleRef mod;
glue::OriginalName parse_flags_name;

PyObject* usb_class = nullptr;             // VezOverUsb
PyObject* deprecated_class = nullptr;      // VEZ_over_USB
PyObject* process_pkt_function = nullptr;  // the builtin behind VezOverUsb._process_pkt
PyObject* is_connected_property = nullptr; // VezOverUsb.is_connected
// threading.Event and its is_set, when is_set is known to return the
// instance's `_flag` (checked at import); null otherwise.
PyObject* event_class = nullptr;
PyObject* event_is_set_function = nullptr;
PyObject* serial_read_function = nullptr;  // serial.Serial.read when it is the POSIX read the fast path mirrors

// Attribute names, interned once.  All of these pointers are deliberately
// leaked: they must outlive every thread.
struct Names {
  PyObject *ser, *read, *is_open, *fd, *timeout, *abort_fd, *event, *is_set, *clear, *callbacks, *lock, *acquire,
      *release, *process_pkt, *is_connected, *close, *logger, *warning, *flag, *link_lock, *port, *error;
} names;

PyObject* intern(const char* s) {
  PyObject* o = PyUnicode_InternFromString(s);
  if (o == nullptr) throw py::error_already_set();
  return o;
}

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
  if (glue::compat::type_lookup(Py_TYPE(self), names.is_connected) != is_connected_property) {
    return attr_truth(self, names.is_connected);
  }
  Ref event(PyObject_GetAttr(self, names.event));
  if (!event) return -1;
  int truth;
  if (event_class != nullptr && Py_TYPE(event.get()) == reinterpret_cast<PyTypeObject*>(event_class) &&
      glue::compat::type_lookup(Py_TYPE(event.get()), names.is_set) == event_is_set_function) {
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
  PendingError pending;
  pending.fetch();
  if (call_method_no_args(lock.get(), names.release) < 0) {
    pending.chain();
    return -1;
  }
  pending.restore();
  return rc;
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
  if (serial_read_function == nullptr) return false;
  bool ok = false;
  {
    Ref read(PyObject_GetAttr(ser, names.read));
    ok = read && PyMethod_Check(read.get()) && PyMethod_GET_FUNCTION(read.get()) == serial_read_function &&
         PyMethod_GET_SELF(read.get()) == ser;
  }
  ok = ok && attr_truth(ser, names.is_open) == 1 && small_int_attr(ser, names.fd, &port->fd, false) &&
       small_int_attr(ser, names.abort_fd, &port->abort_fd, true);
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
  const bool parsed_here = parse_flags_name.is_original(mod);
  if (parsed_here) {
    address.reset(PyLong_FromLong(frame.address));
    priority_bit.reset(PyLong_FromLong(frame.priority_bit));
    if (!address || !priority_bit) return -1;
  } else {
    // parse_usb_address_flags was replaced: ask it to split the word.
    Ref parse = Ref::borrow(mod.peek(parse_flags_name.name()));
    if (!parse) {
      PyErr_Format(PyExc_NameError, "name '%s' is not defined", parse_flags_name.name());
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

  Ref method(PyObject_GetAttr(self, names.process_pkt));
  if (!method) return -1;
  if (parsed_here && PyMethod_Check(method.get()) && PyMethod_GET_FUNCTION(method.get()) == process_pkt_function &&
      PyMethod_GET_SELF(method.get()) == self) {
    return process_packet(self, address.get(), nullptr, frame.payload.data(), frame.length, priority_bit.get());
  }
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

// The one place where the link is found lost: the adapter went away (a
// serial error on the port) or a callback raised KeyboardInterrupt.  The run
// flag is cleared, so the loop ends and the thread closes the port.  When the
// link was meant to run, the loss is logged once at ERROR on the instance's
// logger with the port and the reason; after a disconnect had already cleared
// the flag it is that disconnect's consequence and not news.  Anything that
// must learn of a lost port (waiting calls) is to be told here.
// `type`/`value` describe the error; returns false with an exception set when
// the flag cannot be cleared.
bool mark_link_lost(PyObject* self, PyObject* type, PyObject* value) {
  Ref event(PyObject_GetAttr(self, names.event));
  if (!event) return false;
  Ref set(PyObject_CallMethodNoArgs(event.get(), names.is_set));
  const int was_running = set ? PyObject_IsTrue(set.get()) : -1;
  if (was_running < 0 || call_method_no_args(event.get(), names.clear) < 0) return false;
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
  if (lock) {
    PendingError pending;
    pending.fetch();
    if (call_method_no_args(lock.get(), names.release) < 0) {
      pending.chain();
      return -1;
    }
    pending.restore();
  }
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

py::object raw_method(PyMethodDef* def, PyObject** function_out = nullptr) {
  py::object fn = raw_function(def);
  if (function_out != nullptr) *function_out = Py_NewRef(fn.ptr());  // kept for the fast-path guard
  PyObject* method = PyInstanceMethod_New(fn.ptr());
  if (method == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(method);
}

// ---------------------------------------------------------------------------
// Application side: glue.

bool truthy(py::handle obj) {
  const int t = PyObject_IsTrue(obj.ptr());
  if (t < 0) throw py::error_already_set();
  return t == 1;
}

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
  if (serial_read_function == nullptr) return;
  py::object read = py::getattr(ser, "read", py::none());
  if (!PyMethod_Check(read.ptr()) || PyMethod_GET_FUNCTION(read.ptr()) != serial_read_function) return;
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

// True when `e`, raised by `ser.write`, means the port was closed while the
// frame was going out: another thread closed it (the serial library then
// fails inside on its closed state, with a TypeError among others).
bool closed_during_write(py::handle ser, py::error_already_set& e) {
  if (!e.matches(PyExc_TypeError) && !e.matches(PyExc_AttributeError) && !e.matches(PyExc_ValueError)) return false;
  if (!truthy(ser.attr("is_open"))) return true;
  py::object fd = py::getattr(ser, "fd", py::int_(0));
  return fd.is_none();  // the serial library's close is under way
}

bool send_vez(py::object self, py::handle address, py::handle data, py::object priority, py::object can_high_speed) {
  // A bool or a number with a fraction part names no node: rounding 16.9
  // down would send to another one.  It is refused like an address out of
  // range, before the range check (which would round it).
  py::int_ whole;
  const bool is_whole = glue::as_whole_int(address, "address", &whole);
  py::object addr = is_whole ? py::object(whole) : py::reinterpret_borrow<py::object>(address);
  py::list payload = glue::as_list_or_subclass(data, "data");
  if (!is_whole || !truthy(glue::call_method(self, "_check_vez_id_range", addr))) {
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
  py::object ser = self.attr("_ser");
  if (!truthy(ser.attr("is_open"))) {
    glue::log(self.attr("logger"), "warning", "Serial port not connected");
    return false;
  }
  py::object written;
  try {
    written = ser.attr("write")(frame);
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
  return written.equal(py::int_(py::len(frame)));
}

void enter_bootloader(py::object self) {
  py::list payload;
  payload.append(193);  // ENTER_BOOTLOADER, to the direct address
  glue::call_method(self, "_send_VEZ", 0, payload);
  mod.get("time").attr("sleep")(0.1);
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
  event_class = Py_NewRef(cls.ptr());
  event_is_set_function = Py_NewRef(is_set);
}

// Remembers serial.Serial's own read when it is the POSIX one, whose timing
// the fast read reproduces.
void remember_serial_read() {
  py::object cls = mod.get("serial").attr("Serial");
  if (!PyType_Check(cls.ptr()) || !py::str(cls.attr("__module__")).equal(py::str("serial.serialposix"))) return;
  PyObject* read = PyDict_GetItemString(glue::compat::type_dict(reinterpret_cast<PyTypeObject*>(cls.ptr())), "read");
  if (read == nullptr || !PyFunction_Check(read)) return;
  serial_read_function = Py_NewRef(read);
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
  parse_flags_name.remember(mod, "parse_usb_address_flags");
  remember_serial_read();

  names = {intern("_ser"),       intern("read"),      intern("is_open"),      intern("fd"),
           intern("_timeout"),   intern("pipe_abort_read_r"), intern("_polling_thread_event"), intern("is_set"),
           intern("clear"),      intern("_callbacks"), intern("_lock"),       intern("acquire"),
           intern("release"),    intern("_process_pkt"), intern("is_connected"), intern("close"),
           intern("logger"),     intern("warning"), intern("_flag"),        intern("_link_lock"),
           intern("_port"),      intern("error")};
  remember_event_class();

  py::object property = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyProperty_Type))(
      raw_function(&is_connected_def), py::none(), py::none(), "True while the receive thread runs on an open port.");
  is_connected_property = Py_NewRef(property.ptr());

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
          .def("_send_VEZ", &send_vez, py::arg("address"), py::arg("data"), py::arg("priority") = true,
               py::arg("can_high_speed") = false,
               glue::doc{"Frame `data` for `address` and write it; True when the whole frame was written."})
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
          .attr("_process_pkt", raw_method(&process_pkt_def, &process_pkt_function))
          .finish();
  usb_class = Py_NewRef(cls.ptr());

  py::object deprecated =
      glue::ClassBuilder(mod, "VEZ_over_USB", py::make_tuple(cls), "Deprecated compatibility name for :class:`VezOverUsb`.")
          .def("__init__", &deprecated_init, py::arg("port") = py::none(), py::arg("connect_on_init") = true,
               py::arg("logger") = py::none())
          .finish();
  deprecated_class = Py_NewRef(deprecated.ptr());
}
