// vez_api.tuning: gain tuning on the digital twin.  A Scenario says what to
// simulate (model, control mode, setpoint profile, external load, duration,
// the parameters it varies and the ones it fixes); run() simulates it once on
// a fresh virtual actuator with its telemetry log off (or one put back,
// bit for bit, into the state of a fresh one: see "Warm twins") and
// measures the response; sweep() runs many candidate gain sets on any
// concurrent.futures.Executor (a local process pool by default) and ranks
// them by a cost.
//
// Speed.  A run is a one-second warm-up of the twin (done once per process
// and model when the library can restore its state) followed by 20000 ticks
// per simulated second.  The ticks go straight to the wrapper's step through
// the backend's C API, and the signals are read from the model's memory
// located once per run (the same guarded fast paths the virtual actuator
// uses); should the backend not offer its fast step for this wrapper, every
// tick takes the ordinary Python calls instead.  Metrics come from the core
// (core/tuning_metrics), candidates from core/tuning_sampling.
//
// Pickling.  Scenarios, results and the task sent to workers are instances of
// classes that live in this module under their own names, so any executor
// that pickles (a process pool, a cluster) can ship them.
#include <Python.h>

#include <algorithm>
#include <cctype>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/parameter_file.hpp"
#include "core/raw_field.hpp"
#include "core/tuning_metrics.hpp"
#include "core/tuning_sampling.hpp"
#include "glue/glue.hpp"
#include "glue/lock_sharing.hpp"
#include "modules/_twin_backend_capi.hpp"
#include "modules/parameter_file_header.hpp"

namespace py = pybind11;
namespace core = vez::core;
namespace backend_api = vez::twin_backend;
using namespace pybind11::literals;

namespace {

glue::ModuleRef mod;
const backend_api::CApi* backend = nullptr;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

const char* const kMetricNames[] = {"rise_time",   "overshoot",    "settling_time", "steady_state_error", "iae",
                                    "peak_current", "peak_torque", "limit_hits",    "energy"};

// Parameters a scenario may vary or fix: those the twin holds, and the
// feed-forward gain and filter cutoffs it takes through the wrapper.
const char* const kTunable[] = {"K_DAMPING",        "K_STIFFNESS",      "TORQUE_FF",        "LIM_TORQUE",
                                "LIM_POSITION_MAX", "LIM_POSITION_MIN", "LIM_SPEED_MAX",    "LIM_SPEED_MIN",
                                "PROFILE_POSITION_MAX", "PROFILE_POSITION_MIN", "PROFILE_SPEED_MAX",
                                "PROFILE_SPEED_MIN", "KP_SPEED", "KI_SPEED", "KP_POSITION", "FF_GAIN",
                                "SPEED_CUTOFF",     "CURRENT_CUTOFF"};
// Of those, the ones a negative value makes no sense for.
const char* const kNonNegative[] = {"K_DAMPING", "K_STIFFNESS", "LIM_TORQUE", "KP_SPEED", "KI_SPEED",
                                    "KP_POSITION", "FF_GAIN", "SPEED_CUTOFF", "CURRENT_CUTOFF"};

const char* const kTunedModes[] = {"TORQUE", "SPEED", "POSITION", "IMPEDANCE"};

template <size_t N>
bool listed(const char* const (&names)[N], const std::string& name) {
  return std::find_if(std::begin(names), std::end(names), [&](const char* n) { return name == n; }) != std::end(names);
}

template <typename... T>
py::list make_list(T&&... items) {
  py::list out;
  (out.append(std::forward<T>(items)), ...);
  return out;
}

// A new dict with the items of a mapping (py::dict(obj) would share a dict).
py::dict new_dict(py::handle mapping) { return py::module_::import("builtins").attr("dict")(mapping); }

bool is_model_path(const std::string& name) { return name.find('.') != std::string::npos; }

// ---------------------------------------------------------------------------
// Scenario

struct Profile {
  enum Kind { kStep, kRamp, kTrajectory } kind = kStep;
  double value = 0.0, at = 0.0, duration = 0.0;
  std::vector<std::pair<double, double>> points;  // trajectory (time, value), by time

  // Reference at time t for a move that starts from `initial`.
  double at_time(double t, double initial) const {
    switch (kind) {
      case kStep:
        return t < at ? initial : value;
      case kRamp:
        if (t < at) return initial;
        if (t >= at + duration) return value;
        return initial + (value - initial) * (t - at) / duration;
      case kTrajectory:
        break;
    }
    if (t <= points.front().first) return points.front().second;
    if (t >= points.back().first) return points.back().second;
    auto hi = std::upper_bound(points.begin(), points.end(), t,
                               [](double x, const std::pair<double, double>& p) { return x < p.first; });
    auto lo = hi - 1;
    if (hi->first == lo->first) return hi->second;
    return lo->second + (hi->second - lo->second) * (t - lo->first) / (hi->first - lo->first);
  }
  double move_start() const { return kind == kTrajectory ? points.front().first : at; }
  double target() const { return kind == kTrajectory ? points.back().second : value; }
};

double finite_number(py::handle value, const std::string& what) {
  const double v = glue::as_float(value, what.c_str());
  if (!std::isfinite(v)) glue::raise(PyExc_ValueError, what + " must be a finite number, got " + glue::str(value));
  return v;
}

Profile read_profile(py::handle setpoint) {
  Profile p;
  if (py::isinstance(setpoint, mod.get("Step"))) {
    p.kind = Profile::kStep;
    p.value = finite_number(setpoint.attr("value"), "Step.value");
    p.at = finite_number(setpoint.attr("at"), "Step.at");
  } else if (py::isinstance(setpoint, mod.get("Ramp"))) {
    p.kind = Profile::kRamp;
    p.value = finite_number(setpoint.attr("value"), "Ramp.value");
    p.at = finite_number(setpoint.attr("at"), "Ramp.at");
    p.duration = finite_number(setpoint.attr("duration"), "Ramp.duration");
    if (!(p.duration > 0.0)) glue::raise(PyExc_ValueError, "Ramp.duration must be positive");
  } else if (py::isinstance(setpoint, mod.get("Trajectory"))) {
    p.kind = Profile::kTrajectory;
    for (py::handle point : setpoint.attr("points")) {
      py::tuple pair = py::tuple(py::reinterpret_borrow<py::object>(point));
      if (pair.size() != 2) glue::raise(PyExc_ValueError, "Trajectory points are (time, value) pairs");
      p.points.emplace_back(finite_number(pair[0], "trajectory time"), finite_number(pair[1], "trajectory value"));
    }
    if (p.points.empty()) glue::raise(PyExc_ValueError, "Trajectory needs at least one point");
    for (size_t i = 1; i < p.points.size(); ++i)
      if (p.points[i].first < p.points[i - 1].first)
        glue::raise(PyExc_ValueError, "Trajectory times must not decrease");
  } else {
    glue::raise_arg_type("setpoint", "Step, Ramp or Trajectory", setpoint);
  }
  return p;
}

// Piecewise-constant external load: (time, N*m) from that time on.
std::vector<std::pair<double, double>> read_load(py::handle load) {
  std::vector<std::pair<double, double>> out;
  for (py::handle item : load) {
    py::tuple pair = py::tuple(py::reinterpret_borrow<py::object>(item));
    if (pair.size() != 2) glue::raise(PyExc_ValueError, "load entries are (time, torque) pairs");
    out.emplace_back(finite_number(pair[0], "load time"), finite_number(pair[1], "load torque"));
  }
  std::stable_sort(out.begin(), out.end(), [](auto& a, auto& b) { return a.first < b.first; });
  return out;
}

std::string mode_name(py::handle mode) {
  std::string name = PyUnicode_Check(mode.ptr()) ? glue::str(mode) : glue::str(mode.attr("name"));
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (!listed(kTunedModes, name))
    glue::raise(PyExc_ValueError, "mode " + glue::str(mode) + " cannot be tuned; use TORQUE, SPEED, POSITION or IMPEDANCE");
  return name;
}

void check_parameter_name(const std::string& name) {
  if (is_model_path(name) || listed(kTunable, name)) return;
  glue::raise(PyExc_ValueError, "'" + name + "' is not a tunable parameter (tunable: the gains, limits, profile "
                                "and filter parameters, or a model path such as 'inp.T_ADC')");
}

// Scenario.__post_init__: normalises and checks the fields, so a bad
// scenario fails where it is made rather than in every worker.
void scenario_post_init(py::object self) {
  self.attr("mode") = py::str(mode_name(self.attr("mode")));
  read_profile(self.attr("setpoint"));
  self.attr("load") = py::tuple(py::list(py::module_::import("builtins").attr("map")(
      py::module_::import("builtins").attr("tuple"), self.attr("load"))));
  read_load(self.attr("load"));
  const double duration = finite_number(self.attr("duration"), "duration");
  if (!(duration > 0.0)) glue::raise(PyExc_ValueError, "duration must be positive, got " + glue::str(self.attr("duration")));
  const double rate = finite_number(self.attr("response_rate_hz"), "response_rate_hz");
  if (!(rate > 0.0)) glue::raise(PyExc_ValueError, "response_rate_hz must be positive");
  py::tuple vary = py::tuple(self.attr("vary"));
  for (py::handle name : vary) check_parameter_name(glue::str(name));
  self.attr("vary") = vary;
  py::dict fixed = new_dict(self.attr("fixed"));
  for (auto item : fixed) {
    check_parameter_name(glue::str(item.first));
    finite_number(item.second, "fixed " + glue::str(item.first));
  }
  self.attr("fixed") = fixed;
}

// ---------------------------------------------------------------------------
// Reading the model during a run

// One numeric field of a model structure: raw memory when the backend can
// locate it, ctypes otherwise.
struct Signal {
  py::object owner;  // the structure view
  py::object name;
  backend_api::RawField raw{backend_api::RawField::kOther, nullptr, core::FieldKind::f64};

