// vez_api._twin_assets: the actuator library file with its validated
// records, and the search for digital-twin artifacts (simulation libraries
// and their bindings modules) on disk.
//
// The validation records are built at import time from whatever validation
// library is present: pydantic v2, pydantic v1 (whose parse_obj stands in
// for model_validate), or a minimal replacement that only checks that an
// entry is a mapping.  PyYAML is optional too: without it the module imports
// and loading a file raises ImportError.
//
// Everything that touches the machine (os.environ, platform, Path, the file
// system) and the module's own helpers are reached through the module
// namespace at call time, so tests and users can patch them.
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/twin_platform.hpp"
#include "core/validation_summary.hpp"
#include "glue/glue.hpp"

namespace py = pybind11;
namespace core = vez::core;
using namespace pybind11::literals;

namespace {

glue::ModuleRef mod;

constexpr const char* kAssetsRootVariable = "VEZ_API_VIRTUAL_ASSETS_ROOT";
constexpr const char* kBindingsDirName = "digital_twin_libs_bindings";

// ---------------------------------------------------------------------------
// Small helpers.

[[noreturn]] void raise_file_not_found(const std::string& message) { glue::raise(PyExc_FileNotFoundError, message); }

py::object path_of(py::handle value) { return mod.get("Path")(value); }

py::object join(py::handle path, const char* part) { return path.attr("__truediv__")(part); }

void sort_list(py::list& list) {
  if (PyList_Sort(list.ptr()) != 0) throw py::error_already_set();
}

bool is_dir(py::handle path) { return glue::truthy(path.attr("is_dir")()); }

// A mapping value, or an empty one for null, absent or anything else: a
// level the file leaves empty reads as empty instead of crashing.
py::dict mapping_or_empty(py::handle value) {
  if (value && PyDict_Check(value.ptr())) return py::reinterpret_borrow<py::dict>(value);
  return py::dict();
}

py::object dict_get(py::handle mapping, const char* key) { return mapping.attr("get")(key); }

// The paths resolved, later duplicates dropped, first-seen order kept.
py::list unique_resolved(py::handle paths) {
  py::dict seen;
  for (py::handle p : paths) seen[p.attr("resolve")()] = py::none();
  return py::list(seen);
}

std::string joined_paths(py::handle paths) {
  std::string out;
  bool first = true;
  for (py::handle p : paths) {
    if (!first) out += ", ";
    out += glue::str(p);
    first = false;
  }
  return out;
}

// An assets root named by the environment that is not a directory (missing,
// a file, a device) is kept among the places searched, so the search falls
// back to the built-in ones; a warning on the module's logger names it, once
// per value and process, so a typo is seen instead of silently ignored.
void report_unusable_assets_root(py::handle value) {
  static auto* reported = new std::set<std::string>();  // deliberately leaked
  py::object path = path_of(value);
  if (is_dir(path)) return;
  const std::string text = glue::str(value);
  if (!reported->insert(text).second) return;
  const char* what = glue::truthy(path.attr("exists")()) ? "is not a directory" : "does not exist";
  glue::log(mod.default_logger(), "warning",
            std::string(kAssetsRootVariable) + " names " + glue::str(py::repr(value)) + ", which " + what +
                "; searching the built-in locations instead");
}

// The value of the assets variable when set and not empty.
py::object assets_root_variable() {
  py::object value = mod.get("os").attr("environ").attr("get")(kAssetsRootVariable);
  if (!glue::truthy(value)) return py::none();
  report_unusable_assets_root(value);
  return value;
}

// First entry of path.glob(pattern), or None.
py::object first_match(py::handle path, const std::string& pattern) {
  py::iterator it = py::iter(path.attr("glob")(pattern));
  if (it == py::iterator::sentinel()) return py::none();
  return py::reinterpret_borrow<py::object>(*it);
}

// ---------------------------------------------------------------------------
// Platform and artifact search.

py::object cpu_vendor() {
  py::object cpuinfo = path_of(py::str("/proc/cpuinfo"));
  if (!glue::truthy(cpuinfo.attr("exists")())) return py::none();
  const std::string text = cpuinfo.attr("read_text")("errors"_a = "ignore").cast<std::string>();
  switch (core::cpu_vendor_from_cpuinfo(text)) {
    case core::CpuVendor::amd: return py::str("AMD");
    case core::CpuVendor::intel: return py::str("Intel");
    default: return py::none();
  }
}

// platform.<what>().lower(), or nullopt when asking fails.
std::optional<std::string> ask_platform_lower(const char* what) {
  try {
    return mod.get("platform").attr(what)().attr("lower")().cast<std::string>();
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return std::nullopt;
  } catch (py::cast_error&) {
    return std::nullopt;
  }
}

py::str get_platform_key() {
  const std::string system = mod.get("platform").attr("system")().attr("lower")().cast<std::string>();
  std::optional<std::string> processor;
  std::optional<std::string> machine;
  if (system == "linux") processor = ask_platform_lower("processor");
  if (system == "darwin") machine = ask_platform_lower("machine");
  return py::str(core::platform_key(system, processor, machine));
}

py::list platform_artifact_targets() {
  py::object platform = mod.get("platform");
  const std::string system = py::str(platform.attr("system")()).cast<std::string>();
  const std::string machine = platform.attr("machine")().attr("lower")().cast<std::string>();
  py::object vendor_name = mod.get("_cpu_vendor")();
  core::CpuVendor vendor = core::CpuVendor::unknown;
  if (py::isinstance<py::str>(vendor_name)) {
    const std::string v = vendor_name.cast<std::string>();
    if (v == "AMD") vendor = core::CpuVendor::amd;
    if (v == "Intel") vendor = core::CpuVendor::intel;
  }
  const std::vector<std::string> targets = core::artifact_targets(system, machine, vendor);
  if (targets.empty()) glue::raise(PyExc_RuntimeError, "Unsupported platform: " + system);
  py::list out;
  for (const std::string& t : targets) out.append(t);
  return out;
}

py::list candidate_project_roots() {
  py::list candidates;
  py::object variable = assets_root_variable();
  if (!variable.is_none()) candidates.append(path_of(variable));
  py::object package_root = path_of(mod.get("__file__")).attr("resolve")().attr("parent").attr("parent");
  candidates.append(package_root);
  candidates.append(package_root.attr("parent"));
  return unique_resolved(candidates);
}

py::object get_project_root() {
  py::list candidates = mod.get("_candidate_project_roots")();
  for (py::handle candidate : candidates) {
    if (is_dir(join(join(candidate, "data"), "assets"))) return py::reinterpret_borrow<py::object>(candidate);
  }
  raise_file_not_found(
      "Could not find a project root with data/assets. Set VEZ_API_VIRTUAL_ASSETS_ROOT or pass library_path "
      "explicitly. Searched: " +
      joined_paths(candidates));
}

py::list bindings_roots_under(py::handle base_arg) {
  py::object base = path_of(base_arg);
  py::list roots;
  roots.append(join(base, kBindingsDirName));
  if (is_dir(base)) {
    py::list versioned;
    for (py::handle entry : base.attr("glob")(std::string(kBindingsDirName) + "_*")) {
      if (is_dir(entry)) versioned.append(entry);
    }
    sort_list(versioned);
    for (py::handle entry : versioned) roots.append(entry);
  }
  return roots;
}

py::list candidate_bindings_roots(py::handle search_root) {
  py::list roots;
  if (!search_root.is_none()) roots.append(path_of(search_root));
  py::object variable = assets_root_variable();
  if (!variable.is_none()) roots.append(path_of(variable));
  for (py::handle root : mod.get("_candidate_project_roots")()) roots.append(root);

  py::object under = mod.get("_bindings_roots_under");
  py::list candidates;
  for (py::handle root : roots) {
    candidates.append(root);
    for (py::handle p : under(root)) candidates.append(p);
    for (py::handle p : under(join(join(root, "assets"), "actuators"))) candidates.append(p);
    for (py::handle p : under(join(join(join(root, "data"), "assets"), "actuators"))) candidates.append(p);
    for (py::handle p : under(join(root, "actuators"))) candidates.append(p);
  }
  return unique_resolved(candidates);
}

py::object find_dtwin_bindings_root(py::handle search_root) {
  py::list candidates = mod.get("_candidate_bindings_roots")(search_root);
  for (py::handle candidate : candidates) {
    if (is_dir(candidate) && !first_match(candidate, "bindings_*.py").is_none() &&
        !first_match(candidate, "lib*").is_none()) {
      return py::reinterpret_borrow<py::object>(candidate);
    }
  }
  raise_file_not_found(
      "Could not find DTwin bindings. Set VEZ_API_VIRTUAL_ASSETS_ROOT, pass a bindings root, or keep artifacts under "
      "assets/actuators/digital_twin_libs_bindings_<version>. Searched: " +
      joined_paths(candidates));
}

py::object resolve_dtwin_artifacts(py::handle model_name, py::handle bindings_root) {
  const std::string model = glue::as_exact_str(model_name, "model_name").cast<std::string>();
  py::object root = mod.get("find_dtwin_bindings_root")(bindings_root);
  py::list targets = mod.get("platform_artifact_targets")();
  for (py::handle target_obj : targets) {
    const std::string target = glue::str(target_obj);
    py::object binding = join(root, ("bindings_" + model + "_" + target + ".py").c_str());
    py::list library_matches(root.attr("glob")("lib" + model + "_" + target + ".*"));
    sort_list(library_matches);
    if (glue::truthy(binding.attr("exists")()) && !library_matches.empty()) {
      return mod.get("DTwinPaths")("library"_a = library_matches[0], "py_bindings"_a = binding);
    }
  }
  py::list available;
  for (py::handle p : root.attr("glob")("bindings_" + model + "_*.py")) available.append(p.attr("name"));
  sort_list(available);
  raise_file_not_found("No DTwin artifacts found for " + glue::str(py::repr(model_name)) +
                       " on this platform. Tried targets: " + glue::str(py::repr(targets)) +
                       ". Available bindings for this model: " + glue::str(py::repr(available)));
}

py::list list_available_dtwin_artifacts(py::handle bindings_root) {
  py::object root = mod.get("find_dtwin_bindings_root")(bindings_root);
  py::object pattern = mod.get("_DTWIN_LIBRARY_PATTERN");
  py::set names;
  for (py::handle entry : root.attr("iterdir")()) {
    py::object match = pattern.attr("match")(entry.attr("name"));
    if (!match.is_none()) names.add(match.attr("group")(1));
  }
  py::list out(names);
  sort_list(out);
  return out;
}

// ---------------------------------------------------------------------------
// The actuator library file.

py::object load_actuator_library_data(py::handle path) {
  py::object library_path = path_of(path);
  if (!glue::truthy(library_path.attr("exists")())) raise_file_not_found("Actuator library not found: " + glue::str(library_path));
  py::object yaml = mod.get("yaml");
  if (yaml.is_none()) glue::raise(PyExc_ImportError, "PyYAML is required to load actuator library files.");
  py::object handle = library_path.attr("open")("r", "encoding"_a = "utf-8");
  py::object data;
  try {
    data = yaml.attr("safe_load")(handle);
  } catch (py::error_already_set&) {
    PyObject* closed = PyObject_CallMethod(handle.ptr(), "close", nullptr);  // the parse error stays the one raised
    Py_XDECREF(closed);
    PyErr_Clear();
    throw;
  }
  handle.attr("close")();
  if (!glue::truthy(data)) data = py::dict();
  if (!PyDict_Check(data.ptr())) {
    glue::raise(PyExc_ValueError,
                "Invalid actuator library at " + glue::str(library_path) + ": top-level YAML must be a mapping");
  }
  return mod.get("validate_actuator_library_data")(data, "source"_a = py::str(library_path));
}

py::object validate_actuator_library_data(py::handle data_arg, py::handle source_arg) {
  py::dict data = glue::as_exact_dict(data_arg, "data");
  const std::string source = glue::as_exact_str(source_arg, "source").cast<std::string>();
  py::object actuators = data.contains("actuators") ? py::object(data["actuators"]) : py::object(data);
  if (!PyDict_Check(actuators.ptr())) {
    glue::raise(PyExc_ValueError, "Invalid " + source + ": 'actuators' must be a mapping of name -> spec");
  }
  for (auto item : py::reinterpret_borrow<py::dict>(actuators)) {
    const std::string name = glue::str(item.first);
    if (!PyDict_Check(item.second.ptr())) {
      glue::raise(PyExc_ValueError, "Invalid " + source + ": actuator '" + name + "' must map to a YAML object");
    }
    try {
      mod.get("ActuatorLibraryEntry").attr("model_validate")(item.second);
    } catch (py::error_already_set& e) {
      if (!e.matches(mod.get("ValidationError").ptr())) throw;
      const std::string details =
          glue::str(mod.get("_format_validation_error")(e.value(), py::str(source + ":" + name)));
      py::raise_from(e, PyExc_ValueError, ("Invalid actuator '" + name + "' in " + source + ": " + details).c_str());
      throw py::error_already_set();
    }
  }
  return std::move(data);
}

py::object iter_actuator_library_entries(py::handle data_arg) {
  py::dict data = glue::as_exact_dict(data_arg, "data");
  py::object section = data.attr("get")("actuators");
  if (!PyDict_Check(section.ptr())) section = data;
  py::object builtins = py::module_::import("builtins");
  py::cpp_function is_entry([](py::tuple item) { return PyDict_Check(item[1].ptr()) != 0; });
  py::cpp_function as_pair([](py::tuple item) { return py::make_tuple(py::str(item[0]), item[1]); });
  // Lazy, like a generator: nothing is looked at before the first next().
  return builtins.attr("map")(as_pair, builtins.attr("filter")(is_entry, section.attr("items")()));
}

py::str format_validation_error(py::handle exc, py::handle source_arg) {
  const std::string source = glue::as_exact_str(source_arg, "source").cast<std::string>();
  if (!py::hasattr(exc, "errors")) {
    const std::string text = glue::str(exc);
    return py::str(text.empty() ? "Invalid " + source : text);
  }
  std::vector<std::string> details;
  for (py::handle error : exc.attr("errors")()) {
    std::string location;
    bool first = true;
    for (py::handle part : error.attr("get")("loc", py::tuple())) {
      if (!first) location += ".";
      location += glue::str(part);
      first = false;
    }
    details.push_back(location + ": " + glue::str(error.attr("get")("msg", "invalid value")));
  }
  return py::str(core::summarize_validation_details(details, source));
}

py::object get_library_path() {
  py::object root = mod.get("_get_project_root")();
  return join(join(join(join(root, "data"), "assets"), "actuators"), "actuators_library.yaml");
}

py::dict load_actuator_library(py::handle library_path) {
  py::object path = library_path.is_none() ? mod.get("_get_library_path")() : path_of(library_path);
  if (!glue::truthy(path.attr("exists")())) raise_file_not_found("Actuator library not found: " + glue::str(path));
  py::object data = mod.get("load_actuator_library_data")(path);
  py::object platform_key = mod.get("_get_platform_key")();
  // For the default location this is the project's "data" directory.
  py::object base = path.attr("resolve")().attr("parent").attr("parent").attr("parent");
  py::object dtwin_paths_type = mod.get("DTwinPaths");
  py::object spec_type = mod.get("ActuatorSpec");
  py::dict specs;
  for (py::handle pair : mod.get("iter_actuator_library_entries")(data)) {
    py::object name = pair[py::int_(0)];
    py::object entry = pair[py::int_(1)];
    py::dict simulation = mapping_or_empty(dict_get(entry, "simulation"));
    py::dict platforms = mapping_or_empty(dict_get(simulation, "dtwin_model"));
    py::dict dtwin_config = mapping_or_empty(platforms.attr("get")(platform_key));
    py::object library_rel_path = dict_get(dtwin_config, "library");
    py::object bindings_rel_path = dict_get(dtwin_config, "py_bindings");
    py::object dtwin_paths = py::none();
    if (glue::truthy(library_rel_path) || glue::truthy(bindings_rel_path)) {
      auto under_base = [&](py::handle rel) -> py::object {
        return glue::truthy(rel) ? base.attr("__truediv__")(rel) : py::none();
      };
      dtwin_paths = dtwin_paths_type("library"_a = under_base(library_rel_path),
                                     "py_bindings"_a = under_base(bindings_rel_path));
    }
    specs[name] = spec_type("name"_a = name, "dtwin_paths"_a = dtwin_paths,
                            "mujoco_config"_a = dict_get(simulation, "mujoco"), "raw_spec"_a = entry);
  }
  return specs;
}

py::object get_actuator_spec(py::handle name_arg, py::handle library_path) {
  py::str name = glue::as_exact_str(name_arg, "name");
  py::dict library = mod.get("load_actuator_library")(library_path);
  if (!library.contains(name)) {
    py::list names(library);
    sort_list(names);
    std::string available;
    for (size_t i = 0; i < names.size(); ++i) available += (i ? ", " : "") + glue::str(names[i]);
    glue::raise(PyExc_KeyError, "Actuator '" + glue::str(name) + "' not found. Available: " + available);
  }
  return library[name];
}

py::list list_available_actuators(py::handle library_path) {
  if (library_path.is_none()) {
    try {
      return mod.get("list_available_dtwin_artifacts")();
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_FileNotFoundError)) throw;
    }
  }
  return py::list(mod.get("load_actuator_library")(library_path));
}

