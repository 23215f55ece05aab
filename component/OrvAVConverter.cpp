#include "OrvAVConverter.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <stdexcept>
#include <thread>

#include "AVProbe.h"
#include "FFmpegThread.h"
#include "LibrarySet.h"
#include "Functions.h"

namespace component {

// ---- keeping a task alive while a thread still runs its code ----
//
// A task may be dropped while a thread is still inside its engine: from the last OnTerminate
// (the terminating worker is still unwinding out of the engine's run), or while it runs. Such a
// task is retired instead of freed: the threads that delivered its termination count as its
// users, and the last of them frees it when it leaves the engine's code (at the end of our own
// outermost call on that thread, or when an engine-owned thread ends).

struct TCustomOrvAVConverter::TShared {
  std::mutex Mutex;
  std::condition_variable Changed;
  int Retired = 0;  // retired tasks not yet freed
  std::deque<std::pair<std::chrono::steady_clock::time_point, std::function<void()>>> Deferred;
};

struct TTaskKeeper {
  std::mutex Mutex;
  int Users = 0;
  std::unique_ptr<TFFmpeg> Retired;
  std::function<void()> OnFreed;  // tells the component that a retired task is gone
};

namespace {

void ReleaseUser(const std::shared_ptr<TTaskKeeper>& keeper) {
  std::unique_ptr<TFFmpeg> task;
  std::function<void()> onFreed;
  {
    std::lock_guard lock(keeper->Mutex);
    if (--keeper->Users == 0 && keeper->Retired) {
      task = std::move(keeper->Retired);
      onFreed = std::move(keeper->OnFreed);
    }
  }
  task.reset();
  if (onFreed) onFreed();
}

struct TThreadState {
  int Depth = 0;
  std::vector<std::shared_ptr<TTaskKeeper>> ScopeUsers;  // released when Depth returns to 0
  std::vector<std::shared_ptr<TTaskKeeper>> ExitUsers;   // released when the thread ends
  std::vector<std::unique_ptr<TFFmpeg>> FreeAtScopeEnd;

