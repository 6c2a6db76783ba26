// Buffered reads from a serial port's file descriptor, with the timing of the
// serial library's POSIX port: a read of n bytes waits until n bytes are
// there, the read timeout (counted from the start of the read) expires, or
// the port's abort pipe is written to, and then returns what it has.
//
// The difference is that one system call takes everything the driver holds
// (up to the buffer size), so a stream of small frames costs one wake-up per
// burst instead of two per frame.  Bytes are handed out in the order they
// arrived; what stays buffered is simply what the driver would still hold.
//
// The receive thread calls fill() without the interpreter lock: nothing here
// touches Python.  Not thread-safe: one reader belongs to one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vez::core {

class PortReader {
 public:
  enum class Status : uint8_t {
    kOk,         // the wait ended normally (enough bytes, timeout or abort)
    kReadError,  // read() failed; error() holds errno
    kNoData,     // the descriptor reported readiness but read() returned nothing
  };

  explicit PortReader(size_t capacity = 64 * 1024);

  const uint8_t* data() const { return buffer_.data() + begin_; }
  size_t available() const { return end_ - begin_; }

  // Drops the first n buffered bytes (n <= available()).
  void consume(size_t n);
  void clear() { begin_ = end_ = 0; }

  // Waits until at least `want` bytes are buffered (want <= capacity), the
  // timeout passes (timeout_s < 0: no timeout; 0: only what is there now) or
  // abort_fd (-1: none) becomes readable, whose bytes are then drained.
  // fd must be non-blocking.  Blocks; call it without the interpreter lock.
  Status fill(int fd, int abort_fd, size_t want, double timeout_s);

  // errno of the last kReadError.
  int error() const { return error_; }

 private:
  std::vector<uint8_t> buffer_;
  size_t begin_ = 0;
  size_t end_ = 0;
  int error_ = 0;
};

}  // namespace vez::core
