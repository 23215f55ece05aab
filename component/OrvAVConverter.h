// The converter component: an ordered list of conversion tasks, run one by one or several at
// once on worker threads, with progress, log, hook and termination events.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "FFmpeg.h"
#include "LogCapture.h"
#include "OptionRecords.h"

class TAVProbe;
struct AVFormatContext;

namespace component {

enum TLogLevel { llQuiet, llError, llInfo, llDebug, llAll };
// Worker priorities, in the engine's thread order: SCHED_IDLE, nice 19, nice 10, inherited.
enum TConvertPriority { tpIdle, tpLowest, tpLower, tpNormal };
using engine::THookAction;
using engine::haContinue;
using engine::haIgnore;
using engine::haStop;

class TCustomOrvAVConverter;

using TBeforeHookEvent = std::function<void(TCustomOrvAVConverter* sender, int32_t index,
                                            int64_t pts, THookAction& action)>;
using TCustomHookEvent = std::function<void(TCustomOrvAVConverter* sender, int32_t index,
                                            engine::TCustomHookData& frame)>;
using TLogEvent = std::function<void(TCustomOrvAVConverter* sender, int32_t index,
                                     TLogLevel level, const std::string& msg)>;
using TProgressEvent = std::function<void(
    TCustomOrvAVConverter* sender, int32_t index, int32_t frameNumber, int32_t fps,
    int32_t currentDurationMs, float quality, float bitRate, int64_t currentSize,
    int32_t totalOutputDurationMs)>;
using TTerminateEvent = std::function<void(TCustomOrvAVConverter* sender, int32_t index,
                                           bool finished, bool exception,
                                           const std::string& message)>;

// The host's main-thread deferral: run `action` on the main thread after `ms` milliseconds.
using TPostDelayed = std::function<void(int ms, std::function<void()> action)>;

// Library log level for each TLogLevel.
int LibraryLevelOf(TLogLevel level);

struct TTaskKeeper;

// One task: an engine with its place in the list, the thread that runs it, the records applied
// to it and a probe viewing its opened input.
class TFFmpeg : public engine::TFFmpeg {
 public:
  TFFmpeg();
  ~TFFmpeg() override;

  int32_t TaskIndex() const { return Index; }
  uint32_t ThreadId() const { return ThreadIdValue; }
  TAVProbe& Probe() { return *ProbeValue; }

  // Copies of the records applied when the task was added and given its output.
  TInputOptions InputRecord;
  TOutputOptions OutputRecord;

 private:
  friend class TCustomOrvAVConverter;
  enum class TPhase { Idle, Started, Delivered, Refused };

  std::atomic<int32_t> Index{-1};
  std::atomic<uint32_t> ThreadIdValue{0};
  std::atomic<bool> CancelRequested{false};
  std::atomic<bool> Dropped{false};  // out of the list: raises no more events
  // Guarded by the component lock.
  TPhase Phase = TPhase::Idle;
  bool NotifyPending = false;  // a terminate-delivery thread will report it
  std::shared_ptr<TTaskKeeper> Keeper;
  std::unique_ptr<TAVProbe> ProbeValue;  // released before the engine's files
};

class TCustomOrvAVConverter : public TLogReceiver {
 public:
  TCustomOrvAVConverter();
  ~TCustomOrvAVConverter() override;
  TCustomOrvAVConverter(const TCustomOrvAVConverter&) = delete;
  TCustomOrvAVConverter& operator=(const TCustomOrvAVConverter&) = delete;

  // Called by the engines.
  virtual void FireBeforeHook(TFFmpeg* task, int64_t pts, THookAction& action);
  virtual void FireCustomHook(TFFmpeg* task, engine::TCustomHookData& frame);
  virtual void FireLog(TFFmpeg* task, int level, const std::string& text);
  virtual void FireProgress(TFFmpeg* task, const engine::TProgressFigures& figures);
  virtual void FireTerminate(TFFmpeg* task);

