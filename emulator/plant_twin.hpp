// The motion of an emulated actuator, computed by the reference twin model.
#pragma once

#include <memory>
#include <string>

#include "nodes.hpp"

namespace vez::emulator {

// Throws std::invalid_argument for a model the twin does not know.
std::unique_ptr<Plant> make_twin_plant(const std::string& model_name);

}  // namespace vez::emulator
