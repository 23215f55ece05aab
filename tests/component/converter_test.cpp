// The component on real engines: task list, run control, events, cancelling, log attribution.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "AVProbe.h"
#include "FFmpeg.h"
#include "Functions.h"
#include "JobRules.h"
#include "LibrarySet.h"
#include "LogCapture.h"
#include "MainLoop.h"
#include "OrvAVConverter.h"
#include "TestMedia.h"
#include "fixture_names.h"

using namespace component;
namespace fs = std::filesystem;
namespace fx = qv::fixtures;
using namespace std::chrono_literals;

namespace {

using testmedia::Fixture;
using testmedia::LongClip;

fs::path Scratch(const std::string& name) { return testmedia::Scratch("converter", name); }


struct TEvent {
  int32_t Index;
  bool Finished, Exception;
  std::string Message;
  std::string Source;  // the source of the task that reported
  uint32_t Thread;
};

// Decodable container with at least one stream and some duration.
bool Playable(const std::string& file, int* videoStreams = nullptr) {
  AVFormatContext* context = nullptr;
  if (avformat_open_input(&context, file.c_str(), nullptr, nullptr) < 0) return false;
  bool ok = avformat_find_stream_info(context, nullptr) >= 0 && context->nb_streams > 0;
  if (videoStreams) {
    *videoStreams = 0;
    for (unsigned i = 0; i < context->nb_streams; ++i)
      if (context->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) ++*videoStreams;
  }
  avformat_close_input(&context);
  return ok;
}

class Converter : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    TOrvAVConverter binder;
    ASSERT_TRUE(binder.BindLibraries(QV_LIB_DIR, true)) << binder.LastFailure();
  }

  void SetUp() override {
    Dir = Scratch(::testing::UnitTest::GetInstance()->current_test_info()->name());
    Component.SetLogLevel(llQuiet);
    Component.SetProgressInterval(100);
    Component.OnTerminate = [this](TCustomOrvAVConverter*, int32_t index, bool finished, bool exception,
                                   const std::string& message) {
      std::string source = index >= 0 ? Component.TaskEngine(index)->InputRecord.FileName : "";
      if (OnTerminateExtra) OnTerminateExtra(index);
      std::lock_guard lock(Mutex);
      Events.push_back({index, finished, exception, message, source, logcapture::CurrentThreadId()});
      Changed.notify_all();
    };
  }

  // Adds a task converting `source` to an AVI in the scratch folder; returns its index.
  int32_t AddAvi(const std::string& source, const std::function<void(TOutputOptions&)>& adjust = {}) {
    TInputOptions input;
    int32_t index = Component.AddSourceTask(source, &input);
    EXPECT_GE(index, 0) << Component.LastFailure();
    if (index < 0) return index;
    TFFmpeg* task = Component.TaskEngine(index);
    std::string output = jobrules::UniqueOutputName(
        jobrules::BaseFileName(source, false, Dir.string()), ".avi", "AVI Video",
        [this](const std::string& name) { return jobrules::FileExists(name) || Taken.count(name); });
    Taken.insert(output);
    TOutputOptions record = jobrules::TargetRecord(jobrules::kAviLabel, task->Probe().MediaFileName(),
                                                   jobrules::ReadSourceFacts(task->Probe()));
    if (adjust) adjust(record);
    EXPECT_TRUE(Component.SetTaskTarget(index, output, &record)) << Component.LastFailure();
    return index;
  }

  bool WaitForFinal(std::chrono::seconds limit = 120s) {
    std::unique_lock lock(Mutex);
    return Changed.wait_for(lock, limit, [this] { return !Events.empty() && Events.back().Index == -1; });
  }

  std::vector<TEvent> TakeEvents() {
    std::lock_guard lock(Mutex);
    return Events;
  }

  std::vector<int32_t> Indexes() {
    std::vector<int32_t> out;
    for (const auto& e : TakeEvents()) out.push_back(e.Index);
    return out;
  }

  fs::path Dir;
  std::set<std::string> Taken;
  std::mutex Mutex;
  std::condition_variable Changed;
  std::vector<TEvent> Events;
  std::function<void(int32_t)> OnTerminateExtra;
  TOrvAVConverter Component;  // last: destroyed first, while the handlers' state still exists
};

}  // namespace

