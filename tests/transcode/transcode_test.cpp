// End to end: fixtures opened and converted the way the application does it (input, options,
// output, start), the result checked by decoding it with the libraries directly.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <condition_variable>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "FFmpeg.h"
#include "FFmpegThread.h"
#include "TestFiles.h"
#include "fixture_names.h"

namespace {

using namespace transcode_test;
using engine::TCustomFFmpeg;
using engine::TFFmpeg;
namespace fx = qv::fixtures;

using TOptions = std::vector<std::pair<std::string, std::string>>;

bool FileExists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The application's parameters for an AVI, applied after the input is open.
const TOptions kAviParameters = {
    {"vcodec", "msmpeg4v2"}, {"acodec", "pcm_s16le"}, {"ac", "2"}, {"ar", "44100"}};

// Opens `source`, applies the AVI parameters then `extra`, and opens `target`.
// Returns the engine's error text, empty on success.
std::string OpenAsApplication(TFFmpeg& e, const std::string& source, const std::string& target,
                              const TOptions& extra = {}) {
  if (!e.OpenInputFile(source)) return "input: " + e.ErrorText;
  for (const auto& [name, value] : kAviParameters) e.ApplyOption(name, value);
  e.ApplyGenericOptionInt("vb", 1200000);
  e.ApplyGenericOptionInt("ab", 128000);
  for (const auto& [name, value] : extra) e.ApplyOption(name, value);
  if (!e.OpenOutputFile(target)) return "output: " + e.ErrorText;
  return {};
}

struct LogLine {
  int Level;
  std::string Text;
};

class TranscodeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(BindLibraries());
    Watch(Engine);
    Engine.Prepare();
  }

  void Watch(TFFmpeg& e) {
    e.LogCallback = [this](TCustomFFmpeg*, int level, const std::string& text) {
      std::lock_guard<std::mutex> guard(LogMutex);
      Lines.push_back({level, text});
    };
    e.TerminateCallback = [this](TCustomFFmpeg*) {
      std::lock_guard<std::mutex> guard(TerminateMutex);
      ++Terminations;
      TerminateSignal.notify_all();
    };
  }

  void WaitTerminated() {
    std::unique_lock<std::mutex> guard(TerminateMutex);
    ASSERT_TRUE(TerminateSignal.wait_for(guard, std::chrono::seconds(120),
                                         [this] { return Terminations > 0; }));
  }

  void Run(bool threaded) {
    if (!threaded) {
      EXPECT_EQ(Engine.Start(false), nullptr);
      return;
    }
    engine::TFFmpegThread* thread = Engine.Start(true);
    ASSERT_NE(thread, nullptr);
    thread->Resume();
    WaitTerminated();
  }

  std::vector<LogLine> LinesAt(int level) {
    std::lock_guard<std::mutex> guard(LogMutex);
    std::vector<LogLine> result;
    for (const LogLine& line : Lines)
      if (line.Level == level) result.push_back(line);
    return result;
  }

  bool Logged(const std::string& piece) {
    std::lock_guard<std::mutex> guard(LogMutex);
    for (const LogLine& line : Lines)
      if (line.Text.find(piece) != std::string::npos) return true;
    return false;
  }

  TFFmpeg Engine;
  std::mutex LogMutex, TerminateMutex;
  std::condition_variable TerminateSignal;
  std::vector<LogLine> Lines;
  int Terminations = 0;
};

struct FixtureCase {
  std::string_view Name;
  bool Threaded = false;
};

class FixtureToAvi : public TranscodeTest, public ::testing::WithParamInterface<FixtureCase> {};

