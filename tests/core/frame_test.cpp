#include "core/frame.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "support/line_sim.hpp"

namespace core = vez::core;
using vez::testing::Delivered;
using vez::testing::LineSim;
using vez::testing::run_deframer;
using vez::testing::run_reference;

namespace {

std::string hex(const std::vector<uint8_t>& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string s;
  for (uint8_t b : bytes) {
    s += digits[b >> 4];
    s += digits[b & 15];
  }
  return s;
}

std::vector<uint8_t> frame(uint16_t address, std::vector<uint8_t> payload, bool priority = true,
                           bool high_speed = false) {
  std::vector<uint8_t> out(core::kMaxFrameSize);
  const uint16_t word = core::build_usb_address_flags(address, priority, high_speed);
  out.resize(core::encode_frame(word, payload.data(), payload.size(), out.data()));
  return out;
}

std::vector<uint8_t> cat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::vector<Delivered> receive(std::initializer_list<std::vector<uint8_t>> bursts) {
  LineSim line;
  for (const auto& b : bursts) line.add_burst(b);
  auto got = run_deframer(line);
  EXPECT_EQ(got, run_reference(line)) << "state machine and reference disagree";
  return got;
}

}  // namespace

TEST(Encode, GoldenBytes) {
  EXPECT_EQ(hex(frame(0x10, {1, 2, 3})), "FE1000030102" "03FD");
  EXPECT_EQ(hex(frame(0x10, {1, 2, 3}, false)), "FE1080030102" "03FD");
  EXPECT_EQ(hex(frame(0x10, {1, 2, 3}, false, true)), "FE10C0030102" "03FD");
  EXPECT_EQ(hex(frame(0x3FFE, {0xC1})), "FEFE3F01C1FD");
  std::vector<uint8_t> big(59, 0xAA);
  EXPECT_EQ(frame(0x20, big).size(), 64u);
}

TEST(Deframer, AsksForHeaderThenBody) {
  core::Deframer d;
  EXPECT_EQ(d.want(), 4u);
  const uint8_t header[] = {0xFE, 0x2A, 0x80, 0x02};
  EXPECT_FALSE(d.consume(header, 4));
  EXPECT_EQ(d.want(), 3u);
  const uint8_t body[] = {7, 8, 0xFD};
  ASSERT_TRUE(d.consume(body, 3));
  EXPECT_EQ(d.frame().address, 42);
  EXPECT_EQ(d.frame().priority_bit, 1);
  EXPECT_EQ(d.frame().length, 2);
  EXPECT_EQ(d.want(), 4u);
}

TEST(Deframer, DeliversFramesInOrderAcrossBursts) {
  auto a = frame(0x10, {1, 2, 3});
  auto b = frame(0x11, {4}, false, true);
  auto got = receive({cat({a, b})});
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], (Delivered{0x10, 0, {1, 2, 3}}));
  EXPECT_EQ(got[1], (Delivered{0x11, 1, {4}}));  // the high-speed bit is parsed, not delivered
}

TEST(Deframer, EmptyPayloadIsAccepted) {
  auto got = receive({{0xFE, 0xAA, 0x3B, 0x00, 0xFD}});
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].address, 0x3BAA & 0x3FFF);
  EXPECT_TRUE(got[0].payload.empty());
}

TEST(Deframer, LengthAbove59IsDroppedAndHuntsByteByByte) {
  auto good = frame(0x10, {9});
  std::vector<uint8_t> bad = {0xFE, 0x10, 0x00, 60};
  auto got = receive({cat({bad, {1, 2, 3}, good})});
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].payload, std::vector<uint8_t>{9});

  core::Deframer d;
  d.consume(bad.data(), 4);
  EXPECT_FALSE(d.in_sync());
  EXPECT_EQ(d.want(), 1u);
}

TEST(Deframer, WrongTrailerDropsFrameAndNextCleanFrameArrives) {
  auto broken = frame(0x10, {1, 2});
  broken.back() = 0x00;
  auto got = receive({cat({broken, frame(0x12, {5, 6})})});
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], (Delivered{0x12, 0, {5, 6}}));
}

TEST(Deframer, NoiseBeforeFrameIsSkippedOutOfSync) {
  auto got = receive({cat({{0x00, 0x13, 0x37, 0xFD, 0x01}, frame(0x40, {1})})});
  // The noise is read as a header first (bad start byte), then hunted through.
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].address, 0x40);
}

TEST(Deframer, TimeoutInsideHeaderDropsSyncButNextFrameIsFound) {
  auto got = receive({{0xFE, 0x10}, frame(0x10, {7, 7})});
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].payload, (std::vector<uint8_t>{7, 7}));
}

TEST(Deframer, TimeoutInsideBodyDropsFrame) {
  auto f = frame(0x10, {1, 2, 3, 4});
  std::vector<uint8_t> cut(f.begin(), f.begin() + 6);
  auto got = receive({cut, frame(0x11, {2})});
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].address, 0x11);
}

TEST(Deframer, StartByteInsideRejectedFrameIsNotFoundAgain) {
  // A frame with a bad trailer whose payload holds a complete valid frame:
  // the inner frame was consumed with the rejected body and is lost.
  auto inner = frame(0x22, {1});
  auto outer = frame(0x10, inner);
  outer.back() = 0x00;
  auto got = receive({cat({outer, frame(0x23, {2})})});
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].address, 0x23);
}

TEST(Deframer, RejectedHuntHeaderStartsHuntingAfterIt) {
  // Out of sync, FE followed by a length of 200: rejected, hunting resumes
  // with the byte after the four header bytes.
  auto got = receive({cat({{0x00, 0x00, 0x00, 0x00}, {0xFE, 0x10, 0x00, 200}, frame(0x30, {3})})});
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].address, 0x30);
}

TEST(Deframer, RandomRoundTrip) {
  std::mt19937 rng(1234);
  LineSim line;
  std::vector<Delivered> sent;
  std::vector<uint8_t> stream;
  for (int i = 0; i < 2000; ++i) {
    std::vector<uint8_t> payload(1 + rng() % 59);
    for (auto& b : payload) b = static_cast<uint8_t>(rng());
    const uint16_t address = static_cast<uint16_t>(rng() % 16383);
    const bool priority = rng() & 1;
    auto f = frame(address, payload, priority, rng() & 1);
    stream.insert(stream.end(), f.begin(), f.end());
    sent.push_back({address, static_cast<uint8_t>(priority ? 0 : 1), payload});
  }
  line.add_burst(stream);
  EXPECT_EQ(run_deframer(line), sent);
}

TEST(Deframer, OverlongReadIsClampedToWhatWasAsked) {
  core::Deframer d;
  auto f = frame(0x10, {1});
  std::vector<uint8_t> extra = cat({f, {0xEE, 0xEE}});
  d.consume(extra.data(), 4);
  EXPECT_TRUE(d.consume(extra.data() + 4, extra.size() - 4));  // only want() bytes are looked at
  EXPECT_EQ(d.frame().length, 1);
}