TEST_F(Converter, PropertiesAndUnreadableSources) {
  EXPECT_EQ(Component.Version(), "2.2");
  Component.SetProgressInterval(50);
  EXPECT_EQ(Component.ProgressInterval(), 100);
  Component.SetProgressInterval(250);
  EXPECT_EQ(Component.ProgressInterval(), 250);

  for (auto name : {fx::kText, fx::kEmpty, std::string_view("missing.3gp")}) {
    TInputOptions record;
    EXPECT_EQ(Component.AddSourceTask(Fixture(name), &record), -1) << name;
    EXPECT_NE(Component.LastFailure().find(Fixture(name)), std::string::npos) << Component.LastFailure();
    EXPECT_EQ(record.FileName, Fixture(name)) << "the caller's record gets the name";
  }
  EXPECT_EQ(Component.TaskTotal(), 0);
  EXPECT_FALSE(Component.SetTaskTarget(0, (Dir / "x.avi").string()));
  EXPECT_NE(Component.LastFailure().find("out of bounds"), std::string::npos);
  EXPECT_THROW(Component.TaskEngine(0), std::out_of_range);
  EXPECT_THROW(Component.DropTask(-1), std::out_of_range);

  // Nothing to run, or nothing left to run: no event at all.
  Component.RunTasks(1);
  std::this_thread::sleep_for(200ms);
  EXPECT_TRUE(TakeEvents().empty());
  Component.DropAllTasks();
  EXPECT_TRUE(Component.LastFailure().empty());
}

TEST_F(Converter, OneAtATimeReportsEachTaskThenTheEndAndMayDropFromTheEnd) {
  for (auto name : {fx::kH263Aac, fx::kMpeg4Aac, fx::kH264Aac}) AddAvi(Fixture(name));
  std::vector<uint32_t> threads;
  OnTerminateExtra = [&](int32_t index) {
    if (index >= 0) threads.push_back(Component.TaskEngine(index)->ThreadId());
    // The host frees the tasks from the final event while their workers unwind.
    if (index == -1) Component.DropAllTasks();
  };
  Component.RunTasks(1);
  ASSERT_TRUE(WaitForFinal());
  auto events = TakeEvents();
  ASSERT_EQ(Indexes(), (std::vector<int32_t>{0, 1, 2, -1}));
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(events[i].Finished) << events[i].Message;
    EXPECT_FALSE(events[i].Exception) << events[i].Message;
    EXPECT_EQ(events[i].Thread, threads[i]) << "reported on the task's own worker";
  }
  EXPECT_TRUE(events[3].Finished);
  EXPECT_EQ(Component.TaskTotal(), 0);
  for (const auto& name : Taken) EXPECT_TRUE(Playable(name)) << name;
}

TEST_F(Converter, TasksThatRanDoNotRunAgain) {
  AddAvi(Fixture(fx::kH263Aac));
  Component.RunTasks(1);
  ASSERT_TRUE(WaitForFinal());
  ASSERT_EQ(TakeEvents().size(), 2u);
  Component.RunTasks(1);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(TakeEvents().size(), 2u) << "a list is refilled for every run";
}

TEST_F(Converter, TwoAtOnceStartTheThirdFromTheFirstTermination) {
  for (auto name : {fx::kH263Aac, fx::kMpeg4Aac, fx::kH263Aac}) AddAvi(Fixture(name));
  std::mutex gate;
  std::condition_variable opened;
  bool released = false;
  uint32_t thirdAtFirstEnd = 1;
  OnTerminateExtra = [&](int32_t index) {
    std::unique_lock lock(gate);
    if (index >= 0 && thirdAtFirstEnd == 1) thirdAtFirstEnd = Component.TaskEngine(2)->ThreadId();
    opened.wait(lock, [&] { return released; });
  };
  // Taken now: once a worker holds the gate inside its event, it also holds the component.
  TFFmpeg* tasks[] = {Component.TaskEngine(0), Component.TaskEngine(1), Component.TaskEngine(2)};
  Component.RunTasks(2);
  uint32_t first = tasks[0]->ThreadId(), second = tasks[1]->ThreadId();
  EXPECT_NE(first, 0u);
  EXPECT_NE(second, 0u);
  EXPECT_NE(first, second);
  EXPECT_EQ(tasks[2]->ThreadId(), 0u) << "the third waits for a free slot";
  {
    std::lock_guard lock(gate);
    released = true;
    opened.notify_all();
  }
  ASSERT_TRUE(WaitForFinal());
  EXPECT_EQ(thirdAtFirstEnd, 0u) << "not started before the first termination";
  auto indexes = Indexes();
  ASSERT_EQ(indexes.size(), 4u);
  EXPECT_EQ(indexes.back(), -1);
  std::sort(indexes.begin(), indexes.end() - 1);
  EXPECT_EQ(indexes, (std::vector<int32_t>{0, 1, 2, -1}));
  uint32_t third = Component.TaskEngine(2)->ThreadId();
  EXPECT_NE(third, 0u);
}

