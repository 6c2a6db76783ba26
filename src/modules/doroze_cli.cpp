// vez_api.doroze_cli: the `doroze` command line for service work on physical
// actuators through the USB adapter: scan, params, blink and home.
//
// Everything it prints goes through `print` as the module resolves it, and the
// classes it drives are looked up in the module at call time, so tests (and
// wrappers) can patch `vez_api.doroze_cli.VezOverUsb` and friends.
#include <string>

#include "glue/glue.hpp"
#include "modules/doroze_cli/service_commands.hpp"

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

glue::ModuleRef mod;

void print(const std::string& text) { mod.global("print")(text); }

std::string hex_upper(py::handle number) { return py::str("{:X}").attr("format")(number).cast<std::string>(); }

// "USB at port '<port>'" for the direct address, "CAN at address 0x<A> (<port>)" otherwise.
std::string describe_connection(py::handle port, py::handle address) {
  if (!PyObject_IsTrue(address.ptr())) return "USB at port '" + glue::str(port) + "'";
  return "CAN at address 0x" + hex_upper(address) + " (" + glue::str(port) + ")";
}

// Address converter of the parser: decimal, 0x.., 0o.. or 0b.. text.
py::object parse_address(py::handle text) {
  return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyLong_Type))(text, 0);
}

void resolve_port(py::object args) {
  if (args.attr("port").is_none()) args.attr("port") = mod.get("VezOverUsb").attr("get_port")();
}

// Opens the adapter and the actuator of `args` (port and address resolved).
std::pair<py::object, py::object> open_actuator(py::object args) {
  py::object adapter = mod.get("VezOverUsb")(args.attr("port"));
  py::object actuator = mod.get("DorozeActuatorReal")(adapter, args.attr("address"));
  return {adapter, actuator};
}

bool connected(py::handle actuator) {
  py::object result = actuator.attr("connect")();
  const int truth = PyObject_IsTrue(result.ptr());
  if (truth < 0) throw py::error_already_set();
  return truth == 1;
}

void command_params(py::object args) {
  resolve_port(args);
  if (args.attr("address").is_none()) args.attr("address") = 0;
  const std::string description = describe_connection(args.attr("port"), args.attr("address"));
  auto [adapter, actuator] = open_actuator(args);
  if (connected(actuator)) {
    py::object parameters = actuator.attr("get_parameters_all")();
    adapter.attr("close")();
    py::dict named;
    for (auto item : parameters.attr("items")()) {
      py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
      named[pair[0].attr("name")] = pair[1];
    }
    print("Parameters for actuator connected by " + description);
    for (auto item : named) print(glue::str(item.first) + ": " + glue::str(item.second));
  } else {
    print("Could not connect by " + description);
    adapter.attr("close")();
  }
}

void command_home(py::object args) {
  resolve_port(args);
  if (args.attr("address").is_none()) args.attr("address") = 0;
  const std::string description = describe_connection(args.attr("port"), args.attr("address"));
  auto [adapter, actuator] = open_actuator(args);
  if (connected(actuator)) {
    actuator.attr("set_home_position")();
    print("Home position set for actuator connected by " + description);
    adapter.attr("close")();
  } else {
    print("Could not connect by " + description);
    adapter.attr("close")();
  }
}

void command_blink(py::object args) {
  resolve_port(args);
  if (!PyObject_IsTrue(args.attr("address").ptr())) {
    print("Address is required for blink command.");
    return;
  }
  const std::string description =
      "Connecting to device at address 0x" + hex_upper(args.attr("address")) + " (" + glue::str(args.attr("port")) + ")";
  auto [adapter, actuator] = open_actuator(args);
  if (connected(actuator)) {
    actuator.attr("blink")();
    adapter.attr("close")();
  } else {
    print("Could not connect by " + description);
    adapter.attr("close")();
  }
}

