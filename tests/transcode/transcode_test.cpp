// End to end: fixtures through the engine's transcode into AVI, checked by decoding the result
// with the libraries directly.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "FFmpeg.h"
#include "FFmpegThread.h"
#include "TestFiles.h"
#include "fixture_names.h"

namespace {

using namespace transcode_test;
using engine::TCustomFFmpeg;
using engine::TFFmpeg;

bool FileExists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

struct LogLine {
  int Level;
  std::string Text;
};

class TranscodeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(BindLibraries());
    Engine.LogCallback = [this](TCustomFFmpeg*, int level, const std::string& text) {
      std::lock_guard<std::mutex> guard(LogMutex);
      Lines.push_back({level, text});
    };
    Engine.TerminateCallback = [this](TCustomFFmpeg*) {
      std::lock_guard<std::mutex> guard(TerminateMutex);
      ++Terminations;
      TerminateSignal.notify_all();
    };
  }

  void WaitTerminated() {
    std::unique_lock<std::mutex> guard(TerminateMutex);
    ASSERT_TRUE(TerminateSignal.wait_for(guard, std::chrono::seconds(60), [this] { return Terminations > 0; }));
  }

  std::vector<LogLine> LinesAt(int level) {
    std::lock_guard<std::mutex> guard(LogMutex);
    std::vector<LogLine> result;
    for (const LogLine& line : Lines)
      if (line.Level == level) result.push_back(line);
    return result;
  }

  TFFmpeg Engine;
  std::mutex LogMutex, TerminateMutex;
  std::condition_variable TerminateSignal;
  std::vector<LogLine> Lines;
  int Terminations = 0;
};

struct FixtureCase {
  std::string_view Name;
  bool Video, Audio;
};

class FixtureToAvi : public TranscodeTest, public ::testing::WithParamInterface<FixtureCase> {};

