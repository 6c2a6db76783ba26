// Text held in a data symbol of a loaded shared library (a NUL-terminated
// char array such as a model name).  Reading stops at the first NUL, at the
// caller's limit and, when the dynamic symbol table knows the symbol's size,
// at the end of the symbol: a short or unterminated symbol is never read
// past its end.
#pragma once

#include <cstddef>
#include <string>

namespace vez::core {

// Bytes from `address` to the end of the data symbol that contains it,
// according to the dynamic symbol table of the library that holds it; 0 when
// no sized symbol covers the address (or the platform cannot tell).
size_t symbol_bytes_from(const void* address);

// The bytes at `text` before the first NUL, reading at most `limit` bytes.
std::string bounded_c_text(const char* text, size_t limit);

// bounded_c_text over a library data symbol: `limit`, lowered to the rest of
// the symbol when its size is known.
std::string read_symbol_text(const void* address, size_t limit);

}  // namespace vez::core
