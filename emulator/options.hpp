// Command line of vez-bus-emulator.
#pragma once

#include <string>
#include <vector>

#include "bus.hpp"
#include "nodes.hpp"

namespace vez::emulator {

struct Options {
  std::string link;  // optional symlink to the pseudo-terminal
  std::string commands;  // file or FIFO to read commands from; empty: standard input
  std::vector<ActuatorConfig> actuators;
  bool direct = false;  // one actuator on the USB port itself, no adapter
  uint16_t adapter_firmware = pack_version(2, 1, 0);
  Faults faults;
  bool verbose = false;
  bool ideal = false;  // the twin's ideal plant instead of the realistic one
  bool help = false;
};

// Throws std::invalid_argument with a message for bad arguments.
Options parse_options(int argc, char** argv);
const char* usage();

// Index of a model name in the device-model table, or -1.
int model_index(const std::string& name);

}  // namespace vez::emulator
