// ActuatorWrapper: loading a private copy of the simulation library and its
// own copy of the bindings module, initializing, terminating, and the
// module's functions about simulated time.
#include <cerrno>
#include <chrono>
#include <cmath>
#include <string>
#include <unordered_map>

#include "core/elf_check.hpp"
#include "core/folder_owner.hpp"
#include "core/twin_steps.hpp"
#include "modules/twin_backend/direct_step.hpp"
#include "modules/twin_backend/field_access.hpp"
#include "modules/twin_backend/library_copy.hpp"
#include "modules/twin_backend/methods.hpp"

namespace vez::backend {

using namespace pybind11::literals;

namespace {

py::object get_default_dtwin_time_step_s() { return mod.get("_DTWIN_DEFAULT_TIME_STEP_S"); }

py::int_ steps_for_duration(py::handle duration_s, py::handle time_step_s) {
  const double duration = glue::as_float(duration_s, "duration_s");
  const double step = glue::as_float(time_step_s, "time_step_s");
  if (!core::is_usable_time_step(step)) {
    glue::raise(PyExc_RuntimeError, "Invalid DTwin simulation timestep: " + glue::str(py::repr(py::float_(step))));
  }
  const double count = core::step_count_for(duration, step);
  if (std::isnan(count)) glue::raise(PyExc_ValueError, "cannot convert float NaN to integer");
  if (std::isinf(count)) glue::raise(PyExc_OverflowError, "cannot convert float infinity to integer");
  return py::reinterpret_steal<py::int_>(PyLong_FromDouble(count));
}

// A file the loader cannot map safely: OSError naming the file (as the
// caller gave it) and the reason.  Checked only when the real loader will
// be used; a file that cannot be read is left to the loader to report.
void check_loadable(py::handle resolved_path, py::handle given_path) {
  PyObject* ctypes = mod.peek("ctypes");
  if (ctypes == nullptr) return;
  py::object loader = optional_attr(ctypes, "CDLL");
  if (!loader || !loader_is_original(loader)) return;
  py::object fspath = py::reinterpret_steal<py::object>(PyOS_FSPath(resolved_path.ptr()));
  if (!fspath || !PyUnicode_Check(fspath.ptr())) {
    PyErr_Clear();
    return;
  }
  const std::string path = glue::str(fspath);
  std::string problem;
  {
    py::gil_scoped_release unlocked;
    problem = core::library_file_problem(path);
  }
  if (problem.empty()) return;
  py::object error = py::reinterpret_borrow<py::object>(PyExc_OSError)(
      ENOEXEC, "Digital-twin library cannot be loaded: " + problem, py::str(given_path));
  PyErr_SetObject(PyExc_OSError, error.ptr());
  throw_python_error();
}

// Runs the bindings module; an exception it raises carries a note naming
// the file (its type and arguments stay as raised).
void execute_bindings(py::handle loader, py::handle module, py::handle binding_path) {
  try {
    loader.attr("exec_module")(module);
  } catch (py::error_already_set& e) {
    if (e.matches(PyExc_Exception)) {
      py::object add_note = optional_attr(e.value(), "add_note");
      if (add_note) {
        py::error_scope keep_error;
        PyObject* r = PyObject_CallOneArg(add_note.ptr(), py::str("raised while executing the digital-twin bindings " +
                                                                  glue::str(binding_path)).ptr());
        Py_XDECREF(r);
        PyErr_Clear();
      }
    }
    throw;
  }
}

// Marks a fresh temporary folder as this process's and, now and then,
// removes the folders that processes which no longer exist left in the same
// place (killed before they could clean up).
void mark_folder_and_sweep(py::handle tmp_dir) {
  py::object fspath = py::reinterpret_steal<py::object>(PyOS_FSPath(tmp_dir.ptr()));
  if (!fspath || !PyUnicode_Check(fspath.ptr())) {
    PyErr_Clear();
    return;
  }
  const std::string folder = glue::str(fspath);
  const std::string parent = folder.substr(0, folder.find_last_of('/') == std::string::npos ? 0 : folder.find_last_of('/'));
  // One sweep per place and minute is plenty: folders are left behind only
  // when a process dies.
  static auto* last_sweeps = new std::unordered_map<std::string, std::chrono::steady_clock::time_point>();
  const auto now = std::chrono::steady_clock::now();
  auto it = last_sweeps->find(parent);
  const bool sweep = !parent.empty() && (it == last_sweeps->end() || now - it->second >= std::chrono::minutes(1));
  if (sweep) (*last_sweeps)[parent] = now;
  py::gil_scoped_release unlocked;
  core::write_owner_marker(folder);
  if (sweep) core::remove_folders_of_gone_owners(parent);
}

void load_isolated(py::object self, py::object lib_path, py::object binding_path) {
  py::object util = mod.get("importlib").attr("util");
  py::object resolved_binding = binding_path.attr("resolve")();
  py::object spec = util.attr("spec_from_file_location")("dtwin", resolved_binding);
  if (spec.is_none() || spec.attr("loader").is_none()) {
    glue::raise(PyExc_ImportError, "Could not load digital-twin bindings from " + glue::str(binding_path));
  }
  // Bindings load the library next to them themselves: a damaged file must
  // be refused before they run, not crash the process inside the loader.
  check_loadable(lib_path, lib_path);
  py::object module = util.attr("module_from_spec")(spec);
  execute_bindings(spec.attr("loader"), module, binding_path);

  py::object resolved_lib = lib_path.attr("resolve")();
  py::object tmp_dir = mod.get("tempfile").attr("mkdtemp")();
  self.attr("tmp_dir") = tmp_dir;
  // The folder goes away with the wrapper (or at exit) even when terminate()
  // is never called; terminate() removes it earlier.
  mod.get("weakref").attr("finalize")(self, mod.get("shutil").attr("rmtree"), tmp_dir, "ignore_errors"_a = true);
  mark_folder_and_sweep(tmp_dir);

  py::object lib_copy = mod.get("Path")(tmp_dir).attr("__truediv__")(resolved_lib.attr("name"));
  mod.get("shutil").attr("copy2")(resolved_lib, lib_copy);
  check_loadable(lib_copy, lib_path);
  py::object ctypes = mod.get("ctypes");
  py::object handle = ctypes.attr("CDLL")(py::str(lib_copy), "mode"_a = ctypes.attr("RTLD_LOCAL"));
  attach_library_copy(handle, module);
  module.attr("_dll") = handle;
  glue::call_method(self, "_rebind_ctypes_functions", module, handle);
  self.attr("_lib") = module;
}

void rebind_ctypes_functions(py::object /*self*/, py::object module, py::object new_handle) {
  py::object function_type = mod.get("ctypes").attr("_CFuncPtr");
  // A snapshot: the loop replaces values of the namespace it walks.
  py::list items(module.attr("__dict__").attr("items")());
  for (py::handle item : items) {
    py::object name = item[py::int_(0)];
    py::object value = item[py::int_(1)];
    if (!PyUnicode_Check(name.ptr())) continue;
    const int is_function = PyObject_IsInstance(value.ptr(), function_type.ptr());
    if (is_function < 0) throw_python_error();
    if (is_function == 0) continue;
    PyObject* rebound = PyObject_GetAttr(new_handle.ptr(), name.ptr());
    if (rebound == nullptr) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
      PyErr_Clear();  // the copy does not export it: the bindings keep their own
      continue;
    }
    py::object new_function = py::reinterpret_steal<py::object>(rebound);
    new_function.attr("restype") = value.attr("restype");
    new_function.attr("argtypes") = value.attr("argtypes");
    module.attr(name) = new_function;
  }
}

py::object bind_optional_global(py::object self, py::handle type_name, py::handle symbol_name) {
  py::str type_key = glue::as_str_or_subclass(type_name, "type_name");
  py::str symbol_key = glue::as_str_or_subclass(symbol_name, "symbol_name");
  py::object lib = self.attr("_lib");
  py::object struct_type = py::getattr(lib, type_key, py::none());
  py::object raw_library = py::getattr(lib, "_dll", py::none());
  if (!struct_type.is_none() && !raw_library.is_none()) {
    py::object view;
    try {
      view = struct_type.attr("in_dll")(raw_library, symbol_key);
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_AttributeError) && !e.matches(PyExc_ValueError)) throw;
    }
    if (view) {
      // A view into the copy's memory holds the copy (library_copy.cpp).
      py::object keeper;
      if (LibraryCopy* copy = library_copy_of(lib, &keeper)) {
        return anchored_contents(mod.get("ctypes").attr("pointer")(view), keeper, copy);
      }
      return view;
    }
  }
  return py::getattr(lib, symbol_key, py::none());
}

