#include "modules/doroze_cli/service_commands.hpp"

#include <cctype>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "core/actuator_protocol.hpp"
#include "core/protocol.hpp"

namespace py = pybind11;
namespace core = vez::core;
using namespace pybind11::literals;

namespace vez::cli {

namespace {

constexpr int kDefaultVirtualAddress = 0x10;
constexpr const char* kDefaultItems = "POSITION_FB,SPEED_FB,TORQUE_FB,TEMP_MOTOR";

void out(const glue::ModuleRef& mod, const std::string& text) { mod.global("print")(text); }

// A failure on standard error, after the command's name as its parser shows
// it ("doroze config load: ...", "python -m vez_api monitor: ...").
void err(const glue::ModuleRef& mod, py::handle args, const std::string& text) {
  const std::string prog = glue::str(args.attr("service_parser").attr("prog"));
  mod.global("print")(prog + ": " + text, "file"_a = py::module_::import("sys").attr("stderr"));
}

[[noreturn]] void argument_type_error(const std::string& message) {
  PyErr_SetString(py::module_::import("argparse").attr("ArgumentTypeError").ptr(), message.c_str());
  throw py::error_already_set();
}

// --items: comma-separated VEZ_Items names (any case), at most one stream's worth.
py::list parse_items(const std::string& text) {
  py::list names;
  std::vector<std::string> unknown;
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    std::string name = text.substr(start, comma - start);
    start = comma + 1;
    while (!name.empty() && name.front() == ' ') name.erase(0, 1);
    while (!name.empty() && name.back() == ' ') name.pop_back();
    if (name.empty()) continue;
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    bool known = false;
    for (const core::NamedCode& item : core::kItemNames) known = known || name == item.name;
    if (!known) unknown.push_back(name);
    names.append(name);
  }
  if (!unknown.empty()) {
    std::string message = "unknown feedback item";
    message += unknown.size() > 1 ? "s " : " ";
    for (size_t i = 0; i < unknown.size(); ++i) message += (i ? ", " : "") + unknown[i];
    argument_type_error(message + " (the names of VEZ_Items, e.g. POSITION_FB,SPEED_FB)");
  }
  if (py::len(names) == 0) argument_type_error("no feedback item given");
  if (py::len(names) > static_cast<size_t>(core::kMaxFeedbackItemsPerRequest))
    argument_type_error("at most " + std::to_string(core::kMaxFeedbackItemsPerRequest) + " items, got " +
                        std::to_string(py::len(names)));
  return names;
}

py::int_ parse_rate(py::handle text) {
  py::object value;
  try {
    value = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyLong_Type))(text);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ValueError)) throw;
    argument_type_error("not a whole number of hertz: " + glue::str(text));
  }
  bool fits = false;
  const int64_t rate = glue::int64_of(value, &fits);
  if (!fits || rate < 1 || rate > core::kFeedbackBaseRateHz)
    argument_type_error("the rate must be 1 to " + std::to_string(core::kFeedbackBaseRateHz) + " Hz, got " +
                        glue::str(text));
  return py::int_(rate);
}

py::float_ parse_duration(py::handle text) {
  double seconds = 0;
  try {
    seconds = py::float_(py::reinterpret_borrow<py::object>(text)).cast<double>();
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ValueError)) throw;
    argument_type_error("not a number of seconds: " + glue::str(text));
  }
  if (!(seconds > 0) || seconds == HUGE_VAL) argument_type_error("the duration must be a positive number of seconds");
  return py::float_(seconds);
}

void add_target_options(py::handle parser, py::handle address_type, const char* port_help) {
  parser.attr("add_argument")("--address", "-a", "type"_a = address_type, "default"_a = py::none(),
                              "help"_a = "Target device address (e.g., 0x10); 0 is the actuator on the USB port "
                                         "itself (required unless --virtual)");
  py::object where = parser.attr("add_mutually_exclusive_group")();
  where.attr("add_argument")("--port", "-p", "type"_a = py::str().get_type(), "default"_a = py::none(),
                             "help"_a = port_help);
  where.attr("add_argument")("--virtual", "metavar"_a = "MODEL", "default"_a = py::none(),
                             "help"_a = "work on a virtual actuator of this model (e.g., ORBIT_4) instead of a port");
}

