#include "core/port_reader.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

namespace core = vez::core;
using Status = core::PortReader::Status;

namespace {

// A non-blocking pipe standing in for the port, plus an abort pipe.
struct Pipes {
  int port[2];
  int abort[2];
  Pipes() {
    EXPECT_EQ(pipe(port), 0);
    EXPECT_EQ(pipe(abort), 0);
    fcntl(port[0], F_SETFL, O_NONBLOCK);
    fcntl(abort[0], F_SETFL, O_NONBLOCK);
  }
  ~Pipes() {
    for (int fd : {port[0], port[1], abort[0], abort[1]}) {
      if (fd >= 0) close(fd);
    }
  }
  void send(const std::string& s) const { ASSERT_EQ(write(port[1], s.data(), s.size()), static_cast<ssize_t>(s.size())); }
};

std::string take(core::PortReader& r, size_t n) {
  std::string s(reinterpret_cast<const char*>(r.data()), n);
  r.consume(n);
  return s;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

TEST(PortReader, OneCallTakesEverythingTheDriverHolds) {
  Pipes p;
  p.send("abcdefgh");
  core::PortReader r;
  EXPECT_EQ(r.fill(p.port[0], p.abort[0], 4, 0.8), Status::kOk);
  EXPECT_EQ(r.available(), 8u);
  EXPECT_EQ(take(r, 4), "abcd");
  // Enough is buffered: no system call, even on a closed descriptor.
  EXPECT_EQ(r.fill(-1, -1, 4, 0.8), Status::kOk);
  EXPECT_EQ(take(r, 4), "efgh");
  EXPECT_EQ(r.available(), 0u);
}

TEST(PortReader, WaitsForTheRestOfARead) {
  Pipes p;
  p.send("ab");
  core::PortReader r;
  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    p.send("cd");
  });
  EXPECT_EQ(r.fill(p.port[0], p.abort[0], 4, 5.0), Status::kOk);
  late.join();
  EXPECT_EQ(take(r, 4), "abcd");
}

TEST(PortReader, TimeoutReturnsWhatArrived) {
  Pipes p;
  p.send("ab");
  core::PortReader r;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(r.fill(p.port[0], p.abort[0], 4, 0.05), Status::kOk);
  EXPECT_GE(seconds_since(t0), 0.045);
  EXPECT_EQ(r.available(), 2u);
  // A zero timeout only takes what is there.
  EXPECT_EQ(r.fill(p.port[0], -1, 4, 0.0), Status::kOk);
  EXPECT_EQ(r.available(), 2u);
}

TEST(PortReader, AbortPipeEndsTheWaitAndIsDrained) {
  Pipes p;
  core::PortReader r;
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(write(p.abort[1], "xx", 2), 2);
  });
  EXPECT_EQ(r.fill(p.port[0], p.abort[0], 1, -1.0), Status::kOk);  // would block forever otherwise
  canceller.join();
  EXPECT_EQ(r.available(), 0u);
  char c;
  EXPECT_EQ(read(p.abort[0], &c, 1), -1);  // drained
  EXPECT_EQ(errno, EAGAIN);
}

TEST(PortReader, EndOfFileIsNoData) {
  Pipes p;
  p.send("ab");
  close(p.port[1]);
  p.port[1] = -1;
  core::PortReader r;
  EXPECT_EQ(r.fill(p.port[0], p.abort[0], 4, 0.8), Status::kNoData);
  EXPECT_EQ(r.available(), 2u);  // what came before stays readable
}

TEST(PortReader, ReadErrorsCarryErrno) {
  Pipes p;
  core::PortReader r;
  // A descriptor closed under the reader polls as invalid; read() says EBADF.
  const int gone = dup(p.port[0]);
  close(gone);
  EXPECT_EQ(r.fill(gone, -1, 1, 0.8), Status::kReadError);
  EXPECT_EQ(r.error(), EBADF);
}

TEST(PortReader, CompactsWhenTheBackIsFull) {
  Pipes p;
  core::PortReader r(8);
  p.send("0123456");
  EXPECT_EQ(r.fill(p.port[0], -1, 4, 0.8), Status::kOk);
  EXPECT_EQ(take(r, 6), "012345");
  p.send("789abc");
  EXPECT_EQ(r.fill(p.port[0], -1, 5, 0.8), Status::kOk);
  EXPECT_EQ(take(r, 5), "6789a");
}