void bind_ctypes(py::object self) {
  py::object lib = self.attr("_lib");
  static constexpr std::pair<const char*, const char*> kViews[] = {
      {"imp", "get_impedance_ptr"}, {"pid", "get_pid_ptr"}, {"debug", "get_debug_ptr"}, {"info", "get_info_ptr"},
      {"inp", "get_inports_ptr"},   {"lim", "get_lim_ptr"}, {"meas", "get_meas_ptr"},   {"motor", "get_motor_ptr"},
  };
  // Views into the copy's memory hold the copy (library_copy.cpp).
  py::object keeper;
  LibraryCopy* copy = library_copy_of(lib, &keeper);
  for (const auto& [attribute, getter] : kViews) self.attr(attribute) = anchored_contents(lib.attr(getter)(), keeper, copy);
  self.attr("filter") = glue::call_method(self, "_bind_optional_global", "Filter_type", "Filter");

  py::object ctypes = mod.get("ctypes");
  py::object block_io = lib.attr("B_DT_T")();
  py::object dwork = lib.attr("DW_DT_T")();
  py::object prev_zc = lib.attr("PrevZCX_DT_T")();
  py::object error_buffer = ctypes.attr("create_string_buffer")(256);
  py::object model = lib.attr("RT_MODEL_DT_T")();
  // The pointers stored in the root structure keep the three structures and
  // the buffer alive for as long as the root structure lives.
  model.attr("blockIO") = ctypes.attr("pointer")(block_io);
  model.attr("dwork") = ctypes.attr("pointer")(dwork);
  model.attr("prevZCSigState") = ctypes.attr("pointer")(prev_zc);
  model.attr("errorStatus") = ctypes.attr("cast")(error_buffer, ctypes.attr("POINTER")(ctypes.attr("c_char")));
  self.attr("model") = model;
}

