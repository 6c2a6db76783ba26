// vez_api.config: back up an actuator's configuration to a YAML file and
// restore it onto the same or another actuator of the model, physical or
// virtual.
//
//   saved = config.save(actuator, "orbit.yaml")
//   report = config.load(actuator, "orbit.yaml", dry_run=True)
//   print("\n".join(report.lines()))
//
// The file's text, its checks and the plan of a restore live in the core
// (parameter_file.hpp); this module reads the actuator, parses YAML into
// plain data for the core's checks, writes and verifies.  Nothing is written
// to an actuator before the whole file has passed its checks and the plan has
// no problem.  The actuator is reached only through its public methods
// (get_parameters_all, set_parameters, change_address, save_config), so
// subclasses and mocks see every call.
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "core/actuator_protocol.hpp"
#include "core/parameter_file.hpp"
#include "glue/glue.hpp"
#include "modules/parameter_file_header.hpp"

namespace py = pybind11;
namespace core = vez::core;
using namespace pybind11::literals;
using Action = core::PlannedParameter::Action;

namespace {

glue::ModuleRef mod;

// Parameters written per set_parameters call: one message each.
constexpr size_t kWriteBatch = core::kMaxParametersPerRequest;

using glue::truthy;

// ConfigError(message, problems): `problems` lists one line per fault.
[[noreturn]] void raise_config_error(const std::string& message, const std::vector<std::string>& problems = {}) {
  py::list items;
  for (const std::string& p : problems) items.append(p);
  std::string text = message;
  for (const std::string& p : problems) text += "\n  " + p;
  PyErr_SetObject(mod.get("ConfigError").ptr(), mod.get("ConfigError")(text, items).ptr());
  throw py::error_already_set();
}

std::string path_text(py::handle path) { return glue::str(mod.get("os").attr("fspath")(path)); }

// ---------------------------------------------------------------------------
// The actuator's side

bool is_virtual(py::handle actuator) {
  py::object cls = py::module_::import("vez_api.doroze_actuator_virtual").attr("DorozeActuatorVirtual");
  const int result = PyObject_IsInstance(actuator.ptr(), cls.ptr());
  if (result < 0) throw py::error_already_set();
  return result == 1;
}

// A parameter dictionary key as its code: an enumeration member or an int.
std::optional<uint8_t> code_of(py::handle key) {
  py::object number = py::hasattr(key, "value") ? key.attr("value") : py::reinterpret_borrow<py::object>(key);
  if (!PyLong_Check(number.ptr())) return std::nullopt;
  bool fits = false;
  const int64_t code = glue::int64_of(number, &fits);
  if (!fits || code < 0 || code > 255 || core::parameter_name(static_cast<uint8_t>(code)) == nullptr)
    return std::nullopt;
  return static_cast<uint8_t>(code);
}

// A parameter value as a number: floats, ints, Mode members.
double number_of(py::handle value) {
  if (PyFloat_Check(value.ptr())) return PyFloat_AS_DOUBLE(value.ptr());
  if (PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr())) {
    const double d = PyLong_AsDouble(value.ptr());
    if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return d;
  }
  if (py::hasattr(value, "value")) return number_of(value.attr("value"));
  return glue::as_float(value, "value");
}

// Everything the actuator holds now.  A physical actuator holds what it
// answered; a virtual one reports NaN for what it does not hold, yet keeps
// whatever is written to it: `writable` counts those in (as NaN) too.
std::vector<core::ParameterValue> read_actuator(py::handle actuator, bool virtual_actuator, bool writable = false) {
  py::object answer = actuator.attr("get_parameters_all")();
  if (!virtual_actuator) {
    // Each batch of the read resets the flag and the answer sets it: false
    // afterwards means the last batch asked went unanswered.
    py::object answered = py::getattr(actuator, "_got_parameters", py::bool_(true));
    if (!truthy(answered) || !truthy(answer))
      raise_config_error("the actuator did not answer while its parameters were read (timeout)");
  }
  std::vector<core::ParameterValue> values;
  for (auto item : py::dict(answer)) {
    const std::optional<uint8_t> code = code_of(item.first);
    if (!code) continue;
    const double value = number_of(item.second);
    if (virtual_actuator && std::isnan(value) &&
        (!writable || core::parameter_role(*code) == core::ParameterRole::kReadOnly))
      continue;
    values.push_back({*code, value});
  }
  return values;
}