  void locate() {
    unsigned tag = 0;
    if (backend == nullptr || backend->raw_field(owner.ptr(), name.ptr(), &raw, &tag) != 0) {
      if (PyErr_Occurred()) PyErr_Clear();
      raw.state = backend_api::RawField::kOther;
    }
  }
  double read() const {
    if (raw.state == backend_api::RawField::kRaw && raw.kind == core::FieldKind::f64) {  // the usual: no dispatch
      double v;
      std::memcpy(&v, raw.address, sizeof v);
      return v;
    }
    if (raw.state == backend_api::RawField::kRaw) {
      if (core::is_floating(raw.kind)) return core::read_floating(raw.kind, raw.address);
      if (core::is_signed_integer(raw.kind)) return static_cast<double>(core::read_signed(raw.kind, raw.address));
      return static_cast<double>(core::read_unsigned(raw.kind, raw.address));
    }
    py::object v = owner.attr(name);
    const double d = PyFloat_AsDouble(v.ptr());
    if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return d;
  }
};

const char* const kLimitFlags[] = {"T_fb_max",    "T_ref_max",   "i_max",      "pos_fb_max", "pos_fb_min",
                                   "pos_ref_max", "pos_ref_min", "spd_fb_max", "spd_ref_max", "spd_ref_min"};

struct Probes {
  Signal position, speed, torque, iq, id, bus_power;
  std::vector<Signal> flags;

  explicit Probes(py::handle wrapper) {
    py::object info = wrapper.attr("info"), motor = wrapper.attr("motor"), debug = wrapper.attr("debug");
    position = {info, py::str("pos_fb")};
    speed = {info, py::str("spd_fb")};
    torque = {info, py::str("T_fb")};
    iq = {info, py::str("iq_fb")};
    id = {info, py::str("id_fb")};
    bus_power = {motor, py::str("m_pwr_dc")};
    for (const char* f : kLimitFlags)
      if (py::hasattr(debug, f)) flags.push_back({debug, py::str(f)});
    locate();
  }
  void locate() {
    for (Signal* s : {&position, &speed, &torque, &iq, &id, &bus_power}) s->locate();
    for (Signal& s : flags) s.locate();
  }
  uint32_t limit_flags() const {
    uint32_t bits = 0;
    for (size_t i = 0; i < flags.size(); ++i) {
      const Signal& f = flags[i];
      bool set;
      if (f.raw.state == backend_api::RawField::kRaw && f.raw.kind == core::FieldKind::boolean) {
        unsigned char byte;
        std::memcpy(&byte, f.raw.address, 1);
        set = byte != 0;
      } else {
        set = f.read() != 0.0;
      }
      if (set) bits |= 1u << i;
    }
    return bits;
  }
};

// One model step with this reference and load.
void step_wrapper(py::handle wrapper, double reference, double load, Probes& probes) {
  if (backend != nullptr && backend->step_pure(wrapper.ptr(), reference, load) == 1) return;
  int done = backend != nullptr ? backend->step(wrapper.ptr(), reference, load) : 0;
  if (done < 0) throw py::error_already_set();
  if (done == 0) wrapper.attr("step")(reference, load);
  probes.locate();  // Python code may have run: locate the fields afresh
}

py::object to_array(const std::vector<double>& values) {
  py::object arr = mod.get("array").attr("array")("d");
  if (!values.empty())
    arr.attr("frombytes")(py::bytes(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(double)));
  return arr;
}

py::object make_result(py::dict gains, bool ok, py::object error, py::dict metrics,
                       const std::array<std::vector<double>, 6>& series, py::dict parameters = py::dict()) {
  return mod.get("Result")("gains"_a = gains, "ok"_a = ok, "error"_a = error, "metrics"_a = metrics,
                           "parameters"_a = parameters,
                           "time"_a = to_array(series[0]), "reference"_a = to_array(series[1]),
                           "response"_a = to_array(series[2]), "speed"_a = to_array(series[3]),
                           "torque"_a = to_array(series[4]), "current"_a = to_array(series[5]));
}

py::object failed_result(py::dict gains, const std::string& why) {
  return make_result(gains, false, py::str(why), py::dict(), {});
}

// Why a gain set cannot be tried, or "" when it can.
std::string invalid_candidate(py::dict gains) {
  for (auto item : gains) {
    const std::string name = glue::str(item.first);
    if (!is_model_path(name) && !listed(kTunable, name)) return "'" + name + "' is not a tunable parameter";
    PyObject* v = item.second.ptr();
    if (PyBool_Check(v) || !(PyFloat_Check(v) || PyLong_Check(v) || PyNumber_Check(v)))
      return name + ": not a number (" + glue::str(item.second) + ")";
    const double d = PyFloat_AsDouble(v);
    if (d == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();
      return name + ": not a number (" + glue::str(item.second) + ")";
    }
    if (!std::isfinite(d)) return name + ": not a finite number (" + glue::str(item.second) + ")";
    if (d < 0.0 && listed(kNonNegative, name)) return name + ": must not be negative (" + glue::str(item.second) + ")";
  }
  return "";
}

py::object parameter_key(py::handle actuator, const std::string& name) {
  return actuator.attr("VEZ_Parameters").attr("__getitem__")(name);
}

// Writes every value: model paths directly, parameters in one set_parameters call.
void apply_parameters(py::handle actuator, py::dict values) {
  py::dict by_member;
  for (auto item : values) {
    const std::string name = glue::str(item.first);
    const double v = glue::as_float(item.second, name.c_str());
    if (is_model_path(name)) {
      actuator.attr("_write_path")(name, v);
    } else {
      by_member[parameter_key(actuator, name)] = v;
    }
  }
  if (py::len(by_member) != 0) actuator.attr("set_parameters")(by_member);
}

double held_value(py::handle actuator, const std::string& name) {
  if (is_model_path(name)) return glue::as_float(actuator.attr("_read_path")(name), name.c_str());
  py::object key = parameter_key(actuator, name);
  return glue::as_float(actuator.attr("get_parameters")(make_list(key))[key], name.c_str());
}

// What the model holds for the scenario's varied and fixed parameters and the gains.
py::dict held_parameters(py::handle actuator, py::handle vary, py::dict values) {
  py::dict out;
  for (py::handle n : vary) out[n] = held_value(actuator, glue::str(n));
  for (auto item : values) out[item.first] = held_value(actuator, glue::str(item.first));
  return out;
}

// "" when every model path among `names` leads to a value of the model, else
// which does not.  (Setting an attribute the model lacks would only add one
// to the Python object: the run would go on as if the value had been taken.)
std::string unknown_model_path(py::handle wrapper, py::handle names) {
  for (py::handle n : names) {
    const std::string name = glue::str(n);
    if (!is_model_path(name)) continue;
    py::object node = py::reinterpret_borrow<py::object>(wrapper);
    std::string walked;
    size_t start = 0;
    while (true) {
      const size_t dot = name.find('.', start);
      const std::string part = name.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
      if (part.empty() || !py::hasattr(node, part.c_str()))
        return "'" + name + "' is not in the model (" + (walked.empty() ? "the model" : walked) + " has no '" +
               part + "')";
      node = node.attr(part.c_str());
      walked += (walked.empty() ? "" : ".") + part;
      if (dot == std::string::npos) break;
      start = dot + 1;
    }
  }
  return "";
}

// "" when the model holds what was written, else what it refused.
std::string refused_parameters(py::handle actuator, py::dict values) {
  for (auto item : values) {
    const std::string name = glue::str(item.first);
    const double wanted = glue::as_float(item.second, name.c_str());
    const double held = held_value(actuator, name);
    if (!(std::fabs(held - wanted) <= 1e-6 * std::max(1.0, std::fabs(wanted))))  // f32 models round
      return name + " = " + glue::str(item.second) + " is outside the model's limits (it holds " +
             glue::str(py::float_(held)) + ")";
  }
  return "";
}

// The message the model left in its root structure's error status, "" when none.
std::string model_error(py::handle wrapper) {
  py::object status;
  try {
    status = wrapper.attr("model").attr("errorStatus");
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_AttributeError)) throw;
    return "";
  }
  if (status.is_none()) return "";
  if (PyBytes_Check(status.ptr())) return std::string(py::bytes(status));  // a c_char_p field
  py::object ctypes = py::module_::import("ctypes");
  py::object address = ctypes.attr("cast")(status, ctypes.attr("c_void_p")).attr("value");
  if (address.is_none()) return "";
  return std::string(py::bytes(ctypes.attr("string_at")(address)));
}

// ---------------------------------------------------------------------------
// Warm twins: a connected, started actuator kept per process for reuse
//
// Making a fresh actuator (assets search, a private copy of the library, the
// bindings executed, the ctypes structures built) and its one-second warm-up
// cost more than the simulated second itself.  A library that can save and
// restore its whole state (DT_state_size, DT_save_state, DT_restore_state)
// lets a run start from a copy of the state its actuator had right after the
// warm-up instead: bit for bit what a fresh actuator would do.  The values
// that live outside the library (the actuator's tracked parameters, the
// wrapper's own values it writes into the inputs at every step, and every
// parameter a run wrote, as held before its first write) are put back too.
// A twin that failed, raised or reported an error in any way is dropped,
// never reused; a library without the entry points gets a fresh actuator
// per run.  Runs on two threads never share one: an entry leaves the cache
// while a run uses it.

using StateSizeFn = size_t (*)();
using SaveStateFn = void (*)(void*);
using RestoreStateFn = void (*)(const void*);

// The wrapper's values that reach the inputs at every step.
const char* const kWrapperValues[] = {"_feedforward_gain", "_reference_feedforward_torque",
                                      "_impedance_speed_reference", "_impedance_acceleration_reference"};

struct Twin {
  std::string key;           // what makes a fresh actuator differ
  py::object actuator;       // connected, started
  py::object wrapper;        // actuator.actuator
  double rate = 0.0;
  // Saving and restoring; all null for a library without them.
  py::object entry_points;   // the ctypes functions (they hold the library)
  SaveStateFn save = nullptr;
  RestoreStateFn restore = nullptr;
  std::vector<unsigned char> state;  // right after the warm-up
  py::dict tracked;          // actuator._tracked_numeric_values then
  py::dict wrapper_values;   // kWrapperValues then
  py::dict held;             // parameter name -> value then, read before its first write
  py::list written;          // names runs wrote since
  // Buffers of a run, kept for the next.
  std::vector<double> output, reference;
  std::array<std::vector<double>, 6> series;

