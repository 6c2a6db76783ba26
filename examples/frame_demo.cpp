// Encodes a frame for address 0x10, puts line noise in front of it and feeds
// the stream through the deframer the way the receive thread does.
#include <cstdio>
#include <vector>

#include "core/frame.hpp"

int main() {
  using namespace vez::core;
  const uint8_t payload[] = {0x01, 0x02, 0x03};
  uint8_t frame[kMaxFrameSize];
  const size_t n = encode_frame(build_usb_address_flags(0x10, true, false), payload, sizeof payload, frame);

  std::vector<uint8_t> line = {0x13, 0xFD, 0x00, 0x37, 0x99};  // line noise before the frame
  line.insert(line.end(), frame, frame + n);

  std::printf("frame :");
  for (size_t i = 0; i < n; ++i) std::printf(" %02X", frame[i]);
  std::printf("\nline  :");
  for (uint8_t b : line) std::printf(" %02X", b);
  std::printf("\n");

  Deframer d;
  size_t pos = 0;
  while (pos < line.size()) {
    const size_t take = std::min(d.want(), line.size() - pos);
    if (d.consume(line.data() + pos, take)) {
      const Frame& f = d.frame();
      std::printf("frame from 0x%03X (priority bit %u): payload", f.address, f.priority_bit);
      for (size_t i = 0; i < f.length; ++i) std::printf(" %02X", f.payload[i]);
      std::printf("\n");
    }
    pos += take;
  }
  return 0;
}
