#include "validation_summary.hpp"

namespace vez::core {

std::string summarize_validation_details(const std::vector<std::string>& details, const std::string& source) {
  if (details.empty()) return "Invalid " + source;
  std::string out;
  const size_t shown = details.size() < kMaxValidationDetails ? details.size() : kMaxValidationDetails;
  for (size_t i = 0; i < shown; ++i) {
    if (i != 0) out += "; ";
    out += details[i];
  }
  if (details.size() > shown) out += "; ... (+" + std::to_string(details.size() - shown) + " more)";
  return out;
}

}  // namespace vez::core