  bool reusable() const { return restore != nullptr; }
};

constexpr size_t kMaxWarmTwins = 4;
// Touched only with the GIL held and without running Python code in
// between, so two threads never see it half changed.  Never destroyed:
// cleared (the actuators disconnected) at interpreter exit.
std::vector<std::unique_ptr<Twin>>* warm_twins = new std::vector<std::unique_ptr<Twin>>();

void disconnect_twin(std::unique_ptr<Twin> twin) {
  if (!twin || !twin->actuator) return;
  py::error_scope keep;  // may run while an exception is on its way
  try {
    twin->actuator.attr("disconnect")();
  } catch (py::error_already_set&) {
    // nothing better to do: the twin is gone either way
  }
}

size_t forget_warm_twins() {
  std::vector<std::unique_ptr<Twin>> gone;
  gone.swap(*warm_twins);
  const size_t n = gone.size();
  for (auto& t : gone) disconnect_twin(std::move(t));
  return n;
}

std::unique_ptr<Twin> take_warm_twin(const std::string& key) {
  for (auto it = warm_twins->end(); it != warm_twins->begin();) {
    --it;
    if ((*it)->key == key) {
      std::unique_ptr<Twin> twin = std::move(*it);
      warm_twins->erase(it);
      return twin;
    }
  }
  return nullptr;
}

void keep_warm_twin(std::unique_ptr<Twin> twin) {
  std::unique_ptr<Twin> evicted;
  if (warm_twins->size() >= kMaxWarmTwins) {
    evicted = std::move(warm_twins->front());
    warm_twins->erase(warm_twins->begin());
  }
  warm_twins->push_back(std::move(twin));
  disconnect_twin(std::move(evicted));  // after the cache is whole again: this runs Python code
}

std::string text_of(py::handle value) {
  if (value.is_none()) return "\x01";  // unlike any path
  py::object path = py::reinterpret_steal<py::object>(PyOS_FSPath(value.ptr()));
  if (!path) {
    PyErr_Clear();
    return glue::str(py::repr(value));
  }
  return glue::str(py::str(path));
}

// Everything a fresh actuator for this scenario depends on.
std::string twin_key(py::handle scenario, const std::string& mode) {
  std::string key = glue::str(scenario.attr("model"));
  key += '\0' + mode;
  key += '\0' + text_of(scenario.attr("library_path"));
  key += '\0' + text_of(scenario.attr("bindings_root"));
  // Where the search for the artifacts looks.
  key += '\0' + text_of(mod.get("os").attr("environ").attr("get")("VEZ_API_VIRTUAL_ASSETS_ROOT"));
  try {
    key += '\0' + text_of(mod.get("os").attr("getcwd")());
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_OSError)) throw;
    key += "\0\x02";  // no working directory: the search finds nothing there
  }
  return key;
}

// The library's state entry points, or nothing when it lacks one.
void find_state_entry_points(Twin& twin) {
  py::object ctypes = py::module_::import("ctypes");
  py::object lib = py::getattr(twin.wrapper, "_lib", py::none());
  py::object handle = lib.is_none() ? py::object(py::none()) : py::getattr(lib, "_dll", py::none());
  if (handle.is_none() || !py::isinstance(handle, ctypes.attr("CDLL"))) return;
  py::list functions;
  void* addresses[3] = {};
  const char* const names[3] = {"DT_state_size", "DT_save_state", "DT_restore_state"};
  for (int i = 0; i < 3; ++i) {
    py::object fn;
    try {
      fn = handle.attr(names[i]);
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_AttributeError)) throw;
      return;  // an older library: a fresh actuator per run
    }
    // The address from the function object's own storage (ctypes.cast would
    // make the object refer to itself).
    py::object address = ctypes.attr("c_void_p").attr("from_address")(ctypes.attr("addressof")(fn)).attr("value");
    if (address.is_none()) return;
    addresses[i] = PyLong_AsVoidPtr(address.ptr());
    if (addresses[i] == nullptr) {
      PyErr_Clear();
      return;
    }
    functions.append(fn);
  }
  const size_t size = reinterpret_cast<StateSizeFn>(addresses[0])();
  if (size == 0 || size > (size_t{1} << 30)) return;
  twin.state.assign(size, 0);
  twin.entry_points = functions;
  twin.save = reinterpret_cast<SaveStateFn>(addresses[1]);
  twin.restore = reinterpret_cast<RestoreStateFn>(addresses[2]);
}

// A fresh actuator, connected and started in `mode`; when its library can
// save its state, that state and the values around it are recorded.
std::unique_ptr<Twin> make_twin(py::handle scenario, const std::string& mode, std::string key) {
  auto twin = std::make_unique<Twin>();
  twin->key = std::move(key);
  py::object actuator = mod.get("DorozeActuatorVirtual")("telemetry_max_ticks"_a = 0);
  actuator.attr("set_actuator")(scenario.attr("model"), "library_path"_a = scenario.attr("library_path"),
                                "bindings_root"_a = scenario.attr("bindings_root"));
  actuator.attr("connect")();
  twin->actuator = actuator;  // disconnected by whoever drops the twin from here on
  try {
    actuator.attr("change_mode")(actuator.attr("Mode").attr("__getitem__")(mode));
    actuator.attr("start")();  // warm-up, then the motor on
    twin->wrapper = actuator.attr("actuator");
    twin->rate = glue::as_float(actuator.attr("get_sim_rate_hz")(), "rate");
    find_state_entry_points(*twin);
    if (twin->reusable()) {
      twin->save(twin->state.data());
      twin->tracked = new_dict(actuator.attr("_tracked_numeric_values"));
      for (const char* name : kWrapperValues)
        if (py::hasattr(twin->wrapper, name)) twin->wrapper_values[name] = twin->wrapper.attr(name);
    }
  } catch (py::error_already_set&) {
    disconnect_twin(std::move(twin));
    throw;
  }
  return twin;
}

// Puts a warm twin back as it was right after its warm-up.
void restore_twin(Twin& twin) {
  if (py::len(twin.written) != 0) {
    py::dict before;
    for (py::handle name : twin.written) before[name] = twin.held[name];
    apply_parameters(twin.actuator, before);
  }
  twin.restore(twin.state.data());
  py::object tracked = twin.actuator.attr("_tracked_numeric_values");
  tracked.attr("clear")();
  tracked.attr("update")(twin.tracked);
  for (auto item : twin.wrapper_values) py::setattr(twin.wrapper, item.first, item.second);
}

// Records, before a run writes them, what the twin held for `values` at its
// snapshot (it is in that state now), so later runs can put them back.
void note_writes(Twin& twin, py::dict values) {
  if (!twin.reusable()) return;
  for (auto item : values) {
    if (twin.held.contains(item.first)) continue;
    twin.held[item.first] = py::float_(held_value(twin.actuator, glue::str(item.first)));
    twin.written.append(item.first);
  }
}

// The simulation proper on a started twin; sets *reuse when the twin is
// fit for another run.
py::object simulate(Twin& twin, py::object scenario, py::dict gains, py::dict values, const std::string& mode,
                    const Profile& profile, const std::vector<std::pair<double, double>>& load, double duration,
                    double response_rate, bool* reuse) {
  *reuse = false;
  py::object actuator = twin.actuator;
  py::object wrapper = twin.wrapper;
  const double rate = twin.rate;
  const double dt = 1.0 / rate;
  std::string failure;
  try {
    failure = unknown_model_path(wrapper, scenario.attr("vary"));
    if (failure.empty()) failure = unknown_model_path(wrapper, values);
    if (failure.empty()) note_writes(twin, values);
    if (failure.empty()) apply_parameters(actuator, values);
    if (failure.empty()) failure = refused_parameters(actuator, values);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    failure = glue::str(e.value());
  }
  if (!failure.empty()) return failed_result(gains, failure);

  Probes probes(wrapper);
  Signal* controlled = mode == "SPEED" ? &probes.speed : mode == "TORQUE" ? &probes.torque : &probes.position;
  const double initial = (mode == "POSITION" || mode == "IMPEDANCE") ? controlled->read() : 0.0;

  const size_t ticks = static_cast<size_t>(std::max(1.0, std::round(duration * rate)));
  const size_t every = static_cast<size_t>(std::max(1.0, std::round(rate / response_rate)));
  // The twin's buffers: a run allocates (and the system maps and unmaps)
  // nothing per tick.
  std::vector<double>& output = twin.output;
  std::vector<double>& reference = twin.reference;
  output.assign(ticks, 0.0);
  reference.assign(ticks, 0.0);
  std::array<std::vector<double>, 6>& series = twin.series;
  for (auto& s : series) {
    s.clear();
    s.reserve(ticks / every + 1);
  }
  core::DriveTally tally(dt);
  size_t next_load = 0;
  double load_now = 0.0;
  // A long run lets the process's other threads in (a cluster worker's
  // event loop, say) as Python's own loop would, and sees Ctrl-C.
  glue::LockSharing sharing;
  constexpr size_t kTicksBetweenSignalChecks = 20000;
  for (size_t k = 0; k < ticks; ++k) {
    if (sharing.due()) {
      glue::let_other_threads_run();
      probes.locate();  // Python code may have run: locate the fields afresh
    }
    if (k != 0 && k % kTicksBetweenSignalChecks == 0) {
      if (PyErr_CheckSignals() != 0) throw py::error_already_set();
      probes.locate();
    }
    const double t = static_cast<double>(k) * dt;
    while (next_load < load.size() && load[next_load].first <= t + 0.5 * dt) load_now = load[next_load++].second;
    const double r = profile.at_time(t, initial);
    step_wrapper(wrapper, r, load_now, probes);
    output[k] = controlled->read();
    reference[k] = r;
    const double iq = probes.iq.read();
    const double torque = probes.torque.read();
    const double id = probes.id.read();
    tally.add(std::sqrt(iq * iq + id * id), torque, probes.bus_power.read(), probes.limit_flags());
    if (k % every == 0) {
      series[0].push_back(t);
      series[1].push_back(r);
      series[2].push_back(output[k]);
      series[3].push_back(probes.speed.read());
      series[4].push_back(torque);
      series[5].push_back(iq);
    }
  }

  core::ResponseSpec spec;
  spec.dt = dt;
  spec.start = std::min(ticks - 1, static_cast<size_t>(std::max(0.0, std::round(profile.move_start() * rate))));
  spec.initial = spec.start == 0 ? initial : output[spec.start - 1];
  spec.target = profile.target();
  spec.smooth_samples = static_cast<size_t>(std::round(1e-3 * rate)) | 1u;  // 1 ms against sensor noise
  spec.max_settle_smooth_samples = static_cast<size_t>(std::round(20e-3 * rate)) | 1u;
  const core::ResponseMetrics m = core::response_metrics(output, reference, spec);
  py::dict metrics;
  metrics["rise_time"] = m.rise_time;
  metrics["overshoot"] = m.overshoot;
  metrics["settling_time"] = m.settling_time;
  metrics["steady_state_error"] = m.steady_state_error;
  metrics["iae"] = m.iae;
  metrics["peak_current"] = tally.peak_current();
  metrics["peak_torque"] = tally.peak_torque();
  metrics["limit_hits"] = py::int_(tally.limit_hits());
  metrics["energy"] = tally.energy();

  const std::string refused = model_error(wrapper);
  if (!refused.empty()) {
    failure = "the model reported: " + refused;
  } else if (!tally.finite() || std::isnan(m.iae)) {
    failure = "the simulation diverged (non-finite signals)";
  } else {
    failure = refused_parameters(actuator, values);  // undone during the run
  }
  py::dict held = held_parameters(actuator, scenario.attr("vary"), values);
  if (!failure.empty()) return make_result(gains, false, py::str(failure), metrics, series, held);
  *reuse = true;
  return make_result(gains, true, py::none(), metrics, series, held);
}

