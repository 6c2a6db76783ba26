// Which answer belongs to which request.  The bus carries no request number,
// so an answer is told apart by what it carries: an item read is answered by
// a message carrying exactly the items asked for, a parameter read by one
// carrying exactly the parameters of its batch.  A late answer to an earlier,
// different request therefore never passes for the answer to this one.
//
// Pure, any thread.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>

namespace vez::core {

// A set of one-byte codes (item or parameter codes).
using CodeSet = std::bitset<256>;

inline CodeSet code_set(const uint8_t* codes, size_t count) {
  CodeSet set;
  for (size_t i = 0; i < count; ++i) set.set(codes[i]);
  return set;
}

// True when an answer carrying `answered` answers a request for `requested`.
// Repeated codes count once.  A request for nothing takes any answer that
// carries something (it has nothing to tell answers apart by).
inline bool answers_request(const CodeSet& requested, const CodeSet& answered) {
  return requested.none() ? answered.any() : requested == answered;
}

}  // namespace vez::core
