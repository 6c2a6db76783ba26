#include "core/actuator_records.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace core = vez::core;
using core::ScanEnd;

namespace {

struct Scanned {
  core::RecordScan scan;
  std::vector<core::ItemRecord> items;
};

Scanned scan(const std::vector<uint8_t>& payload) {
  Scanned out;
  out.scan = core::scan_records(payload.data(), payload.size(),
                                [&](const core::ItemRecord& r) { out.items.push_back(r); });
  return out;
}

}  // namespace

TEST(RecordScan, ItemsThenPadding) {
  // SPEED_FB = 1.0f, TORQUE_SENS_RAW = -1, then CAN FD padding.
  const auto s = scan({0x45, 0x00, 0x00, 0x80, 0x3F,  //
                       0x4A, 0xFF, 0xFF, 0xFF, 0xFF,  //
                       0x00, 0x00});
  EXPECT_EQ(s.scan.end, ScanEnd::kEndOfRecords);
  ASSERT_EQ(s.items.size(), 2u);
  EXPECT_EQ(s.items[0].code, 0x45);
  EXPECT_EQ(s.items[0].raw, 0x3F800000u);
  EXPECT_EQ(core::decode_value(s.items[0].type, s.items[0].raw).as_double, 1.0);
  const auto torque_raw = core::decode_value(s.items[1].type, s.items[1].raw);
  EXPECT_EQ(torque_raw.kind, core::DecodedValue::Kind::kSigned);
  EXPECT_EQ(torque_raw.as_signed, -1);
}

TEST(RecordScan, UnsignedItems) {
  const auto s = scan({99, 0xFF, 0xFF, 0xFF, 0xFF});  // ERROR_BITS
  ASSERT_EQ(s.items.size(), 1u);
  const auto v = core::decode_value(s.items[0].type, s.items[0].raw);
  EXPECT_EQ(v.kind, core::DecodedValue::Kind::kUnsigned);
  EXPECT_EQ(v.as_unsigned, 4294967295u);
}

TEST(RecordScan, EmptyAndZeroOnly) {
  EXPECT_EQ(scan({}).scan.end, ScanEnd::kEndOfRecords);
  const auto zero = scan({0x00, 0x45, 1, 2, 3, 4});
  EXPECT_EQ(zero.scan.end, ScanEnd::kEndOfRecords);
  EXPECT_TRUE(zero.items.empty());
}

TEST(RecordScan, BeaconEndsTheMessage) {
  const auto s = scan({0x45, 0, 0, 0, 0, 0x80, 0x01, 0x00, 0x41, 0x08, 0x45, 0, 0, 0, 0});
  EXPECT_EQ(s.scan.end, ScanEnd::kBeacon);
  EXPECT_EQ(s.scan.offset, 5u);
  EXPECT_EQ(s.scan.model_index, 1);
  EXPECT_EQ(s.scan.packed_version, 0x0841);
  EXPECT_EQ(s.scan.item_count, 1u);
}

TEST(RecordScan, ParametersTakeTheRest) {
  const auto s = scan({0x83, 0x30, 0, 0, 0xA0, 0x40});
  EXPECT_EQ(s.scan.end, ScanEnd::kParameters);
  EXPECT_EQ(s.scan.rest_offset, 1u);
  // A bare PARAMETERS code is still a (empty) parameter answer, not a truncation.
  EXPECT_EQ(scan({0x83}).scan.end, ScanEnd::kParameters);
}

TEST(RecordScan, ErrorField) {
  const auto s = scan({0x82, 0x01, 0x00, 0x00, 0x80});
  EXPECT_EQ(s.scan.end, ScanEnd::kErrors);
  EXPECT_EQ(s.scan.error_field, 0x80000001u);
}

