// Platform facts for finding digital-twin artifacts: the processor vendor
// from /proc/cpuinfo, the platform key of the actuator library file and the
// artifact targets (processor and OS tags in artifact file names) to try on
// a platform, best first.  Pure functions over the descriptions the caller
// obtained from the operating system.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vez::core {

enum class CpuVendor { unknown, amd, intel };

// "AuthenticAMD" anywhere gives amd, else "GenuineIntel" anywhere gives intel.
CpuVendor cpu_vendor_from_cpuinfo(std::string_view cpuinfo);

// Key of an entry's per-platform section: "win64", "linux64_amd",
// "linux64_intel", "macos_arm" or "macos_intel".  `system_lower` is the OS
// name in lower case; the processor (Linux) and machine (macOS) descriptions
// are lower case, nullopt when asking for them failed.
std::string platform_key(std::string_view system_lower, const std::optional<std::string>& processor_lower,
                         const std::optional<std::string>& machine_lower);

// Artifact targets for the OS name as reported ("Linux", "Darwin",
// "Windows") and the machine name in lower case, best first; empty when the
// OS is not supported.
std::vector<std::string> artifact_targets(std::string_view system, std::string_view machine_lower, CpuVendor vendor);

}  // namespace vez::core
