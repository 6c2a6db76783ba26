// vez-bus-emulator: a USB-CAN adapter and the actuators behind it, on a
// pseudo-terminal.  Point the SDK at the printed device path (or at --link).
//
// Commands on standard input (or the file or FIFO given with --commands), one
// per line:
//   error <address> <bits>   the actuator reports an error field (e.g. error 0x10 0x80000001)
//   load <address> <Nm>      external load torque on the actuator's output shaft
//   stats                    counters on standard error (per actuator: what it
//                            streamed and answered, and what the faults hit)
//   params <address>         the actuator's parameter store on standard error
//   quit
// A terminal is read only while the emulator runs in its foreground, so a
// job started in the background (`vez-bus-emulator ... &`) is not stopped.
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bus.hpp"
#include "command_input.hpp"
#include "nodes.hpp"
#include "options.hpp"
#include "plant_twin.hpp"
#include "pty_link.hpp"

namespace {

volatile sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

double monotonic_now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

using namespace vez::emulator;

ActuatorNode* find_actuator(std::vector<std::unique_ptr<ActuatorNode>>& actuators, uint16_t address) {
  for (auto& a : actuators)
    if (a->address() == address) return a.get();
  return nullptr;
}

void print_stats(const Bus& bus, const PtyLink& link, const std::vector<std::unique_ptr<ActuatorNode>>& actuators) {
  const BusStats& s = bus.stats();
  std::fprintf(stderr,
               "frames in %llu (unrouted %llu), out %llu; answers dropped %llu, late %llu; corrupted %llu; "
               "noise bursts %llu; bytes dropped at the port %llu\n",
               (unsigned long long)s.frames_in, (unsigned long long)s.frames_unrouted, (unsigned long long)s.frames_out,
               (unsigned long long)s.answers_dropped, (unsigned long long)s.answers_late,
               (unsigned long long)s.frames_corrupted, (unsigned long long)s.noise_bursts,
               (unsigned long long)link.dropped_bytes());
  for (const auto& a : actuators) {
    const SourceStats t = bus.source_stats(a->reply_address());
    std::fprintf(stderr,
                 "actuator 0x%03X: %llu steps, %llu blinks, %s, mode %u, streamed %llu (corrupted %llu), "
                 "answers %llu (dropped %llu, late %llu, corrupted %llu)\n",
                 a->address(), (unsigned long long)a->steps(), (unsigned long long)a->blinks(),
                 a->enabled() ? "enabled" : "disabled", a->mode(), (unsigned long long)t.unsolicited,
                 (unsigned long long)t.unsolicited_corrupted, (unsigned long long)t.answers,
                 (unsigned long long)t.answers_dropped, (unsigned long long)t.answers_late,
                 (unsigned long long)t.answers_corrupted);
  }
  std::fprintf(stderr, "end of stats\n");
}

// One line per stored parameter: code, the four value bytes as a
// little-endian word, and the saved word where SAVE keeps the value.
void print_parameter_store(const ActuatorNode& actuator) {
  for (const StoredParameter& p : actuator.parameter_store()) {
    if (p.has_saved) {
      std::fprintf(stderr, "param 0x%03X 0x%02X 0x%08X saved 0x%08X\n", actuator.address(), p.code, p.bits,
                   p.saved_bits);
    } else {
      std::fprintf(stderr, "param 0x%03X 0x%02X 0x%08X\n", actuator.address(), p.code, p.bits);
    }
  }
  std::fprintf(stderr, "end of params\n");
}

// Returns false on "quit".
bool handle_command(const std::string& line, Bus& bus, const PtyLink& link,
                    std::vector<std::unique_ptr<ActuatorNode>>& actuators, double now) {
  std::istringstream in(line);
  std::string word;
  if (!(in >> word)) return true;
  if (word == "quit") return false;
  if (word == "stats") {
    print_stats(bus, link, actuators);
    return true;
  }
  std::string address_text, value_text;
  in >> address_text >> value_text;
  char* end = nullptr;
  const long address = std::strtol(address_text.c_str(), &end, 0);
  ActuatorNode* actuator = (end != address_text.c_str()) ? find_actuator(actuators, static_cast<uint16_t>(address)) : nullptr;
  if (word == "params" && actuator != nullptr) {
    print_parameter_store(*actuator);
  } else if (word == "error" && actuator != nullptr) {
    actuator->report_errors(bus, static_cast<uint32_t>(std::strtoul(value_text.c_str(), nullptr, 0)), now);
  } else if (word == "load" && actuator != nullptr) {
    actuator->set_load(std::strtod(value_text.c_str(), nullptr));
  } else {
    std::fprintf(stderr, "unknown command or actuator: %s\n", line.c_str());
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  try {
    options = parse_options(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vez-bus-emulator: %s\n%s", e.what(), usage());
    return 2;
  }
  if (options.help) {
    std::fputs(usage(), stdout);
    return 0;
  }

  signal(SIGINT, on_signal);
  signal(SIGTERM, on_signal);
  signal(SIGPIPE, SIG_IGN);
  // A read of the terminal that races a move to the background fails (EIO)
  // instead of stopping the program.
  signal(SIGTTIN, SIG_IGN);

  try {
    PtyLink link;
    if (!options.link.empty()) link.make_symlink(options.link);
    Bus bus(link, options.faults);
    const double start = monotonic_now();

    AdapterNode adapter(options.adapter_firmware);
    std::vector<std::unique_ptr<ActuatorNode>> actuators;
    for (const ActuatorConfig& config : options.actuators) {
      const TwinSettings twin{options.ideal, options.faults.seed, config.address};
      actuators.push_back(std::make_unique<ActuatorNode>(config, make_twin_plant(config.model_name, twin), start));
    }
    if (!options.direct) bus.attach(&adapter);
    for (auto& a : actuators) bus.attach(a.get());

    std::printf("%s\n", link.slave_path().c_str());
    std::fflush(stdout);

    CommandInput commands(options.commands);
    std::vector<std::string> lines;
    while (!g_stop) {
      const double now = monotonic_now();
      bus.on_host_bytes(link.read_available(), now);
      bus.on_idle(now);
      bus.run_nodes(now);
      bus.pump(now);

      const double wake = std::min({bus.next_due(), bus.next_node_wakeup(now), now + 0.05});
      const double wait = std::max(0.0, wake - monotonic_now());
      const int command_fd = commands.pollable_fd();
      pollfd fds[2] = {{link.master_fd(), static_cast<short>(POLLIN | (link.has_pending_output() ? POLLOUT : 0)), 0},
                       {command_fd, POLLIN, 0}};
      timespec timeout{static_cast<time_t>(wait), static_cast<long>((wait - std::floor(wait)) * 1e9)};
      const int ready = ppoll(fds, command_fd >= 0 ? 2 : 1, &timeout, nullptr);
      if (ready > 0 && command_fd >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
        lines.clear();
        commands.read_lines(lines);  // at the end of the input: no controller attached, keep running
        for (const std::string& line : lines) {
          if (!handle_command(line, bus, link, actuators, monotonic_now())) g_stop = 1;
        }
      }
      if (ready > 0 && (fds[0].revents & POLLHUP) && !(fds[0].revents & POLLIN)) {
        // Nobody holds the line besides us: avoid spinning on the hang-up.
        timespec pause{0, 5'000'000};
        nanosleep(&pause, nullptr);
      }
    }
    if (options.verbose) print_stats(bus, link, actuators);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vez-bus-emulator: %s\n", e.what());
    return 1;
  }
  return 0;
}
