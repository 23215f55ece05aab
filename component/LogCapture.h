// Capture of the codec libraries' log output: level filter, context prefix, per-thread joining
// of partial lines, and delivery of whole lines to every live receiver.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

namespace component {

// Something that takes whole library log lines; the live components are such receivers.
class TLogReceiver {
 public:
  virtual ~TLogReceiver() = default;
  // One line without its line feed, logged on thread `threadId` at the library's `level`. A
  // receiver is not called any more once RemoveReceiver has returned.
  virtual void ReceiveLibraryLine(uint32_t threadId, int level, const std::string& line) = 0;
};

namespace logcapture {

// Room for prefix or pending text plus the formatted message; longer text is cut, never overrun.
constexpr size_t kLineBufferSize = 2048;

// The process-wide list of live receivers.
void AddReceiver(TLogReceiver* receiver);
void RemoveReceiver(TLogReceiver* receiver);

// Drops every thread's unfinished line.
void ClearPendingLines();

// The callback handed to av_log_set_callback.
void LibraryLogCallback(void* context, int level, const char* format, va_list args);

// OS id of the calling thread (gettid).
uint32_t CurrentThreadId();

// Library level back onto the engine's scale: -1 quiet, 0 errors and warnings, 1 information,
// 2 debug, 3 everything finer.
int LibraryToEngineLevel(int libraryLevel);

}  // namespace logcapture
}  // namespace component