py::object parameter_member(py::handle actuator, uint8_t code) { return actuator.attr("VEZ_Parameters")(code); }

// The file's value as Python holds it: an int for the integer parameters.
py::object python_value(uint8_t code, double value) {
  if (core::parameter_value_type(code) == core::ValueType::kUint32) return py::int_(static_cast<long long>(value));
  return py::float_(value);
}

py::object optional_python_value(uint8_t code, const std::optional<double>& value) {
  return value ? python_value(code, *value) : py::none();
}

// ---------------------------------------------------------------------------
// Files

// Writes `text` next to `path` and renames it into place, so a reader never
// sees half a file and a failed save leaves the old file as it was.
void write_file_atomically(const std::string& path, const std::string& text) {
  py::object os = mod.get("os");
  const std::string part = path + "." + glue::str(os.attr("getpid")()) + ".part";
  py::object flags = os.attr("O_WRONLY") | os.attr("O_CREAT") | os.attr("O_TRUNC");
  py::object fd = os.attr("open")(part, flags, 0666);
  try {
    py::object file;
    try {
      file = os.attr("fdopen")(fd, "w", "encoding"_a = "utf-8", "newline"_a = "\n");
    } catch (py::error_already_set&) {
      py::error_scope keep;
      os.attr("close")(fd);
      throw;
    }
    try {
      file.attr("write")(text);
      file.attr("flush")();
      os.attr("fsync")(file.attr("fileno")());
    } catch (py::error_already_set&) {
      py::error_scope keep;
      file.attr("close")();
      throw;
    }
    file.attr("close")();
    os.attr("replace")(part, path);
  } catch (py::error_already_set&) {
    py::error_scope keep;
    try {
      os.attr("unlink")(part);
    } catch (py::error_already_set&) {
      // nothing left behind to remove
    }
    throw;
  }
}

class YamlToPlain {
 public:
  YamlToPlain() {
    py::object yaml = mod.get("yaml");
    loader_ = yaml.attr("SafeLoader")("");
    scalar_node_ = yaml.attr("ScalarNode");
    mapping_node_ = yaml.attr("MappingNode");
    sequence_node_ = yaml.attr("SequenceNode");
  }

  // Only the top level and the values of its entries are walked: that is as
  // deep as a configuration file goes, and it keeps recursive aliases out.
  core::FileValue convert(py::handle node, int depth) {
    core::FileValue v;
    if (node.is_none()) return v;  // an empty document
    if (isinstance(node, mapping_node_)) {
      v.kind = core::FileValue::Kind::kMapping;
      if (depth > 1) return v;
      for (auto pair : node.attr("value")) {
        py::tuple kv = py::reinterpret_borrow<py::tuple>(pair);
        core::FileEntry entry;
        entry.key = isinstance(kv[0], scalar_node_) ? glue::str(kv[0].attr("value")) : "(not a name)";
        entry.line = kv[0].attr("start_mark").attr("line").cast<int>() + 1;
        entry.value = convert(kv[1], depth + 1);
        v.entries.push_back(std::move(entry));
      }
      return v;
    }
    if (isinstance(node, sequence_node_)) {
      v.kind = core::FileValue::Kind::kOther;
      v.text = "a list";
      return v;
    }
    const std::string tag = glue::str(node.attr("tag"));
    v.text = glue::str(node.attr("value"));
    if (tag == "tag:yaml.org,2002:str") {
      v.kind = core::FileValue::Kind::kText;
    } else if (tag == "tag:yaml.org,2002:null") {
      v.kind = core::FileValue::Kind::kNull;
    } else if (tag == "tag:yaml.org,2002:bool") {
      v.kind = core::FileValue::Kind::kBool;
      v.number = truthy(loader_.attr("construct_yaml_bool")(node)) ? 1.0 : 0.0;
    } else if (tag == "tag:yaml.org,2002:int") {
      v.kind = core::FileValue::Kind::kInteger;
      py::object n = loader_.attr("construct_yaml_int")(node);
      v.number = PyLong_AsDouble(n.ptr());
      if (v.number == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();  // beyond a double: out of every range
        v.number = truthy(n.attr("__lt__")(0)) ? -HUGE_VAL : HUGE_VAL;
      }
    } else if (tag == "tag:yaml.org,2002:float") {
      v.kind = core::FileValue::Kind::kFloat;
      v.number = PyFloat_AsDouble(loader_.attr("construct_yaml_float")(node).ptr());
    } else {
      v.kind = core::FileValue::Kind::kOther;
      const size_t colon = tag.rfind(':');
      v.text = "a " + (colon == std::string::npos ? tag : tag.substr(colon + 1)) + " '" + v.text + "'";
    }
    return v;
  }

