#include "options.hpp"

#include <getopt.h>

#include <cstdlib>
#include <stdexcept>

#include "core/protocol.hpp"

namespace vez::emulator {

namespace {

const char* const kModelNames[] = {"",       "NOVA_3",  "NOVA_4",  "ORBIT_4", "ORBIT_5", "CAN_ADAPTER",
                                   "ORBIT_2", "ORBIT_3", "ORBIT_1", "NOVA_1",  "NOVA_2"};

long parse_integer(const std::string& text, const char* what) {
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 0);
  if (text.empty() || *end != '\0') throw std::invalid_argument(std::string("bad ") + what + ": " + text);
  return value;
}

double parse_probability(const char* text, const char* what) {
  char* end = nullptr;
  const double p = std::strtod(text, &end);
  if (*end != '\0' || !(p >= 0.0 && p <= 1.0))
    throw std::invalid_argument(std::string(what) + " must be a probability in [0, 1]: " + text);
  return p;
}

uint16_t parse_version(const std::string& text) {
  unsigned major = 0, minor = 0, patch = 0;
  if (std::sscanf(text.c_str(), "%u.%u.%u", &major, &minor, &patch) != 3 || major > 31 || minor > 31 || patch > 63)
    throw std::invalid_argument("version must be major.minor.patch (31.31.63 at most): " + text);
  return pack_version(major, minor, patch);
}

ActuatorConfig actuator_from(const std::string& spec, uint32_t serial) {
  // ADDRESS[:MODEL]
  ActuatorConfig config;
  const size_t colon = spec.find(':');
  const long address = parse_integer(spec.substr(0, colon), "actuator address");
  if (!core::is_valid_actuator_address(address))
    throw std::invalid_argument("actuator address must be 0x10..0x3FFE: " + spec);
  config.address = static_cast<uint16_t>(address);
  config.model_name = colon == std::string::npos ? "ORBIT_4" : spec.substr(colon + 1);
  const int index = model_index(config.model_name);
  if (index <= 0 || config.model_name == "CAN_ADAPTER") throw std::invalid_argument("unknown actuator model: " + spec);
  config.model_index = static_cast<uint8_t>(index);
  config.serial_number = serial;
  return config;
}

}  // namespace

int model_index(const std::string& name) {
  for (int i = 0; i < static_cast<int>(sizeof kModelNames / sizeof kModelNames[0]); ++i)
    if (name == kModelNames[i]) return i;
  return -1;
}

const char* usage() {
  return "usage: vez-bus-emulator [options]\n"
         "  --link PATH              also make PATH a symlink to the pseudo-terminal\n"
         "  --actuator ADDR[:MODEL]  an actuator on the CAN bus (repeatable; default 0x10:ORBIT_4)\n"
         "  --direct MODEL           one actuator plugged straight into USB (address 0), no adapter\n"
         "  --adapter-version X.Y.Z  firmware version the adapter reports (default 2.1.0)\n"
         "  --firmware X.Y.Z         firmware version the actuators report (default 1.4.2)\n"
         "  --pad-canfd              pad payloads with zeros to CAN FD data lengths\n"
         "  --report-limits          report limit hits of the motion model as error messages\n"
         "                           (its protections' trips are reported always)\n"
         "  --ideal                  the motion model's ideal plant: no delay, compliance, losses\n"
         "                           beyond friction, sensor noise, bus dynamics or trips\n"
         "  --noise P                chance of noise bytes before a frame to the host\n"
         "  --corrupt P              chance of a frame with a wrong trailer\n"
         "  --drop P                 chance that an answer is lost\n"
         "  --late P                 chance that an answer comes late\n"
         "  --late-ms MS             how late (default 1500)\n"
         "  --seed N                 seed of the fault injection and the sensor noise (default 1)\n"
         "  --verbose                counters on standard error at exit\n"
         "  --commands PATH          read commands from PATH (a file or a FIFO) instead of standard input\n"
         "The device path is printed on the first line of standard output.\n"
         "Standard input takes commands: error ADDR BITS | load ADDR NM | params ADDR | stats | quit\n"
         "(a terminal only while the emulator runs in its foreground: a background job is not stopped).\n";
}

