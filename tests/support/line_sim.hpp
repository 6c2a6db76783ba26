// A serial line as the receive thread sees it, for tests and fuzzers: the
// bytes arrive in bursts, and a blocking read(n) returns at most n bytes of
// the current burst; when the burst runs dry first, the read times out and
// returns what it had (possibly nothing).  The next read starts on the next
// burst.  Reads copy into the caller's buffer; nothing is allocated per read.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/frame.hpp"

// Test machinery is left out of a fuzzer's coverage feedback: only the code
// under test should steer the search (and the trace calls would cost the
// harness most of its speed).
#if defined(__clang__)
#define VEZ_TEST_NO_COVERAGE __attribute__((no_sanitize("coverage")))
#else
#define VEZ_TEST_NO_COVERAGE
#endif

namespace vez::testing {

// Copies of a few bytes, as plain loops: under a sanitizer a library call per
// byte of a hunt costs far more than the hunt.
VEZ_TEST_NO_COVERAGE inline void copy_bytes(uint8_t* to, const uint8_t* from, size_t n) {
  for (size_t i = 0; i < n; ++i) to[i] = from[i];
}

// A growable array whose storage survives clear(), with no library code on
// its paths (see above).
template <typename T>
class Pool {
 public:
  Pool() = default;
  Pool(const Pool& o) { append(o.data(), o.size()); }
  Pool& operator=(const Pool& o) {
    if (this != &o) {
      clear();
      append(o.data(), o.size());
    }
    return *this;
  }
  ~Pool() { delete[] items_; }

