#include "virtual_parameters.hpp"

namespace vez::core {

const char* virtual_parameter_path(Parameter p) {
  for (const ParameterPath& entry : kVirtualParameterPaths) {
    if (entry.parameter == p) return entry.path;
  }
  return nullptr;
}

}  // namespace vez::core