Options parse_options(int argc, char** argv) {
  enum {
    kLink = 1000, kActuator, kDirect, kAdapterVersion, kFirmware, kPad, kReportLimits, kNoise, kCorrupt, kDrop,
    kLate, kLateMs, kSeed, kVerbose, kCommands, kHelp, kIdeal
  };
  static const option long_options[] = {
      {"link", required_argument, nullptr, kLink},
      {"actuator", required_argument, nullptr, kActuator},
      {"direct", required_argument, nullptr, kDirect},
      {"adapter-version", required_argument, nullptr, kAdapterVersion},
      {"firmware", required_argument, nullptr, kFirmware},
      {"pad-canfd", no_argument, nullptr, kPad},
      {"report-limits", no_argument, nullptr, kReportLimits},
      {"noise", required_argument, nullptr, kNoise},
      {"corrupt", required_argument, nullptr, kCorrupt},
      {"drop", required_argument, nullptr, kDrop},
      {"late", required_argument, nullptr, kLate},
      {"late-ms", required_argument, nullptr, kLateMs},
      {"seed", required_argument, nullptr, kSeed},
      {"verbose", no_argument, nullptr, kVerbose},
      {"ideal", no_argument, nullptr, kIdeal},
      {"commands", required_argument, nullptr, kCommands},
      {"help", no_argument, nullptr, kHelp},
      {nullptr, 0, nullptr, 0},
  };
  Options o;
  std::string direct_model;
  uint16_t firmware = ActuatorConfig{}.firmware;
  bool report_limits = false;
  std::vector<std::string> specs;
  opterr = 0;
  optind = 1;
  int c;
  while ((c = getopt_long(argc, argv, "", long_options, nullptr)) != -1) {
    switch (c) {
      case kLink: o.link = optarg; break;
      case kActuator: specs.push_back(optarg); break;
      case kDirect: direct_model = optarg; break;
      case kAdapterVersion: o.adapter_firmware = parse_version(optarg); break;
      case kFirmware: firmware = parse_version(optarg); break;
      case kPad: o.faults.pad_canfd = true; break;
      case kReportLimits: report_limits = true; break;
      case kNoise: o.faults.noise = parse_probability(optarg, "--noise"); break;
      case kCorrupt: o.faults.corrupt = parse_probability(optarg, "--corrupt"); break;
      case kDrop: o.faults.drop = parse_probability(optarg, "--drop"); break;
      case kLate: o.faults.late = parse_probability(optarg, "--late"); break;
      case kLateMs: o.faults.late_s = static_cast<double>(parse_integer(optarg, "--late-ms")) / 1000.0; break;
      case kSeed: o.faults.seed = static_cast<uint64_t>(parse_integer(optarg, "--seed")); break;
      case kVerbose: o.verbose = true; break;
      case kIdeal: o.ideal = true; break;
      case kCommands: o.commands = optarg; break;
      case kHelp: o.help = true; break;
      default: throw std::invalid_argument(std::string("unknown option: ") + argv[optind - 1]);
    }
  }
  if (optind < argc) throw std::invalid_argument(std::string("unexpected argument: ") + argv[optind]);

  if (!direct_model.empty()) {
    if (!specs.empty()) throw std::invalid_argument("--direct and --actuator exclude each other");
    ActuatorConfig config = actuator_from("0x10:" + direct_model, 1);
    config.direct = true;
    o.direct = true;
    o.actuators.push_back(config);
  } else {
    if (specs.empty()) specs.push_back("0x10:ORBIT_4");
    uint32_t serial = 1001;
    for (const std::string& spec : specs) {
      o.actuators.push_back(actuator_from(spec, serial++));
      for (size_t i = 0; i + 1 < o.actuators.size(); ++i)
        if (o.actuators[i].address == o.actuators.back().address)
          throw std::invalid_argument("two actuators at one address: " + spec);
    }
  }
  for (ActuatorConfig& config : o.actuators) {
    config.firmware = firmware;
    config.report_limits = report_limits;
  }
  return o;
}

}  // namespace vez::emulator
