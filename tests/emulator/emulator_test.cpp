#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "bus.hpp"
#include "emulator/fake_plant.hpp"
#include "nodes.hpp"
#include "options.hpp"
#include "pty_link.hpp"
#include "wire.hpp"

using namespace vez::emulator;
using vez::testing::FakePlant;

namespace {

struct HostFrame {
  uint16_t address;
  uint8_t priority_bit;
  std::vector<uint8_t> payload;
  bool trailer_ok;
};

// The host end of the line: writes frames, reads back whatever came.
class Host {
 public:
  explicit Host(const PtyLink& link) {
    fd_ = open(link.slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios tio{};
    tcgetattr(fd_, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd_, TCSANOW, &tio);
  }
  ~Host() { close(fd_); }

  std::vector<uint8_t> frame(uint16_t address, std::vector<uint8_t> payload) {
    uint8_t out[vez::core::kMaxFrameSize];
    const size_t n = vez::core::encode_frame(address, payload.data(), payload.size(), out);
    return {out, out + n};
  }

  std::vector<uint8_t> drain() {
    std::vector<uint8_t> bytes;
    uint8_t buf[4096];
    ssize_t n;
    while ((n = read(fd_, buf, sizeof buf)) > 0) bytes.insert(bytes.end(), buf, buf + n);
    return bytes;
  }

  // Cuts the received bytes into frames (no resynchronisation: tests that
  // inject noise look at raw bytes).
  std::vector<HostFrame> frames() {
    auto bytes = drain();
    std::vector<HostFrame> out;
    size_t i = 0;
    while (i + 5 <= bytes.size() && bytes[i] == 0xFE) {
      const size_t n = bytes[i + 3];
      const uint16_t word = static_cast<uint16_t>(bytes[i + 1] | bytes[i + 2] << 8);
      out.push_back({static_cast<uint16_t>(word & 0x3FFF), static_cast<uint8_t>(word >> 15),
                     {bytes.begin() + i + 4, bytes.begin() + i + 4 + n}, bytes[i + 4 + n] == 0xFD});
      i += 5 + n;
    }
    return out;
  }

 private:
  int fd_;
};

struct Rig {
  explicit Rig(Faults faults = {}, bool direct = false) : bus(link, faults), host(link) {
    ActuatorConfig config;
    config.address = 0x10;
    config.model_index = 3;
    config.serial_number = 77;
    config.direct = direct;
    auto p = std::make_unique<FakePlant>();
    plant = p.get();
    actuator = std::make_unique<ActuatorNode>(config, std::move(p), 0.0);
    if (!direct) bus.attach(&adapter);
    bus.attach(actuator.get());
  }
  // The host sends one message at time `now`; the emulator answers.
  std::vector<HostFrame> exchange(uint16_t address, std::vector<uint8_t> payload, double now) {
    bus.on_host_bytes(host.frame(address, std::move(payload)), now);
    bus.pump(now + 1.0);
    return host.frames();
  }

  PtyLink link;
  Bus bus;
  Host host;
  AdapterNode adapter{pack_version(2, 1, 0)};
  FakePlant* plant = nullptr;
  std::unique_ptr<ActuatorNode> actuator;
};

float f32_at(const std::vector<uint8_t>& p, size_t i) { return get_f32(&p[i]); }

}  // namespace

TEST(Emulator, AdapterAndActuatorAnswerPings) {
  Rig rig;
  auto a = rig.exchange(0, {0x40}, 0.0);
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].address, 0);
  EXPECT_EQ(a[0].priority_bit, 1);
  EXPECT_EQ(a[0].payload, (std::vector<uint8_t>{0x80, 5, 0, 0x40, 0x10}));  // CAN_ADAPTER, 2.1.0
  auto b = rig.exchange(0x10, {0x40}, 0.0);
  ASSERT_EQ(b.size(), 1u);
  EXPECT_EQ(b[0].address, 0x10);
  EXPECT_EQ(b[0].payload[1], 3);  // model index
  EXPECT_TRUE(rig.exchange(0x11, {0x40}, 0.0).empty());
}

