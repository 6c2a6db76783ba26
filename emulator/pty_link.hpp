// The host side of the emulated USB-CAN adapter: a pseudo-terminal whose
// slave end is the "serial port" the SDK opens.  Non-blocking on the master
// end; bytes for the host are queued and written as the terminal accepts them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace vez::emulator {

class PtyLink {
 public:
  PtyLink();
  ~PtyLink();
  PtyLink(const PtyLink&) = delete;
  PtyLink& operator=(const PtyLink&) = delete;

  const std::string& slave_path() const { return slave_path_; }
  int master_fd() const { return master_fd_; }

  // Makes `link` a symlink to the slave device (replacing an old symlink).
  void make_symlink(const std::string& link);
  void remove_symlink();

  // Reads whatever the host wrote; empty when nothing is pending.
  std::vector<uint8_t> read_available();

  // Queues bytes for the host.  The queue is bounded: when the host does not
  // read, the oldest bytes beyond `kMaxQueued` are dropped (and counted), as a
  // USB endpoint nobody polls would lose them.
  void queue(const uint8_t* data, size_t n);
  // Writes as much of the queue as the terminal takes now.
  void flush();
  bool has_pending_output() const { return !out_.empty(); }
  uint64_t dropped_bytes() const { return dropped_; }

  static constexpr size_t kMaxQueued = 1 << 20;

 private:
  int master_fd_ = -1;
  int keep_slave_fd_ = -1;  // keeps the line up while the host closes and reopens it
  std::string slave_path_;
  std::string symlink_;
  std::deque<uint8_t> out_;
  uint64_t dropped_ = 0;
};

}  // namespace vez::emulator
