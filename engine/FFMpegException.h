#pragma once

#include <stdexcept>
#include <string>

namespace engine {

// The engine's one exception: a fixed English message, caught at the task boundary.
class FFMpegException : public std::runtime_error {
 public:
  explicit FFMpegException(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace engine