// rated and peak operating points of an entry; a missing or empty level
// reads as an empty mapping.
std::pair<py::dict, py::dict> operating_points(py::dict raw_spec) {
  py::dict level = raw_spec;
  for (const char* key : {"technical_specifications", "performance", "operating_points"}) {
    level = mapping_or_empty(dict_get(level, key));
  }
  return {mapping_or_empty(dict_get(level, "rated")), mapping_or_empty(dict_get(level, "peak"))};
}

py::object times(py::handle value, const char* factor_name) {
  PyObject* product = PyNumber_Multiply(value.ptr(), mod.get(factor_name).ptr());
  if (product == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(product);
}

py::object resolve_torque_limit(py::handle raw_spec) {
  auto [rated, peak] = operating_points(glue::as_exact_dict(raw_spec, "raw_spec"));
  py::object stall = dict_get(peak, "stall_torque_Nm");
  if (!stall.is_none()) {
    PyObject* value = PyNumber_Float(stall.ptr());
    if (value == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(value);
  }
  py::object peak_torque = dict_get(peak, "peak_torque_Nm");
  if (!peak_torque.is_none()) return times(peak_torque, "SAFETY_FACTOR_PEAK_TO_STALL");
  py::object rated_torque = dict_get(rated, "rated_torque_Nm");
  if (!rated_torque.is_none()) return times(rated_torque, "SAFETY_FACTOR_RATED_TO_STALL");
  return py::none();
}

py::object resolve_speed_limit(py::handle raw_spec) {
  auto [rated, peak] = operating_points(glue::as_exact_dict(raw_spec, "raw_spec"));
  py::object maximum = dict_get(peak, "maximum_speed_rpm");
  if (!maximum.is_none()) return times(maximum, "_RPM_TO_RAD_S");
  py::object rated_speed = dict_get(rated, "rated_speed_rpm");
  if (!rated_speed.is_none()) return times(times(rated_speed, "SAFETY_FACTOR_RATED_TO_MAX_SPEED"), "_RPM_TO_RAD_S");
  return py::none();
}

// ---------------------------------------------------------------------------
// Validation records.

// Field types of the records: a name of another record, or one of these.
constexpr const char* kText = "str";
constexpr const char* kNumber = "float";
constexpr const char* kAnyMapping = "dict[str, Any]";
constexpr const char* kPlatformMapping = "dict[str, DTwinPlatformSpec]";
constexpr const char* kParameterMapping = "dict[str, float | int | None]";

struct RecordField {
  const char* name;
  const char* type;
};

struct RecordDef {
  const char* name;
  const char* doc;
  std::vector<RecordField> fields;
};

// In dependency order: a record's field types are defined before it.
std::vector<RecordDef> record_definitions() {
  return {
      {"ProductOverview", "Product overview of an actuator type.",
       {{"product_name", kText}, {"description", kText}, {"manufacturer", kText}, {"actuator_type", kText},
        {"full_revision_id", kText}, {"size_class", kText}}},
      {"RatedOperatingPoint", "Rated operating point.",
       {{"rated_voltage_V", kNumber}, {"rated_current_A", kNumber}, {"rated_torque_Nm", kNumber},
        {"rated_speed_rpm", kNumber}, {"rated_efficiency_percent", kNumber}}},
      {"PeakOperatingPoint", "Peak operating point.",
       {{"peak_torque_Nm", kNumber}, {"current_at_peak_torque_A", kNumber}, {"maximum_speed_rpm", kNumber},
        {"stall_torque_Nm", kNumber}, {"stall_current_A", kNumber}}},
      {"OperatingPoints", "Rated and peak operating points.",
       {{"rated", "RatedOperatingPoint"}, {"peak", "PeakOperatingPoint"}}},
      {"PerformanceSpec", "Performance figures.", {{"operating_points", "OperatingPoints"}}},
      {"TemperatureThresholds", "Temperature thresholds in degrees Celsius.",
       {{"safe_max_C", kNumber}, {"critical_max_C", kNumber}}},
      {"InternalTemperatureLimits", "Internal temperature limits.",
       {{"motor", "TemperatureThresholds"}, {"pcb", "TemperatureThresholds"}}},
      {"SafetyLimits", "Safety limits.", {{"internal_temps", "InternalTemperatureLimits"}}},
      {"GeometrySpec", "Geometry.", {{"gear_ratio", kNumber}, {"outer_diam_mm", kNumber}}},
      {"InertiaSpec", "Inertias.",
       {{"rotor_inertia_kgm2", kNumber}, {"output_inertia_total_kgm2", kNumber}, {"source", kText}}},
      {"FrictionSpec", "Friction.",
       {{"static_friction_Nm", kNumber}, {"coulomb_friction_Nm", kNumber}, {"viscous_friction_Nms_per_rad", kNumber}}},
      {"PackagingConnectivity", "Packaging and connectivity.", {{"total_weight_framed_kg", kNumber}}},
      {"MechanicalSpec", "Mechanical specifications.",
       {{"geometry", "GeometrySpec"}, {"inertias", "InertiaSpec"}, {"friction", "FrictionSpec"},
        {"packaging_connectivity", "PackagingConnectivity"}}},
      {"ElectricalSpec", "Electrical specifications.", {{"rated_current_A", kNumber}}},
      {"TechnicalSpecifications", "Technical specifications.",
       {{"performance", "PerformanceSpec"}, {"safety_limits", "SafetyLimits"}, {"mechanical", "MechanicalSpec"},
        {"electrical", "ElectricalSpec"}}},
      {"DTwinPlatformSpec", "Digital-twin files for one platform, relative to the library's base directory.",
       {{"library", kText}, {"py_bindings", kText}}},
      {"SimulationSpec", "Simulation settings.", {{"mujoco", kAnyMapping}, {"dtwin_model", kPlatformMapping}}},
      {"ControlSpec", "Control settings.", {{"default_parameters", kParameterMapping}}},
      {"ActuatorLibraryEntry", "One actuator type of the actuator library.",
       {{"type", kText},
        {"gear_ratio", kNumber},
        {"rotor_inertia", kNumber},
        {"rotor_inertia_kgm2", kNumber},
        {"nominal_torque", kNumber},
        {"peak_torque", kNumber},
        {"max_velocity", kNumber},
        {"mass", kNumber},
        {"product_overview", "ProductOverview"},
        {"technical_specifications", "TechnicalSpecifications"},
        {"simulation", "SimulationSpec"},
        {"control", "ControlSpec"}}},
  };
}

// The annotation of a record field: Optional[...] of its type.
py::object field_annotation(const char* type) {
  py::object typing = py::module_::import("typing");
  py::object builtins = py::module_::import("builtins");
  py::object optional = typing.attr("Optional");
  py::object dict_type = typing.attr("Dict");
  py::object str_type = builtins.attr("str");
  py::object inner;
  const std::string t(type);
  if (t == kText) {
    inner = str_type;
  } else if (t == kNumber) {
    inner = builtins.attr("float");
  } else if (t == kAnyMapping) {
    inner = dict_type[py::make_tuple(str_type, typing.attr("Any"))];
  } else if (t == kPlatformMapping) {
    inner = dict_type[py::make_tuple(str_type, mod.get("DTwinPlatformSpec"))];
  } else if (t == kParameterMapping) {
    py::object number = typing.attr("Union")[py::make_tuple(builtins.attr("float"), builtins.attr("int"), py::none())];
    inner = dict_type[py::make_tuple(str_type, number)];
  } else {
    inner = mod.get(type);  // a record defined before this one
  }
  return optional[inner];
}

py::dict class_namespace(const char* name, const char* doc) {
  py::dict ns;
  ns["__module__"] = mod.name();
  ns["__qualname__"] = name;
  ns["__doc__"] = doc;
  return ns;
}

py::object make_class(const char* name, py::tuple bases, py::dict ns) {
  return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type))(name, bases, ns);
}

