#include "LogCapture.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <condition_variable>
#include <vector>

#include "LibrarySet.h"
#include "ffmpeg.h"

namespace component::logcapture {

namespace {

// Guards the receiver list and the count of deliveries under way; never held while calling a
// receiver, so a thread that holds a component lock may log while another thread delivers to
// that component.
std::mutex& ListLock() {
  static std::mutex lock;
  return lock;
}
std::condition_variable& DeliveryDone() {
  static std::condition_variable done;
  return done;
}
int Deliveries = 0;                   // under ListLock
thread_local int DeliveriesOnThisThread = 0;

// Guards the unfinished lines; never held while calling out.
std::mutex& PendingLock() {
  static std::mutex lock;
  return lock;
}

std::vector<TLogReceiver*>& Receivers() {
  static std::vector<TLogReceiver*> receivers;
  return receivers;
}

// Unfinished line per logging thread.
std::map<uint32_t, std::string>& Pending() {
  static std::map<uint32_t, std::string> pending;
  return pending;
}

void Deliver(uint32_t threadId, int level, const std::vector<std::string>& lines) {
  std::vector<TLogReceiver*> receivers;
  {
    std::lock_guard lock(ListLock());
    receivers = Receivers();
    ++Deliveries;
  }
  ++DeliveriesOnThisThread;
  for (const std::string& line : lines)
    for (TLogReceiver* receiver : receivers) receiver->ReceiveLibraryLine(threadId, level, line);
  --DeliveriesOnThisThread;
  std::lock_guard lock(ListLock());
  --Deliveries;
  DeliveryDone().notify_all();
}

}  // namespace

void AddReceiver(TLogReceiver* receiver) {
  std::lock_guard lock(ListLock());
  Receivers().push_back(receiver);
}

void RemoveReceiver(TLogReceiver* receiver) {
  std::unique_lock lock(ListLock());
  std::erase(Receivers(), receiver);
  // A delivery that took the receiver before it left may still be calling it; a delivery on
  // this very thread (a handler removing a receiver) is the caller itself.
  DeliveryDone().wait(lock, [] { return Deliveries <= DeliveriesOnThisThread; });
}

void ClearPendingLines() {
  std::lock_guard lock(PendingLock());
  Pending().clear();
}

uint32_t CurrentThreadId() { return static_cast<uint32_t>(syscall(SYS_gettid)); }

int LibraryToEngineLevel(int libraryLevel) {
  if (libraryLevel <= AV_LOG_QUIET) return -1;
  if (libraryLevel <= AV_LOG_WARNING) return 0;
  if (libraryLevel <= AV_LOG_VERBOSE) return 1;
  if (libraryLevel <= AV_LOG_DEBUG) return 2;
  return 3;
}

void LibraryLogCallback(void* context, int level, const char* format, va_list args) {
  if (libbind::LibraryLogLevel() < level) return;
  const uint32_t threadId = CurrentThreadId();
  std::string pending;
  {
    std::lock_guard lock(PendingLock());
    if (auto it = Pending().find(threadId); it != Pending().end()) pending.swap(it->second);
  }

  char buffer[kLineBufferSize] = {};
  size_t used = 0;
  if (!pending.empty()) {
    used = std::min(pending.size(), sizeof(buffer) - 1);
    std::memcpy(buffer, pending.data(), used);
  } else if (context) {
    const AVClass* avClass = *static_cast<const AVClass* const*>(context);
    if (avClass) {
      const char* name = avClass->item_name ? avClass->item_name(context) : avClass->class_name;
      int n = std::snprintf(buffer, sizeof(buffer), "[%s @ %08" PRIXPTR "]", name ? name : "",
                            reinterpret_cast<uintptr_t>(avClass));
      used = n < 0 ? 0 : std::min(static_cast<size_t>(n), sizeof(buffer) - 1);
    }
  }
  bool cut = used >= sizeof(buffer) - 1;
  if (format && !cut) {
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(buffer + used, sizeof(buffer) - used, format, copy);
    va_end(copy);
    cut = n < 0 || static_cast<size_t>(n) >= sizeof(buffer) - used;
  }

  std::string text(buffer);
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t lf; (lf = text.find('\n', start)) != std::string::npos; start = lf + 1)
    lines.push_back(text.substr(start, lf - start));
  std::string rest = text.substr(start);
  // A cut message may have lost its line feed: end the line here rather than let the next
  // message grow it past the buffer.
  if (cut && !rest.empty()) {
    lines.push_back(rest);
    rest.clear();
  }
  {
    std::lock_guard lock(PendingLock());
    if (rest.empty())
      Pending().erase(threadId);
    else
      Pending()[threadId] = rest;
  }
  if (!lines.empty()) Deliver(threadId, level, lines);
}

}  // namespace component::logcapture
