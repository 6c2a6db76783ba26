// vez_api.doroze_cli: the `doroze` command line for service work on physical
// actuators through the USB adapter: scan, params, blink and home, and the
// configuration backup and live monitor of doroze_cli/service_commands.cpp.
//
// Everything it prints goes through `print` as the module resolves it, and the
// classes it drives are looked up in the module at call time, so tests (and
// wrappers) can patch `vez_api.doroze_cli.VezOverUsb` and friends.
//
// Exit status: `main()` and the command_* functions return None, for programs
// that import and call them.  The console script and `python -m vez_api` go
// through `run()`, which returns the status the commands recorded: 0 success,
// 1 a failure the command reported, 2 an argument error.
#include <algorithm>
#include <cctype>
#include <string>
#include <tuple>

#include "glue/glue.hpp"
#include "modules/doroze_cli/service_commands.hpp"

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

glue::ModuleRef mod;

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

const char* const kExitStatusHelp =
    "exit status: 0 success, 1 a failure the command reported (no adapter, no answer, ...), "
    "2 an argument error";

// The status of the command line being run: a command that reports a failure
// raises it here.  Per thread, as the commands run on their caller's thread.
thread_local int exit_status = kExitSuccess;

void fail(int status = kExitFailure) { exit_status = std::max(exit_status, status); }

void print(const std::string& text) { mod.global("print")(text); }

std::string hex_upper(py::handle number) { return py::str("{:X}").attr("format")(number).cast<std::string>(); }

// "USB at port '<port>'" for the direct address, "CAN at address 0x<A> (<port>)" otherwise.
std::string describe_connection(py::handle port, py::handle address) {
  if (!PyObject_IsTrue(address.ptr())) return "USB at port '" + glue::str(port) + "'";
  return "CAN at address 0x" + hex_upper(address) + " (" + glue::str(port) + ")";
}

// Address converter of the parser: decimal, 0x.., 0o.. or 0b.. text.  A
// number no address loop could count to (beyond 64 bits) is an invalid
// value, which the parser reports as an argument error.
py::object parse_address(py::handle text) {
  py::object number = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyLong_Type))(text, 0);
  bool fits = false;
  glue::int64_of(number, &fits);
  if (!fits) glue::raise(PyExc_ValueError, "address out of range: " + glue::str(text));
  return number;
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

using glue::truthy;

bool connected(py::handle actuator) { return truthy(actuator.attr("connect")()); }

// Runs fn(); when it raises, the adapter is closed before the error goes on
// (its receive thread would otherwise run until the object is collected).
template <typename Fn>
void closing_on_error(py::handle adapter, Fn&& fn) {
  try {
    fn();
  } catch (py::error_already_set&) {
    try {
      adapter.attr("close")();
    } catch (py::error_already_set&) {
      // the first error is the one worth reporting
    }
    throw;
  }
}

// Behind a USB-CAN adapter the direct address reaches the adapter itself,
// which answers pings but is no actuator.  Says so and returns true then.
bool is_adapter_at_direct_address(py::handle actuator, py::handle port, py::handle address) {
  if (truthy(address)) return false;
  std::string model = glue::str(actuator.attr("model"));
  std::string upper = model;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (upper.find("CAN_ADAPTER") == std::string::npos) return false;
  print("The device at port '" + glue::str(port) + "' is a USB-CAN adapter (" + model + " version " +
        glue::str(actuator.attr("version")) +
        "), not an actuator: --address is needed to reach an actuator behind it (doroze scan lists their addresses).");
  return true;
}

