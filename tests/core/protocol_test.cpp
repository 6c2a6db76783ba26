#include "core/protocol.hpp"

#include <gtest/gtest.h>

namespace core = vez::core;

TEST(Protocol, AddressRanges) {
  EXPECT_TRUE(core::is_valid_vez_address(0));
  EXPECT_TRUE(core::is_valid_vez_address(16382));
  EXPECT_FALSE(core::is_valid_vez_address(16383));
  EXPECT_FALSE(core::is_valid_vez_address(-1));
  EXPECT_FALSE(core::is_valid_actuator_address(0));
  EXPECT_FALSE(core::is_valid_actuator_address(15));
  EXPECT_TRUE(core::is_valid_actuator_address(16));
  EXPECT_TRUE(core::is_valid_actuator_address(16382));
  EXPECT_FALSE(core::is_valid_actuator_address(16383));
}

TEST(Protocol, PayloadLengths) {
  EXPECT_FALSE(core::is_valid_payload_length(0));
  EXPECT_TRUE(core::is_valid_payload_length(1));
  EXPECT_TRUE(core::is_valid_payload_length(59));
  EXPECT_FALSE(core::is_valid_payload_length(60));
  EXPECT_EQ(core::kUsbMaxPayloadSize, 59);
}

TEST(Protocol, AddressFlagsWord) {
  EXPECT_EQ(core::build_usb_address_flags(16, true, false), 0x0010);
  EXPECT_EQ(core::build_usb_address_flags(16, false, false), 0x8010);
  EXPECT_EQ(core::build_usb_address_flags(16, false, true), 0xC010);
  EXPECT_EQ(core::build_usb_address_flags(16, true, true), 0x4010);
  // Bit 14 of the address is masked off before the flags go in.
  EXPECT_EQ(core::build_usb_address_flags(0x4010, true, false), 0x0010);
  // The low bits of a negative number, as a Python mask would see them.
  EXPECT_EQ(core::build_usb_address_flags(static_cast<uint64_t>(-1), true, false), 0x3FFF);
}

TEST(Protocol, ParseIsInverseOfBuildForEveryAddress) {
  for (int a = core::kAddressMin; a <= core::kAddressMax; ++a) {
    const auto f = core::parse_usb_address_flags(core::build_usb_address_flags(a, true, false));
    ASSERT_EQ(f.address, a);
    ASSERT_EQ(f.priority_bit, 0);
    ASSERT_EQ(f.can_high_speed_bit, 0);
  }
  const auto f = core::parse_usb_address_flags(0xC010);
  EXPECT_EQ(f.address, 16);
  EXPECT_EQ(f.priority_bit, 1);
  EXPECT_EQ(f.can_high_speed_bit, 1);
}

TEST(Protocol, Identifier) {
  EXPECT_EQ(core::build_ruz_identifier(1, 32), 16416u);
  EXPECT_EQ(core::build_ruz_identifier(0x3FFF, 0x3FFF), 0x0FFFFFFFu);
  // Out-of-range addresses are masked, never rejected.
  EXPECT_EQ(core::build_ruz_identifier(0x4001, 0x4002), (1u << 14) | 2u);
}