// Every source with media becomes an AVI with the application's streams: MS-MPEG4 v2 of the
// source's size (no video stream for a sound-only source), PCM s16le stereo at 44.1 kHz, as long
// as the source and with sound and picture ending together (a late sound start is kept).
TEST_P(FixtureToAvi, ConvertsWithTheApplicationsParameters) {
  const FixtureCase& c = GetParam();
  const std::string source = Fixture(c.Name);
  if (!FileExists(source)) GTEST_SKIP() << source << " not generated here";
  const std::string target = OutputPath(std::string(c.Name) + (c.Threaded ? ".t" : "") + ".avi");
  const TDecoded in = DecodeFile(source);
  ASSERT_TRUE(in.Opened);
  const bool video = in.VideoCodec != AV_CODEC_ID_NONE, audio = in.AudioCodec != AV_CODEC_ID_NONE;

  std::vector<engine::TProgressFigures> progress;
  Engine.ProgressInterval = 0;
  Engine.ProgressCallback = [&](TCustomFFmpeg*, const engine::TProgressFigures& f) {
    progress.push_back(f);
  };
  ASSERT_EQ(OpenAsApplication(Engine, source, target), "");

  // The encoders hold exactly the application's settings.
  const engine::TOutputFile& file = Engine.OutputFiles.at(0);
  ASSERT_EQ(file.Encoders.size(), static_cast<size_t>(video) + audio);
  for (const auto& encoder : file.Encoders) {
    if (encoder->codec_type == AVMEDIA_TYPE_VIDEO) {
      EXPECT_EQ(encoder->codec_id, AV_CODEC_ID_MSMPEG4V2);
      EXPECT_EQ(encoder->bit_rate, 1200000);
      EXPECT_EQ(encoder->width, in.Width);
      EXPECT_EQ(encoder->height, in.Height);
    } else {
      EXPECT_EQ(encoder->codec_id, AV_CODEC_ID_PCM_S16LE);
      EXPECT_EQ(encoder->bit_rate, 128000);
      EXPECT_EQ(encoder->sample_rate, 44100);
      EXPECT_EQ(encoder->ch_layout.nb_channels, 2);
    }
  }

  Run(c.Threaded);
  EXPECT_FALSE(Engine.ExceptionRaised) << Engine.ErrorMessage;
  EXPECT_TRUE(Engine.Finished);
  EXPECT_TRUE(Engine.Terminated);
  EXPECT_EQ(Terminations, 1);
  EXPECT_TRUE(Engine.OpenEncoders.empty());
  EXPECT_TRUE(Engine.OpenDecoders.empty());

  const TDecoded out = DecodeFile(target);
  ASSERT_TRUE(out.Opened);
  EXPECT_EQ(out.DecodeErrors, 0);
  EXPECT_EQ(out.Streams, static_cast<int>(video) + audio);
  if (video) {
    EXPECT_EQ(out.VideoCodec, AV_CODEC_ID_MSMPEG4V2);
    EXPECT_EQ(out.Width, in.Width);
    EXPECT_EQ(out.Height, in.Height);
    EXPECT_NEAR(out.VideoFrames, in.VideoFrames, 1);
    EXPECT_NEAR(out.VideoSeconds, in.VideoSeconds, 1.0 / av_q2d(in.FrameRate));
  } else {
    EXPECT_EQ(out.VideoCodec, AV_CODEC_ID_NONE);
  }
  if (audio) {
    EXPECT_EQ(out.AudioCodec, AV_CODEC_ID_PCM_S16LE);
    EXPECT_EQ(out.SampleRate, 44100);
    EXPECT_EQ(out.Channels, 2);
    // A late start in the source becomes silence at the start of the output.
    const double inAudioEnd = in.AudioStart + in.AudioSeconds;
    EXPECT_NEAR(out.AudioSeconds, inAudioEnd, 0.05);
    if (video) {
      const double ownGap = std::abs(inAudioEnd - (in.VideoStart + in.VideoSeconds));
      EXPECT_LE(std::abs(out.AudioSeconds - out.VideoSeconds), ownGap + 0.05);
    }
  }

  // A host can show a percentage: the figures count up to the expected length.
  ASSERT_FALSE(progress.empty());
  const double length = std::max(video ? in.VideoStart + in.VideoSeconds : 0.0,
                                 audio ? in.AudioStart + in.AudioSeconds : 0.0);
  for (const engine::TProgressFigures& f : progress) {
    EXPECT_NEAR(f.TotalOutputDurationMs, length * 1000, 100);
    EXPECT_GE(f.CurrentDurationMs, 0);
    EXPECT_LE(f.CurrentDurationMs, f.TotalOutputDurationMs + 100);
  }
  EXPECT_NEAR(progress.back().CurrentDurationMs, length * 1000, 100);
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, FixtureToAvi,
    ::testing::Values(FixtureCase{fx::kH263Aac}, FixtureCase{fx::kMpeg4Aac},
                      FixtureCase{fx::kMpeg4Aac, true}, FixtureCase{fx::kH264Aac},
                      FixtureCase{fx::kAudioOnly}, FixtureCase{fx::kVideoOnly},
                      FixtureCase{fx::kToneWav}, FixtureCase{fx::kToneMp3},
                      FixtureCase{fx::kAudioOffset}, FixtureCase{fx::kRotated},
                      FixtureCase{fx::kH263Amr}, FixtureCase{fx::kH264Variable}),
    [](const auto& testInfo) {
      std::string name(testInfo.param.Name);
      std::replace(name.begin(), name.end(), '.', '_');
      return name + (testInfo.param.Threaded ? "_threaded" : "");
    });

