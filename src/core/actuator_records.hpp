// Reading what an actuator sends: the records of a received payload, the
// value of a feedback item, and the entries of a parameter answer.
//
// A payload is a run of records, each opened by a code byte:
//   0                  end of records (the rest is padding)
//   BEACON   + 4 bytes ping answer: u16 model index, u16 packed version; ends the message
//   PARAMETERS + rest  parameter answer (parse_parameter_entries); ends the message
//   ERRORS   + 4 bytes u32 error field; ends the message
//   item code + 4 bytes one feedback item value; the scan goes on after it
//   anything else      unrecognised; ends the message
//
// These functions read untrusted bytes: they never read past `size`, and a
// record whose value bytes are cut off by the end of the payload is reported
// as truncated instead of being read.  Pure, no state, any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "actuator_protocol.hpp"

namespace vez::core {

// Bytes that follow a code byte in every fixed-size record.
inline constexpr size_t kRecordValueSize = 4;

inline uint32_t read_u32_le(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
inline uint16_t read_u16_le(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

// One value as read from its 4 bytes.
struct DecodedValue {
  enum class Kind : uint8_t { kDouble, kUnsigned, kSigned } kind;
  double as_double;
  uint32_t as_unsigned;
  int32_t as_signed;
};
// kFloat32 and kMode give a double (the float widened), kUint32 an unsigned
// and kInt32 a signed integer.
DecodedValue decode_value(ValueType type, uint32_t raw);

struct ItemRecord {
  uint8_t code;
  ValueType type;
  uint32_t raw;  // the 4 value bytes, little-endian
};

enum class ScanEnd : uint8_t {
  kEndOfRecords,  // end of the payload or a 0 code byte: the items stand
  kBeacon,        // ping answer
  kParameters,    // parameter answer from `rest_offset` to the end
  kErrors,        // error field
  kUnknownCode,   // `code` is no known record
  kTruncated,     // record `code` at `offset` has only `available` value bytes
};

struct RecordScan {
  ScanEnd end = ScanEnd::kEndOfRecords;
  uint8_t code = 0;       // code byte of the record that ended the scan (not kEndOfRecords)
  size_t offset = 0;      // index of that code byte
  size_t rest_offset = 0; // kParameters: index of the first byte after the code
  size_t available = 0;   // kTruncated: value bytes present
  uint16_t model_index = 0;     // kBeacon
  uint16_t packed_version = 0;  // kBeacon
  uint32_t error_field = 0;     // kErrors
  size_t item_count = 0;        // item records seen before the end
};

// Walks the records of `data[0..size)`, calling on_item(const ItemRecord&) for
// each item record in order, and returns how the scan ended.  Items reported
// before a kBeacon/kParameters/kErrors/kUnknownCode/kTruncated end belong to a
// message that the caller drops.
template <typename OnItem>
RecordScan scan_records(const uint8_t* data, size_t size, OnItem&& on_item) {
  RecordScan scan;
  size_t i = 0;
  while (i < size) {
    const uint8_t code = data[i];
    if (code == 0) break;
    scan.code = code;
    scan.offset = i;
    const size_t available = size - i - 1;
    if (code == static_cast<uint8_t>(OtherCode::PARAMETERS)) {
      scan.end = ScanEnd::kParameters;
      scan.rest_offset = i + 1;
      return scan;
    }
    const bool is_beacon = code == static_cast<uint8_t>(OtherCode::BEACON);
    const bool is_errors = code == static_cast<uint8_t>(OtherCode::ERRORS);
    const ValueType item_type = item_value_type(code);
    if (!is_beacon && !is_errors && item_type == ValueType::kNone) {
      scan.end = ScanEnd::kUnknownCode;
      return scan;
    }
    if (available < kRecordValueSize) {
      scan.end = ScanEnd::kTruncated;
      scan.available = available;
      return scan;
    }
    const uint8_t* value = data + i + 1;
    if (is_beacon) {
      scan.end = ScanEnd::kBeacon;
      scan.model_index = read_u16_le(value);
      scan.packed_version = read_u16_le(value + 2);
      return scan;
    }
    if (is_errors) {
      scan.end = ScanEnd::kErrors;
      scan.error_field = read_u32_le(value);
      return scan;
    }
    on_item(ItemRecord{code, item_type, read_u32_le(value)});
    ++scan.item_count;
    i += 1 + kRecordValueSize;
  }
  scan.end = ScanEnd::kEndOfRecords;
  scan.code = 0;
  scan.offset = i;
  return scan;
}

// One 5-byte entry of a parameter answer.
struct ParameterEntry {
  uint8_t code;
  ValueType type;  // kNone when the code is no parameter
  uint32_t raw;
};

// The complete 5-byte entries of a parameter answer (the bytes after the
// PARAMETERS code), in order.  The walk stops at a 0 code byte: adapters pad
// CAN FD payloads with zeros up to the next data length, which can leave
// whole zero "entries" at the end.  A trailing incomplete entry is ignored.
std::vector<ParameterEntry> parse_parameter_entries(const uint8_t* data, size_t size);

// The Mode value a MODE parameter's float stands for: the float truncated
// towards zero, when that is a Mode value; false for anything else
// (including infinities and NaN).
bool mode_from_float(double value, uint8_t* mode);

}  // namespace vez::core