// One simulation of `scenario` with `gains` written over its fixed values.
py::object run(py::object scenario, py::handle gains_arg) {
  py::dict gains = gains_arg.is_none() ? py::dict() : new_dict(gains_arg);
  // Scenario fields (checked again: a scenario may be built field by field).
  const std::string mode = mode_name(scenario.attr("mode"));
  const Profile profile = read_profile(scenario.attr("setpoint"));
  const auto load = read_load(scenario.attr("load"));
  const double duration = finite_number(scenario.attr("duration"), "duration");
  const double response_rate = finite_number(scenario.attr("response_rate_hz"), "response_rate_hz");
  py::dict values = new_dict(scenario.attr("fixed"));
  for (auto item : gains) values[item.first] = item.second;

  const std::string invalid = invalid_candidate(gains);
  if (!invalid.empty()) return failed_result(gains, invalid);

  std::string key = twin_key(scenario, mode);
  std::unique_ptr<Twin> twin = take_warm_twin(key);
  if (twin) {
    try {
      restore_twin(*twin);
    } catch (py::error_already_set&) {
      disconnect_twin(std::move(twin));
      throw;
    }
  } else {
    twin = make_twin(scenario, mode, std::move(key));
  }
  bool reuse = false;
  py::object result;
  try {
    result = simulate(*twin, scenario, gains, values, mode, profile, load, duration, response_rate, &reuse);
  } catch (py::error_already_set&) {
    disconnect_twin(std::move(twin));
    throw;
  }
  if (reuse && twin->reusable()) {
    keep_warm_twin(std::move(twin));
  } else {
    disconnect_twin(std::move(twin));
  }
  return result;
}

// ---------------------------------------------------------------------------
// Candidates

std::vector<core::SweepAxis> read_axes(py::handle axes_arg, bool need_count) {
  py::dict axes = glue::as_dict_or_subclass(axes_arg, "axes");
  std::vector<core::SweepAxis> out;
  for (auto item : axes) {
    core::SweepAxis a;
    a.name = glue::str(item.first);
    check_parameter_name(a.name);
    py::tuple spec = py::tuple(py::reinterpret_borrow<py::object>(item.second));
    const size_t n = spec.size();
    if (n < 2 || n > 4) glue::raise(PyExc_ValueError, "axis " + a.name + ": give (low, high[, count[, 'log']])");
    a.low = glue::as_float(spec[0], "low");
    a.high = glue::as_float(spec[1], "high");
    size_t next = 2;
    if (n > next && !PyUnicode_Check(spec[next].ptr())) {
      const long long count = glue::as_int(spec[next], "count").cast<long long>();
      if (count < 1) glue::raise(PyExc_ValueError, "axis " + a.name + ": at least one point is needed");
      a.count = static_cast<size_t>(count);
      ++next;
    } else if (need_count) {
      glue::raise(PyExc_ValueError, "axis " + a.name + ": a grid axis needs a point count");
    }
    if (n > next) {
      const std::string scale = glue::str(spec[next]);
      if (scale != "log" && scale != "linear") glue::raise(PyExc_ValueError, "axis " + a.name + ": scale is 'linear' or 'log'");
      a.log = scale == "log";
    }
    out.push_back(a);
  }
  try {
    core::check_axes(out);
  } catch (const core::SweepAxisError& e) {
    glue::raise(PyExc_ValueError, e.what());
  }
  return out;
}

py::list to_candidates(const std::vector<core::SweepAxis>& axes, const std::vector<core::Candidate>& points) {
  py::list out;
  for (const auto& p : points) {
    py::dict c;
    for (size_t i = 0; i < axes.size(); ++i) c[py::str(axes[i].name)] = p[i];
    out.append(c);
  }
  return out;
}

py::list grid(py::handle axes_arg) {
  const auto axes = read_axes(axes_arg, true);
  if (core::grid_size(axes) > 10'000'000) glue::raise(PyExc_ValueError, "grid of more than 10,000,000 candidates");
  return to_candidates(axes, core::grid_candidates(axes));
}

size_t sample_count(py::handle samples) {
  const long long n = glue::as_int(samples, "samples").cast<long long>();
  if (n < 0) glue::raise(PyExc_ValueError, "samples must be >= 0");
  return static_cast<size_t>(n);
}

uint64_t seed_of(py::handle seed) { return glue::low_bits(glue::as_int(seed, "seed")); }

py::list random_samples(py::handle axes_arg, py::handle samples, py::handle seed) {
  const auto axes = read_axes(axes_arg, false);
  return to_candidates(axes, core::random_candidates(axes, sample_count(samples), seed_of(seed)));
}

py::list latin_hypercube(py::handle axes_arg, py::handle samples, py::handle seed) {
  const auto axes = read_axes(axes_arg, false);
  return to_candidates(axes, core::latin_hypercube_candidates(axes, sample_count(samples), seed_of(seed)));
}

// ---------------------------------------------------------------------------
// Costs and sweeps

void check_cost(py::handle cost) {
  if (PyUnicode_Check(cost.ptr())) {
    if (!listed(kMetricNames, glue::str(cost)))
      glue::raise(PyExc_ValueError, "unknown cost metric '" + glue::str(cost) + "'");
  } else if (PyDict_Check(cost.ptr())) {
    for (auto item : py::reinterpret_borrow<py::dict>(cost)) {
      if (!listed(kMetricNames, glue::str(item.first)))
        glue::raise(PyExc_ValueError, "unknown cost metric '" + glue::str(item.first) + "'");
      glue::as_float(item.second, "weight");
    }
  } else if (!PyCallable_Check(cost.ptr())) {
    glue::raise_arg_type("cost", "str, dict or callable", cost);
  }
}

double metric_value(py::handle metrics, py::handle name) {
  const double v = glue::as_float(py::reinterpret_borrow<py::dict>(metrics)[name], "metric");
  return std::fabs(v);  // an error of either sign costs the same
}

// The cost of a successful result: a metric, a weighted sum of metrics, or
// what a callable says.  NaN (a figure that does not exist, such as the
// settling time of a response that never settles) ranks last.
double cost_of(py::handle result, py::handle cost) {
  py::object metrics = result.attr("metrics");
  double c;
  if (PyUnicode_Check(cost.ptr())) {
    c = metric_value(metrics, cost);
  } else if (PyDict_Check(cost.ptr())) {
    c = 0.0;
    for (auto item : py::reinterpret_borrow<py::dict>(cost)) {
      const double w = glue::as_float(item.second, "weight");
      if (w != 0.0) c += w * metric_value(metrics, item.first);
    }
  } else {
    c = glue::as_float(cost(result), "cost");
  }
  return c;
}

// The work of one task: a chunk of candidates run one after another.
py::list run_chunk(py::handle /*self*/, py::object scenario, py::handle candidates) {
  py::list out;
  for (py::handle c : candidates) {
    py::object r;
    try {
      r = mod.get("run")(scenario, c);
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_Exception)) throw;
      // One candidate's surprise must not lose the rest of the chunk.
      r = failed_result(new_dict(c),
                        glue::str(e.type().attr("__name__")) + ": " + glue::str(e.value()));
    }
    out.append(r);
  }
  return out;
}

size_t default_workers() {
  py::object n = mod.get("os").attr("cpu_count")();
  return n.is_none() ? 1 : std::max<size_t>(1, n.cast<size_t>());
}

// How many tasks `executor` runs at once: a process or thread pool says so
// itself; the executor of a dask.distributed client asks the client for its
// workers' threads.  8 when it cannot be told.
size_t executor_workers(py::handle executor) {
  constexpr size_t kUnknown = 8;
  py::object known = py::getattr(executor, "_max_workers", py::none());
  if (PyLong_Check(known.ptr())) return std::max<long long>(1, known.cast<long long>());
  py::object client = py::getattr(executor, "_client", py::none());
  if (client.is_none() || !py::hasattr(client, "nthreads")) return kUnknown;
  size_t threads = 0;
  try {
    py::dict per_worker = client.attr("nthreads")();
    for (auto item : per_worker) threads += std::max<long long>(0, item.second.cast<long long>());
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return kUnknown;  // not the client this looks like
  } catch (py::cast_error&) {
    return kUnknown;
  }
  return threads == 0 ? kUnknown : threads;
}