void apply_optional_inports(py::object self) {
  static constexpr std::pair<Field, InstanceName> kPairs[] = {
      {kRefFfTorque, kRefFfShadow}, {kRefImpedanceSpd, kSpdRefShadow}, {kRefImpedanceAcel, kAcelRefShadow}};
  ViewCache* vc;
  py::object inp = lookup_view(self.ptr(), kInp, &vc);
  for (const auto& [field, shadow] : kPairs) {
    if (has_field(inp, vc, field)) set_field(inp, vc, field, self.attr(py::handle(instance_names[shadow])));
  }
}

// ActuatorWrapper.instance_count += delta (on the class itself, as a class
// counter: subclasses share it).
void adjust_instance_count(long delta) {
  py::handle cls(wrapper_class);
  PyObject* sum = PyNumber_Add(cls.attr("instance_count").ptr(), py::int_(delta).ptr());
  if (sum == nullptr) throw_python_error();
  cls.attr("instance_count") = py::reinterpret_steal<py::object>(sum);
}

void init(py::object self, py::handle shared_lib_path, py::handle ctypes_path) {
  glue::as_exact_str(shared_lib_path, "shared_lib_path");
  glue::as_exact_str(ctypes_path, "ctypes_path");
  py::object path_type = mod.get("Path");
  py::object lib_path = path_type(shared_lib_path);
  py::object binding_path = path_type(ctypes_path);
  reclaim_unreachable_copies();
  py::dict attributes = py::reinterpret_borrow<py::dict>(self.attr("__dict__"));
  py::object folder_before = attributes.attr("get")("tmp_dir");
  try {
    glue::call_method(self, "_load_isolated", lib_path, binding_path);
    glue::call_method(self, "_bind_ctypes");
    keep_copy_unless_views_are_ours(self);
  } catch (py::error_already_set&) {
    // A failed construction leaves no folder behind.
    py::object folder = attributes.attr("get")("tmp_dir");
    if (!folder.is_none() && !folder.is(folder_before)) {
      PyObject* r = PyObject_CallFunctionObjArgs(mod.get("shutil").attr("rmtree").ptr(), folder.ptr(), Py_True, nullptr);
      Py_XDECREF(r);
      PyErr_Clear();
    }
    throw;
  }
  self.attr("_initialized") = false;
  self.attr("_feedforward_gain") = 0.0;
  self.attr("_reference_feedforward_torque") = 0.0;
  self.attr("_impedance_speed_reference") = 0.0;
  self.attr("_impedance_acceleration_reference") = 0.0;
  self.attr("id_tag") = py::none();
  adjust_instance_count(+1);
}