 private:
  static bool isinstance(py::handle obj, py::handle cls) {
    const int result = PyObject_IsInstance(obj.ptr(), cls.ptr());
    if (result < 0) throw py::error_already_set();
    return result == 1;
  }

  py::object loader_, scalar_node_, mapping_node_, sequence_node_;
};

std::string yaml_problem(py::handle error) {
  std::string text;
  py::object mark = py::getattr(error, "problem_mark", py::none());
  if (!mark.is_none()) {
    text = "line " + std::to_string(mark.attr("line").cast<int>() + 1) + ", column " +
           std::to_string(mark.attr("column").cast<int>() + 1) + ": ";
  }
  py::object problem = py::getattr(error, "problem", py::none());
  text += problem.is_none() ? glue::str(error) : glue::str(problem);
  py::object context = py::getattr(error, "context", py::none());
  if (!context.is_none()) text += " (" + glue::str(context) + ")";
  return text + "; the file is not valid YAML";
}

// The checked file, or ConfigError with every problem found.
core::ParameterFile parse_file(const std::string& path) {
  if (mod.get("yaml").is_none())
    glue::raise(PyExc_ImportError,
                "reading configuration files needs PyYAML: pip install 'vez_api[yaml]' (Debian: python3-yaml)");
  py::object data = py::module_::import("builtins").attr("open")(path, "rb");
  py::bytes raw;
  try {
    raw = data.attr("read")();
  } catch (py::error_already_set&) {
    py::error_scope keep;
    data.attr("close")();
    throw;
  }
  data.attr("close")();
  const std::string head = path + " cannot be used:";
  py::object text;
  try {
    text = raw.attr("decode")("utf-8");
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_UnicodeDecodeError)) throw;
    raise_config_error(head, {"not UTF-8 text (" + glue::str(e.value()) + ")"});
  }
  py::object node;
  py::object yaml = mod.get("yaml");
  try {
    node = yaml.attr("compose")(text, "Loader"_a = yaml.attr("SafeLoader"));
  } catch (py::error_already_set& e) {
    if (!e.matches(yaml.attr("YAMLError"))) throw;
    raise_config_error(head, {yaml_problem(e.value())});
  }
  YamlToPlain converter;
  core::ParameterFile file = core::check_parameter_file(converter.convert(node, 0));
  if (!file.problems.empty()) raise_config_error(head, file.problems);
  return file;
}

py::object make_config_file(const std::string& path, const core::ParameterFileHeader& header,
                            const std::vector<std::pair<uint8_t, double>>& values) {
  py::dict parameters;
  for (const auto& [code, value] : values) parameters[core::parameter_name(code)] = python_value(code, value);
  return mod.get("ConfigFile")("path"_a = path, "model"_a = header.model,
                               "firmware_version"_a = header.firmware_version,
                               "address"_a = header.address ? py::object(py::int_(*header.address)) : py::none(),
                               "saved_at"_a = header.saved_at, "vez_api_version"_a = header.package_version,
                               "parameters"_a = parameters);
}

// ---------------------------------------------------------------------------
// The module's functions

