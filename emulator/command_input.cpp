#include "command_input.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace vez::emulator {

CommandInput::CommandInput(const std::string& path) {
  if (path.empty()) {
    fd_ = STDIN_FILENO;
    terminal_ = isatty(fd_) == 1;
    return;
  }
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    throw std::runtime_error("cannot open the command input " + path + ": " + std::strerror(errno));
  }
  // Held open for writing too, a FIFO never reaches its end between writers.
  const int flags = S_ISFIFO(st.st_mode) ? O_RDWR | O_NONBLOCK : O_RDONLY;
  fd_ = open(path.c_str(), flags | O_CLOEXEC | O_NOCTTY);
  if (fd_ < 0) throw std::runtime_error("cannot open the command input " + path + ": " + std::strerror(errno));
  owned_ = true;
  terminal_ = isatty(fd_) == 1;
}

CommandInput::~CommandInput() {
  if (owned_ && fd_ >= 0) close(fd_);
}

int CommandInput::pollable_fd() const {
  if (fd_ < 0) return -1;
  if (terminal_) {
    // A job in the background of its controlling terminal would be stopped
    // by a read.  (A terminal that is not ours answers -1: reading it is safe.)
    const pid_t foreground = tcgetpgrp(fd_);
    if (foreground >= 0 && foreground != getpgrp()) return -1;
  }
  return fd_;
}

void CommandInput::read_lines(std::vector<std::string>& lines) {
  if (fd_ < 0) return;
  char buf[512];
  const ssize_t n = read(fd_, buf, sizeof buf);
  if (n < 0) {
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) return;  // nothing there yet
    // EIO with the terminal owned by another job: it was moved to the
    // background between the poll and the read (the program ignores SIGTTIN).
    if (terminal_ && errno == EIO && pollable_fd() < 0) return;
    finish(lines);
    return;
  }
  if (n == 0) {
    finish(lines);
    return;
  }
  partial_.append(buf, static_cast<size_t>(n));
  size_t start = 0, eol;
  while ((eol = partial_.find('\n', start)) != std::string::npos) {
    lines.push_back(partial_.substr(start, eol - start));
    start = eol + 1;
  }
  partial_.erase(0, start);
}

// The input ended: what is left is the last line, and the descriptor is done.
void CommandInput::finish(std::vector<std::string>& lines) {
  if (!partial_.empty()) lines.push_back(partial_);
  partial_.clear();
  if (owned_) close(fd_);
  fd_ = -1;
}

}  // namespace vez::emulator