struct CopyCase {
  const char* Name;
  std::string_view Source;
  const char* Target;
  TOptions Options;
};

class StreamCopy : public TranscodeTest, public ::testing::WithParamInterface<CopyCase> {};

// A copied stream keeps its codec and every packet; the other one is still re-encoded.
TEST_P(StreamCopy, KeepsEveryPacket) {
  const CopyCase& c = GetParam();
  const std::string source = Fixture(c.Source);
  const std::string target = OutputPath(c.Target);
  ASSERT_EQ(OpenAsApplication(Engine, source, target, c.Options), "");
  Engine.Start(false);
  ASSERT_FALSE(Engine.ExceptionRaised) << Engine.ErrorMessage;
  EXPECT_TRUE(Engine.Finished);

  const TDecoded in = DecodeFile(source);
  const TDecoded out = DecodeFile(target);
  EXPECT_EQ(out.DecodeErrors, 0);
  bool copyVideo = false, copyAudio = false;
  for (const auto& [name, value] : c.Options) {
    copyVideo |= name == "vcodec" && value == "copy";
    copyAudio |= name == "acodec" && value == "copy";
  }
  EXPECT_EQ(out.VideoCodec, copyVideo ? in.VideoCodec : AV_CODEC_ID_MSMPEG4V2);
  EXPECT_EQ(out.AudioCodec, copyAudio ? in.AudioCodec : AV_CODEC_ID_PCM_S16LE);
  if (copyVideo)
    EXPECT_EQ(out.VideoFrames, in.VideoFrames);
  else
    EXPECT_NEAR(out.VideoFrames, in.VideoFrames, 1);
  EXPECT_NEAR(out.AudioSeconds, in.AudioSeconds, 0.05);
  EXPECT_GT(Engine.VideoBytes, 0);
  EXPECT_GT(Engine.AudioBytes, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StreamCopy,
    ::testing::Values(
        CopyCase{"both_into_avi", fx::kMpeg4Aac, "copy_both.avi",
                 {{"vcodec", "copy"}, {"acodec", "copy"}}},
        CopyCase{"video_into_avi", fx::kH263Aac, "copy_video.avi", {{"vcodec", "copy"}}},
        CopyCase{"audio_into_avi", fx::kMpeg4Aac, "copy_audio.avi", {{"acodec", "copy"}}},
        CopyCase{"both_into_3gp", fx::kH263Aac, "copy_both.3gp",
                 {{"vcodec", "copy"}, {"acodec", "copy"}}},
        CopyCase{"both_into_mp4", fx::kH264Aac, "copy_both.mp4",
                 {{"vcodec", "copy"}, {"acodec", "copy"}}}),
    [](const auto& testInfo) { return std::string(testInfo.param.Name); });

// One input stream re-encoded into one output and copied into another: the copy must get each
// packet once, not once per decoded frame and not twice.
TEST_F(TranscodeTest, StreamDecodedForOneOutputIsCopiedOnceToAnother) {
  const std::string source = Fixture(fx::kMpeg4Aac);
  const std::string encoded = OutputPath("encoded.avi");
  const std::string copied = OutputPath("copied.avi");
  ASSERT_EQ(OpenAsApplication(Engine, source, encoded), "");
  Engine.ApplyOption("vcodec", "copy");
  Engine.ApplyOption("acodec", "copy");
  ASSERT_TRUE(Engine.OpenOutputFile(copied)) << Engine.ErrorText;
  Engine.Start(false);
  ASSERT_FALSE(Engine.ExceptionRaised) << Engine.ErrorMessage;

  const TDecoded in = DecodeFile(source);
  const TDecoded outEncoded = DecodeFile(encoded);
  const TDecoded outCopied = DecodeFile(copied);
  EXPECT_EQ(outEncoded.VideoCodec, AV_CODEC_ID_MSMPEG4V2);
  EXPECT_NEAR(outEncoded.VideoFrames, in.VideoFrames, 1);
  EXPECT_EQ(outCopied.VideoCodec, AV_CODEC_ID_MPEG4);
  EXPECT_EQ(outCopied.VideoFrames, in.VideoFrames);
  EXPECT_NEAR(outCopied.AudioSeconds, in.AudioSeconds, 0.05);
  EXPECT_EQ(outCopied.DecodeErrors, 0);
}

struct LimitCase {
  const char* Name;
  TOptions Options;
  int Frames;          // exact frame count expected, or -1
  double Seconds;      // expected length of both streams
  double Tolerance;
  std::string_view Source = fx::kMpeg4Aac;
};

class Limits : public TranscodeTest, public ::testing::WithParamInterface<LimitCase> {};

// A limit ends the run early with complete files, sound and picture of the same length, and the
// progress figures expect the limited length.
TEST_P(Limits, EndTheRunWithCompleteFiles) {
  const LimitCase& c = GetParam();
  const std::string target = OutputPath(std::string("limit_") + c.Name + ".avi");
  int32_t expected = 0;
  Engine.ProgressCallback = [&](TCustomFFmpeg*, const engine::TProgressFigures& f) {
    expected = f.TotalOutputDurationMs;
  };
  ASSERT_EQ(OpenAsApplication(Engine, Fixture(c.Source), target, c.Options), "");
  Engine.Start(false);
  ASSERT_FALSE(Engine.ExceptionRaised) << Engine.ErrorMessage;
  EXPECT_TRUE(Engine.Finished);
  const TDecoded out = DecodeFile(target);
  EXPECT_EQ(out.DecodeErrors, 0);
  if (c.Frames >= 0) {
    EXPECT_EQ(out.VideoFrames, c.Frames);
  }
  EXPECT_NEAR(out.VideoSeconds, c.Seconds, c.Tolerance);
  EXPECT_NEAR(out.AudioSeconds, c.Seconds, c.Tolerance);
  if (c.Frames < 0) {
    EXPECT_NEAR(expected, c.Seconds * 1000, 1);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Limits,
    ::testing::Values(LimitCase{"vframes", {{"vframes", "10"}}, 10, 0.4, 0.1},
                      LimitCase{"t", {{"t", "1"}}, -1, 1.0, 2.0 / 25},
                      // Given before the 3 s input or after it, a 1 s limit is what to expect.
                      LimitCase{"t_twice", {{"t", "5"}, {"t", "1"}}, -1, 1.0, 2.0 / 25},
                      // Pictures still inside the decoder when reading stops (B-frames) stay
                      // out: 30 frames of 1001/30000 s.
                      LimitCase{"t_reordered", {{"t", "1"}}, 30, 1.001, 0.05, fx::kH264Aac}),
    [](const auto& testInfo) { return std::string(testInfo.param.Name); });

class StartTime : public TranscodeTest, public ::testing::WithParamInterface<std::string_view> {};

// "ss" seeks back to the key frame before the start: what decodes before the start point stays
// out, so picture and sound both begin there (H.264's key frame lies a second before it).
TEST_P(StartTime, OutputBeginsAtTheStartPoint) {
  const std::string source = Fixture(GetParam());
  const std::string target = OutputPath(std::string("ss_") + std::string(GetParam()) + ".avi");
  const TDecoded in = DecodeFile(source);
  Engine.ApplyOption("ss", "1");
  ASSERT_EQ(OpenAsApplication(Engine, source, target), "");
  // A host's percentage counts what is converted, not what was skipped.
  EXPECT_NEAR(Engine.ExpectedDurationMs, (std::max(in.VideoSeconds, in.AudioSeconds) - 1.0) * 1000, 100);
  Engine.Start(false);
  ASSERT_FALSE(Engine.ExceptionRaised) << Engine.ErrorMessage;
  const TDecoded out = DecodeFile(target);
  EXPECT_EQ(out.DecodeErrors, 0);
  EXPECT_NEAR(out.VideoSeconds, in.VideoSeconds - 1.0, 1.0 / av_q2d(in.FrameRate));
  EXPECT_NEAR(out.AudioSeconds, out.VideoSeconds, 0.05);
}

INSTANTIATE_TEST_SUITE_P(Sources, StartTime,
                         ::testing::Values(fx::kH264Aac, fx::kMpeg4Aac, fx::kH263Amr),
                         [](const auto& testInfo) {
                           std::string name(testInfo.param);
                           std::replace(name.begin(), name.end(), '.', '_');
                           return name;
                         });

// A limit longer than the source: the source's length is what a host should expect, or its
// percentage never reaches 100.
TEST_F(TranscodeTest, ExpectedLengthIsTheShorterOfLimitAndSource) {
  Engine.ApplyOption("t", "1");
  ASSERT_TRUE(Engine.OpenInputFile(Fixture(fx::kMpeg4Aac)));
  EXPECT_EQ(Engine.ExpectedDurationMs, 1000);

  TFFmpeg other;
  other.Prepare();
  ASSERT_TRUE(other.OpenInputFile(Fixture(fx::kMpeg4Aac)));
  const int32_t length = other.ExpectedDurationMs;
  EXPECT_GT(length, 2900);
  other.ApplyOption("t", "60");
  EXPECT_EQ(other.ExpectedDurationMs, length);
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
    engine.Prepare();
    std::mutex mutex;
    std::condition_variable done;
    bool terminated = false;
    engine.TerminateCallback = [&](TCustomFFmpeg*) {
      std::lock_guard<std::mutex> guard(mutex);
      terminated = true;
      done.notify_all();
    };
    engine.ProgressInterval = 0;
    engine.ProgressCallback = [&](TCustomFFmpeg* sender, const engine::TProgressFigures& figures) {
      if (figures.FrameNumber >= 10) sender->Stop();
    };
    const std::string target = OutputPath(std::string("stop_") + c.Name + ".avi");
    ASSERT_EQ(OpenAsApplication(engine, Fixture(fx::kMpeg4Aac), target), "");

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
      EXPECT_LT(out.VideoFrames, DecodeFile(Fixture(fx::kMpeg4Aac)).VideoFrames);
      EXPECT_NEAR(out.AudioSeconds, out.VideoSeconds, 0.1);
    }
  }
}

