// printf-style text for the transcode's messages (internal to the engine's transcode files).
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

namespace engine {

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
inline std::string Format(const char* format, ...) {
  char buffer[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return buffer;
}

}  // namespace engine
