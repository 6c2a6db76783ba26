// Where the emulator's commands come from: standard input, or a file or FIFO
// named on the command line.
//
// Standard input is read only while reading it cannot stop the program: a
// terminal is read only while the emulator's process group owns it.  A job
// started with `&` from an interactive shell therefore runs on without being
// stopped by the terminal (SIGTTIN), and takes commands again once it is
// brought to the foreground.
#pragma once

#include <string>
#include <vector>

namespace vez::emulator {

class CommandInput {
 public:
  // `path` empty: standard input.  A FIFO is held open for reading and
  // writing, so writers may come and go; a regular file is read to its end.
  // Throws std::runtime_error when the path cannot be opened.
  explicit CommandInput(const std::string& path = "");
  ~CommandInput();
  CommandInput(const CommandInput&) = delete;
  CommandInput& operator=(const CommandInput&) = delete;

  // The descriptor to poll for commands now, or -1 when there is nothing to
  // read: the input ended, or it is the terminal of a background job.
  int pollable_fd() const;

  // Reads what is waiting (call after poll reported the descriptor) and
  // appends every complete line to `lines`, without its newline.  A partial
  // last line waits for the rest; at the end of the input it counts as a line.
  void read_lines(std::vector<std::string>& lines);

  bool ended() const { return fd_ < 0; }

 private:
  void finish(std::vector<std::string>& lines);

  int fd_ = -1;
  bool owned_ = false;     // opened here (closed by the destructor)
  bool terminal_ = false;  // a terminal: read only in the foreground
  std::string partial_;
};

}  // namespace vez::emulator