py::object save(py::handle actuator, py::handle path_arg) {
  const std::string path = path_text(path_arg);
  const bool virtual_actuator = is_virtual(actuator);
  if (glue::str(actuator.attr("model")).empty())
    raise_config_error("the actuator has not reported its model: connect() to it first");
  const std::vector<core::ParameterValue> values = read_actuator(actuator, virtual_actuator);
  const core::ParameterFileHeader header = vez::modules::parameter_file_header(actuator);

  write_file_atomically(path, core::render_parameter_file(header, values));
  std::vector<std::pair<uint8_t, double>> saved;
  for (const core::NamedCode& member : core::kParameterNames)
    for (const core::ParameterValue& v : values)
      if (v.code == member.value) {
        // What the file holds: the float32 the text reads back as.
        const bool integer = core::parameter_value_type(v.code) == core::ValueType::kUint32;
        saved.emplace_back(v.code, integer ? v.value : static_cast<double>(static_cast<float>(v.value)));
        break;
      }
  return make_config_file(path, header, saved);
}

py::object read_file(py::handle path_arg) {
  const std::string path = path_text(path_arg);
  const core::ParameterFile file = parse_file(path);
  std::vector<std::pair<uint8_t, double>> values;
  for (const core::FileParameter& p : file.parameters) values.emplace_back(p.code, p.value);
  return make_config_file(path, file.header, values);
}

py::object change(uint8_t code, const std::optional<double>& old_value, double new_value) {
  return mod.get("ParameterChange")(core::parameter_name(code), optional_python_value(code, old_value),
                                    python_value(code, new_value));
}

py::object load(py::handle actuator, py::handle path_arg, bool force, bool write_runtime, bool write_address,
                bool persist, bool dry_run) {
  const std::string path = path_text(path_arg);
  const core::ParameterFile file = parse_file(path);
  const bool virtual_actuator = is_virtual(actuator);

  const std::string model = glue::str(actuator.attr("model"));
  py::list notes;
  if (model != file.header.model) {
    const std::string actual =
        model.empty() ? "this actuator has not reported its model" : "this actuator is model " + model;
    if (!force)
      raise_config_error(path + " was saved from model " + file.header.model + "; " + actual +
                         ". Nothing was written; force the load to apply it anyway.");
    notes.append("forced: the file was saved from model " + file.header.model + "; " + actual);
  }
  const std::string version = glue::str(actuator.attr("version"));
  if (version != file.header.firmware_version)
    notes.append("the file was saved with firmware " + file.header.firmware_version + ", the actuator runs " + version);

  const std::vector<core::ParameterValue> before = read_actuator(actuator, virtual_actuator, true);
  core::RestoreOptions options;
  options.write_runtime = write_runtime;
  options.write_address = write_address;
  const core::RestorePlan plan = core::plan_restore(file.parameters, before, options);
  if (!plan.problems.empty()) raise_config_error(path + " cannot be applied:", plan.problems);

  py::list changes, unchanged, not_written, not_held, not_in_file, mismatches;
  std::vector<std::pair<uint8_t, double>> writes;
  std::optional<double> new_address;
  for (const core::PlannedParameter& p : plan.entries) {
    switch (p.action) {
      case Action::kWrite:
        changes.append(change(p.code, p.device_value, p.file_value));
        if (core::parameter_role(p.code) == core::ParameterRole::kAddress) {
          new_address = p.file_value;
        } else {
          writes.emplace_back(p.code, p.file_value);
        }
        break;
      case Action::kUnchanged: unchanged.append(core::parameter_name(p.code)); break;
      case Action::kNotWritten: not_written.append(change(p.code, p.device_value, p.file_value)); break;
      case Action::kNotHeld: not_held.append(core::parameter_name(p.code)); break;
    }
  }
  for (uint8_t code : plan.not_in_file) {
    // A virtual actuator's unknown values are nothing the file left out.
    bool unknown = false;
    for (const core::ParameterValue& v : before) unknown = unknown || (v.code == code && std::isnan(v.value));
    if (!(virtual_actuator && unknown)) not_in_file.append(core::parameter_name(code));
  }

  py::object report = mod.get("RestoreReport")(
      "path"_a = path, "file_model"_a = file.header.model, "actuator_model"_a = model, "changes"_a = changes,
      "unchanged"_a = unchanged, "not_written"_a = not_written, "not_held"_a = not_held,
      "not_in_file"_a = not_in_file, "mismatches"_a = mismatches, "notes"_a = notes, "dry_run"_a = dry_run,
      "written"_a = false, "persisted"_a = false);
  if (dry_run) return report;

  for (size_t first = 0; first < writes.size(); first += kWriteBatch) {
    py::dict batch;
    for (size_t i = first; i < writes.size() && i < first + kWriteBatch; ++i)
      batch[parameter_member(actuator, writes[i].first)] = py::float_(writes[i].second);
    actuator.attr("set_parameters")(batch);
  }
  report.attr("written") = py::bool_(!writes.empty() || new_address.has_value());

  const std::vector<core::ParameterValue> after = read_actuator(actuator, virtual_actuator, true);
  const std::vector<core::Mismatch> differ = core::verify_restore(plan, after);
  if (!differ.empty()) {
    std::string text = "the restore of " + path + " did not read back exactly";
    for (const core::Mismatch& m : differ) {
      mismatches.append(mod.get("ParameterMismatch")(core::parameter_name(m.code), python_value(m.code, m.expected),
                                                     optional_python_value(m.code, m.got)));
      text += std::string("\n  ") + core::parameter_name(m.code) + ": wrote " +
              core::parameter_value_text(m.code, m.expected) + ", reads back " +
              (m.got ? core::parameter_value_text(m.code, *m.got) : std::string("nothing"));
    }
    PyErr_SetObject(mod.get("RestoreError").ptr(), mod.get("RestoreError")(text, report).ptr());
    throw py::error_already_set();
  }

  if (new_address) {
    // Last: from now on the actuator answers at the new address.
    actuator.attr("change_address")(py::int_(static_cast<long long>(*new_address)));
    notes.append("the actuator now answers at address " + std::to_string(static_cast<long long>(*new_address)));
  }
  if (persist) {
    actuator.attr("save_config")();
    // SAVE has no answer of its own; one to a ping, which the actuator sends
    // after handling what came before, tells that SAVE arrived.  (After an
    // address change the answer would come from elsewhere.)
    if (!new_address && !truthy(actuator.attr("send_ping")()))
      raise_config_error("the actuator did not answer after save_config: the values are written but may not be kept");
    report.attr("persisted") = py::bool_(true);
  }
  return report;
}

