#include "port_reader.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

namespace vez::core {

namespace {

using Clock = std::chrono::steady_clock;

// Errors the serial library treats as "try again" rather than a failure.
bool is_transient(int err) {
  return err == EAGAIN || err == EWOULDBLOCK || err == EALREADY || err == EINPROGRESS || err == EINTR;
}

void drain(int fd) {
  uint8_t scratch[1000];
  while (read(fd, scratch, sizeof scratch) > 0) {
  }
}

}  // namespace

PortReader::PortReader(size_t capacity) : buffer_(capacity) {}

void PortReader::consume(size_t n) {
  begin_ += n;
  if (begin_ == end_) begin_ = end_ = 0;
}

PortReader::Status PortReader::fill(int fd, int abort_fd, size_t want, double timeout_s) {
  if (available() >= want) return Status::kOk;
  if (begin_ != 0) {  // make room at the back
    std::memmove(buffer_.data(), buffer_.data() + begin_, available());
    end_ -= begin_;
    begin_ = 0;
  }
  const bool infinite = timeout_s < 0;
  const Clock::time_point deadline =
      infinite ? Clock::time_point::max()
               : Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeout_s));

  pollfd fds[2] = {{fd, POLLIN, 0}, {abort_fd, POLLIN, 0}};
  const nfds_t nfds = abort_fd >= 0 ? 2 : 1;
  while (available() < want) {
    timespec wait{};
    timespec* wait_ptr = nullptr;
    if (!infinite) {
      const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now()).count();
      const long long ns = left > 0 ? left : 0;
      wait.tv_sec = static_cast<time_t>(ns / 1000000000);
      wait.tv_nsec = static_cast<long>(ns % 1000000000);
      wait_ptr = &wait;
    }
    fds[0].revents = fds[1].revents = 0;
    const int ready = ppoll(fds, nfds, wait_ptr, nullptr);
    if (ready < 0) {
      if (errno == EINTR) continue;
      error_ = errno;
      return Status::kReadError;
    }
    if (nfds == 2 && fds[1].revents != 0) {
      drain(abort_fd);
      break;
    }
    if (ready == 0) break;  // timeout
    const ssize_t got = read(fd, buffer_.data() + end_, buffer_.size() - end_);
    if (got < 0) {
      if (!is_transient(errno)) {
        error_ = errno;
        return Status::kReadError;
      }
    } else if (got == 0) {
      return Status::kNoData;  // readiness without data: the device went away
    } else {
      end_ += static_cast<size_t>(got);
    }
    if (!infinite && Clock::now() >= deadline) break;
  }
  return Status::kOk;
}

}  // namespace vez::core