  void Flush() {
    // Freeing may run library code that logs: never under a component lock, so only here.
    auto users = std::move(ScopeUsers);
    auto tasks = std::move(FreeAtScopeEnd);
    for (auto& keeper : users) ReleaseUser(keeper);
    tasks.clear();
  }
  ~TThreadState() {
    Flush();
    auto users = std::move(ExitUsers);
    for (auto& keeper : users) ReleaseUser(keeper);
  }
};

thread_local TThreadState ThisThread;

// Marks a call of ours on this thread; what it retired here is released when the outermost
// one returns.
class TScope {
 public:
  TScope() { ++ThisThread.Depth; }
  ~TScope() {
    if (--ThisThread.Depth == 0) ThisThread.Flush();
  }
  TScope(const TScope&) = delete;
  TScope& operator=(const TScope&) = delete;
};

std::string IndexError(int32_t index) {
  return "List index out of bounds (" + std::to_string(index) + ")";
}

// The translation's target: the task's engine and the component's hook events.
class TEngineOptionTarget : public TOptionTarget {
 public:
  TEngineOptionTarget(TCustomOrvAVConverter& owner, TFFmpeg& task) : Owner(owner), Task(task) {}
  void ApplyOption(const std::string& name, const std::string& value) override {
    Task.ApplyOption(name, value);
  }
  void ApplyGenericOptionInt(const std::string& name, int64_t n) override {
    Task.ApplyGenericOptionInt(name, n);
  }
  void SetInputFormat(const std::string& name) override { Task.SetInputFormat(name); }
  void SetOutputFormat(const std::string& name) override { Task.SetOutputFormat(name); }
  void SetStartTimeUs(int64_t t) override { Task.SetStartTimeUs(t); }
  void SetProgramId(int32_t n) override { Task.SetProgramId(n); }
  void SetRecordingTimeMs(int64_t ms) override { Task.SetRecordingTimeMs(ms); }
  void SetAudioVolume(int32_t n) override { Task.SetAudioVolume(n); }
  void SetAudioSync(int32_t n) override { Task.SetAudioSync(n); }
  void SetVideoSync(int32_t n) override { Task.SetVideoSync(n); }
  void SetMuxMaxDelay(float s) override { Task.SetMuxMaxDelay(s); }
  void SetMuxPreload(float s) override { Task.SetMuxPreload(s); }
  void SetYear(int32_t n) override { Task.SetYear(n); }
  void SetTrack(int32_t n) override { Task.SetTrack(n); }
  void SetHeaderField(const std::string& name, const std::string& text) override {
    if (name == "title") Task.SetTitle(text);
    else if (name == "author") Task.SetAuthor(text);
    else if (name == "copyright") Task.SetCopyright(text);
    else if (name == "comment") Task.SetComment(text);
    else if (name == "album") Task.SetAlbum(text);
    else if (name == "genre") Task.SetGenre(text);
  }
  void SetPadColor(int32_t colour) override { Task.SetPadColor(colour); }
  void ApplyTarget(const std::string& kind, const std::string& norm,
                   const std::string& fallbackNorm) override {
    Task.ApplyTarget(kind, norm, fallbackNorm);
  }
  void SetAudioDisabled() override { Task.AudioDisabled = 1; }
  void SetVideoDisabled() override { Task.VideoDisabled = 1; }
  void SetSubtitleDisabled() override { Task.SubtitleDisabled = 1; }
  void SetAudioLanguage(const std::string& code) override { Task.AudioLanguage = code; }
  void SetSubtitleLanguage(const std::string& code) override { Task.SubtitleLanguage = code; }
  void SetCopyTs(bool on) override { Task.CopyTs = on; }
  void SetRecordTimestamp(int64_t seconds) override { Task.RecordTimestamp = seconds; }
  void ConnectCustomHook() override {
    TCustomOrvAVConverter* owner = &Owner;
    TFFmpeg* task = &Task;
    Task.CustomHookCallback = [owner, task](engine::TCustomFFmpeg*, engine::TCustomHookData& frame) {
      owner->FireCustomHook(task, frame);
    };
  }
  void ConnectBeforeHook() override {
    TCustomOrvAVConverter* owner = &Owner;
    TFFmpeg* task = &Task;
    Task.BeforeHookCallback = [owner, task](engine::TCustomFFmpeg*, int64_t pts, THookAction& action) {
      owner->FireBeforeHook(task, pts, action);
    };
  }
  void SetHookRanges(const std::vector<engine::THookTimeRange>& ranges) override {
    Task.HookTimeRanges = ranges;
  }

