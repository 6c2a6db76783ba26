// Little-endian field access for VEZ payloads on the device side.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace vez::emulator {

inline void put_u16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

inline void put_u32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

inline void put_f32(std::vector<uint8_t>& out, float v) {
  uint32_t bits;
  std::memcpy(&bits, &v, 4);
  put_u32(out, bits);
}

inline uint32_t get_u32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

inline float get_f32(const uint8_t* p) {
  const uint32_t bits = get_u32(p);
  float v;
  std::memcpy(&v, &bits, 4);
  return v;
}

// CAN FD carries 0..8, 12, 16, 20, 24, 32, 48 or 64 data bytes; an adapter
// forwards the whole padded frame.  The adapter frame holds at most 59, so a
// longer message is left as it is.
inline size_t canfd_padded_length(size_t n) {
  static const size_t lengths[] = {12, 16, 20, 24, 32, 48};
  if (n <= 8) return n;
  for (size_t l : lengths)
    if (n <= l) return l;
  return n;
}

}  // namespace vez::emulator
