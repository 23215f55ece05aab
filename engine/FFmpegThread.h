// The worker thread of one engine run.
#pragma once

#include <condition_variable>
#include <mutex>

namespace engine {

class TCustomFFmpeg;

// Thread priorities in the component's order (tpIdle, tpLowest, tpLower, tpNormal).
enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal };

// Starts suspended: the thread exists but waits until `Resume`. When its run ends it deletes
// itself, so nobody may hold the pointer past the engine's termination notice (the engine clears
// its `Thread` field in `NotifyTerminated`, before the object goes). Create only with `new`.
class TFFmpegThread {
 public:
  explicit TFFmpegThread(TCustomFFmpeg* engine, TThreadPriority priority = tpNormal);
  TFFmpegThread(const TFFmpegThread&) = delete;
  TFFmpegThread& operator=(const TFFmpegThread&) = delete;

  // Lets the thread begin its run; later calls do nothing.
  void Resume();
  bool Suspended() const;
  // Sets the priority the run will have; effective only before `Resume`.
  void SetPriority(TThreadPriority priority);

  // Resumes `engine`'s worker when it is still suspended. Safe against the worker ending and
  // deleting itself at the same moment (both sides take the same process-wide lock).
  static void ResumeIfSuspended(TCustomFFmpeg& engine);

 private:
  ~TFFmpegThread() = default;
  void Body();

  TCustomFFmpeg* Engine;
  TThreadPriority Priority;
  mutable std::mutex Mutex;
  std::condition_variable Wake;
  bool Started = false;
};

}  // namespace engine
