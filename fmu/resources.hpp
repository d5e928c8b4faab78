// An instance made from an FMU's resources folder: the model's document and the exporter's
// settings.
#pragma once

#include <memory>
#include <string>

#include "instance.hpp"

namespace zarel::fmu {

enum class Interface { ModelExchange, CoSimulation };

// The instance the resources in `folder` (ending in '/') describe, once `token` is their GUID (FMI
// 2's name for it, FMI 3's the instantiation token: `token_name`) and the FMU was exported with
// `interface`.
Result<std::unique_ptr<Instance>> load_resources(const std::string& folder, const char* token, const char* token_name,
                                                 Interface interface);

}  // namespace zarel::fmu
