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

TEST(Deframer, StartByteInsideRejectedFrameIsFoundAgain) {
  // A frame with a bad trailer whose payload holds a complete valid frame:
  // the rejected bytes are searched again, so the inner frame arrives.
  auto inner = frame(0x22, {1});
  auto outer = frame(0x10, inner);
  outer.back() = 0x00;
  auto got = receive({cat({outer, frame(0x23, {2})})});
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], (Delivered{0x22, 0, {1}}));
  EXPECT_EQ(got[1], (Delivered{0x23, 0, {2}}));
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

// --- nothing intact is lost to noise -------------------------------------------

namespace {

std::vector<uint8_t> numbered(int i) {
  return frame(0x10, {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8), 0xAA});
}

}  // namespace

TEST(Resync, EveryFrameAfterAnyNoiseByteArrives) {
  // One noise byte in front of every frame: in sync, the next header read
  // takes the noise byte and three bytes of the frame.  Every value a byte
  // can take, the start byte and the trailer included.
  for (int noise = 0; noise < 256; ++noise) {
    std::vector<uint8_t> stream;
    for (int i = 0; i < 200; ++i) stream = cat({stream, {static_cast<uint8_t>(noise)}, numbered(i)});
    auto got = receive({stream});
    ASSERT_EQ(got.size(), 200u) << "noise byte " << noise;
    for (int i = 0; i < 200; ++i) ASSERT_EQ(got[i].payload, (std::vector<uint8_t>{uint8_t(i), uint8_t(i >> 8), 0xAA}));
  }
}

TEST(Resync, GlitchOfAStartByteAndAZeroLosesNothing) {
  auto got = receive({cat({numbered(0), {0xFE, 0x00}, numbered(1), numbered(2), numbered(3)})});
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[3].payload[0], 3);
}

TEST(Resync, FramesInsideALongRejectedCandidateArrive) {
  // A false header announcing 59 bytes swallows several whole frames before
  // its trailer check fails; they are all found in what it read.
  std::vector<uint8_t> stream = {0xFE, 0x10, 0x00, 59};
  for (int i = 0; i < 8; ++i) stream = cat({stream, numbered(i)});
  auto got = receive({stream});
  ASSERT_EQ(got.size(), 8u);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(got[i].payload[0], i);
}

TEST(Resync, ShortReadRejectsOnlyTheCandidateItWasFor) {
  // A false header runs into a pause: its read comes back short.  The frame
  // that did arrive inside that read is delivered from what was kept.
  auto got = receive({cat({{0xFE, 0x10, 0x00, 30}, numbered(7)}), numbered(8)});
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].payload[0], 7);
  EXPECT_EQ(got[1].payload[0], 8);
}

TEST(Resync, KeptBytesAreReadBeforeTheLineAndNoReadAsksForMore) {
  core::Deframer d;
  const std::vector<uint8_t> bad = {0xFE, 0x10, 0x00, 0x05};  // needs 6 more bytes
  auto good = frame(0x20, {1, 2, 3});                        // 8 bytes
  EXPECT_FALSE(d.consume(bad.data(), 4));
  EXPECT_EQ(d.want(), 6u);
  // The body read brings the first 6 bytes of the good frame: wrong trailer.
  EXPECT_FALSE(d.consume(good.data(), 6));
  EXPECT_FALSE(d.at_frame_boundary());
  // The good frame's start was found among the kept bytes: only its last two
  // bytes are asked of the line.
  EXPECT_EQ(d.kept(), 6u);
  EXPECT_EQ(d.want(), 2u);
  ASSERT_TRUE(d.consume(good.data() + 6, 2));
  EXPECT_EQ(d.frame().address, 0x20);
  EXPECT_TRUE(d.at_frame_boundary());
  EXPECT_EQ(d.want(), 4u);
}

TEST(Resync, ResumeDeliversKeptFramesOneAtATime) {
  core::Deframer d;
  std::vector<uint8_t> stream = cat({{0xFE, 0x10, 0x00, 20}, numbered(1), numbered(2), {0, 0, 0, 0, 0}});
  ASSERT_EQ(stream.size(), 4u + 8 + 8 + 5);
  EXPECT_FALSE(d.consume(stream.data(), 4));
  ASSERT_EQ(d.want(), 21u);
  ASSERT_TRUE(d.consume(stream.data() + 4, 21));  // rejected; the first kept frame completes at once
  EXPECT_EQ(d.frame().payload[0], 1);
  EXPECT_EQ(d.want(), 0u);  // the second one is still kept
  ASSERT_TRUE(d.resume());
  EXPECT_EQ(d.frame().payload[0], 2);
  EXPECT_EQ(d.want(), 0u);
  EXPECT_FALSE(d.resume());  // the zeros: no start byte
  EXPECT_EQ(d.kept(), 0u);
  EXPECT_EQ(d.want(), 1u);
  EXPECT_FALSE(d.resume());  // nothing kept: no effect, and not a timeout
  EXPECT_EQ(d.want(), 1u);
}

TEST(Resync, EveryCheckIsKept) {
  // Candidates found in kept bytes pass the same checks as any other: a start
  // byte followed by a length above 59, or by a body without its trailer,
  // delivers nothing.
  std::vector<uint8_t> inside = {0xFE, 0x11, 0x00, 60, 0xFE, 0x12, 0x00, 0x01, 0x55, 0x00};
  auto outer = frame(0x10, inside);
  outer.back() = 0x00;
  auto got = receive({cat({outer, numbered(5)})});
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].payload[0], 5);
}

TEST(Resync, NoiseThatCompletesAFrameWithWhatFollowsIsAFrame) {
  // The limit of any resynchronisation without a checksum: a false header
  // whose trailer position happens to hold FD passes every check.  What it
  // covered is gone; the line is in step again after it.
  std::vector<uint8_t> fake = {0xFE, 0x30, 0x00, 0x05};
  auto swallowed = frame(0x10, {0xAA});  // 6 bytes, ending in FD at the false frame's trailer
  auto got = receive({cat({fake, swallowed, numbered(9)})});
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].address, 0x30);
  EXPECT_EQ(got[1].payload[0], 9);
}

TEST(Resync, RandomNoiseWithoutStartBytesNeverCostsAFrame) {
  std::mt19937 rng(99);
  std::vector<uint8_t> stream;
  std::vector<Delivered> sent;
  for (int i = 0; i < 3000; ++i) {
    const size_t noise = rng() % 9;
    for (size_t k = 0; k < noise; ++k) {
      uint8_t b = static_cast<uint8_t>(rng());
      stream.push_back(b == 0xFE ? 0x00 : b);
    }
    std::vector<uint8_t> payload(1 + rng() % 30);
    for (auto& b : payload) b = static_cast<uint8_t>(rng() % 0xFE);  // no start byte inside either
    auto f = frame(0x10 + i % 4, payload);
    stream = cat({stream, f});
    sent.push_back({static_cast<uint16_t>(0x10 + i % 4), 0, payload});
  }
  EXPECT_EQ(receive({stream}), sent);
}