  void ReceiveLibraryLine(uint32_t threadId, int level, const std::string& line) override;

 protected:
  bool BindLibraries(const std::string& libraryDir, bool versionedName);
  int32_t AddSourceTask(const std::string& fileName, TInputOptions* record = nullptr);
  bool SetTaskTarget(int32_t index, const std::string& fileName, TOutputOptions* record = nullptr);
  void DropTask(int32_t index);
  void DropAllTasks();
  int32_t TaskTotal();
  TFFmpeg* TaskEngine(int32_t index);
  AVFormatContext* TaskSourceContext(int32_t index);
  void RunTasks(int32_t parallelCount);
  void CancelTasks();
  std::string LastFailure();
  TAVProbe& Probe() { return *ProbeValue; }

  TLogLevel LogLevel() const { return LogLevelValue; }
  void SetLogLevel(TLogLevel level);
  int32_t ProgressInterval() const { return ProgressIntervalValue; }
  void SetProgressInterval(int32_t ms) { ProgressIntervalValue = ms <= 100 ? 100 : ms; }
  TConvertPriority ThreadPriority() const { return ThreadPriorityValue; }
  void SetThreadPriority(TConvertPriority priority) { ThreadPriorityValue = priority; }
  static std::string Version() { return "2.2"; }

 public:
  // Events: assign them before a run starts.
  TBeforeHookEvent OnBeforeHook;
  TCustomHookEvent OnCustomHook;
  TLogEvent OnLog;
  TProgressEvent OnProgress;
  TTerminateEvent OnTerminate;
  // The synchronous mode (parallel count 0 or less) starts each task through this deferral. Left
  // empty, RunTasks itself waits out the delays and runs the tasks before it returns.
  TPostDelayed PostDelayed;

 private:
  struct TShared;
  void ApplyLibraryLevel();
  void StartStep();
  void StartThreaded(TFFmpeg* task);
  void StartOnThisThread(const std::weak_ptr<TTaskKeeper>& keeper);
  void Retire(std::unique_ptr<TFFmpeg> task);
  void FinishRun(bool& clearLines);
  void RunDeferred();

  std::recursive_mutex Lock;
  std::vector<std::unique_ptr<TFFmpeg>> Tasks;  // the task list: position i has index i
  std::unique_ptr<TAVProbe> ProbeValue;
  std::shared_ptr<TShared> Shared;
  std::string LastFailureText;
  int32_t NextToStart = 0;
  int32_t ParallelCount = 0;
  int32_t FinishedCount = 0;
  int32_t RemainingToStart = 0;
  bool RunActive = false;
  TLogLevel LogLevelValue = llInfo;
  int32_t ProgressIntervalValue = 500;
  TConvertPriority ThreadPriorityValue = tpNormal;
};

class TOrvAVConverter : public TCustomOrvAVConverter {
 public:
  using TCustomOrvAVConverter::AddSourceTask;
  using TCustomOrvAVConverter::BindLibraries;
  using TCustomOrvAVConverter::CancelTasks;
  using TCustomOrvAVConverter::DropAllTasks;
  using TCustomOrvAVConverter::DropTask;
  using TCustomOrvAVConverter::LastFailure;
  using TCustomOrvAVConverter::LogLevel;
  using TCustomOrvAVConverter::Probe;
  using TCustomOrvAVConverter::ProgressInterval;
  using TCustomOrvAVConverter::RunTasks;
  using TCustomOrvAVConverter::SetLogLevel;
  using TCustomOrvAVConverter::SetProgressInterval;
  using TCustomOrvAVConverter::SetTaskTarget;
  using TCustomOrvAVConverter::SetThreadPriority;
  using TCustomOrvAVConverter::TaskEngine;
  using TCustomOrvAVConverter::TaskSourceContext;
  using TCustomOrvAVConverter::TaskTotal;
  using TCustomOrvAVConverter::ThreadPriority;
  using TCustomOrvAVConverter::Version;
};

}  // namespace component