py::object sweep(py::object scenario, py::handle candidates_arg, py::handle executor, py::handle cost,
                 py::handle chunk_size_arg, py::handle workers_arg) {
  check_cost(cost);
  py::list candidates;
  for (py::handle c : candidates_arg) {
    if (!PyDict_Check(c.ptr()) && !py::isinstance(c, py::module_::import("collections.abc").attr("Mapping")))
      glue::raise_arg_type("candidates", "an iterable of mappings", c);
    candidates.append(new_dict(c));
  }
  const size_t n = py::len(candidates);
  size_t workers = workers_arg.is_none() ? default_workers() : glue::as_int(workers_arg, "workers").cast<size_t>();
  if (workers < 1) glue::raise(PyExc_ValueError, "workers must be >= 1");
  if (executor.is_none() && !workers_arg.is_none()) {
    // given explicitly: the pool has exactly that many
  } else if (!executor.is_none()) {
    workers = executor_workers(executor);
  }
  // Four tasks per worker balance the load; each task still holds many runs,
  // so shipping it costs little next to the simulation.
  size_t chunk = chunk_size_arg.is_none() ? std::max<size_t>(1, (n + 4 * workers - 1) / (4 * workers))
                                          : glue::as_int(chunk_size_arg, "chunk_size").cast<size_t>();
  if (chunk < 1) glue::raise(PyExc_ValueError, "chunk_size must be >= 1");

  py::list results;
  py::object task = mod.get("_Task")();
  if (executor.is_none() && workers == 1) {
    results = run_chunk(task, scenario, candidates);  // no pool for one worker: this process does it
  } else if (n > 0) {
    py::object pool = py::reinterpret_borrow<py::object>(executor);
    bool own = false;
    if (executor.is_none()) {
      py::object mp = py::module_::import("multiprocessing");
      py::object futures = py::module_::import("concurrent.futures");
      // forkserver: workers start from a clean process, whatever threads this one runs.
      py::object context = mp.attr("get_context")(
          py::module_::import("sys").attr("platform").cast<std::string>() == "linux" ? "forkserver" : "spawn");
      const size_t tasks = (n + chunk - 1) / chunk;
      // Workers live as long as the sweep: a run gives back everything its
      // actuator took, so nothing builds up in them.
      pool = futures.attr("ProcessPoolExecutor")("max_workers"_a = std::min(workers, tasks), "mp_context"_a = context);
      own = true;
    }
    try {
      py::list pending;
      for (size_t i = 0; i < n; i += chunk) {
        py::list part;
        for (size_t j = i; j < std::min(n, i + chunk); ++j) part.append(candidates[j]);
        pending.append(pool.attr("submit")(task, scenario, part));
      }
      for (py::handle f : pending)
        for (py::handle r : f.attr("result")()) results.append(r);
    } catch (py::error_already_set&) {
      if (own) {
        py::error_scope keep;
        pool.attr("shutdown")("wait"_a = true, "cancel_futures"_a = true);
      }
      throw;
    }
    if (own) pool.attr("shutdown")("wait"_a = true);
  }

  py::list ok, failed;
  std::vector<std::pair<double, size_t>> order;
  for (size_t i = 0; i < py::len(results); ++i) {
    py::object r = results[i];
    if (PyObject_IsTrue(r.attr("ok").ptr())) {
      double c = cost_of(r, cost);
      r.attr("cost") = c;
      order.emplace_back(std::isnan(c) ? std::numeric_limits<double>::infinity() : c, py::len(ok));
      ok.append(r);
    } else {
      r.attr("cost") = kNaN;
      failed.append(r);
    }
  }
  std::stable_sort(order.begin(), order.end(), [](auto& a, auto& b) { return a.first < b.first; });
  py::list ranked;
  for (auto& o : order) ranked.append(ok[o.second]);
  py::object cost_name = PyUnicode_Check(cost.ptr()) ? py::reinterpret_borrow<py::object>(cost) : py::repr(cost);
  return mod.get("SweepResult")("scenario"_a = scenario, "results"_a = results, "ranked"_a = ranked,
                                "failed"_a = failed, "cost"_a = cost_name);
}

py::object sweep_best(py::object self) {
  py::list ranked = self.attr("ranked");
  return py::len(ranked) == 0 ? py::none() : py::object(ranked[0]);
}


// ---------------------------------------------------------------------------
// `doroze tune`

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;

void print(const std::string& text) { mod.global("print")(text); }

// A parameter name from the command line: actuator parameters in any case,
// model paths ('inp.T_ADC') exactly as written.
std::string parameter_name_as_given(std::string name) {
  if (is_model_path(name)) return name;
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return name;
}

// "NAME=a:b:n[:log],NAME=..." -> {NAME: (a, b, n[, 'log'])}; n may be left out with --samples.
py::dict parse_vary(py::handle texts) {
  py::dict axes;
  for (py::handle group : texts) {
    std::string all = glue::str(group);
    size_t pos = 0;
    while (pos <= all.size()) {
      size_t comma = all.find(',', pos);
      if (comma == std::string::npos) comma = all.size();
      std::string item = all.substr(pos, comma - pos);
      pos = comma + 1;
      if (item.empty()) continue;
      const size_t eq = item.find('=');
      if (eq == std::string::npos) glue::raise(PyExc_ValueError, "--vary takes NAME=LOW:HIGH[:COUNT[:log]], got " + item);
      std::string name = item.substr(0, eq);
      name = parameter_name_as_given(name);
      py::list parts = py::str(item.substr(eq + 1)).attr("split")(":");
      if (py::len(parts) < 2 || py::len(parts) > 4)
        glue::raise(PyExc_ValueError, "--vary takes NAME=LOW:HIGH[:COUNT[:log]], got " + item);
      py::list spec;
      py::object to_float = py::module_::import("builtins").attr("float");
      py::object to_int = py::module_::import("builtins").attr("int");
      spec.append(to_float(parts[0]));
      spec.append(to_float(parts[1]));
      for (size_t i = 2; i < py::len(parts); ++i) {
        const std::string p = glue::str(parts[i]);
        if (p == "log" || p == "linear") spec.append(py::str(p));
        else spec.append(to_int(parts[i]));
      }
      axes[py::str(name)] = py::tuple(spec);
    }
  }
  return axes;
}

// "NM@T" -> (T, NM).
py::tuple parse_load(py::handle text) {
  const std::string s = glue::str(text);
  const size_t at = s.find('@');
  py::object to_float = py::module_::import("builtins").attr("float");
  if (at == std::string::npos) return py::make_tuple(0.0, to_float(s));
  return py::make_tuple(to_float(s.substr(at + 1)), to_float(s.substr(0, at)));
}

std::string format_number(double v, const char* fmt) {
  if (std::isnan(v)) return "-";
  return py::str(fmt).attr("format")(v).cast<std::string>();
}

// One line of the table: label, the varied values, cost and the metrics.
std::string table_row(const std::string& label, py::handle result, py::handle names) {
  std::string row = py::str("{:>7}").attr("format")(label).cast<std::string>();
  py::dict gains = result.attr("gains");
  py::dict held = result.attr("parameters");
  for (py::handle n : names) {
    const double v = gains.contains(n) ? glue::as_float(gains[n], "gain")
                     : held.contains(n) ? glue::as_float(held[n], "gain") : kNaN;
    row += " " + py::str("{:>12}").attr("format")(format_number(v, "{:.5g}")).cast<std::string>();
  }
  py::dict m = result.attr("metrics");
  auto metric = [&](const char* name) { return m.contains(name) ? glue::as_float(m[name], name) : kNaN; };
  const double cost = glue::as_float(result.attr("cost"), "cost");
  const std::pair<double, const char*> cols[] = {
      {cost, "{:.4g}"},
      {metric("rise_time") * 1e3, "{:.1f}"},
      {metric("overshoot"), "{:.1f}"},
      {metric("settling_time") * 1e3, "{:.1f}"},
      {metric("steady_state_error"), "{:.2e}"},
      {metric("peak_current"), "{:.2f}"},
      {metric("peak_torque"), "{:.2f}"},
      {metric("limit_hits"), "{:.0f}"},
      {metric("energy"), "{:.3f}"}};
  for (auto& c : cols) row += " " + py::str("{:>10}").attr("format")(format_number(c.first, c.second)).cast<std::string>();
  return row;
}

std::string table_header(py::handle names) {
  std::string row = py::str("{:>7}").attr("format")("rank").cast<std::string>();
  for (py::handle n : names) row += " " + py::str("{:>12}").attr("format")(n).cast<std::string>();
  for (const char* h : {"cost", "rise ms", "overshoot%", "settle ms", "ss error", "peak A", "peak N*m", "limits",
                        "energy J"})
    row += " " + py::str("{:>10}").attr("format")(h).cast<std::string>();
  return row;
}

void write_csv(py::handle path, py::handle sweep_result, py::handle names) {
  py::object csv = py::module_::import("csv");
  py::object file = py::module_::import("builtins").attr("open")(path, "w", "newline"_a = "");
  try {
    py::object w = csv.attr("writer")(file);
    py::list header;
    header.append("index");
    for (py::handle n : names) header.append(n);
    header.append("ok");
    header.append("error");
    header.append("cost");
    for (const char* m : kMetricNames) header.append(m);
    w.attr("writerow")(header);
    size_t index = 0;
    for (py::handle r : sweep_result.attr("results")) {
      py::list row;
      row.append(index++);
      py::dict gains = r.attr("gains");
      for (py::handle n : names) row.append(gains.contains(n) ? py::object(gains[n]) : py::object(py::str("")));
      row.append(r.attr("ok"));
      row.append(r.attr("error").is_none() ? py::object(py::str("")) : r.attr("error"));
      row.append(r.attr("cost"));
      py::dict m = r.attr("metrics");
      for (const char* name : kMetricNames) row.append(m.contains(name) ? py::object(m[name]) : py::object(py::str("")));
      w.attr("writerow")(row);
    }
  } catch (py::error_already_set&) {
    py::error_scope keep;
    file.attr("close")();
    throw;
  }
  file.attr("close")();
}