TEST_P(FixtureToAvi, ConvertsWithTheApplicationsParameters) {
  const FixtureCase& c = GetParam();
  const std::string source = Fixture(c.Name);
  const std::string target = OutputPath(std::string(c.Name) + ".avi");
  AddInput(Engine, source);
  AddAviOutput(Engine, target, {.Video = c.Video, .Audio = c.Audio});

  EXPECT_EQ(Engine.Start(false), nullptr);
  EXPECT_FALSE(Engine.ExceptionRaised) << Engine.ErrorMessage;
  EXPECT_TRUE(Engine.Finished);
  EXPECT_TRUE(Engine.Terminated);
  EXPECT_EQ(Terminations, 1);
  EXPECT_TRUE(Engine.OpenEncoders.empty());
  EXPECT_TRUE(Engine.OpenDecoders.empty());

  const TDecoded in = DecodeFile(source);
  const TDecoded out = DecodeFile(target);
  ASSERT_TRUE(out.Opened);
  EXPECT_EQ(out.DecodeErrors, 0);
  if (c.Video) {
    EXPECT_EQ(out.VideoCodec, AV_CODEC_ID_MSMPEG4V2);
    EXPECT_EQ(out.Width, in.Width);
    EXPECT_EQ(out.Height, in.Height);
    EXPECT_NEAR(out.VideoFrames, in.VideoFrames, 1);
    EXPECT_NEAR(out.VideoSeconds, in.VideoSeconds, 1.0 / av_q2d(in.FrameRate));
  } else {
    EXPECT_EQ(out.VideoCodec, AV_CODEC_ID_NONE);
  }
  if (c.Audio) {
    EXPECT_EQ(out.AudioCodec, AV_CODEC_ID_PCM_S16LE);
    EXPECT_EQ(out.SampleRate, 44100);
    EXPECT_EQ(out.Channels, 2);
    EXPECT_NEAR(out.AudioSeconds, in.AudioSeconds, 0.05);
    // The source's own difference (AAC rounds its last frame up) is kept, none is added.
    if (c.Video) {
      EXPECT_LE(std::abs(out.AudioSeconds - out.VideoSeconds),
                std::abs(in.AudioSeconds - in.VideoSeconds) + 0.05);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, FixtureToAvi,
                         ::testing::Values(FixtureCase{qv::fixtures::kH263Aac, true, true},
                                           FixtureCase{qv::fixtures::kMpeg4Aac, true, true},
                                           FixtureCase{qv::fixtures::kH264Aac, true, true},
                                           FixtureCase{qv::fixtures::kAudioOnly, false, true},
                                           FixtureCase{qv::fixtures::kVideoOnly, true, false}),
                         [](const auto& testInfo) {
                           std::string name(testInfo.param.Name);
                           return name.substr(0, name.find('.'));
                         });

TEST_F(TranscodeTest, StreamCopyKeepsEveryPacket) {
  const std::string source = Fixture(qv::fixtures::kMpeg4Aac);
  const std::string target = OutputPath("copy.avi");
  AddInput(Engine, source);
  AddAviOutput(Engine, target, {.CopyVideo = true, .CopyAudio = true});
  Engine.Start(false);
  ASSERT_FALSE(Engine.ExceptionRaised) << Engine.ErrorMessage;

  const TDecoded in = DecodeFile(source);
  const TDecoded out = DecodeFile(target);
  EXPECT_EQ(out.DecodeErrors, 0);
  EXPECT_EQ(out.VideoCodec, AV_CODEC_ID_MPEG4);
  EXPECT_EQ(out.AudioCodec, AV_CODEC_ID_AAC);
  EXPECT_EQ(out.VideoFrames, in.VideoFrames);
  EXPECT_NEAR(out.AudioSeconds, in.AudioSeconds, 0.05);
  EXPECT_GT(Engine.VideoBytes, 0);
  EXPECT_GT(Engine.AudioBytes, 0);
}

// One input stream re-encoded into one output and copied into another: the copy must get each
// packet once, not once per decoded frame and not twice.
TEST_F(TranscodeTest, StreamDecodedForOneOutputIsCopiedOnceToAnother) {
  const std::string source = Fixture(qv::fixtures::kMpeg4Aac);
  const std::string encoded = OutputPath("encoded.avi");
  const std::string copied = OutputPath("copied.avi");
  AddInput(Engine, source);
  AddAviOutput(Engine, encoded, {});
  AddAviOutput(Engine, copied, {.CopyVideo = true, .CopyAudio = true});
  Engine.Start(false);
  ASSERT_FALSE(Engine.ExceptionRaised) << Engine.ErrorMessage;

  const TDecoded in = DecodeFile(source);
  const TDecoded outEncoded = DecodeFile(encoded);
  const TDecoded outCopied = DecodeFile(copied);
  EXPECT_NEAR(outEncoded.VideoFrames, in.VideoFrames, 1);
  EXPECT_EQ(outCopied.VideoCodec, AV_CODEC_ID_MPEG4);
  EXPECT_EQ(outCopied.VideoFrames, in.VideoFrames);
  EXPECT_NEAR(outCopied.AudioSeconds, in.AudioSeconds, 0.05);
  EXPECT_EQ(outCopied.DecodeErrors, 0);
}

TEST_F(TranscodeTest, FrameLimitEndsTheRunWithACompleteFile) {
  const std::string target = OutputPath("vframes.avi");
  AddInput(Engine, Fixture(qv::fixtures::kMpeg4Aac));
  AddAviOutput(Engine, target, {});
  Engine.MaxFrames[0] = 10;
  Engine.Start(false);
  ASSERT_FALSE(Engine.ExceptionRaised) << Engine.ErrorMessage;
  EXPECT_TRUE(Engine.Finished);
  const TDecoded out = DecodeFile(target);
  EXPECT_EQ(out.VideoFrames, 10);
  EXPECT_NEAR(out.AudioSeconds, out.VideoSeconds, 0.1);
}

TEST_F(TranscodeTest, RecordingTimeLimitStopsEveryOutputNearIt) {
  const std::string target = OutputPath("t.avi");
  AddInput(Engine, Fixture(qv::fixtures::kMpeg4Aac));
  AddAviOutput(Engine, target, {});
  Engine.RecordingTime = 1000000;
  Engine.Start(false);
  ASSERT_FALSE(Engine.ExceptionRaised) << Engine.ErrorMessage;
  const TDecoded out = DecodeFile(target);
  // The loop ends once every output has reached the limit: no output stops short of it and
  // none runs on more than a packet or two past it.
  EXPECT_GE(out.VideoSeconds, 1.0 - 1e-9);
  EXPECT_LE(out.VideoSeconds, 1.0 + 2.0 / 25);
  EXPECT_GE(out.AudioSeconds, 1.0 - 0.05);
  EXPECT_LE(out.AudioSeconds, 1.0 + 0.1);
}

// A stop request, before the worker starts or in the middle of the run, still leaves a complete
// file: the trailer (the AVI index) is written and the libraries decode it without error.
TEST_F(TranscodeTest, StopRequestGivesAPlayableFileAndNotFinished) {
  struct StopCase {
    const char* Name;
    bool BeforeResume;
  };
  for (const StopCase& c : {StopCase{"before_resume", true}, StopCase{"mid_run", false}}) {
    SCOPED_TRACE(c.Name);
    TFFmpeg engine;
    std::mutex mutex;
    std::condition_variable done;
    bool terminated = false;
    engine.TerminateCallback = [&](TCustomFFmpeg*) {
      std::lock_guard<std::mutex> guard(mutex);
      terminated = true;
      done.notify_all();
    };
    std::atomic<int> lastFrame{0};
    engine.ProgressInterval = 0;
    engine.ProgressCallback = [&](TCustomFFmpeg* sender, const engine::TProgressFigures& figures) {
      lastFrame = figures.FrameNumber;
      if (figures.FrameNumber >= 10) sender->Stop();
    };
    const std::string target = OutputPath(std::string("stop_") + c.Name + ".avi");
    AddInput(engine, Fixture(qv::fixtures::kMpeg4Aac));
    AddAviOutput(engine, target, {});

    engine::TFFmpegThread* thread = engine.Start(true);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(engine.Thread, thread);
    if (c.BeforeResume)
      engine.Stop();  // resumes the suspended worker, which then ends at once
    else
      thread->Resume();
    {
      std::unique_lock<std::mutex> guard(mutex);
      ASSERT_TRUE(done.wait_for(guard, std::chrono::seconds(60), [&] { return terminated; }));
    }
    EXPECT_FALSE(engine.ExceptionRaised) << engine.ErrorMessage;
    EXPECT_FALSE(engine.Finished);
    EXPECT_EQ(engine.Thread, nullptr);

    const TDecoded out = DecodeFile(target);
    ASSERT_TRUE(out.Opened);
    EXPECT_EQ(out.DecodeErrors, 0);
    EXPECT_NE(ReadAll(target).find("idx1"), std::string::npos);
    if (c.BeforeResume) {
      EXPECT_EQ(out.VideoFrames, 0);
    } else {
      EXPECT_GE(out.VideoFrames, 10);
      EXPECT_LT(out.VideoFrames, DecodeFile(Fixture(qv::fixtures::kMpeg4Aac)).VideoFrames);
    }
  }
}

struct SetupErrorCase {
  const char* Name;
  std::string_view Source;
  std::function<void(TCustomFFmpeg&)> Configure;
  TAviOutput Output;
  std::string Message;
};

class SetupErrors : public TranscodeTest, public ::testing::WithParamInterface<SetupErrorCase> {};

// Each refusal ends the run with its message, a level -1 log line and one termination notice,
// leaves no codec open and no empty output file behind.
TEST_P(SetupErrors, EndTheRunWithTheirMessage) {
  const SetupErrorCase& c = GetParam();
  const std::string target = OutputPath(std::string("error_") + c.Name + ".avi");
  AddInput(Engine, Fixture(c.Source));
  AddAviOutput(Engine, target, c.Output);
  c.Configure(Engine);
  Engine.Start(false);
  EXPECT_TRUE(Engine.ExceptionRaised);
  EXPECT_EQ(Engine.ErrorMessage, c.Message);
  const auto errors = LinesAt(-1);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].Text, c.Message);
  EXPECT_EQ(Terminations, 1);
  EXPECT_FALSE(Engine.Finished);
  EXPECT_TRUE(Engine.OpenEncoders.empty());
  EXPECT_TRUE(Engine.OpenDecoders.empty());
  EXPECT_TRUE(Engine.OutputStreamTable.empty());
  EXPECT_FALSE(FileExists(target));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SetupErrors,
    ::testing::Values(
        SetupErrorCase{"map_count", qv::fixtures::kMpeg4Aac,
                       [](TCustomFFmpeg& e) { e.StreamMaps = {{0, 0, 0, 0}}; }, {},
                       "Number of stream maps must match number of output streams"},
        SetupErrorCase{"missing_stream", qv::fixtures::kMpeg4Aac,
                       [](TCustomFFmpeg& e) { e.StreamMaps = {{0, 0, 0, 0}, {1, 0, 1, 0}}; }, {},
                       "Could not find input stream #1.0"},
        SetupErrorCase{"missing_sync", qv::fixtures::kMpeg4Aac,
                       [](TCustomFFmpeg& e) { e.StreamMaps = {{0, 0, 0, 0}, {0, 1, 0, 7}}; }, {},
                       "Could not find sync stream #0.7"},
        SetupErrorCase{"no_matching_source", qv::fixtures::kAudioOnly, [](TCustomFFmpeg&) {}, {},
                       "Could not find input stream matching output stream #0.0"},
        SetupErrorCase{"copy_with_volume", qv::fixtures::kMpeg4Aac,
                       [](TCustomFFmpeg& e) { e.AudioVolume = 512; }, {.CopyAudio = true},
                       "-acodec copy and -vol are incompatible (frames are not decoded)"},
        // Raised after the codecs were opened: they must be closed before the tables go.
        SetupErrorCase{"metadata_map_after_codecs", qv::fixtures::kMpeg4Aac,
                       [](TCustomFFmpeg& e) { e.MetadataMaps = {{3, 0}}; }, {},
                       "Invalid output file index 3 map_meta_data(3,0)"}),
    [](const auto& testInfo) { return std::string(testInfo.param.Name); });

TEST_F(TranscodeTest, StartWithoutFilesIsRefusedAsATermination) {
  EXPECT_EQ(Engine.Start(true), nullptr);
  EXPECT_TRUE(Engine.ExceptionRaised);
  EXPECT_EQ(Engine.ErrorMessage, "Must supply at least one output file");
  EXPECT_EQ(Terminations, 1);
  // Terminated: a second start does nothing until the engine is prepared again.
  EXPECT_EQ(Engine.Start(false), nullptr);
  EXPECT_EQ(Terminations, 1);

  Engine.Prepare();
  const std::string target = OutputPath("no_input.avi");
  AddAviOutput(Engine, target, {.Video = false});
  Engine.Start(false);
  EXPECT_EQ(Engine.ErrorMessage, "Must supply at least one input file");
  EXPECT_EQ(Terminations, 2);
  EXPECT_FALSE(FileExists(target));
}

}  // namespace
