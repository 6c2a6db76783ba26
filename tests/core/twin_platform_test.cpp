#include "core/twin_platform.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace core = vez::core;
using Targets = std::vector<std::string>;

TEST(TwinPlatform, CpuVendor) {
  EXPECT_EQ(core::cpu_vendor_from_cpuinfo("vendor_id\t: AuthenticAMD\n"), core::CpuVendor::amd);
  EXPECT_EQ(core::cpu_vendor_from_cpuinfo("vendor_id\t: GenuineIntel\n"), core::CpuVendor::intel);
  EXPECT_EQ(core::cpu_vendor_from_cpuinfo("GenuineIntel AuthenticAMD"), core::CpuVendor::amd);  // AMD is asked first
  EXPECT_EQ(core::cpu_vendor_from_cpuinfo("CPU implementer : 0x41"), core::CpuVendor::unknown);
  EXPECT_EQ(core::cpu_vendor_from_cpuinfo(""), core::CpuVendor::unknown);
}

TEST(TwinPlatform, PlatformKeys) {
  EXPECT_EQ(core::platform_key("linux", std::string("amd ryzen"), std::nullopt), "linux64_amd");
  EXPECT_EQ(core::platform_key("linux", std::string(""), std::nullopt), "linux64_intel");
  EXPECT_EQ(core::platform_key("linux", std::nullopt, std::nullopt), "linux64_intel");  // asking failed
  EXPECT_EQ(core::platform_key("darwin", std::nullopt, std::string("arm64")), "macos_arm");
  EXPECT_EQ(core::platform_key("darwin", std::nullopt, std::string("x86_64")), "macos_intel");
  EXPECT_EQ(core::platform_key("darwin", std::nullopt, std::nullopt), "macos_intel");
  EXPECT_EQ(core::platform_key("windows", std::nullopt, std::nullopt), "win64");
  EXPECT_EQ(core::platform_key("freebsd", std::nullopt, std::nullopt), "linux64_intel");
}

TEST(TwinPlatform, LinuxTargetsPutTheVendorFirst) {
  EXPECT_EQ(core::artifact_targets("Linux", "x86_64", core::CpuVendor::amd),
            (Targets{"AMD_x8664Linux64", "Intel_x8664Linux64"}));
  EXPECT_EQ(core::artifact_targets("Linux", "x86_64", core::CpuVendor::intel),
            (Targets{"Intel_x8664Linux64", "AMD_x8664Linux64"}));
  EXPECT_EQ(core::artifact_targets("Linux", "x86_64", core::CpuVendor::unknown),
            (Targets{"Intel_x8664Linux64", "AMD_x8664Linux64"}));
  EXPECT_EQ(core::artifact_targets("Linux", "aarch64", core::CpuVendor::amd), (Targets{"ARMCompatible_ARM64bitLP64"}));
  EXPECT_EQ(core::artifact_targets("Linux", "armv7l", core::CpuVendor::unknown), (Targets{"ARMCompatible_ARM64bitLP64"}));
}

TEST(TwinPlatform, OtherSystems) {
  EXPECT_EQ(core::artifact_targets("Darwin", "arm64", core::CpuVendor::unknown), (Targets{"Apple_ARM64"}));
  EXPECT_EQ(core::artifact_targets("Darwin", "x86_64", core::CpuVendor::intel), (Targets{"Intel_x8664macOS"}));
  EXPECT_EQ(core::artifact_targets("Windows", "amd64", core::CpuVendor::unknown),
            (Targets{"Intel_x8664Windows64", "AMD_x8664Windows64"}));
  EXPECT_EQ(core::artifact_targets("Windows", "arm64", core::CpuVendor::unknown), (Targets{"ARMCompatible_ARM64bitLP64"}));
  EXPECT_TRUE(core::artifact_targets("Java", "x86_64", core::CpuVendor::unknown).empty());
  EXPECT_TRUE(core::artifact_targets("linux", "x86_64", core::CpuVendor::unknown).empty());  // names as reported
}
