// Fuzz target for the emulated adapter and actuators: any bytes the host may
// write (frames, fragments, noise, pauses) must be taken without a crash or a
// read past a buffer, and the emulator must keep answering afterwards.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "bus.hpp"
#include "emulator/fake_plant.hpp"
#include "nodes.hpp"
#include "pty_link.hpp"

using namespace vez::emulator;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static PtyLink link;  // one terminal for the whole run, drained after each input
  static const int host_fd = open(link.slave_path().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
  Bus bus(link, Faults{});
  AdapterNode adapter(pack_version(2, 1, 0));
  ActuatorConfig config;
  config.address = 0x10;
  // A coarse plant clock: the protocol is under test here, not the motion.
  ActuatorNode actuator(config, std::make_unique<vez::testing::FakePlant>(1e-3), 0.0);
  bus.attach(&adapter);
  bus.attach(&actuator);

  // Input: chunks of [length byte][bytes]; a length byte with the top bit set
  // also lets 0.2 s of silence pass (inter-byte timeout, model steps).
  double now = 0.0;
  size_t i = 0;
  while (i < size) {
    const uint8_t control = data[i++];
    const size_t n = std::min<size_t>(control & 0x7F, size - i);
    bus.on_host_bytes(std::vector<uint8_t>(data + i, data + i + n), now);
    i += n;
    if (control & 0x80) now += 0.2;
    now += 0.001;
    bus.on_idle(now);
    bus.run_nodes(now);
  }
  bus.pump(now + 10.0);

  // Whatever came before, after a pause (longer than a stay in the boot
  // loader) and with its stream stopped, the actuator answers a ping.
  auto send = [&](std::vector<uint8_t> payload) {
    uint8_t frame[vez::core::kMaxFrameSize];
    const size_t len = vez::core::encode_frame(actuator.address(), payload.data(), payload.size(), frame);
    bus.on_host_bytes(std::vector<uint8_t>(frame, frame + len), now);
    bus.pump(now + 10.0);
  };
  // The silence first ends whatever the input left unfinished; a command
  // found in those bytes (a frame after line noise is still a frame) may
  // send the actuator to its boot loader only then, so the pause is counted
  // from there.
  now += 0.2;
  bus.on_idle(now);
  bus.pump(now + 10.0);
  now += 3.0;
  bus.on_idle(now);
  send({0x06, 0, 0, 0, 0});
  const uint64_t out_before = bus.stats().frames_out;
  send({0x40});
  if (bus.stats().frames_out != out_before + 1) std::abort();
  uint8_t drain[4096];
  while (read(host_fd, drain, sizeof drain) > 0) {
  }
  return 0;
}