TEST_F(Converter, SynchronousModeRunsEveryTaskOnTheMainThread) {
  for (auto name : {fx::kH263Aac, fx::kVideoOnly, fx::kAudioOnly}) AddAvi(Fixture(name));
  TMainLoop loop;
  Component.PostDelayed = [&loop](int ms, std::function<void()> action) { loop.PostDelayed(ms, std::move(action)); };
  std::vector<std::chrono::steady_clock::time_point> ends;
  OnTerminateExtra = [&](int32_t index) {
    ends.push_back(std::chrono::steady_clock::now());
    if (index == -1) loop.Quit();
  };
  const uint32_t main = logcapture::CurrentThreadId();
  auto start = std::chrono::steady_clock::now();
  Component.RunTasks(0);
  EXPECT_TRUE(TakeEvents().empty()) << "nothing runs before the loop does";
  loop.Run();
  auto events = TakeEvents();
  ASSERT_EQ(Indexes(), (std::vector<int32_t>{0, 1, 2, -1}));
  for (const auto& e : events) EXPECT_EQ(e.Thread, main);
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(events[i].Finished) << events[i].Message;
    EXPECT_EQ(Component.TaskEngine(i)->ThreadId(), main);
  }
  EXPECT_GE(ends[0] - start, 100ms);
  EXPECT_GE(ends[2] - start, 300ms) << "each start waits 100 ms";
}

TEST_F(Converter, CancelDuringTheSecondOfThree) {
  AddAvi(Fixture(fx::kH263Aac));
  AddAvi(LongClip());
  AddAvi(Fixture(fx::kMpeg4Aac));
  std::mutex gate;
  std::condition_variable progressed;
  bool secondRunning = false;
  Component.OnProgress = [&](TCustomOrvAVConverter*, int32_t index, int32_t, int32_t, int32_t, float, float,
                             int64_t, int32_t) {
    std::lock_guard lock(gate);
    if (index == 1) secondRunning = true;
    progressed.notify_all();
  };
  Component.RunTasks(1);
  {
    std::unique_lock lock(gate);
    ASSERT_TRUE(progressed.wait_for(lock, 60s, [&] { return secondRunning; }));
  }
  Component.CancelTasks();
  ASSERT_TRUE(WaitForFinal());
  auto events = TakeEvents();
  // The stopped task and the unstarted one report from different threads, in either order.
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[3].Index, -1);
  std::sort(events.begin(), events.end() - 1, [](const TEvent& a, const TEvent& b) { return a.Index < b.Index; });
  ASSERT_EQ(events[0].Index, 0);
  ASSERT_EQ(events[1].Index, 1);
  ASSERT_EQ(events[2].Index, 2);
  EXPECT_TRUE(events[0].Finished);
  EXPECT_FALSE(events[1].Finished) << "the running task was stopped";
  EXPECT_FALSE(events[1].Exception) << events[1].Message;
  EXPECT_FALSE(events[2].Finished);
  EXPECT_FALSE(events[2].Exception);
  EXPECT_EQ(events[2].Message, "");
  EXPECT_TRUE(events[3].Finished) << "the final event reads finished even after a cancel";
  for (const auto& name : Taken) {
    if (name.find("long_") != std::string::npos) {
      EXPECT_TRUE(Playable(name)) << "stopped output is complete";
    }
  }
}

