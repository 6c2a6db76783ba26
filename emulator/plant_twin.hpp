// The motion of an emulated actuator, computed by the reference twin model.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "nodes.hpp"

namespace vez::emulator {

// How an emulated actuator's model runs: the realistic plant (the default)
// with its sensor noise seeded per actuator, or the ideal one.
struct TwinSettings {
  bool ideal = false;
  uint64_t seed = 1;  // mixed with the address, so actuators differ and runs repeat
  uint16_t address = 0x10;
};

// Throws std::invalid_argument for a model the twin does not know.
std::unique_ptr<Plant> make_twin_plant(const std::string& model_name, const TwinSettings& settings = {});

}  // namespace vez::emulator