struct SetupErrorCase {
  const char* Name;
  std::string_view Source;
  TOptions Options;
  std::string Message;
};

class SetupErrors : public TranscodeTest, public ::testing::WithParamInterface<SetupErrorCase> {};

// Each refusal ends the run with its message, a level -1 log line and one termination notice,
// leaves no codec open and no empty output file behind.
TEST_P(SetupErrors, EndTheRunWithTheirMessage) {
  const SetupErrorCase& c = GetParam();
  const std::string target = OutputPath(std::string("error_") + c.Name + ".avi");
  ASSERT_EQ(OpenAsApplication(Engine, Fixture(c.Source), target, c.Options), "");
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
        SetupErrorCase{"map_count", fx::kMpeg4Aac, {{"map", "0.0"}},
                       "Number of stream maps must match number of output streams"},
        SetupErrorCase{"missing_stream", fx::kMpeg4Aac, {{"map", "0.0"}, {"map", "0.5"}},
                       "Could not find input stream #0.5"},
        SetupErrorCase{"missing_file", fx::kMpeg4Aac, {{"map", "0.0"}, {"map", "1.0"}},
                       "Could not find input stream #1.0"},
        SetupErrorCase{"missing_sync", fx::kMpeg4Aac, {{"map", "0.0"}, {"map", "0.1:0.7"}},
                       "Could not find sync stream #0.7"},
        SetupErrorCase{"copy_with_volume", fx::kMpeg4Aac, {{"vol", "512"}, {"acodec", "copy"}},
                       "-acodec copy and -vol are incompatible (frames are not decoded)"},
        // Raised after the codecs were opened: they must be closed before the tables go.
        SetupErrorCase{"metadata_map_after_codecs", fx::kMpeg4Aac, {{"map_meta_data", "3:0"}},
                       "Invalid output file index 3 map_meta_data(3,0)"}),
    [](const auto& testInfo) { return std::string(testInfo.param.Name); });

