#include "wake_signal.hpp"

#include <chrono>

namespace vez::core {

uint64_t WakeSignal::events() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

void WakeSignal::notify() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++events_;
  }
  changed_.notify_all();
}

bool WakeSignal::wait(uint64_t seen, double seconds) const {
  std::unique_lock<std::mutex> lock(mutex_);
  if (events_ != seen) return true;
  if (!(seconds > 0)) return false;
  // Waits are short (a polling step at most); an hour bounds the conversion.
  const std::chrono::duration<double> span(seconds < 3600.0 ? seconds : 3600.0);
  return changed_.wait_for(lock, std::chrono::duration_cast<std::chrono::nanoseconds>(span),
                           [&] { return events_ != seen; });
}

}  // namespace vez::core