// Without pydantic: a ValueError subclass, a ConfigDict that returns its
// keywords, and a BaseModel whose model_validate accepts any mapping as is.
void define_minimal_validation() {
  mod.set("ValidationError",
          make_class("ValidationError", py::make_tuple(py::handle(PyExc_ValueError)),
                     class_namespace("ValidationError", "Raised when a record does not validate.")));
  mod.set("ConfigDict", glue::function(
                            "ConfigDict", [](py::kwargs kwargs) { return py::dict(kwargs); }, py::scope(mod.module()),
                            glue::sig{"(**kwargs)"}, glue::doc{"Record configuration as a plain mapping."}));
  py::dict ns = class_namespace("BaseModel", "Minimal validated record: accepts any mapping unchanged.");
  py::object validate = glue::function(
      "model_validate",
      [](py::handle cls, py::handle data) -> py::object {
        if (PyDict_Check(data.ptr())) return py::reinterpret_borrow<py::object>(data);
        const std::string message = glue::str(cls.attr("__name__")) + " expects a mapping";
        PyErr_SetObject(mod.get("ValidationError").ptr(), py::str(message).ptr());
        throw py::error_already_set();
      },
      py::arg("cls"), py::arg("data"),
      glue::doc{"Return the mapping `data` unchanged (there is no validation without pydantic); "
                "ValidationError for anything that is not a dict."});
  ns["model_validate"] = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyClassMethod_Type))(validate);
  mod.set("BaseModel", make_class("BaseModel", py::make_tuple(py::handle(reinterpret_cast<PyObject*>(&PyBaseObject_Type))), ns));

  py::dict base_ns = class_namespace("ActuatorBaseModel", "Base of the actuator library records; extra fields allowed.");
  base_ns["model_config"] = mod.get("ConfigDict")("extra"_a = "allow");
  mod.set("ActuatorBaseModel", make_class("ActuatorBaseModel", py::make_tuple(mod.get("BaseModel")), base_ns));

  for (const RecordDef& record : record_definitions()) {
    py::dict ns_record = class_namespace(record.name, record.doc);
    py::dict annotations;
    for (const RecordField& f : record.fields) {
      annotations[f.name] = field_annotation(f.type);
      ns_record[f.name] = py::none();
    }
    ns_record["__annotations__"] = annotations;
    mod.set(record.name, make_class(record.name, py::make_tuple(mod.get("ActuatorBaseModel")), ns_record));
  }
}