// ---------------------------------------------------------------------------
// The actuator a command works on.

struct Target {
  py::object link;      // the adapter, None for a virtual actuator
  py::object actuator;
  std::string description;

  void close() {
    if (!link.is_none()) {
      link.attr("close")();
    } else if (actuator) {
      actuator.attr("disconnect")();
    }
  }
};

std::string hex_upper(py::handle number) { return glue::str(py::str("{:X}").attr("format")(number)); }

// Argument errors of the target options, found before anything is opened:
// no address for a port, a model without a digital twin.
void check_target_arguments(py::handle args) {
  py::object model = args.attr("virtual");
  if (model.is_none()) {
    if (args.attr("address").is_none())
      args.attr("service_parser").attr("error")("the address is required (-a ADDR), or --virtual MODEL");
    return;
  }
  py::object virtual_cls = py::module_::import("vez_api.doroze_actuator_virtual").attr("DorozeActuatorVirtual");
  py::object available = virtual_cls.attr("discover_available_actuators")(py::none());
  if (!available.contains(model)) {
    std::string names;
    for (auto name : available) names += (names.empty() ? "" : ", ") + glue::str(name);
    args.attr("service_parser").attr("error")("--virtual: no digital twin of model '" + glue::str(model) +
                                              "' (available: " + (names.empty() ? "none" : names) + ")");
  }
}

// Opens and connects; nullopt after reporting why not.
std::optional<Target> open_target(const glue::ModuleRef& mod, py::handle args) {
  Target target;
  target.link = py::none();
  py::object model = args.attr("virtual");
  py::object address = args.attr("address");
  if (!model.is_none()) {
    py::object virtual_cls = py::module_::import("vez_api.doroze_actuator_virtual").attr("DorozeActuatorVirtual");
    if (address.is_none()) address = py::int_(kDefaultVirtualAddress);
    target.actuator = virtual_cls("address"_a = address, "telemetry_max_ticks"_a = 0);
    target.actuator.attr("set_actuator")(model);
    target.actuator.attr("connect")();
    target.description = "virtual " + glue::str(model) + " at address 0x" + hex_upper(address);
    return target;
  }
  if (args.attr("port").is_none()) args.attr("port") = mod.get("VezOverUsb").attr("get_port")();
  py::object port = args.attr("port");
  target.description = PyObject_IsTrue(address.ptr())
                           ? "CAN at address 0x" + hex_upper(address) + " (" + glue::str(port) + ")"
                           : "USB at port '" + glue::str(port) + "'";
  target.link = mod.get("VezOverUsb")(port);
  try {
    target.actuator = mod.get("DorozeActuatorReal")(target.link, address);
    if (!PyObject_IsTrue(target.actuator.attr("connect")().ptr())) {
      err(mod, args, "could not connect by " + target.description);
      target.close();
      return std::nullopt;
    }
  } catch (py::error_already_set&) {
    py::error_scope keep;
    target.link.attr("close")();
    throw;
  }
  return target;
}

// Runs fn(target) and closes the target whatever happens.
template <typename Fn>
int with_target(const glue::ModuleRef& mod, py::handle args, Fn&& fn) {
  std::optional<Target> target = open_target(mod, args);
  if (!target) return 1;
  int status = 1;
  try {
    status = fn(*target);
  } catch (py::error_already_set&) {
    py::error_scope keep;
    target->close();
    throw;
  }
  target->close();
  return status;
}

// The failures a command reports in a sentence: a bad or unreadable file,
// an actuator that does not answer, a missing optional library.
bool is_reported_failure(py::error_already_set& e) {
  return e.matches(py::module_::import("vez_api.config").attr("ConfigError")) || e.matches(PyExc_OSError) ||
         e.matches(PyExc_ImportError);
}