// While a scan runs on a terminal, the address being probed is shown on
// standard error; standard output keeps exactly the scan's own lines.
class ScanProgress {
 public:
  ScanProgress(py::object scanner, py::handle begin, py::handle end) {
    py::object stderr_ = py::module_::import("sys").attr("stderr");
    if (!PyObject_IsTrue(stderr_.attr("isatty")().ptr())) return;
    py::object threading = py::module_::import("threading");
    stop_ = threading.attr("Event")();
    py::object stop = stop_;
    py::int_ first = glue::as_int(begin, "begin");
    py::int_ last = glue::as_int(end, "end");
    py::cpp_function report([scanner, stop, stderr_, first, last]() {
      const double lo = first.cast<double>(), span = std::max(1.0, last.cast<double>() - lo + 1.0);
      while (!PyObject_IsTrue(stop.attr("wait")(0.2).ptr())) {
        py::object address = scanner.attr("address");
        const double done = std::min(1.0, std::max(0.0, (py::float_(address).cast<double>() - lo) / span));
        stderr_.attr("write")(py::str("\rscanning 0x{:04X} ({:3.0f} %)").format(address, done * 100.0));
        stderr_.attr("flush")();
      }
      stderr_.attr("write")("\r" + std::string(24, ' ') + "\r");
      stderr_.attr("flush")();
    });
    thread_ = threading.attr("Thread")("target"_a = report, "daemon"_a = true);
    thread_.attr("start")();
  }
  void finish() {
    if (!thread_) return;
    stop_.attr("set")();
    thread_.attr("join")();
    thread_ = py::object();
  }
  ~ScanProgress() {
    if (thread_ && !PyErr_Occurred()) stop_.attr("set")();  // an exception is on its way out: just stop the thread
  }

 private:
  py::object stop_, thread_;
};

void command_scan(py::object args) {
  py::object ports;
  if (!args.attr("port").is_none()) {
    ports = py::make_tuple(args.attr("port"));
  } else {
    ports = mod.get("VezOverUsb").attr("get_ports")();
  }
  if (!PyObject_IsTrue(ports.ptr())) {
    print("No devices found.");
    return;
  }
  for (auto port : ports) {
    print("Connecting to device on port " + glue::str(port) + " ...");
    py::object adapter = mod.get("VezOverUsb")(port);
    if (!PyObject_IsTrue(adapter.attr("is_connected").ptr())) {
      adapter.attr("close")();
      continue;
    }
    py::object scanner = mod.get("DorozeActuatorScannerReal")(adapter);
    if (PyObject_IsTrue(scanner.attr("is_connected").ptr())) {
      print("Scanning addresses from 0x" + hex_upper(args.attr("begin")) + " to 0x" + hex_upper(args.attr("end")) +
            " ... (CTRL+C to cancel)");
      ScanProgress progress(scanner, args.attr("begin"), args.attr("end"));
      py::object found = scanner.attr("scan")("begin"_a = args.attr("begin"), "end"_a = args.attr("end"));
      progress.finish();
      print("Found " + std::to_string(py::len(found)) + " addresses: " + glue::str(found));
      adapter.attr("close")();
    } else {
      adapter.attr("close")();
    }
  }
}