TEST_F(Converter, AFailingTaskReportsItsMessageAndTheNextStillRuns) {
  std::vector<std::string> logged;
  Component.OnLog = [&](TCustomOrvAVConverter*, int32_t index, TLogLevel level, const std::string& text) {
    if (index == 0 && level == llQuiet) logged.push_back(text);
  };
  // MPEG-4 cannot code a time base finer than 1/65535: the encoder refuses to open.
  int32_t bad = AddAvi(Fixture(fx::kH263Aac), [](TOutputOptions& r) {
    r.VideoCodec = "mpeg4";
    r.FrameRate = "100000";
  });
  AddAvi(Fixture(fx::kMpeg4Aac));
  ASSERT_EQ(bad, 0);
  Component.RunTasks(1);
  ASSERT_TRUE(WaitForFinal());
  auto events = TakeEvents();
  ASSERT_EQ(Indexes(), (std::vector<int32_t>{0, 1, -1}));
  EXPECT_TRUE(events[0].Exception);
  EXPECT_FALSE(events[0].Finished);
  EXPECT_FALSE(events[0].Message.empty());
  EXPECT_TRUE(events[1].Finished) << events[1].Message;
  ASSERT_FALSE(logged.empty());
  EXPECT_EQ(logged.back(), events[0].Message) << "the error also reaches the log";
}

TEST_F(Converter, DroppingTaskZeroRenumbersTheRest) {
  const std::vector<std::string> sources = {Fixture(fx::kH263Aac), Fixture(fx::kMpeg4Aac), Fixture(fx::kVideoOnly)};
  for (const auto& s : sources) AddAvi(s);
  Component.DropTask(0);
  ASSERT_EQ(Component.TaskTotal(), 2);
  EXPECT_EQ(Component.TaskEngine(0)->TaskIndex(), 0);
  EXPECT_EQ(Component.TaskEngine(1)->InputRecord.FileName, sources[2]);
  Component.RunTasks(1);
  ASSERT_TRUE(WaitForFinal());
  auto events = TakeEvents();
  ASSERT_EQ(Indexes(), (std::vector<int32_t>{0, 1, -1}));
  EXPECT_EQ(events[0].Source, sources[1]);
  EXPECT_EQ(events[1].Source, sources[2]);
}

TEST_F(Converter, LibraryLinesAreAttributedToTheTaskOnTheLoggingThread) {
  Component.SetLogLevel(llError);
  std::vector<std::pair<int32_t, std::string>> marks;
  Component.OnLog = [&](TCustomOrvAVConverter*, int32_t index, TLogLevel level, const std::string& text) {
    if (text.rfind("mark", 0) == 0) {
      EXPECT_EQ(level, llError);
      marks.emplace_back(index, text);
    }
  };
  AddAvi(Fixture(fx::kH263Aac));
  AddAvi(Fixture(fx::kVideoOnly));
  OnTerminateExtra = [&](int32_t index) {
    // Runs on the task's worker: a library line from here belongs to that task.
    if (index >= 0) {
      lib::avutil.av_log(nullptr, AV_LOG_ERROR, "mark ");
      lib::avutil.av_log(nullptr, AV_LOG_ERROR, "%d\n", index);
    }
  };
  Component.RunTasks(1);
  ASSERT_TRUE(WaitForFinal());
  lib::avutil.av_log(nullptr, AV_LOG_ERROR, "mark main\n");
  lib::avutil.av_log(nullptr, AV_LOG_INFO, "mark filtered\n");
  EXPECT_EQ(marks, (std::vector<std::pair<int32_t, std::string>>{{0, "mark 0"}, {1, "mark 1"}, {-1, "mark main"}}));
}

TEST_F(Converter, WorkerThreadsTakeThePriority) {
  const int callerNice = getpriority(PRIO_PROCESS, logcapture::CurrentThreadId());
  std::vector<int> nice;
  Component.SetThreadPriority(tpLowest);
  AddAvi(Fixture(fx::kH263Aac));
  OnTerminateExtra = [&](int32_t index) {
    if (index >= 0) nice.push_back(getpriority(PRIO_PROCESS, logcapture::CurrentThreadId()));
  };
  Component.RunTasks(1);
  ASSERT_TRUE(WaitForFinal());
  EXPECT_EQ(nice, std::vector<int>{19});
  EXPECT_EQ(getpriority(PRIO_PROCESS, logcapture::CurrentThreadId()), callerNice) << "the caller keeps its own";
}