// An output created before its input is known gets the format's streams; with a sound-only
// input, the video stream has no source.
TEST_F(TranscodeTest, OutputStreamWithoutASourceIsRefused) {
  const std::string target = OutputPath("no_source.avi");
  for (const auto& [name, value] : kAviParameters) Engine.ApplyOption(name, value);
  ASSERT_TRUE(Engine.OpenOutputFile(target)) << Engine.ErrorText;
  ASSERT_TRUE(Engine.OpenInputFile(Fixture(fx::kAudioOnly))) << Engine.ErrorText;
  Engine.Start(false);
  EXPECT_EQ(Engine.ErrorMessage, "Could not find input stream matching output stream #0.0");
  EXPECT_FALSE(FileExists(target));
}

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
  Engine.ApplyOption("vn", "");
  ASSERT_TRUE(Engine.OpenOutputFile(target)) << Engine.ErrorText;
  Engine.Start(false);
  EXPECT_EQ(Engine.ErrorMessage, "Must supply at least one input file");
  EXPECT_EQ(Terminations, 2);
  EXPECT_FALSE(FileExists(target));
}

// Without a progress callback the periodic line goes to the log; with one, the figures go to the
// callback and only the final summary reaches the log.
TEST_F(TranscodeTest, ReportGoesToTheCallbackOrToTheLog) {
  for (const bool callback : {false, true}) {
    SCOPED_TRACE(callback ? "callback" : "log");
    TFFmpeg e;
    Watch(e);
    e.Prepare();
    e.ProgressInterval = 0;
    int calls = 0;
    if (callback) e.ProgressCallback = [&](TCustomFFmpeg*, const engine::TProgressFigures&) { ++calls; };
    {
      std::lock_guard<std::mutex> guard(LogMutex);
      Lines.clear();
    }
    ASSERT_EQ(OpenAsApplication(e, Fixture(fx::kH263Aac), OutputPath("report.avi")), "");
    e.Start(false);
    ASSERT_FALSE(e.ExceptionRaised) << e.ErrorMessage;
    EXPECT_EQ(Logged("frame="), !callback);
    EXPECT_EQ(calls > 1, callback);
    EXPECT_TRUE(Logged("muxing overhead"));
  }
}