void main_() {
  py::object argparse = mod.get("argparse");
  py::object address_type = mod.get("address");
  const char* port_help = "CAN interface port (e.g., COM3, /dev/ttyACM0)";

  py::object parser = argparse.attr("ArgumentParser")("description"_a = "Doroze Actuator CLI");
  parser.attr("add_argument")("-v", "--version", "action"_a = "version",
                              "version"_a = "vez_api " + glue::str(mod.get("__version__")));
  py::object commands = parser.attr("add_subparsers")("dest"_a = "command", "required"_a = true);

  py::object scan = commands.attr("add_parser")("scan", "help"_a = "Scan the network for actuators");
  scan.attr("add_argument")("--begin", "type"_a = address_type, "default"_a = 0x10,
                            "help"_a = "Start address (default: 0x10)");
  scan.attr("add_argument")("--end", "type"_a = address_type, "default"_a = 0xFF,
                            "help"_a = "End address (default: 0xFF, can be up to 0x3FFE)");
  scan.attr("add_argument")("--port", "-p", "type"_a = py::str().get_type(), "default"_a = py::none(),
                            "help"_a = port_help);

  py::object params = commands.attr("add_parser")("params", "help"_a = "Get all parameters from the actuator");
  params.attr("add_argument")("--port", "-p", "type"_a = py::str().get_type(), "default"_a = py::none(),
                              "help"_a = port_help);
  params.attr("add_argument")("--address", "-a", "type"_a = address_type, "default"_a = py::none(),
                              "help"_a = "Target device address (e.g., 0x10) (only for CAN)");

  py::object blink = commands.attr("add_parser")("blink", "help"_a = "Blink the actuator LED (identify device)");
  blink.attr("add_argument")("--port", "-p", "type"_a = py::str().get_type(), "default"_a = py::none(),
                             "help"_a = port_help);
  blink.attr("add_argument")("--address", "-a", "type"_a = address_type, "default"_a = py::none(),
                             "required"_a = true, "help"_a = "Target device address (e.g., 0x10)");

  py::object home = commands.attr("add_parser")(
      "home", "help"_a = "Sets the current position as the home position (zero reference)");
  home.attr("add_argument")("--port", "-p", "type"_a = py::str().get_type(), "default"_a = py::none(),
                            "help"_a = port_help);
  home.attr("add_argument")("--address", "-a", "type"_a = address_type, "default"_a = py::none(),
                            "help"_a = "Target device address (e.g., 0x10) (only for CAN)");

  vez::cli::add_service_commands(mod, commands, address_type, port_help);

  py::object args = parser.attr("parse_args")();
  const std::string command = glue::str(args.attr("command"));
  if (vez::cli::is_service_command(command)) {
    const int status = vez::cli::run_service_command(mod, args);
    if (status != 0) {  // the console script ends with this status
      PyErr_SetObject(PyExc_SystemExit, py::int_(status).ptr());
      throw py::error_already_set();
    }
  } else if (command == "scan") {
    mod.get("command_scan")(args);
  } else if (command == "params") {
    mod.get("command_params")(args);
  } else if (command == "blink") {
    mod.get("command_blink")(args);
  } else if (command == "home") {
    mod.get("command_home")(args);
  }
}

}  // namespace

PYBIND11_MODULE(doroze_cli, m) {
  mod.bind(m);
  m.doc() = "Command-line tool for Doroze actuators: scan, params, blink, home.";
  mod.import("argparse");
  mod.import_from("importlib.metadata", {"version", "PackageNotFoundError"});
  mod.import_from("vez_api.doroze_actuator_real", {"DorozeActuatorReal", "DorozeActuatorScannerReal"});
  mod.import_from("vez_api.vez_over_usb", {"VezOverUsb"});
  try {
    mod.set("__version__", mod.get("version")("vez_api"));
  } catch (py::error_already_set& e) {
    if (!e.matches(mod.get("PackageNotFoundError"))) throw;
    mod.set("__version__", py::str("unknown"));
  }

  mod.def("address", &parse_address, py::arg("text"),
          glue::doc{"An address given as decimal, hexadecimal (0x), octal (0o) or binary (0b) text."});
  mod.def("command_scan", &command_scan, py::arg("args"), glue::doc{"List the actuators on the bus."});
  mod.def("command_params", &command_params, py::arg("args"), glue::doc{"Print every parameter of one actuator."});
  mod.def("command_blink", &command_blink, py::arg("args"), glue::doc{"Blink one actuator's LED."});
  mod.def("command_home", &command_home, py::arg("args"),
          glue::doc{"Set one actuator's present position as its zero."});
  mod.def("main", &main_, glue::doc{"Entry point of the `doroze` command."});
}
