// The Python-visible surface of vez_api._twin_backend, one group per file;
// each file registers its own functions or methods, in the order the
// module's assembly calls them.
#pragma once

#include "glue/glue.hpp"
#include "modules/twin_backend/module_state.hpp"

namespace vez::backend {

void add_module_functions();                                // lifecycle.cpp
void add_lifecycle_methods(glue::ClassBuilder& builder);    // lifecycle.cpp
void add_accessor_methods(glue::ClassBuilder& builder);     // accessors.cpp
void add_symbol_methods(glue::ClassBuilder& builder);       // symbols.cpp

}  // namespace vez::backend