// With pydantic (v2, or v1 with model_validate added over parse_obj).
void define_pydantic_validation(py::module_ pydantic) {
  const std::string version = glue::str(pydantic.attr("VERSION"));
  const bool v2 = !version.empty() && version[0] >= '2';
  mod.set("BaseModel", pydantic.attr("BaseModel"));
  mod.set("ValidationError", pydantic.attr("ValidationError"));
  if (py::hasattr(pydantic, "ConfigDict")) {
    mod.set("ConfigDict", pydantic.attr("ConfigDict"));
  } else {
    mod.set("ConfigDict", glue::function(
                              "ConfigDict", [](py::kwargs kwargs) { return py::dict(kwargs); },
                              py::scope(mod.module()), glue::sig{"(**kwargs)"}));
  }

  py::dict base_ns = class_namespace("ActuatorBaseModel", "Base of the actuator library records; extra fields allowed.");
  if (v2) {
    base_ns["model_config"] = mod.get("ConfigDict")("extra"_a = "allow");
  } else {
    py::dict config_ns;
    config_ns["extra"] = "allow";
    config_ns["__doc__"] = "Record settings: fields beyond the declared ones are kept.";
    base_ns["Config"] = make_class("Config", py::make_tuple(py::handle(reinterpret_cast<PyObject*>(&PyBaseObject_Type))), config_ns);
    py::object validate = glue::function(
        "model_validate", [](py::handle cls, py::handle data) { return cls.attr("parse_obj")(data); }, py::arg("cls"),
        py::arg("data"), glue::doc{"Validate the mapping `data` into a record of this class. Returns the record."});
    base_ns["model_validate"] =
        py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyClassMethod_Type))(validate);
  }
  mod.set("ActuatorBaseModel", make_class("ActuatorBaseModel", py::make_tuple(mod.get("BaseModel")), base_ns));

  py::object create_model = pydantic.attr("create_model");
  for (const RecordDef& record : record_definitions()) {
    py::dict fields;
    for (const RecordField& f : record.fields) fields[f.name] = py::make_tuple(field_annotation(f.type), py::none());
    py::object cls = create_model(record.name, "__base__"_a = mod.get("ActuatorBaseModel"),
                                  "__module__"_a = mod.name(), **fields);
    cls.attr("__doc__") = record.doc;
    mod.set(record.name, cls);
  }
}

