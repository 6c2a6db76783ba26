// A wake-up call between threads: one side counts events (an answer stored,
// the link lost), the other waits for an event it has not seen yet, for at
// most a given time.  The waiter reads events() before it looks at whatever
// the event is about, so an event that happens between its look and its wait
// ends the wait at once instead of being missed.
//
// Thread-safe; nothing here touches Python, so a caller may wait on it with
// the interpreter lock released.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace vez::core {

class WakeSignal {
 public:
  // Events so far.
  uint64_t events() const;

  // Counts one event and wakes every waiter.
  void notify();

  // Waits until events() differs from `seen` or `seconds` have passed; no
  // wait at all for seconds <= 0 or NaN.  True when an event ended the wait
  // (or had already happened).
  bool wait(uint64_t seen, double seconds) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  uint64_t events_ = 0;
};

}  // namespace vez::core
