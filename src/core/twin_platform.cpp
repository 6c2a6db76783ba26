#include "twin_platform.hpp"

#include <algorithm>

namespace vez::core {

namespace {

bool contains(std::string_view haystack, std::string_view needle) {
  return haystack.find(needle) != std::string_view::npos;
}

// The vendor's own target first, then the other of the pair.
std::vector<std::string> vendor_first(CpuVendor vendor, const char* intel, const char* amd) {
  std::vector<std::string> targets;
  if (vendor == CpuVendor::intel) targets.emplace_back(intel);
  if (vendor == CpuVendor::amd) targets.emplace_back(amd);
  for (const char* t : {intel, amd}) {
    if (std::find(targets.begin(), targets.end(), t) == targets.end()) targets.emplace_back(t);
  }
  return targets;
}

}  // namespace

CpuVendor cpu_vendor_from_cpuinfo(std::string_view cpuinfo) {
  if (contains(cpuinfo, "AuthenticAMD")) return CpuVendor::amd;
  if (contains(cpuinfo, "GenuineIntel")) return CpuVendor::intel;
  return CpuVendor::unknown;
}

std::string platform_key(std::string_view system_lower, const std::optional<std::string>& processor_lower,
                         const std::optional<std::string>& machine_lower) {
  if (system_lower == "linux") {
    return processor_lower && contains(*processor_lower, "amd") ? "linux64_amd" : "linux64_intel";
  }
  if (system_lower == "darwin") return machine_lower && *machine_lower == "arm64" ? "macos_arm" : "macos_intel";
  if (system_lower == "windows") return "win64";
  return "linux64_intel";
}

std::vector<std::string> artifact_targets(std::string_view system, std::string_view machine_lower, CpuVendor vendor) {
  if (system == "Linux") {
    if (contains(machine_lower, "arm") || contains(machine_lower, "aarch64")) return {"ARMCompatible_ARM64bitLP64"};
    return vendor_first(vendor, "Intel_x8664Linux64", "AMD_x8664Linux64");
  }
  if (system == "Darwin") return {machine_lower == "arm64" ? "Apple_ARM64" : "Intel_x8664macOS"};
  if (system == "Windows") {
    if (contains(machine_lower, "arm")) return {"ARMCompatible_ARM64bitLP64"};
    return vendor_first(vendor, "Intel_x8664Windows64", "AMD_x8664Windows64");
  }
  return {};
}

}  // namespace vez::core
