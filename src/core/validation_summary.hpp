// One line out of the detail records of a failed validation: at most five
// details joined with "; ", then "; ... (+N more)" for the rest, or
// "Invalid <source>" when there are none.
#pragma once

#include <string>
#include <vector>

namespace vez::core {

inline constexpr size_t kMaxValidationDetails = 5;

std::string summarize_validation_details(const std::vector<std::string>& details, const std::string& source);

}  // namespace vez::core