TEST_F(TranscodeTest, VstatsFileGetsALinePerFrame) {
  const std::string stats = OutputPath("vstats.log");
  ASSERT_EQ(OpenAsApplication(Engine, Fixture(fx::kH263Aac), OutputPath("vstats.avi"),
                              {{"vstats_file", stats}}),
            "");
  Engine.Start(false);
  ASSERT_FALSE(Engine.ExceptionRaised) << Engine.ErrorMessage;
  const std::string text = ReadAll(stats);
  ASSERT_FALSE(text.empty());
  const std::string first = text.substr(0, text.find('\n'));
  EXPECT_EQ(first.rfind("frame=     1 q= ", 0), 0u) << first;
  EXPECT_NE(first.find("f_size= "), std::string::npos);
  EXPECT_NE(first.find("type= I"), std::string::npos);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), DecodeFile(Fixture(fx::kH263Aac)).VideoFrames);
}


// The library's own lines, counted as a host's log callback would receive them.
std::mutex LibraryMutex;
std::vector<std::string> LibraryLines;
void KeepLibraryLine(void*, int level, const char* format, va_list args) {
  if (level > av_log_get_level()) return;
  char text[1024];
  std::vsnprintf(text, sizeof text, format, args);
  std::lock_guard<std::mutex> guard(LibraryMutex);
  LibraryLines.emplace_back(text);
}