std::string failure_text(py::error_already_set& e) {
  py::object value = e.value();
  if (e.matches(PyExc_OSError) && !py::getattr(value, "strerror", py::none()).is_none()) {
    std::string text = glue::str(value.attr("strerror"));
    py::object filename = py::getattr(value, "filename", py::none());
    if (!filename.is_none()) text = glue::str(filename) + ": " + text;
    return text;
  }
  return glue::str(value);
}

// ---------------------------------------------------------------------------
// Commands

int config_save(const glue::ModuleRef& mod, py::handle args) {
  return with_target(mod, args, [&](Target& target) {
    py::object config = py::module_::import("vez_api.config");
    try {
      py::object saved = config.attr("save")(target.actuator, args.attr("file"));
      out(mod, "Saved " + std::to_string(py::len(saved.attr("parameters"))) + " parameters of " +
                   glue::str(saved.attr("model")) + " (firmware " + glue::str(saved.attr("firmware_version")) +
                   ") by " + target.description + " to " + glue::str(saved.attr("path")));
      return 0;
    } catch (py::error_already_set& e) {
      if (!is_reported_failure(e)) throw;
      err(mod, args, failure_text(e));
      return 1;
    }
  });
}

int config_load(const glue::ModuleRef& mod, py::handle args) {
  py::object config = py::module_::import("vez_api.config");
  // The file is checked before any port is opened: a bad file costs nothing.
  py::object file;
  try {
    file = config.attr("read")(args.attr("file"));
  } catch (py::error_already_set& e) {
    if (!is_reported_failure(e)) throw;
    err(mod, args, failure_text(e));
    return 1;
  }
  return with_target(mod, args, [&](Target& target) {
    out(mod, "Configuration " + glue::str(file.attr("path")) + " (" + glue::str(file.attr("model")) + ", firmware " +
                 glue::str(file.attr("firmware_version")) + ", saved " + glue::str(file.attr("saved_at")) +
                 ") onto " + glue::str(target.actuator.attr("model")) + " by " + target.description);
    const bool dry_run = PyObject_IsTrue(args.attr("dry_run").ptr()) == 1;
    try {
      py::object report = config.attr("load")(
          target.actuator, args.attr("file"), "force"_a = args.attr("force"),
          "write_runtime"_a = args.attr("with_runtime"), "write_address"_a = args.attr("with_address"),
          "persist"_a = args.attr("persist"), "dry_run"_a = dry_run);
      for (auto line : report.attr("lines")()) out(mod, glue::str(line));
      if (dry_run) {
        out(mod, "Dry run: nothing was written.");
      } else if (PyObject_IsTrue(report.attr("written").ptr()) == 1) {
        const size_t n = py::len(report.attr("changes"));
        out(mod, "Written and read back: " + std::to_string(n) + (n == 1 ? " parameter." : " parameters."));
      }
      if (PyObject_IsTrue(report.attr("persisted").ptr()) == 1) out(mod, "Saved in the actuator's memory.");
      return 0;
    } catch (py::error_already_set& e) {
      if (!is_reported_failure(e)) throw;
      py::object report = py::getattr(e.value(), "report", py::none());
      if (!report.is_none())
        for (auto line : report.attr("lines")()) out(mod, glue::str(line));
      err(mod, args, failure_text(e));
      return 1;
    }
  });
}

int monitor(const glue::ModuleRef& mod, py::handle args) {
  return with_target(mod, args, [&](Target& target) {
    py::object items_enum = target.actuator.attr("VEZ_Items");
    py::list items;
    for (auto name : args.attr("items")) items.append(items_enum[name]);
    py::object plain = args.attr("plain");
    py::object summary = py::module_::import("vez_api.monitor")
                             .attr("run")(target.actuator, items, "rate"_a = args.attr("rate"),
                                          "duration"_a = args.attr("duration"), "csv"_a = args.attr("csv"),
                                          "style"_a = PyObject_IsTrue(plain.ptr()) == 1 ? "plain" : "auto");
    char line[160];
    std::snprintf(line, sizeof line, "%llu samples in %.1f s", summary.attr("samples").cast<unsigned long long>(),
                  summary.attr("seconds").cast<double>());
    std::string text = line;
    if (!args.attr("csv").is_none())
      text += "; " + std::to_string(summary.attr("csv_rows").cast<unsigned long long>()) + " rows in " +
              glue::str(args.attr("csv"));
    out(mod, text);
    return 0;
  });
}

}  // namespace

