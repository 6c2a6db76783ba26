#include "command_input.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

using vez::emulator::CommandInput;

namespace {

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/command_input_XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~TempDir() {
    for (const std::string& f : files_) unlink(f.c_str());
    rmdir(path_.c_str());
  }
  std::string file(const char* name) {
    files_.push_back(path_ + "/" + name);
    return files_.back();
  }

 private:
  std::string path_;
  std::vector<std::string> files_;
};

void write_all(int fd, const std::string& text) {
  ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

std::vector<std::string> read_until_ended(CommandInput& input) {
  std::vector<std::string> lines;
  for (int i = 0; i < 100 && !input.ended(); ++i) input.read_lines(lines);
  return lines;
}

}  // namespace

TEST(CommandInput, FileIsReadToItsEndAndAnUnfinishedLastLineCounts) {
  TempDir dir;
  const std::string path = dir.file("commands");
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0600);
  write_all(fd, "stats\n\nload 0x10 1.5\nquit");
  close(fd);
  CommandInput input(path);
  EXPECT_GE(input.pollable_fd(), 0);
  EXPECT_EQ(read_until_ended(input), (std::vector<std::string>{"stats", "", "load 0x10 1.5", "quit"}));
  EXPECT_TRUE(input.ended());
  EXPECT_EQ(input.pollable_fd(), -1);
}

TEST(CommandInput, FifoOutlivesItsWritersAndJoinsSplitLines) {
  TempDir dir;
  const std::string path = dir.file("fifo");
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  CommandInput input(path);  // does not wait for a writer
  std::vector<std::string> lines;
  input.read_lines(lines);  // nobody wrote yet: nothing, and not the end
  EXPECT_TRUE(lines.empty());
  EXPECT_FALSE(input.ended());

  int writer = open(path.c_str(), O_WRONLY);
  write_all(writer, "err");
  input.read_lines(lines);
  EXPECT_TRUE(lines.empty());
  write_all(writer, "or 0x10 1\nsta");
  close(writer);  // the first writer goes away
  input.read_lines(lines);
  EXPECT_EQ(lines, (std::vector<std::string>{"error 0x10 1"}));
  EXPECT_FALSE(input.ended());

  writer = open(path.c_str(), O_WRONLY);
  write_all(writer, "ts\n");
  close(writer);
  lines.clear();
  input.read_lines(lines);
  EXPECT_EQ(lines, (std::vector<std::string>{"stats"}));
  EXPECT_GE(input.pollable_fd(), 0);
}

TEST(CommandInput, TerminalThatIsNotOursIsRead) {
  // Only the controlling terminal can stop a reader; another one is read.
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const std::string slave_path = ptsname(master);
  const int slave = open(slave_path.c_str(), O_RDWR | O_NOCTTY);  // keeps the line up
  CommandInput input(slave_path);
  EXPECT_GE(input.pollable_fd(), 0);
  write_all(master, "stats\n");
  std::vector<std::string> lines;
  input.read_lines(lines);
  EXPECT_EQ(lines, (std::vector<std::string>{"stats"}));
  close(slave);
  close(master);
}

TEST(CommandInput, MissingPathIsAnError) {
  EXPECT_THROW(CommandInput("/nonexistent/commands"), std::runtime_error);
}