TEST(Emulator, DirectActuatorAnswersAtAddressZero) {
  Rig rig({}, /*direct=*/true);
  auto a = rig.exchange(0, {0x40}, 0.0);
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].address, 0);
  EXPECT_EQ(a[0].payload[1], 3);
  EXPECT_TRUE(rig.exchange(0x10, {0x40}, 0.0).empty());
}

TEST(Emulator, ParametersDecodeByType) {
  Rig rig;
  auto a = rig.exchange(0x10, {0x0C, 0x02, 0x30, 0x82, 0x81, 0x99}, 0.0);
  ASSERT_EQ(a.size(), 1u);
  const auto& p = a[0].payload;
  ASSERT_EQ(p.size(), 1u + 4 * 5);  // unknown code 0x99 is left out
  EXPECT_EQ(p[0], 0x83);
  EXPECT_EQ(p[1], 0x02);
  EXPECT_FLOAT_EQ(f32_at(p, 2), 1.0f);
  EXPECT_EQ(p[6], 0x30);
  EXPECT_FLOAT_EQ(f32_at(p, 7), 7.0f);  // position mode after power-up
  EXPECT_EQ(p[11], 0x82);
  EXPECT_EQ(get_u32(&p[12]), 77u);  // serial number as an integer
  EXPECT_EQ(p[16], 0x81);
  EXPECT_FLOAT_EQ(f32_at(p, 17), 16.0f);
}

TEST(Emulator, AddressChangeTakesEffectAtOnce) {
  Rig rig;
  std::vector<uint8_t> set = {0x0B, 0x81};
  put_f32(set, 42.0f);
  rig.exchange(0x10, set, 0.0);
  EXPECT_TRUE(rig.exchange(0x10, {0x40}, 0.0).empty());
  auto a = rig.exchange(42, {0x40}, 0.0);
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].address, 42);
  // An address outside the actuator range is refused.
  set = {0x0B, 0x81};
  put_f32(set, 5.0f);
  rig.exchange(42, set, 0.0);
  EXPECT_EQ(rig.exchange(42, {0x40}, 0.0).size(), 1u);
}

TEST(Emulator, SetpointCommandsKeepValuesGivenAsNaN) {
  Rig rig;
  std::vector<uint8_t> cmd = {0x13};
  for (float v : {1.5f, NAN, NAN, 0.75f, 30.0f, NAN}) put_f32(cmd, v);
  rig.exchange(0x10, cmd, 0.0);
  EXPECT_EQ(rig.plant->control, 7);
  EXPECT_DOUBLE_EQ(rig.plant->reference, 1.5);
  EXPECT_DOUBLE_EQ(*rig.plant->parameter(0x0D), 0.75);  // spd_Kp
  EXPECT_DOUBLE_EQ(*rig.plant->parameter(0x0E), 5.0);   // spd_Ki kept
  EXPECT_DOUBLE_EQ(*rig.plant->parameter(0x0F), 30.0);  // pos_Kp

  cmd = {0x14};
  for (float v : {0.2f, NAN, 4.0f, NAN, NAN, 0.3f, NAN, 2.0f}) put_f32(cmd, v);
  rig.exchange(0x10, cmd, 0.0);
  EXPECT_EQ(rig.plant->control, 8);
  EXPECT_DOUBLE_EQ(*rig.plant->parameter(0x02), 4.0);
  EXPECT_DOUBLE_EQ(rig.plant->ff_torque, 0.3f);
  EXPECT_DOUBLE_EQ(rig.plant->impedance_acceleration, 2.0);
  EXPECT_DOUBLE_EQ(rig.plant->impedance_speed, 0.0);
}