void add_service_commands(const glue::ModuleRef& /*mod*/, py::handle subparsers, py::handle address_type,
                          const char* port_help) {
  py::object config = subparsers.attr("add_parser")(
      "config", "help"_a = "Save an actuator's configuration to a file, or restore it from one");
  py::object actions = config.attr("add_subparsers")("dest"_a = "config_command", "required"_a = true);

  py::object save = actions.attr("add_parser")("save", "help"_a = "Save every parameter of the actuator to a YAML file");
  add_target_options(save, address_type, port_help);
  save.attr("add_argument")("file", "help"_a = "the file to write (replaced whole, never left half written)");
  save.attr("set_defaults")("service_parser"_a = save);

  py::object load = actions.attr("add_parser")(
      "load", "help"_a = "Restore a configuration file onto the actuator and show what changed");
  add_target_options(load, address_type, port_help);
  load.attr("add_argument")("file", "help"_a = "a file written by 'doroze config save'");
  load.attr("add_argument")("--dry-run", "action"_a = "store_true", "help"_a = "show the changes, write nothing");
  load.attr("add_argument")("--persist", "action"_a = "store_true",
                            "help"_a = "make the actuator keep the values across power cycles (save_config)");
  load.attr("add_argument")("--force", "action"_a = "store_true",
                            "help"_a = "apply a file saved from another model");
  load.attr("add_argument")("--with-runtime", "action"_a = "store_true",
                            "help"_a = "also write MODE and SETPOINT (the present state)");
  load.attr("add_argument")("--with-address", "action"_a = "store_true",
                            "help"_a = "also write the bus address (last; the actuator then answers there)");
  load.attr("set_defaults")("service_parser"_a = load);

  py::object monitor = subparsers.attr("add_parser")("monitor", "help"_a = "Watch live feedback of an actuator");
  add_target_options(monitor, address_type, port_help);
  monitor.attr("add_argument")("--items", "type"_a = glue::function("items", [](const std::string& text) {
                                 return parse_items(text);
                               }),
                               "default"_a = py::str(kDefaultItems), "metavar"_a = "ITEM,...",
                               "help"_a = std::string("feedback items to show (default: ") + kDefaultItems + ")");
  monitor.attr("add_argument")("--rate", "type"_a = glue::function("rate", &parse_rate), "default"_a = 100,
                               "metavar"_a = "HZ", "help"_a = "feedback rate in Hz (default: 100)");
  monitor.attr("add_argument")("--duration", "type"_a = glue::function("duration", &parse_duration),
                               "default"_a = py::none(), "metavar"_a = "S",
                               "help"_a = "stop after S seconds (default: until Ctrl-C)");
  monitor.attr("add_argument")("--csv", "default"_a = py::none(), "metavar"_a = "FILE",
                               "help"_a = "also write every sample to this CSV file");
  monitor.attr("add_argument")("--plain", "action"_a = "store_true",
                               "help"_a = "print plain lines even on a terminal");
  monitor.attr("set_defaults")("service_parser"_a = monitor);
}

bool is_service_command(const std::string& command) { return command == "config" || command == "monitor"; }

int run_service_command(const glue::ModuleRef& mod, py::handle args) {
  check_target_arguments(args);
  const std::string command = glue::str(args.attr("command"));
  if (command == "monitor") return monitor(mod, args);
  if (glue::str(args.attr("config_command")) == "save") return config_save(mod, args);
  return config_load(mod, args);
}

}  // namespace vez::cli
