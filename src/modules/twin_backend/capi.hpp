// The table behind the capsule `_C_API` of vez_api._twin_backend.
#pragma once

#include "modules/_twin_backend_capi.hpp"

namespace vez::backend {

namespace capi = vez::twin_backend;

// Constant; lives as long as the module's code.
extern const capi::CApi capi_table;

}  // namespace vez::backend
