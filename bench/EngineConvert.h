#pragma once

#include <string>

namespace bench {

// Converts `source` to an AVI at `target` through the engine with the application's parameters.
// Returns an empty string on success, else the engine's message.
std::string ConvertWithEngine(const std::string& libDir, const std::string& source,
                              const std::string& target);

}  // namespace bench
