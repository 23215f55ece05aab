// The library log callback: level filter, context prefix, per-thread joining, splitting, cut.
#include <gtest/gtest.h>

#include <cstdarg>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LibrarySet.h"
#include "LogCapture.h"
#include "ffmpeg.h"

using namespace component;
using namespace component::logcapture;

namespace {

struct TLine {
  uint32_t Thread;
  int Level;
  std::string Text;
  bool operator==(const TLine&) const = default;
};

class TCollector : public TLogReceiver {
 public:
  TCollector() { AddReceiver(this); }
  ~TCollector() override { RemoveReceiver(this); }
  void ReceiveLibraryLine(uint32_t threadId, int level, const std::string& line) override {
    std::lock_guard lock(Mutex);
    Lines.push_back({threadId, level, line});
  }
  std::vector<TLine> Take() {
    std::lock_guard lock(Mutex);
    return std::move(Lines);
  }

 private:
  std::mutex Mutex;
  std::vector<TLine> Lines;
};

void Log(void* context, int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  LibraryLogCallback(context, level, format, args);
  va_end(args);
}

const char* FakeName(void*) { return "fake"; }
const AVClass kFakeClass = [] {
  AVClass c{};
  c.class_name = "FakeClass";
  c.item_name = FakeName;
  c.version = LIBAVUTIL_VERSION_INT;
  return c;
}();
struct TFakeContext {
  const AVClass* Class = &kFakeClass;
};

class LogCapture : public ::testing::Test {
 protected:
  void SetUp() override {
    libbind::SetLibraryLogLevel(AV_LOG_INFO);
    ClearPendingLines();
  }
  void TearDown() override { ClearPendingLines(); }
  TCollector Collector;
  const uint32_t Me = CurrentThreadId();
};

}  // namespace

TEST_F(LogCapture, PiecesJoinIntoOneLineWithThePrefixOnlyInFront) {
  TFakeContext context;
  Log(&context, AV_LOG_INFO, "Stream %d: ", 0);
  EXPECT_TRUE(Collector.Take().empty());
  Log(&context, AV_LOG_INFO, "%s\n", "Audio");
  auto lines = Collector.Take();
  ASSERT_EQ(lines.size(), 1u);
  char prefix[64];
  std::snprintf(prefix, sizeof(prefix), "[fake @ %08lX]", reinterpret_cast<unsigned long>(&kFakeClass));
  EXPECT_EQ(lines[0], (TLine{Me, AV_LOG_INFO, std::string(prefix) + "Stream 0: Audio"}));
}

TEST_F(LogCapture, SplitsAtEveryLineFeedAndKeepsTheTailForTheNextMessage) {
  Log(nullptr, AV_LOG_ERROR, "one\ntwo\nthr");
  EXPECT_EQ(Collector.Take(), (std::vector<TLine>{{Me, AV_LOG_ERROR, "one"}, {Me, AV_LOG_ERROR, "two"}}));
  Log(nullptr, AV_LOG_ERROR, "ee\n\n");
  EXPECT_EQ(Collector.Take(), (std::vector<TLine>{{Me, AV_LOG_ERROR, "three"}, {Me, AV_LOG_ERROR, ""}}));
}

TEST_F(LogCapture, LevelFilterFollowsTheLibraryLevel) {
  Log(nullptr, AV_LOG_DEBUG, "hidden\n");
  Log(nullptr, AV_LOG_INFO, "shown\n");
  libbind::SetLibraryLogLevel(AV_LOG_QUIET);
  Log(nullptr, AV_LOG_PANIC, "hidden too\n");
  Log(nullptr, AV_LOG_QUIET, "quiet passes\n");
  auto lines = Collector.Take();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].Text, "shown");
  EXPECT_EQ(lines[1].Text, "quiet passes");
}

TEST_F(LogCapture, UnfinishedLinesArePerThread) {
  Log(nullptr, AV_LOG_INFO, "main ");
  uint32_t other = 0;
  std::thread([&] {
    other = CurrentThreadId();
    Log(nullptr, AV_LOG_INFO, "worker ");
    Log(nullptr, AV_LOG_INFO, "line\n");
  }).join();
  Log(nullptr, AV_LOG_INFO, "line\n");
  EXPECT_EQ(Collector.Take(), (std::vector<TLine>{{other, AV_LOG_INFO, "worker line"},
                                                  {Me, AV_LOG_INFO, "main line"}}));
  // Clearing drops what was pending.
  Log(nullptr, AV_LOG_INFO, "lost ");
  ClearPendingLines();
  Log(nullptr, AV_LOG_INFO, "fresh\n");
  EXPECT_EQ(Collector.Take(), (std::vector<TLine>{{Me, AV_LOG_INFO, "fresh"}}));
}

TEST_F(LogCapture, LongTextIsCutInsideTheBufferAndEndsTheLine) {
  const std::string big(5000, 'x');
  Log(nullptr, AV_LOG_INFO, "%s\n", big.c_str());
  Log(nullptr, AV_LOG_INFO, "next\n");
  auto lines = Collector.Take();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].Text, std::string(kLineBufferSize - 1, 'x'));
  EXPECT_EQ(lines[1].Text, "next");

  // A pending text that already fills the buffer cannot grow further.
  Log(nullptr, AV_LOG_INFO, "%s", std::string(kLineBufferSize + 10, 'p').c_str());
  Log(nullptr, AV_LOG_INFO, "tail\n");
  lines = Collector.Take();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].Text.size(), kLineBufferSize - 1);
  EXPECT_EQ(lines[1].Text, "tail");
}

TEST_F(LogCapture, ConcurrentThreadsNeverMixTheirLines) {
  constexpr int kThreads = 4, kLines = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) {
        Log(nullptr, AV_LOG_INFO, "t%d ", t);
        Log(nullptr, AV_LOG_INFO, "n%d\n", i);
      }
    });
  for (auto& thread : threads) thread.join();
  auto lines = Collector.Take();
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
  std::vector<int> next(kThreads, 0);
  for (const auto& line : lines) {
    int t = -1, n = -1;
    ASSERT_EQ(std::sscanf(line.Text.c_str(), "t%d n%d", &t, &n), 2) << line.Text;
    ASSERT_GE(t, 0);
    ASSERT_LT(t, kThreads);
    EXPECT_EQ(n, next[t]++) << "lines of one thread arrive whole and in order";
  }
}
