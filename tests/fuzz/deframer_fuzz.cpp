// Fuzz target for the stream deframer.  The input is read as a script of
// pieces (valid frames and noise) cut into bursts; the state machine must
// agree exactly with the straight-line reference reader, never ask for more
// than a frame's worth of bytes, and, when the script holds no noise, deliver
// every frame it sent.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "core/frame.hpp"
#include "support/line_sim.hpp"

using vez::testing::Delivered;
using vez::testing::LineSim;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  LineSim line;
  std::vector<uint8_t> burst;
  std::vector<Delivered> sent;
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
      const size_t len = std::min<size_t>(n % 60, size - i);
      uint8_t out[vez::core::kMaxFrameSize];
      const size_t flen = vez::core::encode_frame(
          vez::core::build_usb_address_flags(address, priority, data[i - 1] & 0x40), data + i, len, out);
      burst.insert(burst.end(), out, out + flen);
      sent.push_back({address, static_cast<uint8_t>(priority ? 0 : 1), {data + i, data + i + len}});
      i += len;
    } else {
      const size_t len = std::min(n, size - i);
      burst.insert(burst.end(), data + i, data + i + len);
      noisy = noisy || len > 0;
      i += len;
    }
    if (control & 0x40) {  // a pause on the line: the next read times out here
      line.add_burst(burst);
      burst.clear();
    }
  }
  line.add_burst(burst);

  // Drive the state machine, checking what it asks for.
  vez::core::Deframer d;
  std::vector<Delivered> got;
  LineSim copy = line;
  while (!copy.exhausted()) {
    const size_t want = d.want();
    if (want == 0 || want > 60) std::abort();
    auto bytes = copy.read(want);
    if (d.consume(bytes.data(), bytes.size())) {
      const auto& f = d.frame();
      if (f.length > 59) std::abort();
      got.push_back({f.address, f.priority_bit, {f.payload.begin(), f.payload.begin() + f.length}});
    }
  }
  if (got != vez::testing::run_reference(line)) std::abort();
  if (!noisy && got != sent) std::abort();
  return 0;
}