// The best few responses against the one with the current gains.
void write_plot(py::handle path, py::handle scenario, py::list best, py::handle baseline, py::handle names) {
  py::object matplotlib = py::module_::import("matplotlib");
  matplotlib.attr("use")("Agg");
  py::object plt = py::module_::import("matplotlib.pyplot");
  py::tuple fig_axes = plt.attr("subplots")(2, 1, "sharex"_a = true, "figsize"_a = py::make_tuple(10, 7),
                                            "constrained_layout"_a = true);
  py::object fig = fig_axes[0];
  py::object axes = fig_axes[1];
  py::object top = axes.attr("__getitem__")(0), bottom = axes.attr("__getitem__")(1);
  const std::string mode = glue::str(scenario.attr("mode"));
  const char* unit = mode == "SPEED" ? "speed [rad/s]" : mode == "TORQUE" ? "torque [N*m]" : "position [rad]";
  top.attr("plot")(baseline.attr("time"), baseline.attr("reference"), "color"_a = "0.3", "linestyle"_a = "--",
                   "label"_a = "reference");
  auto label_of = [&](py::handle r, const std::string& head) {
    std::string text = head;
    py::dict gains = r.attr("gains");
    for (py::handle n : names)
      if (gains.contains(n)) text += " " + glue::str(n) + "=" + format_number(glue::as_float(gains[n], "g"), "{:.4g}");
    return text;
  };
  if (PyObject_IsTrue(baseline.attr("ok").ptr())) {
    top.attr("plot")(baseline.attr("time"), baseline.attr("response"), "color"_a = "black", "linewidth"_a = 2,
                     "label"_a = "current gains");
    bottom.attr("plot")(baseline.attr("time"), baseline.attr("torque"), "color"_a = "black", "linewidth"_a = 2,
                        "label"_a = "current gains");
  }
  size_t rank = 1;
  for (py::handle r : best) {
    const std::string label = label_of(r, "#" + std::to_string(rank++));
    top.attr("plot")(r.attr("time"), r.attr("response"), "label"_a = label);
    bottom.attr("plot")(r.attr("time"), r.attr("torque"), "label"_a = label);
  }
  top.attr("set_ylabel")(unit);
  top.attr("set_title")(glue::str(scenario.attr("model")) + " digital twin, " + mode + " mode: best candidates against the current gains");
  top.attr("legend")("fontsize"_a = "small");
  bottom.attr("set_ylabel")("torque [N*m]");
  bottom.attr("set_xlabel")("time [s]");
  for (py::handle ax : {top, bottom}) ax.attr("grid")(true, "alpha"_a = 0.3);
  fig.attr("savefig")(path, "dpi"_a = 110);
  plt.attr("close")(fig);
}

// A failure of `doroze tune` on standard error, after the command's name as
// its parser shows it, as the tool's other commands report theirs.
void print_failure(py::handle args, const std::string& text) {
  mod.global("print")(glue::str(args.attr("tune_parser").attr("prog")) + ": " + text,
                      "file"_a = py::module_::import("sys").attr("stderr"));
}

// An argument error: the parser's usage and message, status 2 (SystemExit).
[[noreturn]] void usage_error(py::handle args, const std::string& text) {
  args.attr("tune_parser").attr("error")(text);
  throw std::logic_error("argparse's error() returned");
}

using glue::truthy;

std::string hex_upper(py::handle number) { return glue::str(py::str("{:X}").attr("format")(number)); }

// The names of `names` that an actuator does not hold (model paths such as
// 'inp.T_ADC' exist only in the twin).
std::vector<std::string> not_actuator_parameters(py::handle names) {
  std::vector<std::string> out;
  for (py::handle n : names) {
    const std::string name = glue::str(n);
    if (core::parameter_code(name) < 0) out.push_back(name);
  }
  return out;
}

// The configuration file of just `gains`, for the actuator's model and
// firmware: what the configuration load compares, writes and reads back.
std::string gains_file_text(py::handle actuator, py::dict gains) {
  const core::ParameterFileHeader header = vez::modules::parameter_file_header(actuator);
  std::vector<core::ParameterValue> values;
  for (auto item : gains)
    values.push_back({static_cast<uint8_t>(core::parameter_code(glue::str(item.first))),
                      glue::as_float(item.second, "gain")});
  return core::render_parameter_file(header, values);
}

// "Write these values? [y/N]"; end of input counts as no.
bool confirmed() {
  py::object answer;
  try {
    answer = mod.global("input")("Write these values? [y/N] ");
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_EOFError)) throw;
    print("");
    return false;
  }
  const std::string a = glue::str(answer.attr("strip")().attr("lower")());
  return a == "y" || a == "yes";
}

// The configuration load of the gains file at `path` onto the connected
// actuator: the diff, the question, the write with its read-back and, with
// --persist, the save in the actuator's memory.
int load_gains(py::handle args, py::handle actuator, const std::string& path) {
  py::object config = py::module_::import("vez_api.config");
  py::object config_error = config.attr("ConfigError");
  const bool yes = truthy(args.attr("yes"));
  const bool persist = truthy(args.attr("persist"));
  auto show = [](py::handle report) {
    // The file holds the tuned gains only: every other parameter is left as
    // it is by design, which is not worth a line.
    report.attr("not_in_file").attr("clear")();
    for (auto line : report.attr("lines")()) print(glue::str(line));
  };
  try {
    if (!yes) {
      py::object plan = config.attr("load")(actuator, path, "dry_run"_a = true);
      show(plan);
      if (py::len(plan.attr("changes")) == 0) return kExitSuccess;
      if (!confirmed()) {
        print_failure(args, "not confirmed; nothing was written");
        return kExitFailure;
      }
    }
    py::object report = config.attr("load")(actuator, path, "persist"_a = persist);
    if (yes) show(report);
    if (truthy(report.attr("written"))) {
      const size_t n = py::len(report.attr("changes"));
      print("Written and read back: " + std::to_string(n) + (n == 1 ? " parameter." : " parameters."));
    }
    if (truthy(report.attr("persisted"))) {
      print("Saved in the actuator's memory.");
    } else if (truthy(report.attr("written"))) {
      print("Not saved in the actuator's memory: it keeps them until it restarts (--persist saves them).");
    }
    return kExitSuccess;
  } catch (py::error_already_set& e) {
    if (!e.matches(config_error)) throw;
    py::object report = py::getattr(e.value(), "report", py::none());
    if (!report.is_none()) {
      for (auto m : report.attr("mismatches")) {
        const std::string name = glue::str(m.attr("name"));
        const auto code = static_cast<uint8_t>(core::parameter_code(name));
        py::object got = m.attr("got");
        print("Reads back differently: " + name + ": wrote " +
              core::parameter_value_text(code, glue::as_float(m.attr("expected"), "expected")) + ", reads " +
              (got.is_none() ? std::string("nothing") : core::parameter_value_text(code, glue::as_float(got, "got"))));
      }
      print_failure(args, "the actuator did not take the gains as written");
      return kExitFailure;
    }
    // The file names a temporary path: the problems alone say what is wrong.
    py::list problems = e.value().attr("problems");
    if (py::len(problems) == 0) {
      print_failure(args, glue::str(e.value()));
    } else {
      print_failure(args, "the gains cannot be written:");
      for (py::handle problem : problems) print_failure(args, "  " + glue::str(problem));
    }
    return kExitFailure;
  }
}

// Writes the best gains to the physical actuator at --address through the
// configuration load, after showing the changes and asking (unless --yes).
int apply_gains(py::handle args, py::handle scenario, py::dict gains) {
  py::object address = args.attr("address");
  py::object usb = py::module_::import("vez_api.vez_over_usb").attr("VezOverUsb");
  py::object port = args.attr("port");
  if (port.is_none()) port = usb.attr("get_port")();
  const std::string where = truthy(address) ? "CAN at address 0x" + hex_upper(address) + " (" + glue::str(port) + ")"
                                            : "USB at port '" + glue::str(port) + "'";
  py::object link;
  try {
    link = usb(port);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_OSError)) throw;
    print_failure(args, "could not open " + glue::str(port) + ": " + glue::str(e.value()));
    return kExitFailure;
  }
  int status = kExitFailure;
  try {
    py::object actuator =
        py::module_::import("vez_api.doroze_actuator_real").attr("DorozeActuatorReal")(link, address);
    if (!truthy(actuator.attr("connect")())) {
      print_failure(args, "could not connect by " + where);
    } else {
      const std::string twin = glue::str(scenario.attr("model"));
      const std::string model = glue::str(actuator.attr("model"));
      if (model != twin) {
        print_failure(args, "the gains were tuned on the twin of " + twin + "; the actuator by " + where +
                                " is model " + (model.empty() ? "unknown" : model) + ". Nothing was written.");
      } else {
        print("Best gains onto " + model + " by " + where + ":");
        py::object tempfile = py::module_::import("tempfile");
        py::object folder = tempfile.attr("TemporaryDirectory")("prefix"_a = "vez_api-tune-");
        try {
          const std::string path = glue::str(folder.attr("name")) + "/tuned-gains.yaml";
          py::object file = py::module_::import("builtins").attr("open")(path, "w", "encoding"_a = "utf-8");
          file.attr("write")(gains_file_text(actuator, gains));
          file.attr("close")();
          status = load_gains(args, actuator, path);
        } catch (py::error_already_set&) {
          py::error_scope keep;
          folder.attr("cleanup")();
          throw;
        }
        folder.attr("cleanup")();
      }
    }
  } catch (py::error_already_set&) {
    py::error_scope keep;
    link.attr("close")();
    throw;
  }
  link.attr("close")();
  return status;
}

