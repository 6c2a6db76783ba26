// Fuzz target for the record scanner of received actuator payloads.  Any
// bytes: the scan must never read past the end, must agree with a plain
// bounds-checked walk of the same rules, and must report a record whose value
// bytes are cut off as truncated.  A parameter answer found in the payload is
// handed on to the parameter parser, as the receive routine does.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "core/actuator_records.hpp"

namespace core = vez::core;

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

// The rules written out once more, on a vector with checked access.
core::ScanEnd reference_scan(const std::vector<uint8_t>& p, std::vector<uint8_t>* item_codes) {
  size_t i = 0;
  while (i < p.size()) {
    const uint8_t code = p.at(i);
    if (code == 0) return core::ScanEnd::kEndOfRecords;
    if (code == 0x83) return core::ScanEnd::kParameters;
    const bool known = code == 0x80 || code == 0x82 || core::item_value_type(code) != core::ValueType::kNone;
    if (!known) return core::ScanEnd::kUnknownCode;
    if (i + 5 > p.size()) return core::ScanEnd::kTruncated;
    if (code == 0x80) return core::ScanEnd::kBeacon;
    if (code == 0x82) return core::ScanEnd::kErrors;
    item_codes->push_back(code);
    i += 5;
  }
  return core::ScanEnd::kEndOfRecords;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size heap copy, so that AddressSanitizer catches a read past the end.
  std::vector<uint8_t> payload(data, data + size);
  std::vector<uint8_t> seen;
  const core::RecordScan scan = core::scan_records(payload.data(), payload.size(), [&](const core::ItemRecord& r) {
    check(core::item_value_type(r.code) == r.type && r.type != core::ValueType::kNone);
    const core::DecodedValue v = core::decode_value(r.type, r.raw);
    check(v.as_unsigned == r.raw);
    seen.push_back(r.code);
  });

  std::vector<uint8_t> expected;
  check(scan.end == reference_scan(payload, &expected));
  check(seen == expected);
  check(scan.item_count == seen.size());

  switch (scan.end) {
    case core::ScanEnd::kTruncated:
      check(scan.offset + 1 + scan.available == size && scan.available < core::kRecordValueSize);
      break;
    case core::ScanEnd::kParameters: {
      check(scan.rest_offset == scan.offset + 1 && scan.rest_offset <= size);
      const auto entries = core::parse_parameter_entries(payload.data() + scan.rest_offset, size - scan.rest_offset);
      check(entries.size() <= (size - scan.rest_offset) / 5);
      break;
    }
    case core::ScanEnd::kBeacon:
    case core::ScanEnd::kErrors:
    case core::ScanEnd::kUnknownCode:
      check(scan.offset < size && payload[scan.offset] == scan.code);
      break;
    case core::ScanEnd::kEndOfRecords:
      check(scan.offset == size || payload[scan.offset] == 0);
      break;
  }
  return 0;
}
