#include "bus_scan.hpp"

namespace vez::core {

AddressWindows::AddressWindows(int64_t begin, int64_t end, int64_t size)
    : next_(begin), end_(end), size_(size < 1 ? 1 : size), done_(end < begin) {}

bool AddressWindows::next(AddressWindow* window) {
  if (done_) return false;
  window->first = next_;
  // end_ >= next_ here; their distance always fits in 64 unsigned bits.
  const uint64_t remaining = static_cast<uint64_t>(end_) - static_cast<uint64_t>(next_);
  if (remaining < static_cast<uint64_t>(size_)) {
    window->last = end_;
    done_ = true;
  } else {
    window->last = next_ + (size_ - 1);
    next_ = window->last + 1;
    done_ = window->last == end_;
  }
  return true;
}

size_t probe_under_way(const bool* answered, const double* deadlines, size_t count, double now) {
  for (size_t i = 0; i < count; ++i) {
    if (!answered[i] && now < deadlines[i]) return i;
  }
  return count;
}

}  // namespace vez::core
