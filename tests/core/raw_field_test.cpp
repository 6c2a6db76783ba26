#include "core/raw_field.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

namespace core = vez::core;

TEST(RawField, KindsFromCtypesCodes) {
  core::FieldKind k;
  ASSERT_TRUE(core::field_kind_for('d', 8, &k));
  EXPECT_EQ(k, core::FieldKind::f64);
  ASSERT_TRUE(core::field_kind_for('f', 4, &k));
  EXPECT_EQ(k, core::FieldKind::f32);
  ASSERT_TRUE(core::field_kind_for('?', 1, &k));
  EXPECT_EQ(k, core::FieldKind::boolean);
  ASSERT_TRUE(core::field_kind_for('l', 8, &k));
  EXPECT_EQ(k, core::FieldKind::i64);
  ASSERT_TRUE(core::field_kind_for('l', 4, &k));  // long on LLP64 platforms
  EXPECT_EQ(k, core::FieldKind::i32);
  ASSERT_TRUE(core::field_kind_for('H', 2, &k));
  EXPECT_EQ(k, core::FieldKind::u16);
  EXPECT_FALSE(core::field_kind_for('d', 4, &k));  // a bit field or odd layout: not ours
  EXPECT_FALSE(core::field_kind_for('c', 1, &k));  // char
  EXPECT_FALSE(core::field_kind_for('g', 16, &k));  // long double
  EXPECT_FALSE(core::field_kind_for('P', 8, &k));  // pointer
}

TEST(RawField, UnalignedFloatingRoundTrip) {
  unsigned char buffer[16] = {};
  core::write_floating(core::FieldKind::f64, buffer + 1, 1.25);
  EXPECT_EQ(core::read_floating(core::FieldKind::f64, buffer + 1), 1.25);
  core::write_floating(core::FieldKind::f32, buffer + 3, 0.1);
  EXPECT_EQ(core::read_floating(core::FieldKind::f32, buffer + 3), static_cast<double>(0.1f));
}

TEST(RawField, IntegersKeepTheLowBits) {
  unsigned char buffer[8] = {};
  core::write_integer_bits(core::FieldKind::i8, buffer, static_cast<uint64_t>(-1));
  EXPECT_EQ(core::read_signed(core::FieldKind::i8, buffer), -1);
  EXPECT_EQ(buffer[1], 0);  // nothing beyond the field
  core::write_integer_bits(core::FieldKind::u16, buffer, 0x12345);
  EXPECT_EQ(core::read_unsigned(core::FieldKind::u16, buffer), 0x2345u);
  core::write_integer_bits(core::FieldKind::i32, buffer, 0x80000000u);
  EXPECT_EQ(core::read_signed(core::FieldKind::i32, buffer), INT32_MIN);
  core::write_integer_bits(core::FieldKind::u64, buffer, UINT64_MAX);
  EXPECT_EQ(core::read_unsigned(core::FieldKind::u64, buffer), UINT64_MAX);
}

TEST(RawField, BooleanStoresZeroOrOne) {
  unsigned char byte = 0x55;
  core::write_integer_bits(core::FieldKind::boolean, &byte, 0x100);  // low byte zero, value non-zero
  EXPECT_EQ(byte, 1);
  core::write_integer_bits(core::FieldKind::boolean, &byte, 0);
  EXPECT_EQ(byte, 0);
}
