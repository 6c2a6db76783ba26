#include "core/symbol_text.hpp"

#include <gtest/gtest.h>

// A 4-byte exported symbol without a NUL, lying at the start of 16 bytes of
// other text (the storage itself is hidden, so only the short symbol is in
// the dynamic table).  The executable is linked with --export-dynamic.
extern "C" {
__attribute__((visibility("hidden"), used)) char short_symbol_storage[16] = "ABCDEFGHIJKLMNO";
__attribute__((visibility("default"))) char vez_test_model_name[32] = "ORBIT\0tail";
}
asm(".globl vez_test_short_text\n"
    ".type vez_test_short_text, @object\n"
    ".set vez_test_short_text, short_symbol_storage\n"
    ".size vez_test_short_text, 4\n");
extern "C" char vez_test_short_text[];


namespace core = vez::core;

TEST(SymbolText, StopsAtTheFirstNul) {
  EXPECT_EQ(core::read_symbol_text(vez_test_model_name, 1024), "ORBIT");
  EXPECT_EQ(core::bounded_c_text("abc\0def", 10), "abc");
}

TEST(SymbolText, NeverReadsPastTheSymbol) {
  EXPECT_EQ(core::symbol_bytes_from(vez_test_short_text), 4u);
  EXPECT_EQ(core::symbol_bytes_from(vez_test_short_text + 1), 3u);
  EXPECT_EQ(core::read_symbol_text(vez_test_short_text, 1024), "ABCD");
  EXPECT_EQ(core::read_symbol_text(vez_test_short_text, 2), "AB");  // the caller's limit still applies
}

TEST(SymbolText, UnknownAddressesUseTheLimit) {
  char local[6] = {'x', 'y', 'z', 'w', 'v', 'u'};  // on the stack: no symbol
  EXPECT_EQ(core::symbol_bytes_from(local), 0u);
  EXPECT_EQ(core::read_symbol_text(local, 3), "xyz");
}