void add_cli_parser(py::handle subparsers) {
  py::object tune = subparsers.attr("add_parser")(
      "tune", "help"_a = "Tune gains on the digital twin: sweep candidates, rank them, optionally apply the best");
  py::object str_t = py::module_::import("builtins").attr("str");
  py::object float_t = py::module_::import("builtins").attr("float");
  py::object int_t = py::module_::import("builtins").attr("int");
  tune.attr("add_argument")("--virtual", "required"_a = true, "metavar"_a = "MODEL",
                            "help"_a = "twin model to tune on (e.g. ORBIT_4)");
  tune.attr("add_argument")("--mode", "default"_a = "position", "type"_a = str_t.attr("lower"),
                            "choices"_a = py::make_tuple("torque", "speed", "position", "impedance"),
                            "help"_a = "control mode tuned (default: position)");
  py::object profile = tune.attr("add_mutually_exclusive_group")();
  profile.attr("add_argument")("--step", "type"_a = float_t, "metavar"_a = "VALUE",
                               "help"_a = "setpoint step in the mode's unit (default: 1.0)");
  profile.attr("add_argument")("--ramp", "metavar"_a = "VALUE:SECONDS", "help"_a = "setpoint ramp to VALUE over SECONDS");
  tune.attr("add_argument")("--load", "action"_a = "append", "default"_a = py::list(), "metavar"_a = "NM@T",
                            "help"_a = "external load of NM N*m from T s on (repeatable)");
  tune.attr("add_argument")("--duration", "type"_a = float_t, "default"_a = 1.0, "help"_a = "simulated seconds (default: 1.0)");
  tune.attr("add_argument")("--vary", "action"_a = "append", "required"_a = true, "metavar"_a = "NAME=LOW:HIGH[:N[:log]],...",
                            "help"_a = "parameters to vary and their ranges (a grid of N points each, unless --samples)");
  tune.attr("add_argument")("--fixed", "action"_a = "append", "default"_a = py::list(), "metavar"_a = "NAME=VALUE",
                            "help"_a = "parameter held at VALUE in every run (repeatable)");
  tune.attr("add_argument")("--samples", "type"_a = int_t, "metavar"_a = "N",
                            "help"_a = "draw N samples over the ranges instead of the grid");
  tune.attr("add_argument")("--sampler", "choices"_a = py::make_tuple("lhs", "random"), "default"_a = "lhs",
                            "help"_a = "how --samples are drawn: Latin hypercube (default) or uniform");
  tune.attr("add_argument")("--seed", "type"_a = int_t, "default"_a = 0, "help"_a = "seed of the samples (default: 0)");
  tune.attr("add_argument")("--cost", "default"_a = "iae", "choices"_a = mod.get("METRICS"),
                            "help"_a = "metric that ranks the candidates (default: iae)");
  tune.attr("add_argument")("--top", "type"_a = int_t, "default"_a = 5, "help"_a = "candidates shown (default: 5)");
  py::object where = tune.attr("add_mutually_exclusive_group")();
  where.attr("add_argument")("--workers", "type"_a = int_t, "metavar"_a = "N",
                             "help"_a = "local worker processes (default: one per CPU)");
  where.attr("add_argument")("--scheduler", "metavar"_a = "ADDRESS",
                             "help"_a = "run on a dask.distributed cluster whose scheduler is at ADDRESS");
  tune.attr("add_argument")("--csv", "metavar"_a = "FILE", "help"_a = "write every candidate and its metrics as CSV");
  tune.attr("add_argument")("--plot", "metavar"_a = "FILE", "help"_a = "plot the best responses against the current gains");
  tune.attr("add_argument")("--apply", "action"_a = "store_true",
                            "help"_a = "write the best gains to the physical actuator at --address (its configuration load: the changes are shown and, unless --yes, confirmed)");
  tune.attr("add_argument")("--address", "-a", "type"_a = mod.get("_address"), "default"_a = py::none(),
                            "help"_a = "address of the actuator for --apply (e.g., 0x10)");
  tune.attr("add_argument")("--port", "-p", "type"_a = str_t, "default"_a = py::none(),
                            "help"_a = "CAN interface port for --apply (e.g., /dev/ttyACM0)");
  tune.attr("add_argument")("--persist", "action"_a = "store_true",
                            "help"_a = "with --apply: make the actuator keep the gains (save_config)");
  tune.attr("add_argument")("--yes", "action"_a = "store_true", "help"_a = "apply without asking");
  tune.attr("set_defaults")("tune_parser"_a = tune);
}

py::object parse_address(py::handle text) {
  return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyLong_Type))(text, 0);
}

py::object make_executor(py::handle args, py::object* client) {
  if (args.attr("scheduler").is_none()) return py::none();
  py::object distributed;
  try {
    distributed = py::module_::import("distributed");
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ImportError)) throw;
    return py::object();  // reported by the caller
  }
  *client = distributed.attr("Client")(args.attr("scheduler"));
  return client->attr("get_executor")();
}

int command_tune(py::object args) {
  py::object scenario;
  py::list candidates;
  py::list names;
  try {
    py::object setpoint;
    if (!args.attr("ramp").is_none()) {
      py::list parts = args.attr("ramp").attr("split")(":");
      if (py::len(parts) != 2) glue::raise(PyExc_ValueError, "--ramp takes VALUE:SECONDS");
      py::object to_float = py::module_::import("builtins").attr("float");
      setpoint = mod.get("Ramp")(to_float(parts[0]), to_float(parts[1]));
    } else {
      setpoint = mod.get("Step")(args.attr("step").is_none() ? py::object(py::float_(1.0)) : args.attr("step"));
    }
    py::list load;
    for (py::handle l : args.attr("load")) load.append(parse_load(l));
    py::dict axes = parse_vary(args.attr("vary"));
    for (auto item : axes) names.append(item.first);
    py::dict fixed;
    for (py::handle f : args.attr("fixed")) {
      py::list kv = f.attr("split")("=", 1);
      if (py::len(kv) != 2) glue::raise(PyExc_ValueError, "--fixed takes NAME=VALUE");
      fixed[py::str(parameter_name_as_given(glue::str(kv[0])))] = py::module_::import("builtins").attr("float")(kv[1]);
    }
    scenario = mod.get("Scenario")("model"_a = args.attr("virtual"), "mode"_a = args.attr("mode"),
                                   "setpoint"_a = setpoint, "load"_a = py::tuple(load),
                                   "duration"_a = args.attr("duration"), "vary"_a = py::tuple(names), "fixed"_a = fixed);
    if (args.attr("samples").is_none()) {
      candidates = mod.get("grid")(axes);
    } else {
      const char* sampler = glue::str(args.attr("sampler")) == "random" ? "random_samples" : "latin_hypercube";
      candidates = mod.get(sampler)(axes, args.attr("samples"), "seed"_a = args.attr("seed"));
    }
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError)) throw;
    usage_error(args, glue::str(e.value()));
  }
  if (truthy(args.attr("apply"))) {
    // Found before the sweep: nothing to apply could come of it.
    if (args.attr("address").is_none()) usage_error(args, "--apply needs the actuator's address (-a ADDR)");
    const std::vector<std::string> twin_only = not_actuator_parameters(names);
    if (!twin_only.empty()) {
      std::string list;
      for (const std::string& n : twin_only) list += (list.empty() ? "" : ", ") + n;
      usage_error(args, "--apply writes actuator parameters only; not one: " + list);
    }
  }

  py::object client = py::none();
  py::object executor = make_executor(args, &client);
  if (!executor) {
    print_failure(args, "--scheduler needs dask.distributed (pip install 'vez_api[dask]')");
    return kExitFailure;
  }
  py::object result;
  py::object baseline;
  try {
    try {
      baseline = mod.get("run")(scenario);  // the model's present gains; also proves the scenario runs
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_FileNotFoundError) && !e.matches(PyExc_ImportError) &&
          !e.matches(PyExc_KeyError))
        throw;
      print_failure(args, glue::str(e.value()));
      if (!client.is_none()) client.attr("close")();
      return kExitFailure;
    }
    result = mod.get("sweep")(scenario, candidates, "executor"_a = executor, "cost"_a = args.attr("cost"),
                              "workers"_a = args.attr("workers"));
  } catch (py::error_already_set&) {
    if (!client.is_none()) {
      py::error_scope keep;
      client.attr("close")();
    }
    throw;
  }
  if (!client.is_none()) client.attr("close")();
  if (PyObject_IsTrue(baseline.attr("ok").ptr())) baseline.attr("cost") = mod.get("cost_of")(baseline, args.attr("cost"));

  py::list ranked = result.attr("ranked");
  py::list failed = result.attr("failed");
  print(glue::str(scenario.attr("model")) + ", " + glue::str(scenario.attr("mode")) + " mode: " +
        std::to_string(py::len(candidates)) + " candidates, " + std::to_string(py::len(ranked)) + " ran, " +
        std::to_string(py::len(failed)) + " failed; ranked by " + glue::str(args.attr("cost")));
  print(table_header(names));
  const size_t top = std::max<long long>(0, args.attr("top").cast<long long>());
  py::list best;
  for (size_t i = 0; i < std::min(top, py::len(ranked)); ++i) {
    print(table_row(std::to_string(i + 1), ranked[i], names));
    best.append(ranked[i]);
  }
  if (PyObject_IsTrue(baseline.attr("ok").ptr())) print(table_row("current", baseline, names));
  for (size_t i = 0; i < std::min<size_t>(3, py::len(failed)); ++i)
    print("failed: " + glue::str(failed[i].attr("gains")) + ": " + glue::str(failed[i].attr("error")));
  if (py::len(failed) > 3) print("failed: ... and " + std::to_string(py::len(failed) - 3) + " more");

  if (!args.attr("csv").is_none()) write_csv(args.attr("csv"), result, names);
  if (!args.attr("plot").is_none()) {
    py::list few;
    for (size_t i = 0; i < std::min<size_t>(3, py::len(best)); ++i) few.append(best[i]);
    write_plot(args.attr("plot"), scenario, few, baseline, names);
    print("plot: " + glue::str(args.attr("plot")));
  }
  if (py::len(ranked) == 0) {
    print_failure(args, "no candidate ran");
    return kExitFailure;
  }
  if (truthy(args.attr("apply"))) return apply_gains(args, scenario, py::dict(ranked[0].attr("gains")));
  return kExitSuccess;
}

