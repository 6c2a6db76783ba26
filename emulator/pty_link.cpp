#include "pty_link.hpp"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>

namespace vez::emulator {

namespace {

std::runtime_error os_error(const std::string& what) { return std::runtime_error(what + ": " + strerror(errno)); }

}  // namespace

PtyLink::PtyLink() {
  master_fd_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (master_fd_ < 0) throw os_error("posix_openpt");
  if (grantpt(master_fd_) != 0 || unlockpt(master_fd_) != 0) throw os_error("grantpt/unlockpt");
  const char* name = ptsname(master_fd_);
  if (name == nullptr) throw os_error("ptsname");
  slave_path_ = name;

  // Raw mode on the line: no echo, no line editing, no CR/LF translation;
  // the SDK's serial library does the same when it opens the port.
  keep_slave_fd_ = open(slave_path_.c_str(), O_RDWR | O_NOCTTY);
  if (keep_slave_fd_ < 0) throw os_error("open " + slave_path_);
  termios tio{};
  if (tcgetattr(keep_slave_fd_, &tio) != 0) throw os_error("tcgetattr");
  cfmakeraw(&tio);
  if (tcsetattr(keep_slave_fd_, TCSANOW, &tio) != 0) throw os_error("tcsetattr");

  const int flags = fcntl(master_fd_, F_GETFL);
  fcntl(master_fd_, F_SETFL, flags | O_NONBLOCK);
}

PtyLink::~PtyLink() {
  remove_symlink();
  if (keep_slave_fd_ >= 0) close(keep_slave_fd_);
  if (master_fd_ >= 0) close(master_fd_);
}

void PtyLink::make_symlink(const std::string& link) {
  unlink(link.c_str());  // a stale link from an earlier run
  if (symlink(slave_path_.c_str(), link.c_str()) != 0) throw os_error("symlink " + link);
  symlink_ = link;
}

void PtyLink::remove_symlink() {
  if (!symlink_.empty()) unlink(symlink_.c_str());
  symlink_.clear();
}

std::vector<uint8_t> PtyLink::read_available() {
  std::vector<uint8_t> data;
  uint8_t buf[4096];
  for (;;) {
    const ssize_t n = read(master_fd_, buf, sizeof buf);
    if (n > 0) {
      data.insert(data.end(), buf, buf + n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;  // EAGAIN: drained; EIO: nobody has the line open besides us
  }
  return data;
}

void PtyLink::queue(const uint8_t* data, size_t n) {
  out_.insert(out_.end(), data, data + n);
  if (out_.size() > kMaxQueued) {
    const size_t excess = out_.size() - kMaxQueued;
    out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(excess));
    dropped_ += excess;
  }
}

void PtyLink::flush() {
  uint8_t buf[8192];
  while (!out_.empty()) {
    const size_t n = std::min(out_.size(), sizeof buf);
    std::copy(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(n), buf);
    const ssize_t written = write(master_fd_, buf, n);
    if (written > 0) {
      out_.erase(out_.begin(), out_.begin() + written);
      continue;
    }
    if (written < 0 && errno == EINTR) continue;
    break;  // the terminal buffer is full; try again when it drains
  }
}

}  // namespace vez::emulator
