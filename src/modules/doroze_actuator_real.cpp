// vez_api.doroze_actuator_real: DorozeActuatorReal drives one physical
// actuator through a VEZ transport (the caller hands it a VezOverUsb).
//
// Every command becomes one payload built by the core and goes out through
// self._send_VEZ_common, which decides the CAN-high-speed flag.  Answers come
// back on the transport's receive thread through self._can_callback, which
// walks the records with the core's scanner and stores what they say in the
// instance __dict__ (feedback dictionaries, flags, model, version) and tells
// a waiting request about every answer it stored (request_waits.hpp): the
// waiting calls wake when their own answer is there, not at the next poll.
//
// All methods dispatch through self, so subclasses, recording mocks and
// patched methods see every call.
#include <array>
#include <cctype>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/actuator_protocol.hpp"
#include "core/actuator_records.hpp"
#include "core/bus_scan.hpp"
#include "core/request_match.hpp"
#include "glue/glue.hpp"
#include "glue/installed.hpp"
#include "modules/actuator_vocabulary.hpp"
#include "modules/doroze_actuator_real/request_waits.hpp"
#include "modules/setpoint_signatures.hpp"
#include "modules/vez_over_usb_capi.hpp"

namespace py = pybind11;
namespace core = vez::core;
using namespace pybind11::literals;
using core::Action;
using vez::modules::real::ActiveRequest;
using vez::modules::real::AwaitedAnswer;
using vez::modules::real::RequestTurn;
using vez::modules::real::WaitEnd;
using vez::modules::real::WaitPlan;

namespace {

glue::ModuleRef mod;
PyObject* real_class = nullptr;     // DorozeActuatorReal, borrowed for the process lifetime
PyObject* scanner_class = nullptr;  // DorozeActuatorScannerReal

// Polling steps of the waiting calls.
constexpr double kAnswerPollSeconds = 0.01;      // pings and parameter reads
constexpr double kItemsPollSeconds = 0.005;      // blocking item reads
constexpr double kGetModeTimeoutSeconds = 0.5;

// The base class's enumerations and their members.
vez::modules::ActuatorVocabulary vocab;

PyObject* keep(py::object obj) { return obj.release().ptr(); }

using glue::truthy;

// ---------------------------------------------------------------------------
// Guarded fast paths
//
// The command and receive paths call other methods through self.  When a
// method is still the one this module installed (type(self) resolves the name
// to the original descriptor, nothing in the instance shadows it, attribute
// lookup is the generic one), the C++ function is called directly instead of
// going through a Python-level call; otherwise the ordinary path is taken,
// so subclasses and patches keep working.

struct FastPaths {
  glue::Installed send_vez_common;
  glue::Installed change_mode;
  glue::Installed address;  // the base class's property over _address
  // The receive side: while these are the module's own, every answer the
  // actuator stores is reported to the request waiting for it.
  glue::Installed can_callback;
  glue::Installed parse_parameters;
  // What the pipelined scan relies on besides the receive side.
  glue::Installed send_ping;
  glue::Installed model;
  glue::Installed version;
  PyObject* send_vez = nullptr;
  PyObject* can_high_speed_keyword = nullptr;        // ("can_high_speed",)
  PyObject* high_speed_candidate_keyword = nullptr;  // ("high_speed_candidate",)
  // The module's `time` and the two functions the waits use, as imported.
  glue::Installed time_module;
  glue::ModuleRef imported_time;
  glue::Installed time_function;
  glue::Installed sleep_function;
};
FastPaths fast;

// Attribute names of the instance state, interned once.
struct Names {
  PyObject *address, *adapter, *can_high_speed, *got_pong, *got_parameters, *low_feedback, *parameters;
} names;

py::object get_attr(py::handle obj, PyObject* name) {
  PyObject* value = PyObject_GetAttr(obj.ptr(), name);
  if (value == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(value);
}

void set_attr(py::handle obj, PyObject* name, py::handle value) {
  if (PyObject_SetAttr(obj.ptr(), name, value.ptr()) != 0) throw py::error_already_set();
}

// True while the module's `time` and its time()/sleep() are the ones
// imported: then a wait may use the monotonic clock and a condition
// variable; a patched clock (tests, simulations) gets the documented loop.
bool time_is_original() {
  return fast.time_module.global_holds(mod) && fast.time_function.global_holds(fast.imported_time) &&
         fast.sleep_function.global_holds(fast.imported_time);
}

py::object steal_or_throw(PyObject* result) {
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

// self.address: the stored field when the property is the base class's own.
py::object actuator_address(py::handle self) {
  if (fast.address.holds_for(self.ptr())) return get_attr(self, names.address);
  return get_attr(self, fast.address.name());
}

// ---------------------------------------------------------------------------
// Arguments

// A number sent as a float32 setpoint, gain or parameter value.  An infinity
// or a value beyond the float32 range would reach the motor as a demand at
// the float's limit: ValueError naming the argument.  NaN passes (it marks a
// value not given).
float float32_arg(py::handle obj, const char* arg) {
  double number = 0.0;
  try {
    number = glue::as_float(obj, arg);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_OverflowError)) throw;  // an int too large for any float
    number = HUGE_VAL;
  }
  float value = 0.0f;
  if (!core::to_command_float32(number, &value)) {
    glue::raise(PyExc_ValueError, std::string(arg) + " must be a finite number within the float32 range, got " +
                                      glue::str(py::repr(obj)));
  }
  return value;
}

// The byte value of a member of `enum_cls`; TypeError for anything else.
uint8_t member_byte(py::handle obj, PyObject* enum_cls, const char* arg, const char* expected) {
  const int is_member = PyObject_IsInstance(obj.ptr(), enum_cls);
  if (is_member < 0) throw py::error_already_set();
  if (!is_member) glue::raise_arg_type(arg, expected, obj);
  return static_cast<uint8_t>(py::cast<unsigned>(obj.attr("_value_")));
}

// Codes of a list of enumeration members for one request.  More than `limit`
// members: a UserWarning with `limit_warning`, and the rest is left out.  Every
// member is checked before anything is sent.
std::vector<uint8_t> request_codes(py::handle items, const char* arg, PyObject* enum_cls, const char* expected,
                                   size_t limit, const char* limit_warning) {
  py::list list = glue::as_list_or_subclass(items, arg);
  size_t count = py::len(list);
  if (limit_warning != nullptr && count > limit) {
    glue::warn(mod, PyExc_UserWarning, limit_warning);
    count = limit;
  }
  std::vector<uint8_t> codes;
  codes.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    const std::string name = std::string(arg) + "[" + std::to_string(i) + "]";
    codes.push_back(member_byte(list[i], enum_cls, name.c_str(), expected));
  }
  return codes;
}

const std::string kItemLimitWarning = "Feedback item requests are limited to " +
                                      std::to_string(core::kMaxFeedbackItemsPerRequest) +
                                      "; the extra items will be ignored.";

// ---------------------------------------------------------------------------
// Received payloads

// The bytes of a received payload: a list of ints (what the transport
// delivers) is read directly; anything else goes through bytes(), which
// raises its usual TypeError / ValueError for values that are not bytes.
class PayloadBytes {
 public:
  explicit PayloadBytes(py::handle data) {
    if (PyList_CheckExact(data.ptr()) && read_small_int_list(data)) return;
    if (PyBytes_CheckExact(data.ptr())) {
      keep_ = py::reinterpret_borrow<py::object>(data);
    } else {
      PyObject* converted = PyBytes_FromObject(data.ptr());
      if (converted == nullptr) throw py::error_already_set();
      keep_ = py::reinterpret_steal<py::object>(converted);
    }
    data_ = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(keep_.ptr()));
    size_ = static_cast<size_t>(PyBytes_GET_SIZE(keep_.ptr()));
  }

  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  // False when an element is not an exact int in 0..255; the caller then
  // falls back to bytes(), which reports it.
  bool read_small_int_list(py::handle list) {
    const Py_ssize_t n = PyList_GET_SIZE(list.ptr());
    bytes_.resize(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = PyList_GET_ITEM(list.ptr(), i);
      if (!PyLong_CheckExact(item)) return false;
      int overflow = 0;
      const long value = PyLong_AsLongAndOverflow(item, &overflow);
      if (overflow != 0 || value < 0 || value > 255) return false;
      bytes_[static_cast<size_t>(i)] = static_cast<uint8_t>(value);
    }
    data_ = bytes_.data();
    size_ = bytes_.size();
    return true;
  }

  std::vector<uint8_t> bytes_;
  py::object keep_;
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