// ---------------------------------------------------------------------------
// Exceptions and records

void config_error_init(py::handle self, py::handle message, py::handle problems) {
  py::handle value_error(PyExc_ValueError);
  value_error.attr("__init__")(self, message);
  self.attr("problems") = py::list(py::reinterpret_borrow<py::object>(problems));
}

void restore_error_init(py::handle self, py::handle message, py::handle report) {
  config_error_init(self, message, py::tuple());
  py::list problems;
  for (auto m : report.attr("mismatches")) problems.append(m.attr("name"));
  self.attr("problems") = problems;
  self.attr("report") = report;
}

std::string value_text(const std::string& name, py::handle value) {
  if (value.is_none()) return "(not held)";
  const int code = core::parameter_code(name);
  if (code < 0) return glue::str(value);
  return core::parameter_value_text(static_cast<uint8_t>(code), number_of(value));
}

const char* not_written_reason(const std::string& name) {
  const int code = core::parameter_code(name);
  switch (code < 0 ? core::ParameterRole::kSetting : core::parameter_role(static_cast<uint8_t>(code))) {
    case core::ParameterRole::kRuntime: return "present state, written only when asked";
    case core::ParameterRole::kAddress: return "bus address, written only when asked";
    case core::ParameterRole::kReadOnly: return "read-only";
    case core::ParameterRole::kSetting: break;
  }
  return "";
}