void define_validation_records() {
  py::object pydantic;
  try {
    pydantic = py::module_::import("pydantic");
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ImportError)) throw;
  }
  if (pydantic) {
    define_pydantic_validation(py::reinterpret_borrow<py::module_>(pydantic));
    const std::string version = glue::str(pydantic.attr("VERSION"));
    mod.set("_VALIDATION_BACKEND", py::str(!version.empty() && version[0] >= '2' ? "pydantic2" : "pydantic1"));
  } else {
    define_minimal_validation();
    mod.set("_VALIDATION_BACKEND", py::str("minimal"));
  }
}

// ---------------------------------------------------------------------------
// Result records.

void define_result_records() {
  py::object typing = py::module_::import("typing");
  py::object optional = typing.attr("Optional");
  py::object dataclass = mod.get("dataclasses").attr("dataclass");
  py::object path_type = mod.get("Path");
  py::object any_mapping = typing.attr("Dict")[py::make_tuple(py::str().get_type(), typing.attr("Any"))];

  py::dict paths_ns = class_namespace("DTwinPaths", "Digital-twin library and bindings paths.");
  py::dict paths_annotations;
  paths_annotations["library"] = optional[path_type];
  paths_annotations["py_bindings"] = optional[path_type];
  paths_ns["__annotations__"] = paths_annotations;
  py::object paths_cls =
      dataclass(make_class("DTwinPaths", py::make_tuple(py::handle(reinterpret_cast<PyObject*>(&PyBaseObject_Type))), paths_ns));
  mod.set("DTwinPaths", paths_cls);

  py::dict spec_ns =
      class_namespace("ActuatorSpec", "Specification for an actuator type loaded from the actuator library.");
  py::dict spec_annotations;
  spec_annotations["name"] = py::str().get_type();
  spec_annotations["dtwin_paths"] = optional[paths_cls];
  spec_annotations["mujoco_config"] = optional[any_mapping];
  spec_annotations["raw_spec"] = optional[any_mapping];
  spec_ns["__annotations__"] = spec_annotations;
  spec_ns["dtwin_paths"] = py::none();
  spec_ns["mujoco_config"] = py::none();
  spec_ns["raw_spec"] = py::none();
  mod.set("ActuatorSpec", dataclass(make_class(
                              "ActuatorSpec", py::make_tuple(py::handle(reinterpret_cast<PyObject*>(&PyBaseObject_Type))), spec_ns)));
}

