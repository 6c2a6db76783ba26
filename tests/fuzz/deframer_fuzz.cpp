// Fuzz target for the stream deframer.  The input is read as a script of
// pieces (valid frames and noise) cut into bursts.  Checked for every script:
//   * the state machine never asks for more than a frame's worth of bytes and
//     agrees exactly (which frames, where in the stream) with the
//     straight-line reference reader;
//   * whatever it delivers is a frame of the stream, byte for byte;
//   * no intact frame is lost to noise: every frame the script sent is
//     delivered, unless a frame that starts in noise (noise that, with what
//     follows it, passes every check a frame must pass) covers its start;
//   * a script without noise is delivered exactly as sent.
// Everything lives in buffers reused from one input to the next.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/frame.hpp"
#include "support/line_sim.hpp"

using vez::testing::LineSim;
using vez::testing::Span;

namespace {

VEZ_TEST_NO_COVERAGE void check(bool ok) {
  if (!ok) std::abort();
}

struct Scratch {
  LineSim line;
  vez::testing::Pool<Span> sent;      // where the script put its frames, in order
  vez::testing::Pool<Span> got;       // what the state machine delivered
  vez::testing::Pool<Span> expected;  // what the reference reader delivered
};

}  // namespace

extern "C" VEZ_TEST_NO_COVERAGE int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Scratch s;
  s.line.clear();
  s.sent.clear();
  s.got.clear();
  s.expected.clear();
  size_t stream_size = 0;
  bool noisy = false;
  size_t i = 0;
  while (i < size) {
    const uint8_t control = data[i++];
    const size_t n = control & 0x3F;
    if (control & 0x80) {
      // A valid frame: address from two bytes, payload of n % 60 bytes.
      if (i + 2 > size) break;
      const uint16_t address = static_cast<uint16_t>((data[i] | (data[i + 1] << 8)) % 16383);
      const bool priority = data[i] & 0x80;
      i += 2;
      const size_t len = n % 60 < size - i ? n % 60 : size - i;
      uint8_t out[vez::core::kMaxFrameSize];
      const size_t flen = vez::core::encode_frame(
          vez::core::build_usb_address_flags(address, priority, data[i - 1] & 0x40), data + i, len, out);
      s.line.append(out, flen);
      s.sent.push_back({stream_size, flen});
      stream_size += flen;
      i += len;
    } else {
      const size_t len = n < size - i ? n : size - i;
      s.line.append(data + i, len);
      stream_size += len;
      noisy = noisy || len > 0;
      i += len;
    }
    if (control & 0x40) {  // a pause on the line: the next read times out here
      s.line.end_burst();
    }
  }
  s.line.end_burst();
  const uint8_t* stream = s.line.data();

  // The state machine: what it asks for, and that each frame it hands out is
  // the stream's bytes at the place it came from.
  vez::core::Deframer d;
  vez::testing::drive_deframer(s.line, d, [&](const vez::core::Frame& f, Span span) VEZ_TEST_NO_COVERAGE {
    check(span.offset + span.size <= s.line.size());
    const uint8_t* at = stream + span.offset;
    check(at[0] == 0xFE && at[3] == f.length && at[span.size - 1] == 0xFD);
    check(f.length <= 59);
    for (size_t k = 0; k < f.length; ++k) check(at[4 + k] == f.payload[k]);
    const vez::core::AddressFlags flags = vez::core::parse_usb_address_flags(at[1] | (at[2] << 8));
    check(f.address == flags.address && f.priority_bit == flags.priority_bit &&
          f.can_high_speed_bit == flags.can_high_speed_bit);
    check(s.got.empty() || s.got.back().offset + s.got.back().size <= span.offset);  // in order, no overlap
    s.got.push_back(span);
  });
  check(d.want() >= 1 && d.want() <= 64 && d.kept() == 0);

  s.line.rewind();
  vez::testing::reference_reader(s.line, [&](Span span) VEZ_TEST_NO_COVERAGE { s.expected.push_back(span); });
  check(s.got == s.expected);

  if (!noisy) {
    check(s.got == s.sent);
    return 0;
  }
  // Every sent frame is delivered where it was sent, or its start byte lies
  // inside a delivered frame that is not one of the sent ones (one that
  // starts in noise, or in a frame lost that way).  A sent frame's start is
  // only ever skipped as part of a frame that was accepted; since delivered
  // frames do not overlap (checked above), none starts inside a delivered
  // sent frame.  Both lists are in stream order.
  size_t g = 0;
  for (const Span& f : s.sent) {
    while (g < s.got.size() && s.got[g].offset + s.got[g].size <= f.offset) ++g;
    check(g < s.got.size() && s.got[g].offset <= f.offset);
    check(s.got[g] == f || s.got[g].offset < f.offset);
  }
  return 0;
}