  VEZ_TEST_NO_COVERAGE void append(const T* items, size_t n) {
    reserve(size_ + n);
    for (size_t i = 0; i < n; ++i) items_[size_ + i] = items[i];
    size_ += n;
  }
  VEZ_TEST_NO_COVERAGE void push_back(const T& item) {
    if (size_ == capacity_) reserve(size_ + 1);
    items_[size_++] = item;
  }
  void clear() { size_ = 0; }
  const T* data() const { return items_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const T& operator[](size_t i) const { return items_[i]; }
  const T& back() const { return items_[size_ - 1]; }
  const T* begin() const { return items_; }
  const T* end() const { return items_ + size_; }
  VEZ_TEST_NO_COVERAGE bool operator==(const Pool& o) const {
    if (size_ != o.size_) return false;
    for (size_t i = 0; i < size_; ++i)
      if (!(items_[i] == o.items_[i])) return false;
    return true;
  }

 private:
  VEZ_TEST_NO_COVERAGE void reserve(size_t n) {
    if (n <= capacity_) return;
    size_t capacity = capacity_ == 0 ? 256 : capacity_;
    while (capacity < n) capacity *= 2;
    T* grown = new T[capacity];
    for (size_t i = 0; i < size_; ++i) grown[i] = items_[i];
    delete[] items_;
    items_ = grown;
    capacity_ = capacity;
  }

  T* items_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

class LineSim {
 public:
  // Bytes of the current burst; end_burst() closes it.
  void append(const uint8_t* data, size_t n) { bytes_.append(data, n); }
  void end_burst() { ends_.push_back(bytes_.size()); }
  void add_burst(const uint8_t* data, size_t n) {
    append(data, n);
    end_burst();
  }
  void add_burst(const std::vector<uint8_t>& bytes) { add_burst(bytes.data(), bytes.size()); }

  // Empties the line, keeping its storage for the next script.
  void clear() {
    bytes_.clear();
    ends_.clear();
    rewind();
  }
  // Back to the first burst, for another reader of the same script.
  void rewind() { burst_ = pos_ = 0; }

  bool exhausted() const { return burst_ >= ends_.size(); }
  // Bytes read so far: the stream offset of the next byte.
  size_t position() const { return pos_; }
  // The whole stream, every burst.
  const uint8_t* data() const { return bytes_.data(); }
  size_t size() const { return bytes_.size(); }

  // One blocking read of up to `n` bytes into `out`; returns how many came.
  VEZ_TEST_NO_COVERAGE size_t read(uint8_t* out, size_t n) {
    if (n == 1 && burst_ < ends_.size() && pos_ != ends_[burst_]) {  // a hunt's read
      *out = bytes_[pos_++];
      return 1;
    }
    size_t got = 0;
    while (got < n && burst_ < ends_.size()) {
      const size_t end = ends_[burst_];
      if (pos_ == end) {  // burst ran dry: the read times out here
        ++burst_;
        return got;
      }
      const size_t take = n - got < end - pos_ ? n - got : end - pos_;
      copy_bytes(out + got, bytes_.data() + pos_, take);
      got += take;
      pos_ += take;
    }
    return got;
  }

 private:
  Pool<uint8_t> bytes_;
  Pool<size_t> ends_;  // stream offset where each burst ends
  size_t burst_ = 0;
  size_t pos_ = 0;
};

struct Delivered {
  uint16_t address;
  uint8_t priority_bit;
  std::vector<uint8_t> payload;
  bool operator==(const Delivered& o) const {
    return address == o.address && priority_bit == o.priority_bit && payload == o.payload;
  }
};

// Where a delivered frame lay in the stream: its first byte and its size.
struct Span {
  size_t offset;
  size_t size;
  bool operator==(const Span& o) const { return offset == o.offset && size == o.size; }
};

// Drives a Deframer over the line until the line is exhausted and nothing is
// kept; a read of an exhausted line times out with nothing, as a silent port
// does.  on_frame(frame, span) is called for each delivered frame.
template <typename OnFrame>
VEZ_TEST_NO_COVERAGE void drive_deframer(LineSim& line, core::Deframer& d, OnFrame&& on_frame) {
  uint8_t buf[core::kMaxFrameSize];
  size_t fed = line.position();
  while (!line.exhausted() || d.kept() != 0) {
    bool done;
    if (d.want() == 0) {
      done = d.resume();
    } else {
      const size_t n = line.read(buf, d.want());
      fed += n;
      done = d.consume(buf, n);
    }
    if (done) {
      const core::Frame& f = d.frame();
      const size_t size = size_t{f.length} + core::kUsbHeaderLength + 1;
      on_frame(f, Span{fed - d.kept() - size, size});
    }
  }
}

inline std::vector<Delivered> run_deframer(LineSim line) {
  core::Deframer d;
  std::vector<Delivered> out;
  drive_deframer(line, d, [&](const core::Frame& f, Span) {
    out.push_back({f.address, f.priority_bit, {f.payload.begin(), f.payload.begin() + f.length}});
  });
  return out;
}

// Bytes a reader has read but handed back, to be read again before the line.
class GivenBack {
 public:
  explicit GivenBack(LineSim& line) : line_(line) {}
  bool empty() const { return head_ == kEnd; }
  size_t size() const { return kEnd - head_; }

  // A read of n bytes: given-back bytes first, then the line.
  VEZ_TEST_NO_COVERAGE size_t read(uint8_t* out, size_t n) {
    if (n == 1 && head_ != kEnd) {  // a hunt's read
      *out = kept_[head_++];
      return 1;
    }
    const size_t from_kept = n < size() ? n : size();
    copy_bytes(out, kept_ + head_, from_kept);
    head_ += from_kept;
    return from_kept + (from_kept < n ? line_.read(out + from_kept, n - from_kept) : 0);
  }

  // Puts bytes back in front of what is kept (they were read before it).
  VEZ_TEST_NO_COVERAGE void give_back(const uint8_t* bytes, size_t n) {
    if (n > head_) std::abort();  // cannot happen: fewer than 64 bytes are ever kept
    head_ -= n;
    copy_bytes(kept_ + head_, bytes, n);
  }

 private:
  static constexpr size_t kEnd = 2 * core::kMaxFrameSize;  // the kept bytes end here
  LineSim& line_;
  uint8_t kept_[kEnd];
  size_t head_ = kEnd;
};

// The receive algorithm written the way a blocking reader states it, as an
// independent reference for the state machine.  Bytes of a rejected frame
// after its first byte are given back to the reader and read again before the
// line, so the hunt for the next start byte goes through them.
// on_frame(span) is called for each frame delivered; the frame is the bytes
// of the stream at the span.
template <typename OnFrame>
VEZ_TEST_NO_COVERAGE void reference_reader(LineSim& line, OnFrame&& on_frame) {
  GivenBack in(line);
  bool in_sync = true;
  while (!line.exhausted() || !in.empty()) {
    uint8_t f[core::kMaxFrameSize];
    size_t header;
    if (in_sync) {
      header = in.read(f, 4);
    } else {
      if (in.read(f, 1) != 1 || f[0] != 0xFE) continue;
      header = 1 + in.read(f + 1, 3);
      in_sync = true;
    }
    if (header != 4 || f[0] != 0xFE || f[3] > 59) {
      in_sync = false;
      if (header > 1) in.give_back(f + 1, header - 1);
      continue;
    }
    const size_t n = f[3];
    const size_t body = in.read(f + 4, n + 1);
    if (body != n + 1 || f[4 + n] != 0xFD) {
      in_sync = false;
      in.give_back(f + 1, 3 + body);
      continue;
    }
    on_frame(Span{line.position() - in.size() - (n + 5), n + 5});
  }
}

inline std::vector<Delivered> run_reference(LineSim line) {
  std::vector<Delivered> out;
  reference_reader(line, [&](Span span) {
    const uint8_t* f = line.data() + span.offset;
    const uint16_t word = static_cast<uint16_t>(f[1] | (f[2] << 8));
    out.push_back({static_cast<uint16_t>(word & 0x3FFF), static_cast<uint8_t>((word >> 15) & 1),
                   {f + 4, f + span.size - 1}});
  });
  return out;
}

}  // namespace vez::testing