void initialize(py::object self, py::handle mode) {
  py::int_ control_type = glue::as_int(mode, "mode");
  if (glue::truthy(self.attr("_initialized"))) {
    glue::raise(PyExc_RuntimeError, "Simulator already initialized. Call terminate() first.");
  }
  call_library(self, "DT_initialize");
  {
    ViewCache* vc;
    py::object inp = lookup_view(self.ptr(), kInp, &vc);
    set_required_field(inp, vc, kEnable, self.attr("MOTOR_ON"));
    set_required_field(inp, vc, kResetPos, py::bool_(false));
    set_required_field(inp, vc, kControlType, mod.get("_DTWIN_CONTROL_CALIBRATION"));
    set_required_field(inp, vc, kLoad, py::float_(0.0));
    set_required_field(inp, vc, kReference, py::float_(0.0));
  }
  glue::call_method(self, "_apply_optional_inports");
  py::object steps = mod.get("_steps_for_duration")(mod.get("_DTWIN_INITIALIZATION_WARMUP_S"),
                                                       glue::call_method(self, "get_sim_time_step_s"));
  py::int_ count = py::reinterpret_steal<py::int_>(PyNumber_Index(steps.ptr()));
  if (!count) throw_python_error();
  uint64_t warmup_steps = 0;
  if (PyObject_RichCompareBool(count.ptr(), py::int_(0).ptr(), Py_GT) == 1) {
    warmup_steps = PyLong_AsUnsignedLongLong(count.ptr());
    if (PyErr_Occurred()) {
      PyErr_Clear();
      warmup_steps = std::numeric_limits<uint64_t>::max();
    }
  }
  dt_step_repeated(self, warmup_steps);
  set_required(self, kEnable, self.attr("MOTOR_OFF"));
  dt_step_once(self);
  set_required(self, kResetPos, py::bool_(true));
  dt_step_once(self);
  set_required(self, kControlType, control_type);
  self.attr("_initialized") = true;
}


void terminate(py::object self) {
  if (!glue::truthy(self.attr("_initialized"))) {
    glue::raise(PyExc_RuntimeError, "Simulator not initialized. Call initialize() first.");
  }
  call_library(self, "DT_terminate");
  self.attr("_initialized") = false;
  adjust_instance_count(-1);
  try {
    mod.get("shutil").attr("rmtree")(self.attr("tmp_dir"));
  } catch (py::error_already_set& e) {
    // A wrapper initialized again after terminate() has no folder left to
    // remove; that is not an error.
    if (!e.matches(PyExc_FileNotFoundError)) throw;
  }
}

py::object get_sim_time_step_s(py::object self) {
  py::object lib = self.attr("_lib");
  py::object getter = py::getattr(lib, "get_sim_time_step_s", py::none());
  if (getter.is_none() && py::hasattr(lib, "_dll")) {
    try {
      getter = lib.attr("_dll").attr("get_sim_time_step_s");
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_AttributeError)) throw;
      getter = py::none();
    }
  }
  if (getter.is_none()) return mod.get("get_default_dtwin_time_step_s")();
  py::object ctypes = mod.get("ctypes");
  const int foreign = PyObject_IsInstance(getter.ptr(), ctypes.attr("_CFuncPtr").ptr());
  if (foreign < 0) throw_python_error();
  if (foreign == 1) {
    getter.attr("restype") = ctypes.attr("c_double");
    getter.attr("argtypes") = py::list();
  }
  py::object result = getter();
  PyObject* converted = PyNumber_Float(result.ptr());
  if (converted == nullptr) throw_python_error();
  return py::reinterpret_steal<py::object>(converted);
}

}  // namespace

void add_module_functions() {
  mod.def("get_default_dtwin_time_step_s", &get_default_dtwin_time_step_s,
          glue::doc{"The default simulation step in seconds (1 / 20000)."});
  mod.def("_steps_for_duration", &steps_for_duration, py::arg("duration_s"), py::arg("time_step_s"),
          glue::doc{"Model steps covering duration_s: the quotient rounded half to even, at least 1."});
}

void add_lifecycle_methods(glue::ClassBuilder& builder) {
  builder
      .def("__init__", &init, py::arg("shared_lib_path"), py::arg("ctypes_path"))
      .def("_load_isolated", &load_isolated, py::arg("lib_path"), py::arg("binding_path"))
      .def("_rebind_ctypes_functions", &rebind_ctypes_functions, py::arg("module"), py::arg("new_handle"))
      .def("_bind_ctypes", &bind_ctypes)
      .def("_bind_optional_global", &bind_optional_global, py::arg("type_name"), py::arg("symbol_name"))
      .def("_apply_optional_inports", &apply_optional_inports)
      .def("initialize", &initialize, py::arg_v("mode", py::int_(core::kTwinControlPosition)),
           glue::doc{"Initialize the model, run one simulated second of warm-up and select the control type "
                     "`mode` (an int, 7 position by default). Returns None."})
      .def("terminate", &terminate,
           glue::doc{"Terminate the model and delete the temporary folder. Returns None."})
      .def("get_sim_time_step_s", &get_sim_time_step_s,
           glue::doc{"The model's time step in seconds (float; 5e-05 at 20 kHz)."});
}

}  // namespace vez::backend
