// An instance made from an FMU's resources folder (the model's document and the exporter's
// settings), and its return to the start values.
#pragma once

#include <memory>
#include <string>

#include "instance.hpp"

namespace zarel::fmu {

enum class Interface { ModelExchange, CoSimulation };

// The instance the resources in `folder` (ending in '/') describe, once `token` is their GUID and
// the FMU was exported with `interface`.
Result<std::unique_ptr<Instance>> load_resources(const std::string& folder, const char* token, Interface interface);

// The values an instance starts with: the states' start values, zero inputs, the model's parameters,
// the exported tolerance and t = 0.
void reset_values(Instance& inst);

}  // namespace zarel::fmu