py::list report_lines(py::handle report) {
  py::list out;
  const bool dry_run = truthy(report.attr("dry_run"));
  py::object changes = report.attr("changes");
  const size_t n = py::len(changes);
  if (n == 0) {
    out.append("No changes: the actuator holds every value of the file that a restore writes.");
  } else {
    out.append(std::string(dry_run ? "Would change " : "Changed ") + std::to_string(n) +
               (n == 1 ? " parameter:" : " parameters:"));
    for (auto c : changes) {
      const std::string name = glue::str(c.attr("name"));
      out.append("  " + name + ": " + value_text(name, c.attr("old")) + " -> " + value_text(name, c.attr("new")));
    }
  }
  for (auto c : report.attr("not_written")) {
    const std::string name = glue::str(c.attr("name"));
    out.append("Not written (" + std::string(not_written_reason(name)) + "): " + name + ": " +
               value_text(name, c.attr("old")) + " -> " + value_text(name, c.attr("new")));
  }
  auto names_line = [&](const char* heading, py::handle names) {
    if (py::len(names) == 0) return;
    std::string line = heading;
    const char* sep = " ";
    for (auto name : names) {
      line += sep + glue::str(name);
      sep = ", ";
    }
    out.append(line);
  };
  names_line("Not held by this actuator, left out:", report.attr("not_held"));
  names_line("Not in the file, left as they are:", report.attr("not_in_file"));
  for (auto m : report.attr("mismatches")) {
    const std::string name = glue::str(m.attr("name"));
    out.append("Reads back differently: " + name + ": wrote " + value_text(name, m.attr("expected")) +
               ", reads " + value_text(name, m.attr("got")));
  }
  for (auto note : report.attr("notes")) out.append("Note: " + glue::str(note));
  return out;
}

bool report_ok(py::handle report) { return py::len(report.attr("mismatches")) == 0; }

py::object object_base() { return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyBaseObject_Type)); }

void define_classes() {
  py::object builtins = py::module_::import("builtins");
  py::object typing = mod.get("typing");
  py::object list_type = builtins.attr("list");
  py::object field = mod.get("field");
  py::object dataclass = mod.get("dataclass");
  py::object number = typing.attr("Union")[py::make_tuple(builtins.attr("float"), builtins.attr("int"))];
  py::object optional_number = typing.attr("Optional")[number];

  glue::ClassBuilder error(mod, "ConfigError", py::make_tuple(py::handle(PyExc_ValueError)),
                           "A configuration file that cannot be used, or a restore that cannot go ahead.\n\n"
                           "`problems` lists every fault found, one line each (\"line 12: unknown parameter ...\").\n"
                           "Nothing was written to the actuator.");
  error.def("__init__", &config_error_init, py::arg("message"), py::arg_v("problems", py::tuple(), "()"));
  py::object config_error = error.finish();

  glue::ClassBuilder restore(mod, "RestoreError", py::make_tuple(config_error),
                             "A restore whose values did not all read back as written.\n\n"
                             "`report` is the RestoreReport (its `mismatches` name the parameters); `problems`\n"
                             "lists their names.  What was written stays written; nothing was saved.");
  restore.def("__init__", &restore_error_init, py::arg("message"), py::arg("report"));
  restore.finish();

  glue::ClassBuilder change(mod, "ParameterChange", py::make_tuple(object_base()),
                            "One parameter whose value in the file differs from the actuator's.");
  change.annotate("name", builtins.attr("str")).annotate("old", optional_number).annotate("new", number);
  mod.set("ParameterChange", dataclass("frozen"_a = true)(change.cls()));

  glue::ClassBuilder mismatch(mod, "ParameterMismatch", py::make_tuple(object_base()),
                              "A parameter that reads back differently from what was written.");
  mismatch.annotate("name", builtins.attr("str")).annotate("expected", number).annotate("got", optional_number);
  mod.set("ParameterMismatch", dataclass("frozen"_a = true)(mismatch.cls()));

  glue::ClassBuilder file(mod, "ConfigFile", py::make_tuple(object_base()),
                          "A configuration file: where it is, its header and its parameters by name.");
  file.annotate("path", builtins.attr("str"))
      .annotate("model", builtins.attr("str"))
      .annotate("firmware_version", builtins.attr("str"))
      .annotate("address", typing.attr("Optional")[builtins.attr("int")])
      .annotate("saved_at", builtins.attr("str"))
      .annotate("vez_api_version", builtins.attr("str"))
      .annotate("parameters", typing.attr("Dict")[py::make_tuple(builtins.attr("str"), number)]);
  mod.set("ConfigFile", dataclass(file.cls()));

  glue::ClassBuilder report(mod, "RestoreReport", py::make_tuple(object_base()),
                            "What a restore found and did.\n\n"
                            "`changes` are the parameters written (or, on a dry run, that would be); `unchanged`\n"
                            "the ones the actuator held already; `not_written` differ but were kept back by their\n"
                            "role (present state, address, read-only); `not_held` are in the file but not on the\n"
                            "actuator; `not_in_file` the reverse; `mismatches` read back differently.");
  py::object str_list = list_type[builtins.attr("str")];
  report.annotate("path", builtins.attr("str"))
      .annotate("file_model", builtins.attr("str"))
      .annotate("actuator_model", builtins.attr("str"))
      .annotate("changes", list_type[mod.get("ParameterChange")])
      .annotate("unchanged", str_list)
      .annotate("not_written", list_type[mod.get("ParameterChange")])
      .annotate("not_held", str_list)
      .annotate("not_in_file", str_list)
      .annotate("mismatches", list_type[mod.get("ParameterMismatch")])
      .annotate("notes", str_list)
      .annotate("dry_run", builtins.attr("bool"))
      .annotate("written", builtins.attr("bool"))
      .annotate("persisted", builtins.attr("bool"));
  for (const char* name : {"changes", "unchanged", "not_written", "not_held", "not_in_file", "mismatches", "notes"})
    report.attr(name, field("default_factory"_a = list_type));
  report.attr("dry_run", py::bool_(false)).attr("written", py::bool_(false)).attr("persisted", py::bool_(false));
  report.def("lines", &report_lines, glue::doc{"The report as lines of text: the diff first, then the rest."});
  report.def_property_readonly("ok", &report_ok, "True when every value read back as written.");
  mod.set("RestoreReport", dataclass(report.cls()));
}

}  // namespace