// A module function, optionally behind functools.lru_cache(maxsize).
template <typename Func, typename... Extra>
void def_cached(const char* name, int maxsize, Func&& f, const Extra&... extra) {
  py::object fn = glue::function(name, std::forward<Func>(f), py::scope(mod.module()), extra...);
  mod.set(name, mod.get("functools").attr("lru_cache")("maxsize"_a = maxsize)(fn));
}

}  // namespace

PYBIND11_MODULE(_twin_assets, m) {
  mod.bind(m);
  m.doc() = "Digital-twin assets: the actuator library file and the search for simulation artifacts.";
  mod.import("dataclasses");
  mod.import("functools");
  mod.import("logging");
  mod.import("os");
  mod.import("platform");
  mod.import("re");
  mod.import_from("pathlib", {"Path"});
  mod.import_from("typing", {"Any", "Dict", "Iterator", "Optional", "Union"});
  try {
    mod.import("yaml");
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ImportError)) throw;
    mod.set("yaml", py::none());
  }

  mod.set("SAFETY_FACTOR_PEAK_TO_STALL", py::float_(1.4));
  mod.set("SAFETY_FACTOR_RATED_TO_STALL", py::float_(5.0));
  mod.set("SAFETY_FACTOR_RATED_TO_MAX_SPEED", py::float_(1.2));
  mod.set("_RPM_TO_RAD_S", py::float_(2.0 * 3.141592653589793 / 60.0));
  mod.set("_DTWIN_LIBRARY_PATTERN",
          mod.get("re").attr("compile")(R"(^lib([A-Z0-9_]+?)_(AMD|Intel|Apple|ARMCompatible)_.*\.(so|dylib|dll)$)"));

  define_result_records();
  define_validation_records();

  mod.def("_cpu_vendor", &cpu_vendor, glue::doc{"\"AMD\", \"Intel\" or None, from /proc/cpuinfo."});
  mod.def("_candidate_project_roots", &candidate_project_roots);
  mod.def("_get_project_root", &get_project_root);
  mod.def("_bindings_roots_under", &bindings_roots_under, py::arg("base"));
  mod.def("_candidate_bindings_roots", &candidate_bindings_roots, py::arg_v("search_root", py::none()));
  mod.def("_get_platform_key", &get_platform_key);
  mod.def("platform_artifact_targets", &platform_artifact_targets,
          glue::doc{"Artifact targets to try on this platform, best first."});
  mod.def("find_dtwin_bindings_root", &find_dtwin_bindings_root, py::arg_v("search_root", py::none()),
          glue::doc{"The first directory that holds digital-twin bindings and libraries."});
  mod.def("resolve_dtwin_artifacts", &resolve_dtwin_artifacts, py::arg("model_name"),
          py::arg_v("bindings_root", py::none()),
          glue::doc{"The simulation library and bindings module of `model_name` for this platform."});
  mod.def("list_available_dtwin_artifacts", &list_available_dtwin_artifacts, py::arg_v("bindings_root", py::none()),
          glue::doc{"Sorted model names that have a simulation library, for any platform."});

  mod.def("load_actuator_library_data", &load_actuator_library_data, py::arg("path"),
          glue::doc{"The validated raw mapping of an actuator library file."});
  mod.def("validate_actuator_library_data", &validate_actuator_library_data, py::arg("data"), py::arg("source"),
          glue::doc{"Validate every entry of an actuator library mapping; returns the mapping itself."});
  mod.def("iter_actuator_library_entries", &iter_actuator_library_entries, py::arg("data"),
          glue::doc{"Lazily yield (name, entry) for every mapping entry of the library."});
  mod.def("_format_validation_error", &format_validation_error, py::arg("exc"), py::arg("source"));
  def_cached("_get_library_path", 1, &get_library_path);
  def_cached("load_actuator_library", 8, &load_actuator_library, py::arg_v("library_path", py::none()),
             glue::doc{"Actuator specifications by name, from the library file (cached)."});
  mod.def("get_actuator_spec", &get_actuator_spec, py::arg("name"), py::arg_v("library_path", py::none()),
          glue::doc{"The library record of one actuator type."});
  mod.def("list_available_actuators", &list_available_actuators, py::arg_v("library_path", py::none()),
          glue::doc{"Names of the actuator types that can be simulated (or that the given library lists)."});
  mod.def("resolve_torque_limit", &resolve_torque_limit, py::arg("raw_spec"),
          glue::doc{"Torque limit in N*m derived from an entry's operating points, or None."});
  mod.def("resolve_speed_limit", &resolve_speed_limit, py::arg("raw_spec"),
          glue::doc{"Speed limit in rad/s derived from an entry's operating points, or None."});
}
