#include "FFmpegThread.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <thread>

#include "FFmpeg.h"

namespace engine {

namespace {

void ApplyPriority(TThreadPriority priority) {
  const auto tid = static_cast<id_t>(::syscall(SYS_gettid));
  if (priority == tpIdle) {
    sched_param param{};
    ::pthread_setschedparam(::pthread_self(), SCHED_IDLE, &param);
    return;
  }
  const int nice = priority == tpLowest ? 19 : priority == tpLower ? 10 : 0;
  if (nice != 0) ::setpriority(PRIO_PROCESS, tid, nice);
}

}  // namespace

TFFmpegThread::TFFmpegThread(TCustomFFmpeg* engine, TThreadPriority priority)
    : Engine(engine), Priority(priority) {
  // Detached at once: the thread owns this object from here on and frees it when the run ends.
  std::thread([this] { Body(); }).detach();
}

void TFFmpegThread::Resume() {
  {
    std::lock_guard<std::mutex> guard(Mutex);
    Started = true;
  }
  Wake.notify_all();
}

bool TFFmpegThread::Suspended() const {
  std::lock_guard<std::mutex> guard(Mutex);
  return !Started;
}

void TFFmpegThread::SetPriority(TThreadPriority priority) {
  std::lock_guard<std::mutex> guard(Mutex);
  if (!Started) Priority = priority;
}

uint32_t TFFmpegThread::ThreadId() const {
  std::unique_lock<std::mutex> guard(Mutex);
  Wake.wait(guard, [this] { return Id != 0; });
  return Id;
}

void TFFmpegThread::Body() {
  TThreadPriority priority;
  {
    std::unique_lock<std::mutex> guard(Mutex);
    Id = static_cast<uint32_t>(::syscall(SYS_gettid));
    Wake.notify_all();
    Wake.wait(guard, [this] { return Started; });
    priority = Priority;
  }
  ApplyPriority(priority);
  // Run ends with NotifyTerminated, which clears Engine->Thread; the engine (and whoever handled
  // the termination) may be gone after it, so nothing of it is touched below.
  // Others reach this object only through Engine->Thread, under the engine's ThreadMutex, and
  // NotifyTerminated has cleared that.
  Engine->Run();
  delete this;
}

}  // namespace engine
