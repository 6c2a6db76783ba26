// Plain numeric fields of C structures, read and written in place.  The
// digital-twin wrapper uses these for the model fields whose C type it knows
// (the ctypes simple types of a structure's field list); everything else goes
// through ctypes.  memcpy keeps packed (unaligned) fields safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vez::core {

enum class FieldKind : uint8_t { f64, f32, boolean, i8, u8, i16, u16, i32, u32, i64, u64 };

// The kind of a field whose ctypes simple type has `type_code` (its _type_:
// 'd', 'f', '?', 'b', 'B', 'h', 'H', 'i', 'I', 'l', 'L', 'q', 'Q') and
// `size` bytes.  False for anything else (char, pointers, long double...).
bool field_kind_for(char type_code, size_t size, FieldKind* kind);

inline bool is_floating(FieldKind k) { return k == FieldKind::f64 || k == FieldKind::f32; }
inline bool is_signed_integer(FieldKind k) {
  return k == FieldKind::i8 || k == FieldKind::i16 || k == FieldKind::i32 || k == FieldKind::i64;
}

// f64 or f32 field as double.
inline double read_floating(FieldKind k, const void* p) {
  if (k == FieldKind::f32) {
    float f;
    std::memcpy(&f, p, sizeof f);
    return f;
  }
  double d;
  std::memcpy(&d, p, sizeof d);
  return d;
}

// f64 or f32 field; an f32 store rounds like a C conversion.
inline void write_floating(FieldKind k, void* p, double value) {
  if (k == FieldKind::f32) {
    const float f = static_cast<float>(value);
    std::memcpy(p, &f, sizeof f);
  } else {
    std::memcpy(p, &value, sizeof value);
  }
}

// Integer or boolean field, sign-extended for signed kinds (a bool is 0 or 1).
int64_t read_signed(FieldKind k, const void* p);
uint64_t read_unsigned(FieldKind k, const void* p);

// Stores the low bits of `bits` (two's complement) into an integer field;
// a boolean field stores 1 for any non-zero value.
void write_integer_bits(FieldKind k, void* p, uint64_t bits);

}  // namespace vez::core