TEST(Emulator, StreamsAtTheConfiguredDivider) {
  Rig rig;
  rig.exchange(0x10, {0x07, 76, 69, 99, 74}, 0.0);
  rig.exchange(0x10, {0x06, 20, 0, 0, 0}, 0.0);  // divider 20: 1 kHz
  rig.bus.run_nodes(0.1);                         // 2000 steps
  rig.bus.pump(1.0);
  auto frames = rig.host.frames();
  ASSERT_EQ(frames.size(), 100u);
  const auto& p = frames[0].payload;
  EXPECT_EQ(frames[0].priority_bit, 0);
  ASSERT_EQ(p.size(), 20u);
  EXPECT_EQ(p[0], 76);
  EXPECT_FLOAT_EQ(f32_at(p, 1), 76.5f);
  EXPECT_EQ(get_u32(&p[11]), 0xFFFFFFFFu);  // ERROR_BITS as unsigned
  EXPECT_EQ(get_u32(&p[16]), 0xFFFFFFFFu);  // TORQUE_SENS_RAW -1 as signed

  rig.exchange(0x10, {0x06, 0, 0, 0, 0}, 0.1);
  rig.bus.run_nodes(0.2);
  rig.bus.pump(1.0);
  EXPECT_TRUE(rig.host.frames().empty());
}

// A protection's trip is an error report of its own, limits reported or not;
// each new fault once, with every bit active at the time.
TEST(Emulator, TripsAreReportedAsTheyHappen) {
  Rig rig;
  rig.bus.run_nodes(0.01);
  rig.bus.pump(1.0);
  EXPECT_TRUE(rig.host.frames().empty());
  rig.plant->limits = 1u << 6;  // a limit hit, not reported without --report-limits
  rig.plant->faults = 1u << 16;
  rig.bus.run_nodes(0.02);
  rig.bus.run_nodes(0.03);  // still tripped: not again
  rig.plant->faults |= 1u << 29;
  rig.bus.run_nodes(0.04);
  rig.plant->faults = 0;
  rig.bus.run_nodes(0.05);
  rig.plant->faults = 1u << 16;  // trips again later
  rig.bus.run_nodes(0.06);
  rig.bus.pump(1.0);
  auto frames = rig.host.frames();
  ASSERT_EQ(frames.size(), 3u);
  for (const auto& f : frames) {
    EXPECT_EQ(f.priority_bit, 0);
    ASSERT_EQ(f.payload.size(), 5u);
    EXPECT_EQ(f.payload[0], 0x82);
  }
  EXPECT_EQ(get_u32(&frames[0].payload[1]), 1u << 16);
  EXPECT_EQ(get_u32(&frames[1].payload[1]), (1u << 16) | (1u << 29));
  EXPECT_EQ(get_u32(&frames[2].payload[1]), 1u << 16);
}

TEST(Emulator, GetItemsAnswersWithNormalPriority) {
  Rig rig;
  auto a = rig.exchange(0x10, {0x0F, 113, 200, 69}, 0.0);
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].priority_bit, 1);
  EXPECT_EQ(a[0].payload.size(), 10u);  // 200 is no item
}

TEST(Emulator, CanFdPadding) {
  EXPECT_EQ(canfd_padded_length(5), 5u);
  EXPECT_EQ(canfd_padded_length(8), 8u);
  EXPECT_EQ(canfd_padded_length(9), 12u);
  EXPECT_EQ(canfd_padded_length(46), 48u);
  EXPECT_EQ(canfd_padded_length(51), 51u);  // beyond 48 the adapter frame cannot hold 64
  Faults f;
  f.pad_canfd = true;
  Rig rig(f);
  auto a = rig.exchange(0x10, {0x0C, 0x02, 0x30}, 0.0);
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].payload.size(), 12u);
  EXPECT_EQ(a[0].payload[11], 0);
}

TEST(Emulator, SaveAndFactoryReset) {
  Rig rig;
  rig.exchange(0x10, {0x0D, 1}, 0.0);  // torque performance AGGRESSIVE
  rig.exchange(0x10, {0x39}, 0.0);     // SAVE
  *rig.plant->parameter(0x02) = 9.0;
  rig.exchange(0x10, {0xC2}, 0.0);  // factory reset
  auto a = rig.exchange(0x10, {0x0C, 0x40, 0x02}, 0.0);
  ASSERT_EQ(a.size(), 1u);
  EXPECT_FLOAT_EQ(f32_at(a[0].payload, 2), 2.0f);  // BALANCED again
  EXPECT_FLOAT_EQ(f32_at(a[0].payload, 7), 1.0f);
}