// At the information level (the default) the library's lines stay few: the file descriptions,
// not a line per encoded frame. "v" 2 lets the encoder's own chatter through.
TEST_F(TranscodeTest, VerbosityKeepsTheLibrarysLogReadable) {
  for (const char* verbose : {"1", "2"}) {
    SCOPED_TRACE(verbose);
    TFFmpeg e;
    e.Prepare();
    e.ApplyOption("v", verbose);
    {
      std::lock_guard<std::mutex> guard(LibraryMutex);
      LibraryLines.clear();
    }
    av_log_set_callback(KeepLibraryLine);
    ASSERT_EQ(OpenAsApplication(e, Fixture(fx::kMpeg4Aac), OutputPath("verbose.avi")), "");
    e.Start(false);
    av_log_set_callback(av_log_default_callback);
    av_log_set_level(AV_LOG_ERROR);
    ASSERT_FALSE(e.ExceptionRaised) << e.ErrorMessage;
    std::lock_guard<std::mutex> guard(LibraryMutex);
    const auto clipping = std::count_if(LibraryLines.begin(), LibraryLines.end(), [](const auto& t) {
      return t.find("clipping") != std::string::npos;
    });
    if (std::string(verbose) == "1") {
      EXPECT_EQ(clipping, 0);
      EXPECT_LT(LibraryLines.size(), 100u);
    } else {
      EXPECT_GT(clipping, 0);
    }
  }
}

}  // namespace