PYBIND11_MODULE(config, m) {
  mod.bind(m);
  m.doc() =
      "Back up an actuator's configuration to a YAML file and restore it, on physical and virtual actuators.";
  mod.import("os");
  mod.import("typing");
  mod.import_from("dataclasses", {"dataclass", "field"});
  mod.import_from("datetime", {"datetime", "timezone"});
  mod.import_from("importlib.metadata", {"version", "PackageNotFoundError"});
  try {
    mod.import("yaml");
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ImportError)) throw;
    mod.set("yaml", py::none());
  }
  mod.set("FORMAT", py::int_(core::kParameterFileFormat));
  define_classes();

  mod.def("save", &save, py::arg("actuator"), py::arg("path"),
          glue::doc{"Save every parameter the actuator holds to a YAML file at `path`; returns the ConfigFile.\n\n"
                    "The file is written next to `path` and renamed into place.  Raises ConfigError when the\n"
                    "actuator has not reported its model or does not answer."});
  mod.def("read", &read_file, py::arg("path"),
          glue::doc{"Read and check a configuration file; returns its ConfigFile or raises ConfigError\n"
                    "listing every problem (unknown names, values of the wrong type, a truncated file)."});
  mod.def("load", &load, py::arg("actuator"), py::arg("path"), py::kw_only(), py::arg("force") = false,
          py::arg("write_runtime") = false, py::arg("write_address") = false, py::arg("persist") = false,
          py::arg("dry_run") = false,
          glue::sig{"(actuator, path, *, force=False, write_runtime=False, write_address=False, persist=False, "
                    "dry_run=False)"},
          glue::doc{"Restore a configuration file onto an actuator; returns a RestoreReport.\n\n"
                    "The file is checked whole first, and nothing is written when it has a problem or was saved\n"
                    "from another model (unless `force`).  The settings that differ are written in batches,\n"
                    "read back and compared; MODE and SETPOINT are written only with `write_runtime`, the\n"
                    "address only with `write_address` (last, after the check), the identity values never.\n"
                    "`persist` then makes the actuator keep them (save_config); `dry_run` writes nothing.\n"
                    "Raises RestoreError when a value does not read back as written."});
}