TEST(Emulator, ParameterStoreShowsWhatTheBusWrote) {
  Rig rig;
  auto find = [&](uint8_t code) {
    for (const StoredParameter& p : rig.actuator->parameter_store())
      if (p.code == code) return p;
    return StoredParameter{0, 0, false, 0};
  };
  // What a GET_PARAMETERS answer would carry, code for code.
  std::vector<uint8_t> request = {0x0C};
  for (const StoredParameter& p : rig.actuator->parameter_store()) request.push_back(p.code);
  ASSERT_GT(request.size(), 9u);
  request.resize(10);
  auto a = rig.exchange(0x10, request, 0.0);
  ASSERT_EQ(a.size(), 1u);
  for (size_t i = 1; i + 5 <= a[0].payload.size(); i += 5)
    EXPECT_EQ(find(a[0].payload[i]).bits, get_u32(&a[0].payload[i + 1])) << int(a[0].payload[i]);
  EXPECT_EQ(find(0x82).bits, 77u);  // serial number: the integer itself

  std::vector<uint8_t> set = {0x0B, 0x02};
  put_f32(set, 2.5f);
  set.push_back(0x44);
  put_f32(set, 1.0f);
  rig.exchange(0x10, set, 0.0);
  EXPECT_EQ(find(0x02).bits, 0x40200000u);
  EXPECT_FALSE(find(0x02).has_saved);  // the model's own values are not kept by SAVE
  EXPECT_EQ(find(0x44).bits, 0x3F800000u);
  ASSERT_TRUE(find(0x44).has_saved);
  EXPECT_EQ(find(0x44).saved_bits, 0u);  // not saved yet
  rig.exchange(0x10, {0x39}, 0.0);
  EXPECT_EQ(find(0x44).saved_bits, 0x3F800000u);
}

TEST(Emulator, HostFramesSplitAcrossWritesAndTimeouts) {
  Rig rig;
  auto f = rig.host.frame(0x10, {0x40});
  rig.bus.on_host_bytes({f.begin(), f.begin() + 3}, 0.0);
  rig.bus.on_host_bytes({f.begin() + 3, f.end()}, 0.01);
  rig.bus.pump(1.0);
  EXPECT_EQ(rig.host.frames().size(), 1u);
  // Half a frame, then silence beyond the inter-byte timeout: dropped, and
  // the next frame is still understood.
  rig.bus.on_host_bytes({f.begin(), f.begin() + 3}, 1.0);
  rig.bus.on_idle(1.2);
  rig.bus.on_host_bytes(f, 1.3);
  rig.bus.pump(2.0);
  EXPECT_EQ(rig.host.frames().size(), 1u);
}

TEST(Emulator, FaultInjection) {
  Faults drop;
  drop.drop = 1.0;
  EXPECT_TRUE(Rig(drop).exchange(0x10, {0x40}, 0.0).empty());

  Faults corrupt;
  corrupt.corrupt = 1.0;
  auto c = Rig(corrupt).exchange(0x10, {0x40}, 0.0);
  ASSERT_EQ(c.size(), 1u);
  EXPECT_FALSE(c[0].trailer_ok);

  Faults late;
  late.late = 1.0;
  late.late_s = 0.5;
  Rig rig(late);
  rig.bus.on_host_bytes(rig.host.frame(0x10, {0x40}), 0.0);
  rig.bus.pump(0.4);
  EXPECT_TRUE(rig.host.frames().empty());
  rig.bus.pump(0.6);
  EXPECT_EQ(rig.host.frames().size(), 1u);

  Faults noise;
  noise.noise = 1.0;
  noise.seed = 7;
  Rig noisy(noise);
  for (int i = 0; i < 50; ++i) noisy.bus.on_host_bytes(noisy.host.frame(0x10, {0x40}), 0.0);
  noisy.bus.pump(1.0);
  auto bytes = noisy.host.drain();
  size_t starts = 0;
  for (uint8_t b : bytes) starts += b == 0xFE;
  EXPECT_EQ(starts, 50u);  // noise never fakes a start byte
  EXPECT_GT(bytes.size(), 50u * 10);
}