py::object value_to_python(const core::DecodedValue& v) {
  PyObject* obj = nullptr;
  switch (v.kind) {
    case core::DecodedValue::Kind::kDouble:
      obj = PyFloat_FromDouble(v.as_double);
      break;
    case core::DecodedValue::Kind::kUnsigned:
      obj = PyLong_FromUnsignedLong(v.as_unsigned);
      break;
    case core::DecodedValue::Kind::kSigned:
      obj = PyLong_FromLong(v.as_signed);
      break;
  }
  if (obj == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(obj);
}

std::string hex_byte(uint8_t value) {
  static const char* digits = "0123456789ABCDEF";
  return std::string{digits[value >> 4], digits[value & 15]};
}

// A record cut off by the end of the payload: the unpack of its value cannot
// happen, reported as the struct module's error.
[[noreturn]] void raise_truncated(const core::RecordScan& scan) {
  const std::string message = "truncated record 0x" + hex_byte(scan.code) + " at index " +
                              std::to_string(scan.offset) + ": unpack requires a buffer of " +
                              std::to_string(core::kRecordValueSize) + " bytes, got " +
                              std::to_string(scan.available);
  glue::raise(mod.get("struct").attr("error").ptr(), message);
}

// The bytes after index `offset` as the parameter parser receives them: a
// slice of the original list, or a new list when the payload was no list.
py::object payload_rest(py::handle data, const PayloadBytes& bytes, size_t offset) {
  if (PyList_CheckExact(data.ptr())) {
    PyObject* slice = PyList_GetSlice(data.ptr(), static_cast<Py_ssize_t>(offset), PY_SSIZE_T_MAX);
    if (slice == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(slice);
  }
  return glue::bytes_to_list(bytes.data() + offset, bytes.size() - offset);
}

// The model name of a ping answer: the entry of _MODELS_NAMES at its model
// index, the first ("no model") entry for an index beyond the list.
py::object model_name(py::handle self, uint16_t model_index) {
  py::object models = self.attr("_MODELS_NAMES");
  PyObject* name = PySequence_GetItem(models.ptr(), static_cast<Py_ssize_t>(model_index));
  if (name != nullptr) return py::reinterpret_steal<py::object>(name);
  if (!PyErr_ExceptionMatches(PyExc_IndexError)) throw py::error_already_set();
  PyErr_Clear();
  return models[py::int_(0)];
}

// What a ping answer says about the device: its firmware version, then its model.
void store_identity(py::handle self, uint16_t model_index, uint16_t packed_version) {
  self.attr("_firmware_version") = glue::call_method(self, "_parse_firmware_version", py::int_(packed_version));
  self.attr("_model") = model_name(self, model_index);
}

void store_ping_answer(py::object self, const core::RecordScan& scan) {
  store_identity(self, scan.model_index, scan.packed_version);
  set_attr(self, names.got_pong, py::bool_(true));
}

bool is_priority_message(py::handle priority) {
  if (PyLong_CheckExact(priority.ptr())) {
    int overflow = 0;
    return PyLong_AsLongAndOverflow(priority.ptr(), &overflow) == 0 && overflow == 0;
  }
  const int equal = PyObject_RichCompareBool(priority.ptr(), py::int_(0).ptr(), Py_EQ);
  if (equal < 0) throw py::error_already_set();
  return equal == 1;
}

// ---------------------------------------------------------------------------
// Pipelined scan, the receive side: while a scanner has a window of probes in
// flight, a ping answer from one of the window's addresses is noted for that
// address (scanner_scan reads them when the window is over), and any other
// message from there is handled as the probe of that address would handle
// it, with the scanner's address set to it meanwhile.

struct ProbeWindow {
  int64_t first = 0;
  size_t count = 0;
  std::unique_ptr<bool[]> sent;      // the address's ping went out
  std::unique_ptr<bool[]> answered;  // its answer came before its deadline
  std::vector<double> deadlines;     // +inf until the ping went out
  std::vector<uint16_t> model_index;
  std::vector<uint16_t> packed_version;
  size_t answers = 0;
  vez::core::WakeSignal signal;  // every answer, and the link going down

  ProbeWindow(int64_t first_address, size_t size)
      : first(first_address), count(size), sent(new bool[size]()), answered(new bool[size]()),
        deadlines(size, std::numeric_limits<double>::infinity()), model_index(size, 0), packed_version(size, 0) {}

  // The index of `address` in the window, or count.
  size_t index_of(py::handle address) const {
    if (!PyLong_CheckExact(address.ptr())) return count;
    int overflow = 0;
    const long long a = PyLong_AsLongLongAndOverflow(address.ptr(), &overflow);
    if (overflow != 0 || (a == -1 && PyErr_Occurred())) {
      PyErr_Clear();
      return count;
    }
    if (a < first) return count;
    const uint64_t offset = static_cast<uint64_t>(a) - static_cast<uint64_t>(first);
    return offset < count ? static_cast<size_t>(offset) : count;
  }

  void record(size_t i, const core::RecordScan& scan, double now) {
    // An answer before its ping or after its deadline is no answer to it.
    if (!sent[i] || answered[i] || !(now < deadlines[i])) return;
    answered[i] = true;
    model_index[i] = scan.model_index;
    packed_version[i] = scan.packed_version;
    ++answers;
    signal.notify();
  }
};

// Scanner object -> its window in flight.  Touched only with the GIL held.
std::unordered_map<PyObject*, ProbeWindow*>* const probe_windows = new std::unordered_map<PyObject*, ProbeWindow*>();

ProbeWindow* probe_window_of(py::handle self) {
  if (probe_windows->empty()) return nullptr;
  const auto it = probe_windows->find(self.ptr());
  return it == probe_windows->end() ? nullptr : it->second;
}

// Sets the scanner's address to a probed one while a message from it is
// handled, and puts the window's address back afterwards.
class ProbedAddress {
 public:
  ProbedAddress(py::handle self, py::handle address) : self_(self.ptr()) {
    saved_ = get_attr(self, names.address).release().ptr();
    set_attr(self, names.address, address);
  }
  ~ProbedAddress() {
    if (!PyGILState_Check()) return;
    py::error_scope pending;  // an exception on its way out stays as it is
    if (PyObject_SetAttr(self_, names.address, saved_) != 0) PyErr_WriteUnraisable(self_);
    Py_DECREF(saved_);
  }
  ProbedAddress(const ProbedAddress&) = delete;
  ProbedAddress& operator=(const ProbedAddress&) = delete;

 private:
  PyObject* self_;
  PyObject* saved_;
};

// The receive routine: runs on the transport's receive thread for every
// message from this actuator.  Nothing is stored until the whole payload has
// been walked, so a message that ends in a cut-off record leaves the object
// as it was.
void can_callback(py::object self, py::handle address, py::handle data, py::handle priority) {
  const PayloadBytes bytes(data);
  py::dict items;
  core::CodeSet codes;
  const core::RecordScan scan = core::scan_records(bytes.data(), bytes.size(), [&](const core::ItemRecord& r) {
    const py::object value = value_to_python(core::decode_value(r.type, r.raw));
    if (PyDict_SetItem(items.ptr(), vocab.item_members[r.code], value.ptr()) != 0) throw py::error_already_set();
    codes.set(r.code);
  });

  std::unique_ptr<ProbedAddress> probed;
  if (ProbeWindow* window = probe_window_of(self)) {
    const size_t i = window->index_of(address);
    if (i < window->count) {
      if (scan.end == core::ScanEnd::kBeacon) {
        window->record(i, scan, vez::modules::real::monotonic_seconds());
        return;
      }
      probed = std::make_unique<ProbedAddress>(self, address);
    }
  }

  switch (scan.end) {
    case core::ScanEnd::kTruncated:
      raise_truncated(scan);
    case core::ScanEnd::kBeacon:
      store_ping_answer(self, scan);
      vez::modules::real::answer_arrived(self.ptr(), AwaitedAnswer::Kind::kPing, core::CodeSet(), nullptr);
      return;
    case core::ScanEnd::kParameters:
      glue::call_method(self, "_DorozeActuatorReal__parse_parameters", payload_rest(data, bytes, scan.rest_offset));
      return;
    case core::ScanEnd::kErrors:
      glue::call_method(self, "_DorozeActuatorReal__parse_errors", py::int_(scan.error_field));
      return;
    case core::ScanEnd::kUnknownCode:
      glue::log(self.attr("logger"), "error", "Unknown command 0x" + hex_byte(scan.code));
      return;
    case core::ScanEnd::kEndOfRecords:
      break;
  }

  if (is_priority_message(priority)) {
    // The stream: merge, then hand the callback only this message's items.
    py::object feedback = self.attr("_feedback");
    if (PyDict_CheckExact(feedback.ptr())) {
      if (PyDict_Update(feedback.ptr(), items.ptr()) != 0) throw py::error_already_set();
    } else {
      feedback.attr("update")(items);
    }
    py::object callback = self.attr("_feedback_callback");
    if (!callback.is_none()) {
      py::object address = actuator_address(self);
      PyObject* args[] = {address.ptr(), items.ptr()};
      steal_or_throw(PyObject_Vectorcall(callback.ptr(), args, 2, nullptr));
    }
  } else {
    // The answer to a blocking item read.
    set_attr(self, names.low_feedback, items);
    vez::modules::real::answer_arrived(self.ptr(), AwaitedAnswer::Kind::kItems, codes, items.ptr());
  }
}

void parse_errors(py::object self, py::handle error_value) {
  const uint32_t field = static_cast<uint32_t>(glue::low_bits(glue::as_int(error_value, "error_value")));
  py::dict errors;
  core::for_each_error(field, [&](uint8_t bit, const char* description) {
    errors[py::int_(bit)] = py::str(description);
  });
  if (py::len(errors) == 0) return;
  py::object callback = self.attr("_error_callback");
  if (!callback.is_none()) callback(actuator_address(self), errors);  // None: the caller wants no reports
}

void parse_parameters(py::object self, py::handle data) {
  const PayloadBytes bytes(data);
  const std::vector<core::ParameterEntry> entries = core::parse_parameter_entries(bytes.data(), bytes.size());

  // Every code is resolved before anything is stored: a code that names no
  // parameter raises the enumeration's ValueError and the answer is dropped
  // whole.
  std::vector<py::object> members;
  members.reserve(entries.size());
  for (const core::ParameterEntry& e : entries) {
    PyObject* member = vocab.parameter_members[e.code];
    members.push_back(member != nullptr ? py::reinterpret_borrow<py::object>(member)
                                        : py::handle(vocab.parameters)(e.code));
  }

  py::object store = self.attr("_parameters");
  for (size_t i = 0; i < entries.size(); ++i) {
    const core::ParameterEntry& e = entries[i];
    const core::DecodedValue decoded = core::decode_value(e.type, e.raw);
    py::object value;
    uint8_t mode = 0;
    if (e.type == core::ValueType::kMode && core::mode_from_float(decoded.as_double, &mode)) {
      value = py::reinterpret_borrow<py::object>(vocab.mode_members[mode]);
      self.attr("_current_mode") = value;
    } else {
      value = value_to_python(decoded);
      if (e.type == core::ValueType::kMode) {
        // Not a mode (including infinities and NaN): keep the raw float.
        glue::log(self.attr("logger"), "warning",
                  "Invalid mode value " + glue::str(value) + " for parameter " + glue::str(members[i]));
      }
    }
    if (PyObject_SetItem(store.ptr(), members[i].ptr(), value.ptr()) != 0) throw py::error_already_set();
  }
  if (entries.empty()) return;
  set_attr(self, names.got_parameters, py::bool_(true));
  core::CodeSet codes;
  for (const core::ParameterEntry& e : entries) codes.set(e.code);
  vez::modules::real::answer_arrived(self.ptr(), AwaitedAnswer::Kind::kParameters, codes, nullptr);
}

// ---------------------------------------------------------------------------
// Sending and waiting

void send_vez_common_impl(py::handle self, py::handle msg, bool high_speed_candidate) {
  const bool high_speed = truthy(get_attr(self, names.can_high_speed)) && high_speed_candidate;
  py::object adapter = get_attr(self, names.adapter);
  py::object address = actuator_address(self);
  // adapter._send_VEZ(address, msg, can_high_speed=high_speed)
  PyObject* args[] = {adapter.ptr(), address.ptr(), msg.ptr(), high_speed ? Py_True : Py_False};
  steal_or_throw(PyObject_VectorcallMethod(fast.send_vez, args, 3, fast.can_high_speed_keyword));
}

// Every command goes out through self._send_VEZ_common.  While that is the
// module's own and the transport a VezOverUsb with its own _send_VEZ, the
// payload goes to the transport's C API as it is: the same call without the
// list it would be handed as.
void send(py::handle self, const core::Payload& payload, bool high_speed_candidate = false) {
  if (fast.send_vez_common.holds_for(self.ptr())) {
    if (const vez::usb::CApi* usb = vez::modules::real::usb_transport_api()) {
      const bool high_speed = truthy(get_attr(self, names.can_high_speed)) && high_speed_candidate;
      py::object adapter = get_attr(self, names.adapter);
      py::object address = actuator_address(self);
      const int sent = usb->send(adapter.ptr(), address.ptr(), payload.data(), payload.size(), 1, high_speed);
      if (sent == -1) throw py::error_already_set();
      if (sent >= 0) return;
    }
    send_vez_common_impl(self, glue::bytes_to_list(payload.data(), payload.size()), high_speed_candidate);
    return;
  }
  py::list msg = glue::bytes_to_list(payload.data(), payload.size());
  if (high_speed_candidate) {
    PyObject* args[] = {self.ptr(), msg.ptr(), Py_True};
    steal_or_throw(PyObject_VectorcallMethod(fast.send_vez_common.name(), args, 2, fast.high_speed_candidate_keyword));
  } else {
    PyObject* args[] = {self.ptr(), msg.ptr()};
    steal_or_throw(PyObject_VectorcallMethod(fast.send_vez_common.name(), args, 2, nullptr));
  }
}

// How a request of `self` waits: on the answer's signal while the clock is
// the real one and the receive routine (and, for parameter reads, its
// parser) is the module's own, otherwise by the documented polling loop.
// The plan borrows the transport and the clock: the caller keeps them.
struct RequestWaitContext {
  py::object transport;
  py::object time_module;
  WaitPlan plan;

  RequestWaitContext(py::handle self, double timeout, double step, bool parameters)
      : transport(get_attr(self, names.adapter)), time_module(mod.get("time")) {
    plan.timeout = timeout;
    plan.step = step;
    plan.on_signal = time_is_original() && fast.can_callback.holds_for(self.ptr()) &&
                     (!parameters || fast.parse_parameters.holds_for(self.ptr()));
    plan.transport = transport.ptr();
    plan.time_module = time_module.ptr();
  }
};

void send_vez_common(py::object self, py::handle msg, py::handle high_speed_candidate) {
  py::list payload = glue::as_list_or_subclass(msg, "msg");
  send_vez_common_impl(self, payload, truthy(high_speed_candidate));
}

// ---------------------------------------------------------------------------
// Connection

// A bus address argument: an int, or a number equal to one (16.0).  A bool or
// a number with a fraction part is refused, not rounded: 0.5 would be the
// device on the USB port itself.
py::int_ address_arg(py::handle obj, const char* arg) {
  py::int_ whole;
  if (!glue::as_whole_int(obj, arg, &whole)) glue::raise_arg_type(arg, "int", obj);
  return whole;
}

void init(py::object self, py::object adapter_handler, py::handle address, py::handle logger) {
  py::int_ addr = address_arg(address, "address");
  glue::super_attr(real_class, self, "__init__")("address"_a = addr, "logger"_a = logger);
  self.attr("_adapter") = adapter_handler;
  self.attr("_firmware_version") = "x.x.x";
  adapter_handler.attr("set_callback")(addr, self.attr("_can_callback"));
}

bool send_ping(py::object self, py::handle timeout) {
  const double seconds = glue::as_float(timeout, "timeout");
  RequestTurn turn(self.ptr());
  AwaitedAnswer awaited(AwaitedAnswer::Kind::kPing, core::CodeSet());
  ActiveRequest active(self.ptr(), &awaited);
  set_attr(self, names.got_pong, py::bool_(false));
  send(self, core::command(Action::PING));
  RequestWaitContext wait(self, seconds, kAnswerPollSeconds, false);
  const WaitEnd end = vez::modules::real::wait_for_answer(awaited, wait.plan, [&] {
    return truthy(get_attr(self, names.got_pong));
  });
  return end == WaitEnd::kAnswered;
}

py::object connect(py::object self, py::handle timeout) {
  self.attr("_connected") = glue::call_method(self, "send_ping", "timeout"_a = timeout);
  return self.attr("_connected");
}

void disconnect(py::object self) {
  glue::call_method(self, "stop");
  self.attr("_adapter").attr("remove_callback")(actuator_address(self));
  self.attr("_connected") = false;
  // Nothing can answer a request of this object any more.
  vez::modules::real::abandon_requests(self.ptr());
}

py::object version(py::object self) { return self.attr("_firmware_version"); }

py::object firmware_version(py::object self) {
  glue::warn_deprecated_name(mod, "firmware_version", "version");
  return self.attr("version");
}

std::string parse_firmware_version(py::handle firmware_version_uint16) {
  if (!PyLong_Check(firmware_version_uint16.ptr())) {
    glue::raise_arg_type("firmware_version_uint16", "int", firmware_version_uint16);
  }
  return core::firmware_version_text(static_cast<uint16_t>(glue::low_bits(firmware_version_uint16) & 0xFFFF));
}

// ---------------------------------------------------------------------------
// Commands and setpoints

void start(py::object self) { send(self, core::command(Action::START)); }
void stop(py::object self) { send(self, core::command(Action::STOP)); }
void blink(py::object self) { send(self, core::command(Action::BLINK)); }
void set_home_position(py::object self) { send(self, core::command(Action::RESET_ENCODER_POSITION)); }

void enter_bootloader(py::object self) {
  send(self, core::command(Action::ENTER_BOOTLOADER));
  mod.get("time").attr("sleep")(core::kBootloaderPauseSeconds);
}

void change_mode(py::object self, py::handle mode) {
  const uint8_t value = member_byte(mode, vocab.mode, "mode", "Mode");
  self.attr("_current_mode") = mode;
  send(self, core::command_with_byte(Action::CHANGE_MODE, value));
}

py::object get_mode(py::object self) {
  py::object current = self.attr("_current_mode");
  if (!current.is_none()) return current;
  py::list request;
  request.append(vocab.parameter_members[static_cast<uint8_t>(core::Parameter::MODE)]);
  glue::call_method(self, "get_parameters", request, "timeout"_a = kGetModeTimeoutSeconds);
  current = self.attr("_current_mode");
  if (!current.is_none()) return current;
  return py::reinterpret_borrow<py::object>(vocab.mode_members[static_cast<uint8_t>(core::Mode::SPEED)]);
}

void set_performance(py::object self, py::handle performance, PyObject* enum_cls, const char* expected,
                     Action action) {
  send(self, core::command_with_byte(action, member_byte(performance, enum_cls, "performance", expected)));
}

void set_torque_performance(py::object self, py::handle performance) {
  set_performance(self, performance, vocab.torque_performance, "TorquePerformance", Action::SET_TORQUE_PERFORMANCE);
}

void set_speed_performance(py::object self, py::handle performance) {
  set_performance(self, performance, vocab.speed_performance, "SpeedPerformance", Action::SET_SPEED_PERFORMANCE);
}

struct FloatArg {
  py::handle value;
  const char* name;
};

void change_setpoint(py::object self, py::handle setpoint) {
  const float value = float32_arg(setpoint, "setpoint");
  send(self, core::setpoint_command(Action::CHANGE_SETPOINT, &value, 1), true);
}

// A setpoint of one mode: arguments are converted first (a wrong type sends
// nothing), the mode is switched when it is not the current one, then the
// setpoint goes out as a high-speed candidate.
void mode_bound_setpoint(py::object self, core::Mode required, Action action, std::initializer_list<FloatArg> args) {
  std::array<float, 9> values{};
  size_t count = 0;
  for (const FloatArg& a : args) values[count++] = float32_arg(a.value, a.name);
  py::handle mode_member(vocab.mode_members[static_cast<uint8_t>(required)]);
  const int differs = PyObject_RichCompareBool(self.attr("_current_mode").ptr(), mode_member.ptr(), Py_NE);
  if (differs < 0) throw py::error_already_set();
  if (differs) {
    if (fast.change_mode.holds_for(self.ptr())) {
      change_mode(self, mode_member);
    } else {
      glue::call_method(self, "change_mode", mode_member);
    }
  }
  send(self, core::setpoint_command(action, values.data(), count), true);
}

using vez::modules::kImpedanceSetpoint;
using vez::modules::kInternalPositionSetpoint;
using vez::modules::kInternalSpeedSetpoint;
using vez::modules::kPositionSetpoint;
using vez::modules::kSpeedSetpoint;
using vez::modules::kTorqueSetpoint;
using vez::modules::OptionHandle;
using vez::modules::SetpointSignature;

// A setpoint method of the shared table whose value and options go out in
// `action`'s message after the switch to the signature's mode.
template <const SetpointSignature& S, Action A, size_t... I>
void def_mode_bound_setpoint(glue::ClassBuilder& builder, const char* doc, std::index_sequence<I...>) {
  vez::modules::def_setpoint<S>(
      builder,
      [](py::object self, py::handle setpoint, OptionHandle<I>... options) {
        mode_bound_setpoint(self, S.mode, A, {{setpoint, "setpoint"}, {options, S.options[I]}...});
      },
      doc);
}

template <const SetpointSignature& S, Action A>
void def_mode_bound_setpoint(glue::ClassBuilder& builder, const char* doc) {
  def_mode_bound_setpoint<S, A>(builder, doc, std::make_index_sequence<S.option_count>());
}

// {member: value} as set_parameters takes it.
py::dict one_parameter(core::Parameter parameter, double value) {
  py::dict d;
  d[py::handle(vocab.parameter_members[static_cast<uint8_t>(parameter)])] = py::float_(value);
  return d;
}

void set_can_high_speed(py::object self, py::handle high_speed) {
  const bool enabled = truthy(high_speed);
  self.attr("_can_high_speed") = enabled;
  glue::call_method(self, "set_parameters", one_parameter(core::Parameter::CAN_HIGH_SPEED, enabled ? 1.0 : 0.0));
}

void change_address(py::object self, py::handle new_address) {
  py::int_ address = address_arg(new_address, "new_address");
  const std::string decimal = glue::str(address);
  if (address.equal(actuator_address(self))) {
    glue::log(self.attr("logger"), "warning", "New address is the same as the current address " + decimal);
    return;
  }
  if (!truthy(glue::call_method(self, "is_valid_actuator_address", address))) {
    glue::log(self.attr("logger"), "error",
              "Invalid new address " + decimal + ". Address must be between 0x10 and 0x3FFE (16 to 16382)");
    return;
  }
  glue::call_method(self, "set_parameters",
                    one_parameter(core::Parameter::VEZ_ADDRESS, py::cast<double>(py::float_(address))));
  // The transport callback stays under the old address: receiving from the
  // new one needs a new registration.
  self.attr("_address") = address;
}

// ---------------------------------------------------------------------------
// Feedback

void set_feedback_items(py::object self, py::handle items) {
  const std::vector<uint8_t> codes = request_codes(items, "items", vocab.items, "VEZ_Items",
                                                   core::kMaxFeedbackItemsPerRequest, kItemLimitWarning.c_str());
  send(self, core::code_list_command(Action::SET_FEEDBACK_HIGH_ITEMS, codes.data(), codes.size()));
  // Items of an earlier selection must not linger.
  self.attr("_feedback") = py::dict();
}

void set_feedback_rate(py::object self, py::handle rate) {
  uint32_t divider = 0;
  const int is_rate = PyObject_IsInstance(rate.ptr(), vocab.rates);
  if (is_rate < 0) throw py::error_already_set();
  if (is_rate) {
    divider = py::cast<uint32_t>(rate.attr("_value_"));  // the members hold dividers already
  } else if (PyLong_Check(rate.ptr())) {
    bool fits = false;
    int64_t hz = glue::int64_of(rate, &fits);
    if (!fits) hz = PyObject_RichCompareBool(rate.ptr(), py::int_(0).ptr(), Py_LT) == 1 ? INT64_MIN : INT64_MAX;
    const core::RateDivider r = core::feedback_rate_divider(hz);
    if (r.error == core::RateError::kNegative) {
      glue::raise(PyExc_ValueError, "Rate must be non-negative, got " + glue::str(rate));
    }
    if (r.error == core::RateError::kAboveMaximum) {
      glue::raise(PyExc_ValueError, "Rate cannot exceed maximum feedback rate of " +
                                        std::to_string(core::kFeedbackBaseRateHz) + " Hz");
    }
    divider = r.divider;
  } else {
    glue::raise(PyExc_TypeError, "rate must be a Rates enum or int, got " +
                                     glue::str(py::type::handle_of(rate).attr("__name__")));
  }
  send(self, core::feedback_rate_command(divider));
}

// True when `answer` (what the receive routine stored as _low_feedback) holds
// exactly the items asked for.
bool answers_item_request(py::handle answer, const std::vector<uint8_t>& codes, const core::CodeSet& requested) {
  const Py_ssize_t size = PyObject_Length(answer.ptr());
  if (size < 0) throw py::error_already_set();
  if (requested.none()) return size > 0;
  if (static_cast<size_t>(size) != requested.count()) return false;
  for (uint8_t code : codes) {
    const int has = PySequence_Contains(answer.ptr(), vocab.item_members[code]);
    if (has < 0) throw py::error_already_set();
    if (has == 0) return false;
  }
  return true;
}

py::object get_items_blocking(py::object self, py::handle items, py::handle timeout) {
  const double seconds = glue::as_float(timeout, "timeout");
  const std::vector<uint8_t> codes = request_codes(items, "items", vocab.items, "VEZ_Items",
                                                   core::kMaxFeedbackItemsPerRequest, kItemLimitWarning.c_str());
  const core::Payload request = core::code_list_command(Action::GET_ITEMS, codes.data(), codes.size());
  const core::CodeSet requested = core::code_set(codes.data(), codes.size());

  RequestTurn turn(self.ptr());
  AwaitedAnswer awaited(AwaitedAnswer::Kind::kItems, requested);
  ActiveRequest active(self.ptr(), &awaited);
  set_attr(self, names.low_feedback, py::dict());
  send(self, request, true);

  // The answer is the dictionary the receive routine stored for this request;
  // one that holds other items answers an earlier request and is passed over.
  py::object answer;
  RequestWaitContext wait(self, seconds, kItemsPollSeconds, false);
  const WaitEnd end = vez::modules::real::wait_for_answer(awaited, wait.plan, [&] {
    if (awaited.answer != nullptr) {
      answer = py::reinterpret_borrow<py::object>(awaited.answer);
      return true;
    }
    py::object stored = get_attr(self, names.low_feedback);
    if (!truthy(stored) || !answers_item_request(stored, codes, requested)) return false;
    answer = stored;
    return true;
  });
  if (end == WaitEnd::kAnswered) return answer;
  glue::log(self.attr("logger"), "error", "Timeout while waiting for response");
  return py::dict();
}

// ---------------------------------------------------------------------------
// Parameters

void set_parameters(py::object self, py::handle parameters) {
  py::dict table = glue::as_dict_or_subclass(parameters, "parameters");
  // Everything is converted before the first batch goes out.
  std::vector<core::ParameterWrite> writes;
  writes.reserve(py::len(table));
  for (auto [key, value] : table) {
    const uint8_t code = member_byte(key, vocab.parameters, "parameters key", "VEZ_Parameters");
    const std::string name = "parameters[" + glue::str(key.attr("name")) + "]";
    writes.push_back({code, float32_arg(value, name.c_str())});
  }
  for (const core::Payload& batch : core::set_parameters_commands(writes.data(), writes.size())) send(self, batch);
}

py::object get_parameters(py::object self, py::handle parameters, py::handle timeout) {
  const double seconds = glue::as_float(timeout, "timeout");
  // Every entry is checked before the first request; the request carries at
  // most 9 and the rest are read by a further call.
  const std::vector<uint8_t> codes = request_codes(parameters, "parameters", vocab.parameters, "VEZ_Parameters",
                                                   SIZE_MAX, nullptr);
  const size_t batch = std::min<size_t>(codes.size(), core::kMaxParametersPerRequest);

  // The turn is held across every batch: another thread's read comes after.
  RequestTurn turn(self.ptr());
  {
    AwaitedAnswer awaited(AwaitedAnswer::Kind::kParameters, core::code_set(codes.data(), batch));
    ActiveRequest active(self.ptr(), &awaited);
    set_attr(self, names.got_parameters, py::bool_(false));
    send(self, core::code_list_command(Action::GET_PARAMETERS, codes.data(), batch));
    // With the module's own receive routine and parser, only an answer that
    // carries this batch's parameters counts; otherwise the flag does.
    RequestWaitContext wait(self, seconds, kAnswerPollSeconds, true);
    const bool matched_answers = wait.plan.on_signal ||
                                 (fast.can_callback.holds_for(self.ptr()) && fast.parse_parameters.holds_for(self.ptr()));
    const WaitEnd end = vez::modules::real::wait_for_answer(awaited, wait.plan, [&] {
      return matched_answers ? awaited.answered : truthy(get_attr(self, names.got_parameters));
    });
    if (end != WaitEnd::kAnswered) {
      glue::log(self.attr("logger"), "error", "Timeout while waiting for response");
      return py::dict();
    }
  }
  if (codes.size() > batch) {
    py::list rest = py::reinterpret_borrow<py::list>(parameters)[py::slice(
        static_cast<Py_ssize_t>(batch), static_cast<Py_ssize_t>(codes.size()), 1)];
    // A later batch that timed out makes the whole read a timeout: a partial
    // dictionary would pass for a complete answer.
    if (!truthy(glue::call_method(self, "get_parameters", rest, timeout))) return py::dict();
  }
  return get_attr(self, names.parameters);
}

py::object get_parameters_all(py::object self) {
  py::list every;  // every member, in declaration order
  for (py::handle member : py::handle(vocab.parameters)) every.append(member);
  return glue::call_method(self, "get_parameters", every);
}

void save_config(py::object self) { send(self, core::command(Action::SAVE)); }

void restore_factory_parameters(py::object self, py::handle settle_time) {
  const double seconds = glue::as_float(settle_time, "settle_time");
  glue::call_method(self, "stop");
  glue::call_method(self, "set_feedback_rate",
                    py::handle(vocab.rates).attr("DISABLED"));
  send(self, core::command(Action::DEBUG_CLEAR_CONFIG));
  self.attr("_can_high_speed") = false;
  self.attr("_current_mode") = py::none();
  self.attr("_feedback") = py::dict();
  self.attr("_low_feedback") = py::dict();
  self.attr("_parameters") = py::dict();
  // Gives the actuator time to restore its configuration.
  if (seconds > 0) mod.get("time").attr("sleep")(seconds);
}

// ---------------------------------------------------------------------------
// Older method names: each warns at the caller's line, then forwards (or, for
// the removed low-rate stream, does nothing else).

// An older name of a one-argument method: warns, then calls the new one.
struct Forwarder {
  const char* old_name;
  const char* new_name;
  const char* parameter;
};
constexpr Forwarder kForwarders[] = {
    {"changeAddress", "change_address", "new_address"},
    {"setFeedbackItems", "set_feedback_items", "items"},
    {"setFeedbackRate", "set_feedback_rate", "rate"},
    {"set_high_freq_feedback_items", "set_feedback_items", "items"},
    {"setHighFreqFeedbackItems", "set_feedback_items", "items"},
    {"set_high_freq_feedback_rate", "set_feedback_rate", "rate"},
    {"setHighFreqFeedbackRate", "set_feedback_rate", "rate"},
};

// An older name of the removed low-rate stream: warns and does nothing else.
struct Retired {
  const char* old_name;
  const char* parameter;
};
constexpr Retired kRetiredLowRateNames[] = {
    {"set_low_freq_feedback_items", "items"},
    {"setLowFreqFeedbackItems", "items"},
    {"set_low_freq_feedback_rate", "rate"},
    {"setLowFreqFeedbackRate", "rate"},
};
constexpr const char kRetiredLowRateReplacement[] = "get_items_blocking";

void add_older_names(glue::ClassBuilder& cls) {
  for (const Forwarder& f : kForwarders) {
    const std::string doc = std::string("Deprecated (DeprecationWarning): use ") + f.new_name + ".";
    cls.def(f.old_name, [&f](py::object self, py::handle argument) {
      glue::warn_deprecated_name(mod, f.old_name, f.new_name);
      glue::call_method(self, f.new_name, argument);
    }, py::arg(f.parameter), glue::doc{doc.c_str()});
  }
  for (const Retired& r : kRetiredLowRateNames) {
    const std::string doc =
        std::string("Deprecated (DeprecationWarning) and without effect: use ") + kRetiredLowRateReplacement + ".";
    cls.def(r.old_name, [&r](py::object, py::handle) {
      glue::warn_deprecated_name(mod, r.old_name, kRetiredLowRateReplacement);
    }, py::arg(r.parameter), glue::doc{doc.c_str()});
  }
  cls.def("getItemsBlocking", [](py::object self, py::handle items, py::handle timeout) {
       glue::warn_deprecated_name(mod, "getItemsBlocking", "get_items_blocking");
       return glue::call_method(self, "get_items_blocking", items, "timeout"_a = timeout);
     }, py::arg("items"), py::arg("timeout") = 1.0,
          glue::doc{"Deprecated (DeprecationWarning): use get_items_blocking; returns what it returns."})
      .def("reset_encoder_position", [](py::object self) {
        glue::warn_deprecated_name(mod, "reset_encoder_position", "set_home_position");
        glue::call_method(self, "set_home_position");
      }, glue::doc{"Deprecated (DeprecationWarning): use set_home_position."});
}


// ---------------------------------------------------------------------------
// Bus scanner: an actuator object whose address moves across a range.  What
// it finds is printed (it serves the command line), not logged.

void print(const std::string& text) { mod.global("print")(text); }

void scanner_init(py::object self, py::object adapter_handler, py::handle logger) {
  glue::super_attr(scanner_class, self, "__init__")(adapter_handler, 0, logger);
  const std::string port = glue::str(adapter_handler.attr("_port"));
  if (!PyObject_IsTrue(glue::call_method(self, "connect").ptr())) {
    print("Device at port '" + port + "' not responding");
    return;
  }
  const std::string model = glue::str(self.attr("model"));
  std::string upper = model;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (upper.find("CAN_ADAPTER") != std::string::npos) {
    print(model + " version " + glue::str(self.attr("version")) + " connected at port '" + port + "'");
  } else {
    // An actuator plugged straight into USB answered: it is no adapter to scan through.
    print(model + " connected via USB at port '" + port + "'");
    adapter_handler.attr("close")();
    self.attr("_connected") = false;
  }
}

// Each probe waits this long for its answer, counted from its ping.
constexpr double kProbeSeconds = 0.05;

void report_found(py::handle address, const py::object& model, const py::object& version) {
  print("Device found: address 0x" + glue::str(py::str("{:X}").format(address)) + " (" + glue::str(address) +
        ")\tmodel " + glue::str(model) + "\tfirmware version " + glue::str(version));
}

// One address at a time, exactly as the scan is specified: for a transport or
// a scanner whose methods are not the package's own.
py::list scan_one_by_one(py::object self, int64_t first, int64_t last) {
  py::list found;
  py::object adapter = self.attr("_adapter");
  py::object receive = self.attr("_can_callback");
  core::AddressWindows plan(first, last, 1);
  core::AddressWindow one;
  try {
    while (plan.next(&one)) {
      py::int_ address(one.first);
      set_attr(self, names.address, address);
      adapter.attr("set_callback")(address, receive);
      if (truthy(glue::call_method(self, "send_ping", "timeout"_a = kProbeSeconds))) {
        report_found(address, self.attr("model"), self.attr("version"));
        found.append(address);
      }
      adapter.attr("remove_callback")(address);
    }
  } catch (py::error_already_set& e) {
    // Ctrl+C ends the scan quietly with what was found so far.
    if (!e.matches(PyExc_KeyboardInterrupt)) throw;
  }
  return found;
}

// True when the pipelined scan gives what the one-by-one scan gives: the
// transport is a VezOverUsb with its own methods, the clock is the real one,
// and the scanner's probe, send path, receive routine and identity
// properties are the module's own.
bool can_pipeline(py::handle self, py::handle adapter) {
  return vez::modules::real::plain_usb_transport(adapter.ptr()) && time_is_original() &&
         fast.send_ping.holds_for(self.ptr()) && fast.send_vez_common.holds_for(self.ptr()) &&
         fast.can_callback.holds_for(self.ptr()) && fast.model.holds_for(self.ptr()) &&
         fast.version.holds_for(self.ptr());
}

// Makes `window` the scanner's window in flight while it lives.
class WindowInFlight {
 public:
  WindowInFlight(PyObject* scanner, ProbeWindow* window) : scanner_(scanner) { probe_windows->emplace(scanner, window); }
  ~WindowInFlight() {
    if (PyGILState_Check()) probe_windows->erase(scanner_);
  }
  WindowInFlight(const WindowInFlight&) = delete;
  WindowInFlight& operator=(const WindowInFlight&) = delete;

 private:
  PyObject* scanner_;
};

// The scanner's state after the probes of `window` up to index `end`
// (exclusive) are over, as the one-by-one scan leaves it: the address of the
// last probe, whether that one answered, the identity of the last device
// that answered.
void leave_state(py::handle self, const ProbeWindow& window, const std::vector<py::int_>& addresses, size_t end,
                 bool last_answered) {
  if (end == 0) return;
  set_attr(self, names.address, addresses[end - 1]);
  for (size_t i = end; i-- > 0;) {
    if (window.answered[i]) {
      store_identity(self, window.model_index[i], window.packed_version[i]);
      break;
    }
  }
  set_attr(self, names.got_pong, py::bool_(last_answered));
}

// A window of addresses at a time: the probes' callbacks are registered and
// their pings sent back to back, then one wait covers them all (each probe
// keeps its own deadline, kProbeSeconds after its own ping).  What is printed,
// returned and left behind is what the one-by-one scan would give, Ctrl+C
// included: the probes before the one under way count, that one keeps its
// callback, the later ones never happened.
py::list scan_pipelined(py::object self, py::object adapter, int64_t first, int64_t last) {
  py::list found;
  py::object receive = self.attr("_can_callback");
  py::object set_callback = adapter.attr("set_callback");
  py::object remove_callback = adapter.attr("remove_callback");
  py::object send_vez = adapter.attr("_send_VEZ");
  RequestTurn turn(self.ptr());
  core::AddressWindows plan(first, last, core::kScanWindow);
  core::AddressWindow span;
  while (plan.next(&span)) {
    ProbeWindow window(span.first, span.size());
    std::vector<py::int_> addresses;
    addresses.reserve(window.count);
    size_t registered = 0;  // callbacks registered so far
    size_t finished = 0;    // probes reported and unregistered so far
    try {
      WindowInFlight in_flight(self.ptr(), &window);
      vez::modules::real::LinkWatch link(adapter.ptr(), &window.signal);
      set_attr(self, names.address, py::int_(span.last));
      for (size_t i = 0; i < window.count; ++i) {
        addresses.emplace_back(span.first + static_cast<int64_t>(i));
        set_callback(addresses[i], receive);
        registered = i + 1;
        py::list ping;
        ping.append(static_cast<int>(Action::PING));
        window.sent[i] = true;
        window.deadlines[i] = vez::modules::real::monotonic_seconds() + kProbeSeconds;
        send_vez(addresses[i], ping, "can_high_speed"_a = false);
        window.deadlines[i] = vez::modules::real::monotonic_seconds() + kProbeSeconds;
      }
      const double window_end = window.deadlines[window.count - 1];
      for (;;) {
        const uint64_t seen = window.signal.events();
        if (window.answers == window.count || link.link_down()) break;
        const double left = window_end - vez::modules::real::monotonic_seconds();
        if (!(left > 0)) break;
        vez::modules::real::wait_released(window.signal, seen, std::min(left, kAnswerPollSeconds));
      }
    } catch (py::error_already_set& e) {
      // Where a one-by-one scan would have stood: the first probe that has
      // neither answered nor run out of time is the one under way.
      const size_t under_way = core::probe_under_way(window.answered.get(), window.deadlines.data(), registered,
                                                     vez::modules::real::monotonic_seconds());
      for (size_t i = 0; i < under_way; ++i) {
        if (window.answered[i]) {
          report_found(addresses[i], model_name(self, window.model_index[i]),
                       glue::call_method(self, "_parse_firmware_version", py::int_(window.packed_version[i])));
          found.append(addresses[i]);
        }
      }
      for (size_t i = 0; i < registered; ++i) {
        if (i != under_way) remove_callback(addresses[i]);
      }
      if (under_way < registered) {
        leave_state(self, window, addresses, under_way, false);
        set_attr(self, names.address, addresses[under_way]);
        set_attr(self, names.got_pong, py::bool_(false));
      } else {
        leave_state(self, window, addresses, registered, registered > 0 && window.answered[registered - 1]);
      }
      if (e.matches(PyExc_KeyboardInterrupt)) return found;  // Ctrl+C ends the scan quietly
      throw;
    }
    try {
      for (; finished < window.count; ++finished) {
        if (window.answered[finished]) {
          report_found(addresses[finished], model_name(self, window.model_index[finished]),
                       glue::call_method(self, "_parse_firmware_version",
                                         py::int_(window.packed_version[finished])));
          found.append(addresses[finished]);
        }
        remove_callback(addresses[finished]);
      }
    } catch (py::error_already_set& e) {
      // Interrupted while reporting: the probe being reported is the one under way.
      for (size_t i = finished + 1; i < window.count; ++i) remove_callback(addresses[i]);
      leave_state(self, window, addresses, finished, false);
      set_attr(self, names.address, addresses[finished]);
      set_attr(self, names.got_pong, py::bool_(false));
      if (e.matches(PyExc_KeyboardInterrupt)) return found;
      throw;
    }
    leave_state(self, window, addresses, window.count, window.answered[window.count - 1]);
  }
  return found;
}

py::list scanner_scan(py::object self, py::handle begin, py::handle end) {
  if (!truthy(self.attr("_connected"))) {
    glue::log(self.attr("logger"), "error", "CAN adapter is not connected");
    return py::list();
  }
  bool fits_begin = false, fits_end = false;
  const int64_t first = glue::int64_of(glue::as_int(begin, "begin"), &fits_begin);
  const int64_t last = glue::int64_of(glue::as_int(end, "end"), &fits_end);
  if (!fits_begin || !fits_end) throw py::value_error("scan range out of bounds");
  py::object adapter = self.attr("_adapter");
  if (can_pipeline(self, adapter)) return scan_pipelined(self, adapter, first, last);
  return scan_one_by_one(self, first, last);
}

py::object scanner_is_connected(py::object self) { return self.attr("_connected"); }

}  // namespace

PYBIND11_MODULE(doroze_actuator_real, m) {
  mod.bind(m);
  m.doc() = "Physical actuator: commands, setpoints, feedback, parameters and error reports over a VEZ transport.";
  mod.import("logging");
  mod.import("math");
  mod.import("struct");
  mod.import("time");
  mod.import("warnings");
  mod.import_from("math", {"nan"});
  mod.import_from("typing", {"Any", "Callable", "Dict", "List", "Optional"});
  mod.import_from("vez_api._protocol",
                  {"VEZ_ACTUATOR_ADDRESS_MAX", "VEZ_MAX_FEEDBACK_ITEMS_PER_REQUEST", "VEZ_MAX_PARAMETERS_PER_REQUEST"});
  mod.import_from("vez_api._doroze_actuator_base", {"DorozeActuatorBase"});
  mod.set("MAX_FEEDBACK_RATE_ALLOWED_HZ", py::int_(core::kFeedbackBaseRateHz));

  py::object base = mod.get("DorozeActuatorBase");
  vocab.load(base);

  names = {glue::interned("_address"),       glue::interned("_adapter"),     glue::interned("_can_high_speed"),
           glue::interned("_got_pong"),      glue::interned("_got_parameters"), glue::interned("_low_feedback"),
           glue::interned("_parameters")};
  fast.time_module.remember_global(mod, "time");
  fast.imported_time.bind(py::reinterpret_borrow<py::module_>(fast.time_module.original()));
  fast.time_function.remember_global(fast.imported_time, "time");
  fast.sleep_function.remember_global(fast.imported_time, "sleep");

  const py::object nan = py::float_(std::nan(""));
  py::object str_type = py::module_::import("builtins").attr("str");

  glue::ClassBuilder builder(mod, "DorozeActuatorReal", py::make_tuple(base),
                             "Control a physical Doroze actuator through a VEZ transport.");
  builder.annotate("_firmware_version", str_type)
          // Connection and message exchange
          .def("__init__", &init, py::arg("adapter_handler"), py::arg("address"), py::arg("logger") = py::none())
          .def("connect", &connect, py::arg("timeout") = 1.0,
               glue::doc{"Ping the actuator and wait up to `timeout` seconds for its answer.\n\nReturns True "
                         "when it answered (model and firmware version are then known), False otherwise."})
          .def("disconnect", &disconnect,
               glue::doc{"Send stop and stop receiving from this actuator (its transport callback is removed). "
                         "Returns None."})
          .def("send_ping", &send_ping, py::arg("timeout") = 1.0,
               glue::doc{"Send PING and wait up to `timeout` seconds (polling every 10 ms) for the "
                         "answer.\n\nReturns True when the answer arrived, False on timeout (nothing is logged)."})
          .def_property_readonly("version", &version, "Firmware version of the last ping answer (\"x.x.x\" before).")
          .def_property_readonly("firmware_version", &firmware_version, "Deprecated: use version.")
          .def_static("_parse_firmware_version", &parse_firmware_version, py::arg("firmware_version_uint16"),
                      glue::doc{"\"major.minor.patch\" of a packed 5/5/6-bit version."})
          .def("_send_VEZ_common", &send_vez_common, py::arg("msg"), py::arg("high_speed_candidate") = false,
               glue::doc{"Send one payload to this actuator; setpoints may use CAN high speed."})
          .def("_can_callback", &can_callback, py::arg("address"), py::arg("data"), py::arg("priority"),
               glue::doc{"Receive routine: called by the transport for every message from this actuator."})
          .def("_DorozeActuatorReal__parse_errors", &parse_errors, py::arg("error_value"),
               glue::doc{"Turn an error field into {bit: description} for the error callback."})
          .def("_DorozeActuatorReal__parse_parameters", &parse_parameters, py::arg("data"),
               glue::doc{"Store the entries of a parameter answer."})
          // Commands and setpoints
          .def("start", &start,
               glue::doc{"Enable the actuator's power stage: it follows its setpoints from now on. Returns None "
                         "without waiting."})
          .def("stop", &stop,
               glue::doc{"Disable the actuator's power stage: no torque is produced. Returns None without "
                         "waiting."})
          .def("blink", &blink,
               glue::doc{"Blink the actuator's LED, to identify it. Returns None without waiting."})
          .def("set_home_position", &set_home_position,
               glue::doc{"Make the present output position the actuator's zero (0 rad). Returns None without "
                         "waiting."})
          .def("enter_bootloader", &enter_bootloader,
               glue::doc{"Restart the actuator into its boot loader, then pause 0.1 s. Returns None; the "
                         "actuator no longer answers commands afterwards."})
          .def("change_mode", &change_mode, py::arg("mode"),
               glue::doc{"Switch the control mode to `mode` (a member of `Mode`) and remember it. Returns None."})
          .def("get_mode", &get_mode,
               glue::doc{"The current control mode, a member of `Mode`.\n\nKnown from the last change_mode "
                         "without bus traffic; otherwise read from the actuator (0.5 s timeout), and Mode.SPEED "
                         "when it does not answer."})
          .def("change_setpoint", &change_setpoint, py::arg("setpoint"),
               glue::doc{"Send `setpoint` in the units of the current mode (torque N*m, speed rad/s, position "
                         "or impedance rad, at the output shaft), without changing the mode. Returns None."});
  def_mode_bound_setpoint<kTorqueSetpoint, Action::CHANGE_SETPOINT_TORQUE>(
      builder,
      "Torque setpoint `setpoint` in N*m at the output shaft; switches to Mode.TORQUE first "
      "when needed.\n\n`id_Kp`, `id_Ki`, `iq_Kp`, `iq_Ki`: current-loop gains of the d and q "
      "axes. Optional values default to NaN, meaning not given. Returns None.");
  def_mode_bound_setpoint<kSpeedSetpoint, Action::CHANGE_SETPOINT_SPEED>(
      builder,
      "Speed setpoint `setpoint` in rad/s at the output shaft; switches to Mode.SPEED first "
      "when needed.\n\n`FF_gain`: feed-forward share (0..1); `spd_Kp`, `spd_Ki`: speed-loop "
      "gains; `ref_ff_torque`: feed-forward torque in N*m. Optional values default to NaN, "
      "meaning not given. Returns None.");
  def_mode_bound_setpoint<kPositionSetpoint, Action::CHANGE_SETPOINT_POSITION>(
      builder,
      "Position setpoint `setpoint` in rad at the output shaft; switches to Mode.POSITION "
      "first when needed.\n\n`FF_gain`: feed-forward share (0..1); `spd_Kp`, `spd_Ki`: "
      "speed-loop gains; `pos_Kp`: position-loop gain; `ref_ff_torque`: feed-forward torque "
      "in N*m. Optional values default to NaN, meaning not given. Returns None.");
  def_mode_bound_setpoint<kImpedanceSetpoint, Action::CHANGE_SETPOINT_IMPEDANCE>(
      builder,
      "Equilibrium position `setpoint` in rad of the impedance law; switches to "
      "Mode.IMPEDANCE first when needed.\n\n`K_stiff` stiffness (N*m/rad), `K_damp` damping "
      "(N*m*s/rad), `J_imp` inertia (kg*m^2), `ref_ff_torque` feed-forward torque (N*m), "
      "`ref_impedance_spd` speed reference (rad/s), `ref_impedance_acel` acceleration "
      "reference (rad/s^2), `FF_gain` feed-forward share (0..1). Optional values default to "
      "NaN, meaning not given. Returns None.");
  def_mode_bound_setpoint<kInternalSpeedSetpoint, Action::CHANGE_SETPOINT_SPEED_INTERNAL>(
      builder,
      "Speed setpoint `setpoint` in rad/s with the parameters of the actuator's internal "
      "speed controller (`spd_b0`, `spd_wc`, `spd_wo`, in the firmware's units); switches to "
      "Mode.SPEED first when needed. Optional values default to NaN, meaning not given. "
      "Returns None.");
  def_mode_bound_setpoint<kInternalPositionSetpoint, Action::CHANGE_SETPOINT_POSITION_INTERNAL>(
      builder,
      "Position setpoint `setpoint` in rad with the parameters of the actuator's internal "
      "position and speed controllers (`pos_Ki`, `pos_Kd`, `pos_b0`, `pos_wc`, `pos_wo`, "
      "`spd_b0`, `spd_wc`, `spd_wo`, in the firmware's units); switches to Mode.POSITION "
      "first when needed. Optional values default to NaN, meaning not given. Returns None.");
  builder
          .def("set_torque_performance", &set_torque_performance, py::arg("performance"),
               glue::doc{"Select a torque-mode preset, a member of `TorquePerformance`. Returns None."})
          .def("set_speed_performance", &set_speed_performance, py::arg("performance"),
               glue::doc{"Select a speed-mode preset, a member of `SpeedPerformance`. Returns None."})
          .def("set_can_high_speed", &set_can_high_speed, py::arg("high_speed"),
               glue::doc{"Let setpoints travel with the CAN high-speed data phase (`high_speed` true) or not, "
                         "and write the actuator's CAN_HIGH_SPEED parameter to match. Returns None."})
          .def("change_address", &change_address, py::arg("new_address"),
               glue::doc{"Give the actuator the bus address `new_address` (16..16382) and use it from now "
                         "on.\n\nAn invalid or unchanged address is logged and nothing is sent. The transport "
                         "callback stays under the old address: create a new object to receive from the new "
                         "one. Returns None."})
          // Feedback
          .def("set_feedback_items", &set_feedback_items, py::arg("items"),
               glue::doc{"Choose the items (a list of `VEZ_Items`, at most 10; more are cut with a UserWarning) "
                         "that the feedback stream carries, and forget the values of the earlier selection. "
                         "Returns None."})
          .def("set_feedback_rate", &set_feedback_rate, py::arg("rate"),
               glue::doc{"Rate of the feedback stream: a member of `Rates`, or a rate in Hz from 0 (the stream "
                         "stops) to 20000, sent as a divider of 20 kHz. Returns None; ValueError or TypeError "
                         "for other rates."})
          .def("get_items_blocking", &get_items_blocking, py::arg("items"), py::arg("timeout") = 1.0,
               glue::doc{"Read `items` (a list of `VEZ_Items`, at most 10) once, waiting up to `timeout` "
                         "seconds.\n\nReturns {item: value} (floats in the item's units, counters as int), or "
                         "{} after a timeout (logged)."})
          // Parameters
          .def("set_parameters", &set_parameters, py::arg("parameters"),
               glue::doc{"Write parameters: a dict {VEZ_Parameters member: number}, 9 per message. Returns None "
                         "without waiting; save_config makes them permanent."})
          .def("get_parameters", &get_parameters, py::arg("parameters"), py::arg("timeout") = 1.0,
               glue::doc{"Read `parameters` (a list of `VEZ_Parameters`), 9 per request, waiting up to "
                         "`timeout` seconds for each request.\n\nReturns {parameter: value} (MODE as a `Mode` "
                         "member, identification values as int, the others as float); {} when the first request "
                         "times out (logged)."})
          .def("get_parameters_all", &get_parameters_all,
               glue::doc{"Read every parameter of `VEZ_Parameters` (1 s timeout per request of 9). Returns "
                         "{parameter: value}, {} when the actuator does not answer."})
          .def("save_config", &save_config,
               glue::doc{"Make the actuator keep its present parameters across restarts. Returns None without "
                         "waiting."})
          .def("restore_factory_parameters", &restore_factory_parameters, py::arg("settle_time") = 1.0,
               glue::doc{"Stop the actuator and its feedback stream, reset its parameters to the factory "
                         "values, then wait `settle_time` seconds. Returns None."});
  add_older_names(builder);
  real_class = keep(builder.finish());

  fast.send_vez_common.remember_class_attribute(real_class, "_send_VEZ_common");
  fast.change_mode.remember_class_attribute(real_class, "change_mode");
  fast.address.remember_class_attribute(real_class, "address");
  fast.can_callback.remember_class_attribute(real_class, "_can_callback");
  fast.parse_parameters.remember_class_attribute(real_class, "_DorozeActuatorReal__parse_parameters");
  fast.send_ping.remember_class_attribute(real_class, "send_ping");
  fast.model.remember_class_attribute(real_class, "model");
  fast.version.remember_class_attribute(real_class, "version");
  fast.send_vez = glue::interned("_send_VEZ");
  fast.can_high_speed_keyword = keep(py::make_tuple("can_high_speed"));
  fast.high_speed_candidate_keyword = keep(py::make_tuple("high_speed_candidate"));

  py::object scanner =
      glue::ClassBuilder(mod, "DorozeActuatorScannerReal", py::make_tuple(builder.cls()),
                         "Discover real actuators through a connected CAN adapter.")
          .def("__init__", &scanner_init, py::arg("adapter_handler"), py::arg("logger") = py::none())
          .def("scan", &scanner_scan, py::arg("begin") = 1, py::arg("end") = mod.get("VEZ_ACTUATOR_ADDRESS_MAX"),
               glue::doc{"Ping every address from `begin` to `end` inclusive (50 ms each) and print each "
                         "actuator that answers.\n\nReturns the answering addresses (ints, ascending); [] when "
                         "the adapter did not answer at construction. Ctrl+C ends the scan with what was found "
                         "so far."})
          .def_property_readonly("is_connected", &scanner_is_connected, "Whether the adapter answered.")
          .finish();
  scanner_class = keep(scanner);
}
