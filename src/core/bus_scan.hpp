// The plan of a pipelined bus scan.  Probing one address at a time costs a
// whole answer window (50 ms) per empty address, 14 minutes for the full
// address range; instead the scanner pings a window of addresses back to
// back and waits once for all of them, each probe keeping its own 50 ms
// deadline counted from its own ping.
//
// The window: 32 pings are 192 bytes on the USB line (three full-speed
// packets) and about 2.5 ms of a 1 Mbit/s CAN bus, so even the last ping of a
// window is on the bus long before its deadline, and a burst never exceeds
// the 32-frame queues common in USB-CAN adapters.  It scans 0x10..0xFF in 8
// windows (about 0.4 s) and 1..0x3FFE in 512 (about 26 s).
//
// Pure, any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vez::core {

inline constexpr int64_t kScanWindow = 32;

struct AddressWindow {
  int64_t first = 0;
  int64_t last = 0;  // inclusive
  size_t size() const { return static_cast<size_t>(last - first) + 1; }
};

// Consecutive windows of at most `size` addresses covering begin..end
// (inclusive) in ascending order; none when end < begin.  Safe up to the
// ends of the int64 range.
class AddressWindows {
 public:
  AddressWindows(int64_t begin, int64_t end, int64_t size);
  // The next window; false when the range is covered.
  bool next(AddressWindow* window);

 private:
  int64_t next_;
  int64_t end_;
  int64_t size_;
  bool done_;
};

// In a window cut short at time `now`, the index of the probe that was
// under way: the first that has neither answered nor reached its deadline.
// `count` when every probe of the window is over.
size_t probe_under_way(const bool* answered, const double* deadlines, size_t count, double now);

}  // namespace vez::core