TEST(Emulator, NothingHeldFromBeforeASilenceSwallowsTheFramesAfterIt) {
  Rig rig;
  // A false header announcing 16 bytes, more bytes and a start byte: after the
  // silence the header is rejected and the start byte it held begins another
  // candidate, which must end with the silence too.
  rig.bus.on_host_bytes({0xFE, 0x10, 0x10, 0x10, 0x10, 0xFE, 0x10}, 0.0);
  rig.bus.on_idle(3.0);
  auto a = rig.exchange(0x10, {0x40}, 3.0);  // ping
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].address, 0x10);
}

TEST(Emulator, CountsWhatEachSourceSaidAndWhatTheFaultsHit) {
  Faults f;
  f.corrupt = 0.5;
  f.drop = 0.3;
  f.seed = 11;
  Rig rig(f);
  rig.exchange(0x10, {0x07, 76}, 0.0);
  rig.exchange(0x10, {0x06, 20, 0, 0, 0}, 0.0);  // 1 kHz
  for (int ms = 10; ms <= 500; ms += 10) rig.bus.run_nodes(ms / 1000.0);
  for (int i = 0; i < 40; ++i) rig.bus.on_host_bytes(rig.host.frame(0x10, {0x0F, 76}), 0.5);  // item reads
  rig.bus.pump(2.0);
  const SourceStats t = rig.bus.source_stats(0x10);
  EXPECT_EQ(t.unsolicited, 500u);
  EXPECT_EQ(t.answers, 40u);
  EXPECT_GT(t.unsolicited_corrupted, 0u);
  EXPECT_GT(t.answers_dropped, 0u);
  // Every frame that reached the host is one the tally counted, and the
  // corrupted ones are exactly those with a wrong trailer.
  size_t intact = 0, broken = 0;
  for (const HostFrame& h : rig.host.frames()) ++(h.trailer_ok ? intact : broken);
  EXPECT_EQ(broken, t.unsolicited_corrupted + t.answers_corrupted);
  EXPECT_EQ(intact + broken, t.unsolicited + t.answers - t.answers_dropped);
  EXPECT_EQ(rig.bus.source_stats(0x11).unsolicited, 0u);
}

TEST(EmulatorOptions, ParsesActuatorsAndRejectsBadInput) {
  const char* argv[] = {"emu", "--actuator", "0x20:NOVA_3", "--actuator", "33", "--noise", "0.1", "--seed", "9"};
  Options o = parse_options(9, const_cast<char**>(argv));
  ASSERT_EQ(o.actuators.size(), 2u);
  EXPECT_EQ(o.actuators[0].address, 0x20);
  EXPECT_EQ(o.actuators[0].model_index, 1);
  EXPECT_EQ(o.actuators[1].model_name, "ORBIT_4");
  EXPECT_DOUBLE_EQ(o.faults.noise, 0.1);
  const char* bad_address[] = {"emu", "--actuator", "0x05"};
  EXPECT_THROW(parse_options(3, const_cast<char**>(bad_address)), std::invalid_argument);
  const char* bad_model[] = {"emu", "--actuator", "0x10:CAN_ADAPTER"};
  EXPECT_THROW(parse_options(3, const_cast<char**>(bad_model)), std::invalid_argument);
  const char* twice[] = {"emu", "--actuator", "16", "--actuator", "0x10"};
  EXPECT_THROW(parse_options(5, const_cast<char**>(twice)), std::invalid_argument);
  const char* probability[] = {"emu", "--drop", "1.5"};
  EXPECT_THROW(parse_options(3, const_cast<char**>(probability)), std::invalid_argument);
  EXPECT_FALSE(o.ideal);
  const char* ideal[] = {"emu", "--ideal"};
  EXPECT_TRUE(parse_options(2, const_cast<char**>(ideal)).ideal);
}

TEST(Emulator, FrameCutAfterItsHeaderEndsWithTheSilence) {
  Rig rig;
  auto f = rig.host.frame(0x10, {0x40});
  rig.bus.on_host_bytes({0xFE, 0x10, 0x00, 0x10}, 0.0);  // a header announcing 16 bytes, then nothing
  rig.bus.on_idle(0.5);
  rig.bus.on_host_bytes(f, 0.6);
  rig.bus.pump(1.0);
  EXPECT_EQ(rig.host.frames().size(), 1u);
}