 private:
  TCustomOrvAVConverter& Owner;
  TFFmpeg& Task;
};

}  // namespace

static_assert(static_cast<int>(tpIdle) == engine::tpIdle && static_cast<int>(tpLowest) == engine::tpLowest &&
              static_cast<int>(tpLower) == engine::tpLower && static_cast<int>(tpNormal) == engine::tpNormal);

int LibraryLevelOf(TLogLevel level) {
  switch (level) {
    case llQuiet: return AV_LOG_QUIET;
    case llError: return AV_LOG_ERROR;
    case llInfo: return AV_LOG_INFO;
    case llDebug: return AV_LOG_DEBUG;
    case llAll: return AV_LOG_TRACE;
  }
  return AV_LOG_INFO;
}

// ---- task ----

TFFmpeg::TFFmpeg() : ProbeValue(std::make_unique<TAVProbe>()) {}

TFFmpeg::~TFFmpeg() { ProbeValue.reset(); }

// ---- component ----

TCustomOrvAVConverter::TCustomOrvAVConverter()
    : ProbeValue(std::make_unique<TAVProbe>()), Shared(std::make_shared<TShared>()) {
  logcapture::AddReceiver(this);
}

TCustomOrvAVConverter::~TCustomOrvAVConverter() {
  logcapture::RemoveReceiver(this);
  // Dropped tasks raise no more events; running ones are asked to stop.
  DropAllTasks();
  // Retired tasks still call back into this component until their threads have left them.
  std::unique_lock lock(Shared->Mutex);
  Shared->Changed.wait(lock, [this] { return Shared->Retired == 0; });
  Shared->Deferred.clear();
}

void TCustomOrvAVConverter::ApplyLibraryLevel() {
  if (!libbind::LibrarySetBound()) return;
  lib::avutil.av_log_set_level(LibraryLevelOf(LogLevelValue));
  libbind::SetLibraryLogLevel(lib::avutil.av_log_get_level());
}

void TCustomOrvAVConverter::SetLogLevel(TLogLevel level) {
  LogLevelValue = level;
  ApplyLibraryLevel();
}

bool TCustomOrvAVConverter::BindLibraries(const std::string& libraryDir, bool versionedName) {
  if (!libbind::BindLibrarySet(libraryDir, versionedName)) {
    LastFailureText = libbind::LibrarySetError();
    return false;
  }
  lib::avutil.av_log_set_callback(&logcapture::LibraryLogCallback);
  ApplyLibraryLevel();
  return true;
}

std::string TCustomOrvAVConverter::LastFailure() { return LastFailureText; }

int32_t TCustomOrvAVConverter::AddSourceTask(const std::string& fileName, TInputOptions* record) {
  TScope scope;
  auto task = std::make_unique<TFFmpeg>();
  TFFmpeg* raw = task.get();
  raw->Keeper = std::make_shared<TTaskKeeper>();
  raw->LogCallback = [this, raw](engine::TCustomFFmpeg*, int level, const std::string& text) {
    FireLog(raw, level, text);
  };
  try {
    raw->Prepare();
    raw->SetVerbose(static_cast<int32_t>(LogLevelValue) - 1);
    if (record) {
      TEngineOptionTarget target(*this, *raw);
      if (record->FileName.empty()) record->FileName = fileName;
      raw->InputRecord = *record;
      ApplyInputOptions(target, *record, fileName);
    } else {
      ResetInputOptions(raw->InputRecord);
    }
    if (!raw->OpenInputFile(fileName)) {
      raw->LogCallback = nullptr;
      LastFailureText = raw->ErrorText;
      return -1;
    }
    if (!raw->InputFiles.empty()) raw->Probe().AttachMedia(raw->InputFiles.back().Context.get());
    raw->ProgressCallback = [this, raw](engine::TCustomFFmpeg*, const engine::TProgressFigures& f) {
      FireProgress(raw, f);
    };
    raw->TerminateCallback = [this, raw](engine::TCustomFFmpeg*) { FireTerminate(raw); };
  } catch (const std::exception& e) {
    LastFailureText = e.what();
    return -1;
  }
  std::lock_guard lock(Lock);
  raw->Index = static_cast<int32_t>(Tasks.size());
  Tasks.push_back(std::move(task));
  return raw->Index;
}

bool TCustomOrvAVConverter::SetTaskTarget(int32_t index, const std::string& fileName,
                                          TOutputOptions* record) {
  TScope scope;
  TFFmpeg* task = nullptr;
  {
    std::lock_guard lock(Lock);
    if (index < 0 || index >= static_cast<int32_t>(Tasks.size())) {
      LastFailureText = IndexError(index);
      return false;
    }
    task = Tasks[index].get();
  }
  try {
    if (record) {
      TEngineOptionTarget target(*this, *task);
      if (record->FileName.empty()) record->FileName = fileName;
      task->OutputRecord = *record;
      ApplyOutputOptions(target, *record, fileName);
    } else {
      ResetOutputOptions(task->OutputRecord);
    }
    if (task->OpenOutputFile(fileName)) return true;
    LastFailureText = task->ErrorText;
    return false;
  } catch (const std::exception& e) {
    LastFailureText = e.what();
    return false;
  }
}

void TCustomOrvAVConverter::Retire(std::unique_ptr<TFFmpeg> task) {
  // Called under the component lock.
  task->Dropped = true;
  task->Index = -1;
  const bool untouched = task->Phase == TFFmpeg::TPhase::Refused ||
                         (task->Phase == TFFmpeg::TPhase::Idle && !task->NotifyPending);
  if (task->Phase == TFFmpeg::TPhase::Started) {
    task->Stop();
    task->CancelRequested.store(true, std::memory_order_release);
  }
  std::shared_ptr<TTaskKeeper> keeper = task->Keeper;
  std::lock_guard lock(keeper->Mutex);
  if (untouched || (task->Phase == TFFmpeg::TPhase::Delivered && keeper->Users == 0)) {
    ThisThread.FreeAtScopeEnd.push_back(std::move(task));
    return;
  }
  {
    std::lock_guard sharedLock(Shared->Mutex);
    ++Shared->Retired;
  }
  std::weak_ptr<TShared> shared = Shared;
  keeper->OnFreed = [shared] {
    if (auto s = shared.lock()) {
      std::lock_guard retiredLock(s->Mutex);
      --s->Retired;
      s->Changed.notify_all();
    }
  };
  keeper->Retired = std::move(task);
}

void TCustomOrvAVConverter::DropTask(int32_t index) {
  TScope scope;
  std::lock_guard lock(Lock);
  if (index < 0 || index >= static_cast<int32_t>(Tasks.size())) throw std::out_of_range(IndexError(index));
  std::unique_ptr<TFFmpeg> task = std::move(Tasks[index]);
  Tasks.erase(Tasks.begin() + index);
  for (size_t i = index; i < Tasks.size(); ++i) Tasks[i]->Index = static_cast<int32_t>(i);
  // Keep a run going over the remaining tasks.
  if (RunActive) {
    if (index < NextToStart)
      --NextToStart;
    else if (RemainingToStart > 0)
      --RemainingToStart;
    if (task->Phase == TFFmpeg::TPhase::Delivered && FinishedCount > 0) --FinishedCount;
  }
  Retire(std::move(task));
}

void TCustomOrvAVConverter::DropAllTasks() {
  TScope scope;
  std::lock_guard lock(Lock);
  std::vector<std::unique_ptr<TFFmpeg>> tasks = std::move(Tasks);
  Tasks.clear();
  for (auto& task : tasks) Retire(std::move(task));
  LastFailureText.clear();
  ParallelCount = 0;
  RemainingToStart = 0;
  RunActive = false;
}

int32_t TCustomOrvAVConverter::TaskTotal() {
  std::lock_guard lock(Lock);
  return static_cast<int32_t>(Tasks.size());
}

TFFmpeg* TCustomOrvAVConverter::TaskEngine(int32_t index) {
  std::lock_guard lock(Lock);
  if (index < 0 || index >= static_cast<int32_t>(Tasks.size())) throw std::out_of_range(IndexError(index));
  return Tasks[index].get();
}

AVFormatContext* TCustomOrvAVConverter::TaskSourceContext(int32_t index) {
  TFFmpeg* task = TaskEngine(index);
  return task->InputFiles.empty() ? nullptr : task->InputFiles.front().Context.get();
}

// ---- run control ----

void TCustomOrvAVConverter::RunTasks(int32_t parallelCount) {
  TScope scope;
  logcapture::ClearPendingLines();
  {
    std::lock_guard lock(Lock);
    NextToStart = 0;
    FinishedCount = 0;
    ParallelCount = parallelCount;
    RemainingToStart = static_cast<int32_t>(Tasks.size());
    RunActive = RemainingToStart > 0;
    for (int32_t counter = parallelCount; RemainingToStart > 0;) {
      StartStep();
      if (--counter <= 0) break;
    }
  }
  if (!PostDelayed) RunDeferred();
}

void TCustomOrvAVConverter::RunDeferred() {
  for (;;) {
    std::function<void()> action;
    std::chrono::steady_clock::time_point due;
    {
      std::lock_guard lock(Shared->Mutex);
      if (Shared->Deferred.empty()) return;
      due = Shared->Deferred.front().first;
      action = std::move(Shared->Deferred.front().second);
      Shared->Deferred.pop_front();
    }
    std::this_thread::sleep_until(due);
    action();
  }
}

void TCustomOrvAVConverter::StartStep() {
  // Under the component lock.
  if (RemainingToStart <= 0) return;
  --RemainingToStart;
  if (NextToStart < 0 || NextToStart >= static_cast<int32_t>(Tasks.size())) return;
  TFFmpeg* task = Tasks[NextToStart].get();
  ++NextToStart;
  if (ParallelCount >= 1) {
    StartThreaded(task);
    return;
  }
  std::weak_ptr<TTaskKeeper> keeper = task->Keeper;
  std::weak_ptr<TShared> alive = Shared;
  auto action = [this, keeper, alive] {
    if (alive.lock()) StartOnThisThread(keeper);
  };
  constexpr int kDelayMs = 100;
  if (PostDelayed) {
    PostDelayed(kDelayMs, std::move(action));
  } else {
    std::lock_guard lock(Shared->Mutex);
    Shared->Deferred.emplace_back(std::chrono::steady_clock::now() + std::chrono::milliseconds(kDelayMs),
                                  std::move(action));
  }
}

void TCustomOrvAVConverter::StartThreaded(TFFmpeg* task) {
  // Under the component lock, so a cancel sees the task either not started or running.
  task->Phase = TFFmpeg::TPhase::Started;
  task->CancelRequested = false;
  task->ProgressInterval = static_cast<int64_t>(ProgressIntervalValue) * 1000;
  task->SetVerbose(static_cast<int32_t>(LogLevelValue) - 1);
  engine::TFFmpegThread* thread = task->Start(true);
  if (!thread) {
    task->ThreadIdValue = 0;
    // Refused, or its start check failed and it has already reported its end.
    if (task->Phase == TFFmpeg::TPhase::Started) task->Phase = TFFmpeg::TPhase::Refused;
    return;
  }
  // The thread applies its priority itself when resumed.
  thread->SetPriority(static_cast<engine::TThreadPriority>(ThreadPriorityValue));
  task->ThreadIdValue = thread->ThreadId();
  thread->Resume();
}

void TCustomOrvAVConverter::StartOnThisThread(const std::weak_ptr<TTaskKeeper>& keeperRef) {
  TScope scope;
  TFFmpeg* task = nullptr;
  {
    std::lock_guard lock(Lock);
    auto keeper = keeperRef.lock();
    for (auto& t : Tasks)
      if (keeper && t->Keeper == keeper) task = t.get();
    if (!task || task->Phase != TFFmpeg::TPhase::Idle || task->NotifyPending) return;
    task->Phase = TFFmpeg::TPhase::Started;
    task->CancelRequested = false;
    task->ThreadIdValue = logcapture::CurrentThreadId();
    task->ProgressInterval = static_cast<int64_t>(ProgressIntervalValue) * 1000;
    task->SetVerbose(static_cast<int32_t>(LogLevelValue) - 1);
  }
  // Not under the lock: the whole run happens inside, and a cancel must get through.
  task->Start(false);
  std::lock_guard lock(Lock);
  if (task->Phase == TFFmpeg::TPhase::Started) task->Phase = TFFmpeg::TPhase::Refused;
}

void TCustomOrvAVConverter::CancelTasks() {
  TScope scope;
  std::lock_guard lock(Lock);
  RemainingToStart = 0;
  for (auto& task : Tasks) {
    switch (task->Phase) {
      case TFFmpeg::TPhase::Idle:
        // A task that never started reports its end from a thread of its own.
        if (!task->Running && !task->Terminated && !task->NotifyPending) {
          task->NotifyPending = true;
          task->StopOrNotify();
        }
        break;
      case TFFmpeg::TPhase::Started:
        task->Stop();
        task->CancelRequested.store(true, std::memory_order_release);
        break;
      default:
        break;
    }
  }
}

void TCustomOrvAVConverter::FinishRun(bool& clearLines) {
  // Under the component lock: the final event of a run.
  RunActive = false;
  if (OnTerminate) OnTerminate(this, -1, true, false, std::string());
  clearLines = true;
}

void TCustomOrvAVConverter::FireTerminate(TFFmpeg* task) {
  // Outside any call of ours the caller is an engine-owned thread still inside the task's run.
  const bool engineThread = ThisThread.Depth == 0;
  TScope scope;
  bool clearLines = false;
  {
    std::lock_guard lock(Lock);
    if (!task) {
      if (OnTerminate) OnTerminate(this, -1, true, false, std::string());
      clearLines = true;
    } else {
      {
        std::lock_guard keeperLock(task->Keeper->Mutex);
        ++task->Keeper->Users;
      }
      (engineThread ? ThisThread.ExitUsers : ThisThread.ScopeUsers).push_back(task->Keeper);
      task->Phase = TFFmpeg::TPhase::Delivered;
      if (!task->Dropped) {
        if (OnTerminate)
          OnTerminate(this, task->Index, task->Finished, task->ExceptionRaised, task->ErrorMessage);
        ++FinishedCount;
      }
      if (RemainingToStart > 0)
        StartStep();
      else if (RunActive && FinishedCount >= static_cast<int32_t>(Tasks.size()))
        FinishRun(clearLines);
    }
  }
  // The log list lock is never taken under a component lock.
  if (clearLines) logcapture::ClearPendingLines();
}

void TCustomOrvAVConverter::FireProgress(TFFmpeg* task, const engine::TProgressFigures& figures) {
  // Repeats a cancel that met a synchronous start before the engine had cleared its stop
  // request; the flag is published after the first Stop, so the two never race.
  if (task->CancelRequested.exchange(false, std::memory_order_acquire)) task->Stop();
  std::lock_guard lock(Lock);
  if (task->Dropped || !OnProgress) return;
  int32_t total = figures.TotalOutputDurationMs >= 0 ? figures.TotalOutputDurationMs
                                                     : task->ExpectedDurationMs;
  OnProgress(this, task->Index, figures.FrameNumber, figures.FPS, figures.CurrentDurationMs,
             figures.Quality, figures.BitRate, figures.CurrentSize, total);
}

void TCustomOrvAVConverter::FireLog(TFFmpeg* task, int level, const std::string& text) {
  if (!OnLog || (task && task->Dropped)) return;
  std::lock_guard lock(Lock);
  TLogLevel mapped = level < 0 ? llQuiet : level == 0 ? llError : level == 1 ? llInfo
                                          : level == 2 ? llDebug : llAll;
  OnLog(this, task ? task->Index.load() : -1, mapped, text);
}

void TCustomOrvAVConverter::FireBeforeHook(TFFmpeg* task, int64_t pts, THookAction& action) {
  if (OnBeforeHook && !task->Dropped) OnBeforeHook(this, task->Index, pts, action);
}

void TCustomOrvAVConverter::FireCustomHook(TFFmpeg* task, engine::TCustomHookData& frame) {
  if (OnCustomHook && !task->Dropped) OnCustomHook(this, task->Index, frame);
}

void TCustomOrvAVConverter::ReceiveLibraryLine(uint32_t threadId, int level, const std::string& line) {
  if (!OnLog) return;
  std::lock_guard lock(Lock);
  // The task running on that thread; in the synchronous mode every task shares the main
  // thread, so the one running now wins over those that ran there before.
  TFFmpeg* found = nullptr;
  for (auto& task : Tasks) {
    if (task->ThreadIdValue != threadId) continue;
    if (task->Phase == TFFmpeg::TPhase::Started) {
      found = task.get();
      break;
    }
    if (!found) found = task.get();
  }
  FireLog(found, logcapture::LibraryToEngineLevel(level), line);
}

}  // namespace component