// params and home: resolve port and address (0, the device on the USB port,
// when none is given), connect, and run `with_actuator` only when an actuator
// answered there; a failure is printed and sets the exit status.  The adapter
// is closed on every path, also when something raises.  `with_actuator`
// closes it itself when it wants to print after closing.
template <typename WithActuator>
void with_addressed_actuator(py::object args, WithActuator with_actuator) {
  resolve_port(args);
  if (args.attr("address").is_none()) args.attr("address") = 0;
  const std::string description = describe_connection(args.attr("port"), args.attr("address"));
  py::object adapter, actuator;
  std::tie(adapter, actuator) = open_actuator(args);
  closing_on_error(adapter, [&] {
    if (!connected(actuator)) {
      print("Could not connect by " + description);
      fail();
    } else if (is_adapter_at_direct_address(actuator, args.attr("port"), args.attr("address"))) {
      fail();
    } else if (with_actuator(adapter, actuator, description)) {
      return;
    }
    adapter.attr("close")();
  });
}

void command_params(py::object args) {
  with_addressed_actuator(args, [](py::object adapter, py::object actuator, const std::string& description) {
    py::object parameters = actuator.attr("get_parameters_all")();
    adapter.attr("close")();
    py::dict named;
    for (auto item : parameters.attr("items")()) {
      py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
      named[pair[0].attr("name")] = pair[1];
    }
    print("Parameters for actuator connected by " + description);
    for (auto item : named) print(glue::str(item.first) + ": " + glue::str(item.second));
    if (py::len(named) == 0) fail();  // the read timed out (logged)
    return true;                      // closed already
  });
}

void command_home(py::object args) {
  with_addressed_actuator(args, [](py::object, py::object actuator, const std::string& description) {
    actuator.attr("set_home_position")();
    print("Home position set for actuator connected by " + description);
    return false;  // the adapter is closed after
  });
}

void command_blink(py::object args) {
  resolve_port(args);
  if (!PyObject_IsTrue(args.attr("address").ptr())) {
    print("Address is required for blink command.");
    fail(kExitUsage);
    return;
  }
  const std::string device =
      "device at address 0x" + hex_upper(args.attr("address")) + " (" + glue::str(args.attr("port")) + ")";
  py::object adapter, actuator;
  std::tie(adapter, actuator) = open_actuator(args);
  closing_on_error(adapter, [&] {
    if (connected(actuator)) {
      actuator.attr("blink")();
    } else {
      print("Could not connect to " + device);
      fail();
    }
    adapter.attr("close")();
  });
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
    fail();
    return;
  }
  for (auto port : ports) {
    print("Connecting to device on port " + glue::str(port) + " ...");
    py::object adapter = mod.get("VezOverUsb")(port);
    closing_on_error(adapter, [&] {
      if (!truthy(adapter.attr("is_connected"))) {
        fail();  // the port did not open (logged)
        adapter.attr("close")();
        return;
      }
      py::object scanner = mod.get("DorozeActuatorScannerReal")(adapter);
      if (truthy(scanner.attr("is_connected"))) {
        print("Scanning addresses from 0x" + hex_upper(args.attr("begin")) + " to 0x" +
              hex_upper(args.attr("end")) + " ... (CTRL+C to cancel)");
        ScanProgress progress(scanner, args.attr("begin"), args.attr("end"));
        py::object found = scanner.attr("scan")("begin"_a = args.attr("begin"), "end"_a = args.attr("end"));
        progress.finish();
        print("Found " + std::to_string(py::len(found)) + " addresses: " + glue::str(found));
      } else {
        fail();  // no adapter answered on this port: nothing was scanned
      }
      adapter.attr("close")();
    });
  }
}

py::object make_parser(py::handle prog) {
  py::object argparse = mod.get("argparse");
  py::object address_type = mod.get("address");
  const char* port_help = "CAN interface port (e.g., COM3, /dev/ttyACM0)";

  py::object parser = argparse.attr("ArgumentParser")("prog"_a = prog, "description"_a = "Doroze Actuator CLI",
                                                      "epilog"_a = kExitStatusHelp);
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
  // Gain tuning on the digital twin lives with the tuning module.
  py::module_::import("vez_api.tuning").attr("_add_cli_parser")(commands);
  return parser;
}

