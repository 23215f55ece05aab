// The worker thread of one engine run.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "FFmpeg.h"

namespace engine {

class TCustomFFmpeg;

// Thread priorities in the component's order (tpIdle, tpLowest, tpLower, tpNormal).
enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal };

// Starts suspended: the thread exists but waits until `Resume`. When its run ends it deletes
// itself, so nobody may hold the pointer past the engine's termination notice (the engine clears
// its `Thread` field in `NotifyTerminated`, before the object goes). Create only with `new`.
class TFFmpegThread final : public TFFmpegWorker {
 public:
  explicit TFFmpegThread(TCustomFFmpeg* engine, TThreadPriority priority = tpNormal);
  TFFmpegThread(const TFFmpegThread&) = delete;
  TFFmpegThread& operator=(const TFFmpegThread&) = delete;

  // Lets the thread begin its run; later calls do nothing.
  void Resume() override;
  bool Suspended() const override;
  // Sets the priority the run will have; effective only before `Resume`.
  void SetPriority(TThreadPriority priority);
  // OS id (gettid) of the thread, known while it is still suspended: the host attributes the
  // library's log lines by it.
  uint32_t ThreadId() const;

 private:
  ~TFFmpegThread() override = default;
  void Body();

  TCustomFFmpeg* Engine;
  TThreadPriority Priority;
  mutable std::mutex Mutex;
  mutable std::condition_variable Wake;
  bool Started = false;
  uint32_t Id = 0;  // under Mutex; published by the thread before it waits
};

}  // namespace engine