namespace {

// An MPEG-4 elementary stream at 25 fps whose pictures shrink from 128x96 to 32x24 halfway, as a
// stream that changes its size mid-way does.
void WriteShrinkingClip(const std::string& path) {
  AVFormatContext* out = nullptr;
  ASSERT_GE(avformat_alloc_output_context2(&out, nullptr, "m4v", path.c_str()), 0);
  AVStream* stream = avformat_new_stream(out, nullptr);
  ASSERT_GE(avio_open(&out->pb, path.c_str(), AVIO_FLAG_WRITE), 0);
  AVPacket* packet = av_packet_alloc();
  for (int half = 0; half < 2; ++half) {
    const int width = half ? 32 : 128, height = half ? 24 : 96;
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MPEG4);
    AVCodecContext* encoder = avcodec_alloc_context3(codec);
    encoder->width = width;
    encoder->height = height;
    encoder->pix_fmt = AV_PIX_FMT_YUV420P;
    encoder->time_base = {1, 25};
    ASSERT_GE(avcodec_open2(encoder, codec, nullptr), 0);
    if (half == 0) {
      avcodec_parameters_from_context(stream->codecpar, encoder);
      stream->time_base = encoder->time_base;
      ASSERT_GE(avformat_write_header(out, nullptr), 0);
    }
    AVFrame* frame = av_frame_alloc();
    frame->width = width;
    frame->height = height;
    frame->format = AV_PIX_FMT_YUV420P;
    ASSERT_GE(av_frame_get_buffer(frame, 0), 0);
    for (int i = 0; i <= 10; ++i) {
      if (i < 10) {
        for (int p = 0; p < 3; ++p)
          std::fill_n(frame->data[p], frame->linesize[p] * (p ? height / 2 : height), 16 + 8 * i);
        frame->pts = half * 10 + i;
      }
      avcodec_send_frame(encoder, i < 10 ? frame : nullptr);
      while (avcodec_receive_packet(encoder, packet) == 0) {
        packet->stream_index = 0;
        av_write_frame(out, packet);
      }
    }
    av_frame_free(&frame);
    avcodec_free_context(&encoder);
  }
  av_packet_free(&packet);
  av_write_trailer(out);
  avio_closep(&out->pb);
  avformat_free_context(out);
}

// Luma of the last picture of `path` at its top-left and bottom-right corners.
std::pair<int, int> LastPictureCorners(const std::string& path) {
  std::pair<int, int> corners{-1, -1};
  AVFormatContext* in = nullptr;
  if (avformat_open_input(&in, path.c_str(), nullptr, nullptr) < 0) return corners;
  avformat_find_stream_info(in, nullptr);
  const int index = av_find_best_stream(in, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (index >= 0) {
    const AVCodecParameters* par = in->streams[index]->codecpar;
    const AVCodec* codec = avcodec_find_decoder(par->codec_id);
    AVCodecContext* decoder = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(decoder, par);
    avcodec_open2(decoder, codec, nullptr);
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    const auto take = [&] {
      while (avcodec_receive_frame(decoder, frame) == 0) {
        corners = {frame->data[0][4 * frame->linesize[0] + 4],
                   frame->data[0][(frame->height - 4) * frame->linesize[0] + frame->width - 4]};
        av_frame_unref(frame);
      }
    };
    while (av_read_frame(in, packet) >= 0) {
      if (packet->stream_index == index) avcodec_send_packet(decoder, packet);
      av_packet_unref(packet);
      take();
    }
    avcodec_send_packet(decoder, nullptr);
    take();
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&decoder);
  }
  avformat_close_input(&in);
  return corners;
}

}  // namespace

// Pictures that stop matching the size the run was set up for are scaled to the output's size
// rather than handed to the encoder as they are.
TEST_F(TranscodeTest, PicturesThatChangeSizeMidStreamKeepTheOutputSize) {
  const std::string source = OutputPath("shrinking.m4v");
  WriteShrinkingClip(source);
  const std::string target = OutputPath("shrinking.avi");
  ASSERT_EQ(OpenAsApplication(Engine, source, target), "");
  Engine.Start(false);
  ASSERT_FALSE(Engine.ExceptionRaised) << Engine.ErrorMessage;
  const TDecoded out = DecodeFile(target);
  EXPECT_EQ(out.Width, 128);
  EXPECT_EQ(out.Height, 96);
  EXPECT_NEAR(out.VideoFrames, 20, 1);
  EXPECT_EQ(out.DecodeErrors, 0);
  // The last picture is one flat grey: scaled, the whole of it; read as it was set up for, only
  // its top-left quarter.
  const auto [topLeft, bottomRight] = LastPictureCorners(target);
  EXPECT_NEAR(topLeft, 88, 6);
  EXPECT_NEAR(bottomRight, 88, 6);
}