// Parses `argv` (None: the process arguments) and runs the command; returns
// the exit status the command recorded.  Argument errors leave through the
// parser's SystemExit.
int parse_and_dispatch(py::handle argv, py::handle prog) {
  py::object args = make_parser(prog).attr("parse_args")(argv);
  const std::string command = glue::str(args.attr("command"));
  exit_status = kExitSuccess;
  if (vez::cli::is_service_command(command)) {
    fail(vez::cli::run_service_command(mod, args));
  } else if (command == "scan") {
    mod.get("command_scan")(args);
  } else if (command == "params") {
    mod.get("command_params")(args);
  } else if (command == "blink") {
    mod.get("command_blink")(args);
  } else if (command == "home") {
    mod.get("command_home")(args);
  } else if (command == "tune") {
    fail(py::module_::import("vez_api.tuning").attr("command_tune")(args).cast<int>());
  }
  return exit_status;
}

void main_() { parse_and_dispatch(py::none(), py::none()); }

// After the reader of standard output went away (`doroze scan | head -1`):
// later writes, the interpreter's own flush at exit included, go nowhere.
void silence_stdout(py::handle stdout_) {
  py::object os = py::module_::import("os");
  try {
    py::object devnull = os.attr("open")(os.attr("devnull"), os.attr("O_WRONLY"));
    os.attr("dup2")(devnull, stdout_.attr("fileno")());
    os.attr("close")(devnull);
  } catch (py::error_already_set&) {
    // not a file descriptor (a replaced sys.stdout): nothing to redirect
  }
}

int run(py::handle argv, py::handle prog) {
  py::object sys = py::module_::import("sys");
  try {
    const int status = parse_and_dispatch(argv, prog);
    sys.attr("stdout").attr("flush")();  // a closed pipe shows here, not at exit
    return status;
  } catch (py::error_already_set& e) {
    if (e.matches(PyExc_BrokenPipeError)) {
      silence_stdout(sys.attr("stdout"));
      return kExitFailure;
    }
    if (!e.matches(PyExc_SystemExit)) throw;
    // --help, --version and argument errors: the parser's own status.
    py::object code = e.value().attr("code");
    if (code.is_none()) return kExitSuccess;
    if (PyLong_Check(code.ptr())) return code.cast<int>();
    sys.attr("stderr").attr("write")(glue::str(code) + "\n");
    return kExitFailure;
  }
}

}  // namespace

PYBIND11_MODULE(doroze_cli, m) {
  mod.bind(m);
  m.doc() = "Command-line tool for Doroze actuators: scan, params, blink, home, config, monitor.";
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
  mod.def("command_scan", &command_scan, py::arg("args"),
          glue::doc{"Print the actuators answering between `args.begin` and `args.end` behind the adapter on "
                    "`args.port` (every adapter when None). Returns None."});
  mod.def("command_params", &command_params, py::arg("args"),
          glue::doc{"Print every parameter of the actuator at `args.address` (None: the direct address 0) on "
                    "`args.port` (None: the one adapter found). Returns None."});
  mod.def("command_blink", &command_blink, py::arg("args"),
          glue::doc{"Blink the LED of the actuator at `args.address` on `args.port`. Returns None."});
  mod.def("command_home", &command_home, py::arg("args"),
          glue::doc{"Make the present position the zero of the actuator at `args.address` (None: the direct "
                    "address 0) on `args.port`. Returns None."});
  mod.def("main", &main_,
          glue::doc{"Run the `doroze` command line on the process arguments. Returns None; the console script "
                    "uses run() for the exit status."});
  mod.def("run", &run, py::arg("argv") = py::none(), py::arg("prog") = py::none(),
          glue::doc{"Run the `doroze` command line and return its exit status: 0 success, 1 a failure the "
                    "command reported, 2 an argument error. `argv`: the arguments (None: the process "
                    "arguments); `prog`: the program name shown in usage and help (None: from sys.argv[0])."});
}