// ---------------------------------------------------------------------------
// Classes

py::object dataclass(const char* name, const char* doc, py::list fields, py::dict ns, bool frozen = false) {
  py::object dc = mod.get("dataclasses");
  ns["__doc__"] = doc;
  py::object cls = dc.attr("make_dataclass")(name, fields, "namespace"_a = ns, "frozen"_a = frozen);
  cls.attr("__module__") = mod.name();
  mod.set(name, cls);
  return cls;
}

py::tuple field(const char* name, py::handle type) { return py::make_tuple(name, type); }
py::tuple field(const char* name, py::handle type, py::object default_) {
  return py::make_tuple(name, type, mod.get("dataclasses").attr("field")("default"_a = default_));
}
py::tuple field_factory(const char* name, py::handle type, py::handle factory) {
  return py::make_tuple(name, type, mod.get("dataclasses").attr("field")("default_factory"_a = factory));
}

py::object as_method(py::cpp_function fn) {
  PyObject* m = PyInstanceMethod_New(fn.ptr());
  if (m == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(m);
}

void define_classes() {
  py::object builtins = py::module_::import("builtins");
  py::object float_t = builtins.attr("float"), str_t = builtins.attr("str"), bool_t = builtins.attr("bool");
  py::object dict_t = builtins.attr("dict"), tuple_t = builtins.attr("tuple"), list_t = builtins.attr("list");
  py::object any_t = py::module_::import("typing").attr("Any");

  dataclass("Step",
            "Setpoint that jumps from where the actuator rests to `value` at time `at` (s from the start).",
            make_list(field("value", float_t), field("at", float_t, py::float_(0.0))), py::dict(), true);
  dataclass("Ramp",
            "Setpoint that runs in a straight line from where the actuator rests to `value`, from time `at` "
            "for `duration` seconds, then holds.",
            make_list(field("value", float_t), field("duration", float_t), field("at", float_t, py::float_(0.0))),
            py::dict(), true);
  dataclass("Trajectory",
            "Setpoint through the (time s, value) `points`, straight between them, held before the first "
            "and after the last.",
            make_list(field("points", tuple_t)), py::dict(), true);

  py::dict scenario_ns;
  scenario_ns["__post_init__"] = as_method(glue::function("__post_init__", &scenario_post_init, py::arg("self")));
  dataclass(
      "Scenario",
      "What to simulate for one tuning run.\n\n"
      "model: the twin's actuator model (e.g. 'ORBIT_4'); mode: the control mode tuned (TORQUE, SPEED, "
      "POSITION or IMPEDANCE, a name or a Mode member); setpoint: a Step, Ramp or Trajectory in the mode's "
      "unit (N*m, rad/s, rad); load: (time s, torque N*m) pairs, each load acting from its time on; "
      "duration: simulated seconds after the warm-up; vary: names of the parameters the candidates set; "
      "fixed: parameter name -> value written before every run; library_path, bindings_root: where the "
      "twin's artifacts are (as for DorozeActuatorVirtual.set_actuator); response_rate_hz: sample rate of "
      "the response arrays kept in each Result (metrics use every tick).\n\n"
      "Parameter names are VEZ_Parameters member names (KP_POSITION, KP_SPEED, KI_SPEED, K_STIFFNESS, "
      "LIM_TORQUE, FF_GAIN, SPEED_CUTOFF, ...) or model paths such as 'inp.T_ADC'.",
      make_list(field("model", str_t), field("mode", any_t, py::str("POSITION")),
                    field_factory("setpoint", any_t, py::cpp_function([]() { return mod.get("Step")(1.0); })),
                    field("load", tuple_t, py::tuple()), field("duration", float_t, py::float_(1.0)),
                    field("vary", tuple_t, py::tuple()), field_factory("fixed", dict_t, dict_t),
                    field("library_path", any_t, py::none()), field("bindings_root", any_t, py::none()),
                    field("response_rate_hz", float_t, py::float_(1000.0))),
      scenario_ns);

  dataclass("Result",
            "One run: the gains tried, whether it ran (`ok`, else `error` says why), the metrics (rise_time s "
            "10-90 %, overshoot %, settling_time s to 2 %, steady_state_error, iae, peak_current A, "
            "peak_torque N*m, limit_hits, energy J from the bus), the `parameters` the model held during the run (the "
            "varied and fixed ones) and the response sampled at the scenario's "
            "response rate: time s, reference, response (the controlled signal), speed rad/s, torque N*m, "
            "current A (q axis).  `cost` is set by sweep().",
            make_list(field("gains", dict_t), field("ok", bool_t), field("error", any_t), field("metrics", dict_t),
                          field("parameters", dict_t), field("time", any_t), field("reference", any_t), field("response", any_t),
                          field("speed", any_t), field("torque", any_t), field("current", any_t),
                          field("cost", float_t, py::float_(kNaN))),
            py::dict());

  py::dict sweep_ns;
  sweep_ns["best"] = builtins.attr("property")(
      glue::function("best", &sweep_best, py::arg("self"), glue::doc{"The best ranked Result, or None."}));
  dataclass("SweepResult",
            "The outcome of sweep(): `results` in the candidates' order, `ranked` (the runs that succeeded, "
            "best cost first), `failed` (the candidates that could not run, each with its error) and the "
            "`cost` used.",
            make_list(field("scenario", any_t), field("results", list_t), field("ranked", list_t),
                          field("failed", list_t), field("cost", any_t)),
            sweep_ns);

  glue::ClassBuilder task(mod, "_Task", py::make_tuple(builtins.attr("object")),
                          "A picklable callable that runs a chunk of candidates in a worker.");
  task.def("__call__", &run_chunk, py::arg("scenario"), py::arg("candidates"));
  task.finish();
}

}  // namespace

PYBIND11_MODULE(tuning, m) {
  mod.bind(m);
  m.doc() =
      "Gain tuning on the digital twin: run one Scenario on a fresh virtual actuator and measure its "
      "response, or sweep many candidate gain sets on any executor and rank them by a cost.";
  mod.import("array");
  mod.import("dataclasses");
  mod.import("math");
  mod.import("os");
  mod.import_from("vez_api.doroze_actuator_virtual", {"DorozeActuatorVirtual"});
  backend = backend_api::import_capi();
  if (backend == nullptr) throw py::error_already_set();

  py::tuple metrics;
  {
    py::list names;
    for (const char* n : kMetricNames) names.append(n);
    metrics = py::tuple(names);
  }
  mod.set("METRICS", metrics);
  define_classes();

  mod.def("run", &run, py::arg("scenario"), py::arg_v("gains", py::none()),
          glue::doc{"Simulate `scenario` once on a fresh virtual actuator (telemetry log off) with `gains` "
                    "(parameter name -> value, over the scenario's fixed values). Returns a Result; gains that "
                    "cannot be used (not finite, negative, refused by the model) give a Result with ok False. "
                    "When the twin's library can save and restore its state, the process keeps a few started "
                    "actuators and later runs start from the state saved right after the warm-up: bit for bit "
                    "what a fresh actuator gives, without making one."});
  mod.def("sweep", &sweep, py::arg("scenario"), py::arg("candidates"), py::kw_only(),
          py::arg_v("executor", py::none()), py::arg_v("cost", py::str("iae")), py::arg_v("chunk_size", py::none()),
          py::arg_v("workers", py::none()),
          glue::sig{"(scenario, candidates, *, executor=None, cost='iae', chunk_size=None, workers=None)"},
          glue::doc{"Run every candidate (a mapping of parameter values) and rank them by `cost`: a metric name, "
                    "a dict of metric weights, or a callable taking a Result. `executor`: any "
                    "concurrent.futures.Executor (a dask Client's get_executor() included); None makes a process "
                    "pool of `workers` processes (default: one per CPU; 1 runs here, without a pool). Candidates "
                    "go out in chunks of `chunk_size` (default: about four tasks per worker). Returns a "
                    "SweepResult; failed candidates are listed, not ranked."});
  mod.def("_forget_warm_twins", &forget_warm_twins,
          glue::doc{"Disconnect the warm twins this process keeps for reuse; the next runs start from fresh "
                    "actuators. Returns how many there were."});
  mod.def("_warm_twin_count", []() { return warm_twins->size(); },
          glue::doc{"How many warm twins this process keeps for reuse."});
  // The kept actuators go while the interpreter can still run their teardown.
  py::module_::import("atexit").attr("register")(mod.get("_forget_warm_twins"));
  mod.def("grid", &grid, py::arg("axes"),
          glue::doc{"Every combination of the axes {name: (low, high, count[, 'log'])}, the last axis varying "
                    "fastest. Returns a list of candidate dicts."});
  mod.def("random_samples", &random_samples, py::arg("axes"), py::arg("samples"), py::arg_v("seed", py::int_(0)),
          glue::doc{"`samples` candidates drawn uniformly over the axes {name: (low, high[, 'log'])}; the same "
                    "seed gives the same candidates everywhere."});
  mod.def("latin_hypercube", &latin_hypercube, py::arg("axes"), py::arg("samples"), py::arg_v("seed", py::int_(0)),
          glue::doc{"`samples` Latin-hypercube candidates over the axes {name: (low, high[, 'log'])}: each axis' "
                    "range cut in `samples` strata holds one candidate per stratum. Seeded as random_samples."});
  mod.def("cost_of", &cost_of, py::arg("result"), py::arg("cost"),
          glue::doc{"The cost of a Result under `cost` (as for sweep); absolute values of the metrics."});
  mod.def("_address", &parse_address, py::arg("text"),
          glue::doc{"An address given as decimal, hexadecimal (0x), octal (0o) or binary (0b) text."});
  mod.def("_add_cli_parser", &add_cli_parser, py::arg("subparsers"),
          glue::doc{"Add the `tune` command to the `doroze` command line's subparsers."});
  mod.def("command_tune", &command_tune, py::arg("args"),
          glue::doc{"Run `doroze tune` with the parsed arguments. Returns the exit status (0 done, 1 a failure reported on "
                    "standard error); argument errors leave through the parser's SystemExit (status 2)."});
}