TEST(RecordScan, UnknownCodeEndsTheScan) {
  const auto s = scan({0x45, 0, 0, 0, 0, 0x7F, 0x45});
  EXPECT_EQ(s.scan.end, ScanEnd::kUnknownCode);
  EXPECT_EQ(s.scan.code, 0x7F);
  EXPECT_EQ(s.scan.offset, 5u);
  // 78 lies between item codes but is none; 0x81 lies between the other codes.
  EXPECT_EQ(scan({78}).scan.end, ScanEnd::kUnknownCode);
  EXPECT_EQ(scan({0x81, 0, 0, 0, 0}).scan.end, ScanEnd::kUnknownCode);
}

TEST(RecordScan, TruncatedRecordsAreReportedNotRead) {
  for (uint8_t code : {uint8_t{0x45}, uint8_t{0x80}, uint8_t{0x82}}) {
    for (size_t have = 0; have < 4; ++have) {
      std::vector<uint8_t> payload{0x46, 1, 2, 3, 4, code};
      payload.resize(payload.size() + have, 0xAA);
      // Exact-size heap copy so that AddressSanitizer sees any read past the end.
      const auto s = scan(payload);
      EXPECT_EQ(s.scan.end, ScanEnd::kTruncated) << int(code) << " " << have;
      EXPECT_EQ(s.scan.code, code);
      EXPECT_EQ(s.scan.offset, 5u);
      EXPECT_EQ(s.scan.available, have);
    }
  }
}

TEST(ParameterEntries, FiveByteEntries) {
  // MODE = 2.0f, SERIAL_NUMBER = 1, then one stray byte.
  const std::vector<uint8_t> data{0x30, 0x00, 0x00, 0x00, 0x40, 0x82, 0x01, 0x00, 0x00, 0x00, 0x07};
  const auto entries = core::parse_parameter_entries(data.data(), data.size());
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].code, 0x30);
  EXPECT_EQ(entries[0].type, core::ValueType::kMode);
  EXPECT_EQ(core::decode_value(entries[0].type, entries[0].raw).as_double, 2.0);
  EXPECT_EQ(entries[1].type, core::ValueType::kUint32);
  EXPECT_EQ(core::decode_value(entries[1].type, entries[1].raw).as_unsigned, 1u);
}

TEST(ParameterEntries, StopAtZeroPadding) {
  // Five floats answered in a 32-byte CAN FD frame: 1 + 25 bytes, then six
  // zeros, one of them a whole zero entry.
  const uint8_t one[] = {0x00, 0x00, 0x80, 0x3F};  // 1.0f
  std::vector<uint8_t> data(31, 0x00);
  for (size_t k = 0; k < 5; ++k) {
    data[5 * k] = static_cast<uint8_t>(k + 1);
    std::copy(one, one + 4, data.begin() + 5 * k + 1);
  }
  const auto entries = core::parse_parameter_entries(data.data(), data.size());
  ASSERT_EQ(entries.size(), 5u);
  EXPECT_EQ(entries[4].code, 5);
}

TEST(ParameterEntries, UnknownCodesAreReportedAsSuch) {
  const std::vector<uint8_t> data{0x10, 1, 2, 3, 4};
  const auto entries = core::parse_parameter_entries(data.data(), data.size());
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].type, core::ValueType::kNone);
  EXPECT_TRUE(core::parse_parameter_entries(data.data(), 4).empty());
  EXPECT_TRUE(core::parse_parameter_entries(nullptr, 0).empty());
}

TEST(ModeFromFloat, TruncatesAndRejectsNonModes) {
  uint8_t mode = 0;
  EXPECT_TRUE(core::mode_from_float(2.0, &mode));
  EXPECT_EQ(mode, 2);
  EXPECT_TRUE(core::mode_from_float(8.9, &mode));
  EXPECT_EQ(mode, 8);
  for (double bad : {0.0, 1.0, 9.0, -5.0, 1e30, -1e30, double(INFINITY), -double(INFINITY), double(NAN)}) {
    EXPECT_FALSE(core::mode_from_float(bad, &mode)) << bad;
  }
}
