#include "raw_field.hpp"

namespace vez::core {

bool field_kind_for(char type_code, size_t size, FieldKind* kind) {
  auto pick = [&](FieldKind k, size_t expected) {
    if (size != expected) return false;
    *kind = k;
    return true;
  };
  switch (type_code) {
    case 'd': return pick(FieldKind::f64, 8);
    case 'f': return pick(FieldKind::f32, 4);
    case '?': return pick(FieldKind::boolean, 1);
    case 'b': return pick(FieldKind::i8, 1);
    case 'B': return pick(FieldKind::u8, 1);
    case 'h': return pick(FieldKind::i16, 2);
    case 'H': return pick(FieldKind::u16, 2);
    case 'i':
    case 'l':
    case 'q':
      return size == 4 ? pick(FieldKind::i32, 4) : pick(FieldKind::i64, 8);
    case 'I':
    case 'L':
    case 'Q':
      return size == 4 ? pick(FieldKind::u32, 4) : pick(FieldKind::u64, 8);
    default:
      return false;
  }
}

namespace {
template <typename T>
T load(const void* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
template <typename T>
void store(void* p, T v) {
  std::memcpy(p, &v, sizeof v);
}
}  // namespace

int64_t read_signed(FieldKind k, const void* p) {
  switch (k) {
    case FieldKind::boolean: return load<uint8_t>(p) != 0;
    case FieldKind::i8: return load<int8_t>(p);
    case FieldKind::u8: return load<uint8_t>(p);
    case FieldKind::i16: return load<int16_t>(p);
    case FieldKind::u16: return load<uint16_t>(p);
    case FieldKind::i32: return load<int32_t>(p);
    case FieldKind::u32: return load<uint32_t>(p);
    case FieldKind::i64: return load<int64_t>(p);
    case FieldKind::u64: return static_cast<int64_t>(load<uint64_t>(p));
    default: return 0;
  }
}

uint64_t read_unsigned(FieldKind k, const void* p) {
  switch (k) {
    case FieldKind::u8: return load<uint8_t>(p);
    case FieldKind::u16: return load<uint16_t>(p);
    case FieldKind::u32: return load<uint32_t>(p);
    case FieldKind::u64: return load<uint64_t>(p);
    default: return static_cast<uint64_t>(read_signed(k, p));
  }
}

void write_integer_bits(FieldKind k, void* p, uint64_t bits) {
  switch (k) {
    case FieldKind::boolean: store<uint8_t>(p, bits != 0 ? 1 : 0); break;
    case FieldKind::i8:
    case FieldKind::u8: store(p, static_cast<uint8_t>(bits)); break;
    case FieldKind::i16:
    case FieldKind::u16: store(p, static_cast<uint16_t>(bits)); break;
    case FieldKind::i32:
    case FieldKind::u32: store(p, static_cast<uint32_t>(bits)); break;
    case FieldKind::i64:
    case FieldKind::u64: store(p, bits); break;
    default: break;
  }
}

}  // namespace vez::core
