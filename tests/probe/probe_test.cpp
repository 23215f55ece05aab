#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "AVProbe.h"
#include "Functions.h"
#include "fixture_names.h"

namespace fx = qv::fixtures;

namespace {

std::string Fixture(std::string_view name) {
  return std::string(QV_FIXTURE_DIR) + "/" + std::string(name);
}

// Lines logged without a context object (the probe's query messages), with their levels.
struct TLogLine {
  int Level;
  std::string Text;
  bool operator==(const TLogLine&) const = default;
  friend void PrintTo(const TLogLine& line, std::ostream* out) {
    *out << "{" << line.Level << ", \"" << line.Text << "\"}";
  }
};
std::mutex LogMutex;
std::vector<TLogLine> LoggedLines;

void CaptureLog(void* avcl, int level, const char* format, va_list args) {
  // The libraries' own context-free lines are debugging chatter, far below the probe's levels.
  if (avcl || level > AV_LOG_INFO) return;
  char buffer[1024];
  std::vsnprintf(buffer, sizeof buffer, format, args);
  std::lock_guard lock(LogMutex);
  LoggedLines.push_back({level, buffer});
}

std::vector<TLogLine> TakeLog() {
  std::lock_guard lock(LogMutex);
  return std::exchange(LoggedLines, {});
}

// A context opened by the test itself, the way a task engine would own it.
struct TOwnContext {
  AVFormatContext* Context = nullptr;
  explicit TOwnContext(const std::string& file) {
    if (lib::avformat.avformat_open_input(&Context, file.c_str(), nullptr, nullptr) == 0)
      lib::avformat.avformat_find_stream_info(Context, nullptr);
  }
  ~TOwnContext() { lib::avformat.avformat_close_input(&Context); }
};

class ProbeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    TAVProbe binder;
    ASSERT_TRUE(binder.BindProbeLibraries(QV_LIB_DIR, true)) << binder.LastError();
    lib::avutil.av_log_set_callback(CaptureLog);
  }
  void SetUp() override { TakeLog(); }

  TAVProbe Probe;
};

template <typename TRecord>
TRecord Garbage() {
  TRecord record;
  std::memset(&record, 0x5A, sizeof record);
  return record;
}

void ExpectUnknown(const TAudioProbeInfo& info) {
  EXPECT_EQ(std::string(info.Language, 4), std::string(4, '\0'));
  EXPECT_EQ(std::string(info.CodecName, 32), std::string(32, '\0'));
  for (int64_t v : {info.StartTimeRaw, info.StartTime, info.DurationRaw, info.Duration})
    EXPECT_EQ(v, -1);
  for (int32_t v : {info.BitRate, info.Channels, info.SampleRate, info.SampleFormat})
    EXPECT_EQ(v, -1);
}

void ExpectUnknown(const TVideoProbeInfo& info) {
  EXPECT_EQ(std::string(info.Language, 4), std::string(4, '\0'));
  EXPECT_EQ(std::string(info.CodecName, 32), std::string(32, '\0'));
  for (int64_t v : {info.StartTimeRaw, info.StartTime, info.DurationRaw, info.Duration})
    EXPECT_EQ(v, -1);
  for (int32_t v : {info.BitRate, info.Height, info.Width, info.PixelFormat, info.FrameRateNum,
                    info.FrameRateDen})
    EXPECT_EQ(v, -1);
  EXPECT_EQ(info.DisplayAspectRatio, -1.0f);
}

// Compares the fields both records share with the stream read straight from the library.
template <typename TRecord>
void ExpectCommonFacts(const AVStream* stream, const TRecord& info) {
  const AVDictionaryEntry* language = av_dict_get(stream->metadata, "language", nullptr, 0);
  EXPECT_STREQ(info.Language, language ? language->value : "");
  EXPECT_EQ(info.Language[3], '\0');
  EXPECT_STREQ(info.CodecName, avcodec_get_name(stream->codecpar->codec_id));
  EXPECT_EQ(info.StartTimeRaw, stream->start_time);
  EXPECT_EQ(info.DurationRaw, stream->duration);
  AVRational micro{1, 1000000};
  EXPECT_EQ(info.StartTime, stream->start_time == AV_NOPTS_VALUE
                                ? -1
                                : av_rescale_q(stream->start_time, stream->time_base, micro));
  EXPECT_EQ(info.Duration, stream->duration == AV_NOPTS_VALUE
                               ? -1
                               : av_rescale_q(stream->duration, stream->time_base, micro));
  EXPECT_EQ(info.BitRate, stream->codecpar->bit_rate);
}

struct TFixtureFacts {
  std::string_view Name;
  int Streams, AudioStreams, VideoStreams, FirstAudio, FirstVideo;
  const char* VideoCodec;
  int Width, Height, RateNum, RateDen;
  const char* AudioCodec;
  int Channels, SampleRate;
};

const TFixtureFacts kFixtures[] = {
    {fx::kH263Aac, 2, 1, 1, 1, 0, "h263", 176, 144, 15, 1, "aac", 1, 8000},
    {fx::kMpeg4Aac, 2, 1, 1, 1, 0, "mpeg4", 352, 288, 25, 1, "aac", 2, 44100},
    {fx::kH264Aac, 2, 1, 1, 1, 0, "h264", 320, 240, 30000, 1001, "aac", 2, 22050},
    {fx::kAudioOnly, 1, 1, 0, 0, -1, nullptr, 0, 0, 0, 0, "aac", 1, 8000},
    {fx::kVideoOnly, 1, 0, 1, -1, 0, "mpeg4", 176, 144, 25, 2, nullptr, 0, 0},
    {fx::kToneWav, 1, 1, 0, 0, -1, nullptr, 0, 0, 0, 0, "pcm_s16le", 2, 44100},
};

TEST_F(ProbeTest, ReportsEachFixturesFacts) {
  for (const TFixtureFacts& f : kFixtures) {
    SCOPED_TRACE(std::string(f.Name));
    std::string file = Fixture(f.Name);
    struct stat before {};
    ASSERT_EQ(stat(file.c_str(), &before), 0);

    ASSERT_TRUE(Probe.OpenMedia(file, "")) << Probe.LastError();
    TOwnContext direct(file);
    ASSERT_NE(direct.Context, nullptr);
    EXPECT_EQ(Probe.StreamCount(), f.Streams);
    EXPECT_EQ(Probe.ProgramCount(), 0);
    EXPECT_EQ(Probe.AudioStreamCount(), f.AudioStreams);
    EXPECT_EQ(Probe.VideoStreamCount(), f.VideoStreams);
    EXPECT_EQ(Probe.SubtitleStreamCount(), 0);
    EXPECT_EQ(Probe.FirstAudioStream(), f.FirstAudio);
    EXPECT_EQ(Probe.FirstVideoStream(), f.FirstVideo);
    EXPECT_EQ(Probe.FirstSubtitleStream(), -1);
    EXPECT_EQ(Probe.MediaFileName(), file);
    EXPECT_EQ(Probe.ForcedFormatName(), "");

    if (f.AudioCodec) {
      TAudioProbeInfo audio = Garbage<TAudioProbeInfo>();
      Probe.ReadFirstAudioInfo(audio);
      EXPECT_STREQ(audio.CodecName, f.AudioCodec);
      EXPECT_EQ(audio.Channels, f.Channels);
      EXPECT_EQ(audio.SampleRate, f.SampleRate);
      const AVStream* stream = direct.Context->streams[f.FirstAudio];
      ExpectCommonFacts(stream, audio);
      EXPECT_EQ(audio.SampleFormat, stream->codecpar->format);
    }
    if (f.VideoCodec) {
      TVideoProbeInfo video = Garbage<TVideoProbeInfo>();
      Probe.ReadFirstVideoInfo(video);
      EXPECT_STREQ(video.CodecName, f.VideoCodec);
      EXPECT_EQ(video.Width, f.Width);
      EXPECT_EQ(video.Height, f.Height);
      EXPECT_EQ(video.FrameRateNum, f.RateNum);
      EXPECT_EQ(video.FrameRateDen, f.RateDen);
      EXPECT_EQ(video.PixelFormat, AV_PIX_FMT_YUV420P);
      const AVStream* stream = direct.Context->streams[f.FirstVideo];
      ExpectCommonFacts(stream, video);
      AVRational sar = stream->codecpar->sample_aspect_ratio;
      ASSERT_NE(sar.num, 0);
      EXPECT_FLOAT_EQ(video.DisplayAspectRatio,
                      static_cast<float>(f.Width * (double(sar.num) / sar.den) / f.Height));
    }
    EXPECT_EQ(TakeLog(), std::vector<TLogLine>{});
    Probe.CloseMedia();
    EXPECT_EQ(Probe.StreamCount(), -1);

    struct stat after {};
    ASSERT_EQ(stat(file.c_str(), &after), 0);
    EXPECT_EQ(after.st_size, before.st_size);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  }
}

TEST_F(ProbeTest, MissingKindLeavesUnknownValuesAndLogs) {
  ASSERT_TRUE(Probe.OpenMedia(Fixture(fx::kVideoOnly), ""));
  TAudioProbeInfo audio = Garbage<TAudioProbeInfo>();
  Probe.ReadFirstAudioInfo(audio);
  ExpectUnknown(audio);
  EXPECT_EQ(TakeLog(), (std::vector<TLogLine>{{AV_LOG_ERROR, "no audio stream.\n"}}));

  ASSERT_TRUE(Probe.OpenMedia(Fixture(fx::kAudioOnly), ""));
  TVideoProbeInfo video = Garbage<TVideoProbeInfo>();
  Probe.ReadFirstVideoInfo(video);
  ExpectUnknown(video);
  EXPECT_EQ(TakeLog(), (std::vector<TLogLine>{{AV_LOG_ERROR, "no video stream.\n"}}));
}

TEST_F(ProbeTest, WrongIndexOrKindLeavesUnknownValuesAndLogs) {
  ASSERT_TRUE(Probe.OpenMedia(Fixture(fx::kH263Aac), ""));  // video 0, audio 1
  struct TCase {
    bool Audio;
    int Index;
    const char* Line;
  } cases[] = {
      {true, 2, "stream index #2 is invalid.\n"},
      {false, 2, "stream index #2 is invalid.\n"},
      {true, 0, "stream #0 is not audio stream.\n"},
      {false, 1, "stream #1 is not video stream.\n"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Line);
    if (c.Audio) {
      TAudioProbeInfo info = Garbage<TAudioProbeInfo>();
      Probe.ReadAudioInfo(c.Index, info);
      ExpectUnknown(info);
    } else {
      TVideoProbeInfo info = Garbage<TVideoProbeInfo>();
      Probe.ReadVideoInfo(c.Index, info);
      ExpectUnknown(info);
    }
    EXPECT_EQ(TakeLog(), (std::vector<TLogLine>{{AV_LOG_ERROR, c.Line}}));
  }
  // Any negative index means the first stream of the kind.
  TAudioProbeInfo audio = Garbage<TAudioProbeInfo>();
  Probe.ReadAudioInfo(-7, audio);
  EXPECT_EQ(audio.SampleRate, 8000);
}

TEST_F(ProbeTest, QueriesWithNothingLoadedLogAtInfoLevel) {
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "fresh probe" : "after close");
    EXPECT_EQ(Probe.StreamCount(), -1);
    EXPECT_EQ(Probe.AudioStreamCount(), -1);
    EXPECT_EQ(Probe.FirstVideoStream(), -1);
    TAudioProbeInfo audio = Garbage<TAudioProbeInfo>();
    TVideoProbeInfo video = Garbage<TVideoProbeInfo>();
    Probe.ReadAudioInfo(0, audio);
    Probe.ReadVideoInfo(-1, video);
    ExpectUnknown(audio);
    ExpectUnknown(video);
    EXPECT_EQ(Probe.MediaFileName(), "");
    TLogLine line{AV_LOG_INFO, "file not loaded.\n"};
    EXPECT_EQ(TakeLog(), (std::vector<TLogLine>{line, line, line}));
    ASSERT_TRUE(Probe.OpenMedia(Fixture(fx::kH263Aac), ""));
    Probe.CloseMedia();
  }
}

TEST_F(ProbeTest, FilesThatCannotBeOpenedGiveOpenErrorTexts) {
  std::string missing = Fixture("no-such-clip.3gp");
  ASSERT_TRUE(Probe.OpenMedia(Fixture(fx::kH263Aac), ""));
  EXPECT_FALSE(Probe.OpenMedia(missing, ""));
  EXPECT_EQ(Probe.LastError(), missing + ": no such file or directory");
  EXPECT_EQ(Probe.StreamCount(), -1);
  EXPECT_EQ(Probe.FirstAudioStream(), -1);

  const std::vector<std::string> suffixes = {": Unknown format",
                                             ": Incorrect image filename syntax.",
                                             ": Error while parsing header",
                                             ": memory allocation error occurred",
                                             ": I/O error occurred\r\n",
                                             ": no such file or directory",
                                             ": Error while opening file"};
  for (std::string_view name : {fx::kEmpty, fx::kText, fx::kTruncated}) {
    SCOPED_TRACE(std::string(name));
    std::string file = Fixture(name);
    EXPECT_FALSE(Probe.OpenMedia(file, ""));
    const std::string& error = Probe.LastError();
    ASSERT_EQ(error.rfind(file, 0), 0u) << error;
    bool known = false;
    for (const std::string& suffix : suffixes)
      known |= error.compare(file.size(), suffix.size(), suffix) == 0;
    EXPECT_TRUE(known) << error;
    EXPECT_EQ(Probe.StreamCount(), -1);
    EXPECT_EQ(Probe.VideoStreamCount(), -1);
  }

  // A later success does not clear the text of the last failure.
  std::string lastError = Probe.LastError();
  ASSERT_TRUE(Probe.OpenMedia(Fixture(fx::kAudioOnly), ""));
  EXPECT_EQ(Probe.LastError(), lastError);
}

TEST_F(ProbeTest, ForcedFormat) {
  std::string file = Fixture(fx::kH263Aac);
  EXPECT_FALSE(Probe.OpenMedia(file, "nosuchformat"));
  EXPECT_EQ(Probe.LastError(), "Unknown input format: nosuchformat");

  ASSERT_TRUE(Probe.OpenMedia(file, "mov"));
  EXPECT_EQ(Probe.ForcedFormatName(), "mov");
  EXPECT_EQ(Probe.VideoStreamCount(), 1);
  Probe.CloseMedia();
  EXPECT_EQ(Probe.ForcedFormatName(), "");

  EXPECT_FALSE(Probe.OpenMedia(file, "wav"));
  EXPECT_EQ(Probe.LastError().rfind(file + ": ", 0), 0u) << Probe.LastError();
  EXPECT_EQ(Probe.ForcedFormatName(), "");
}

TEST_F(ProbeTest, AttachedContextStaysOpenAfterClose) {
  TOwnContext own(Fixture(fx::kMpeg4Aac));
  ASSERT_NE(own.Context, nullptr);
  Probe.AttachMedia(own.Context);
  EXPECT_EQ(Probe.StreamCount(), 2);
  EXPECT_EQ(Probe.FirstAudioStream(), 1);
  EXPECT_EQ(Probe.MediaFileName(), Fixture(fx::kMpeg4Aac));
  TVideoProbeInfo video;
  Probe.ReadFirstVideoInfo(video);
  EXPECT_EQ(video.Width, 352);

  Probe.CloseMedia();
  EXPECT_EQ(Probe.StreamCount(), -1);
  // Opening another file through the probe must not close the attached one either.
  Probe.AttachMedia(own.Context);
  ASSERT_TRUE(Probe.OpenMedia(Fixture(fx::kAudioOnly), ""));
  Probe.CloseMedia();

  EXPECT_EQ(own.Context->nb_streams, 2u);
  AVPacket* packet = lib::avcodec.av_packet_alloc();
  EXPECT_EQ(lib::avformat.av_read_frame(own.Context, packet), 0);
  lib::avcodec.av_packet_free(&packet);
}

TEST_F(ProbeTest, MissingTimesAndAspectRatio) {
  // The WAV demuxer states no start time.
  ASSERT_TRUE(Probe.OpenMedia(Fixture(fx::kToneWav), ""));
  TAudioProbeInfo audio;
  Probe.ReadFirstAudioInfo(audio);
  EXPECT_EQ(audio.StartTimeRaw, AV_NOPTS_VALUE);
  EXPECT_EQ(audio.StartTime, -1);
  EXPECT_GT(audio.Duration, 0);

  TOwnContext own(Fixture(fx::kH263Aac));
  ASSERT_NE(own.Context, nullptr);
  AVStream* stream = own.Context->streams[0];
  stream->duration = AV_NOPTS_VALUE;
  Probe.AttachMedia(own.Context);
  struct TCase {
    AVRational Sar;
    float Expected;
  } cases[] = {
      {{0, 1}, 0.0f}, {{4, 3}, static_cast<float>(176 * (4.0 / 3) / 144)}, {{1, 1}, 176.0f / 144}};
  for (const TCase& c : cases) {
    stream->codecpar->sample_aspect_ratio = c.Sar;
    TVideoProbeInfo video;
    Probe.ReadFirstVideoInfo(video);
    EXPECT_EQ(video.DisplayAspectRatio, c.Expected) << c.Sar.num << "/" << c.Sar.den;
    EXPECT_EQ(video.DurationRaw, AV_NOPTS_VALUE);
    EXPECT_EQ(video.Duration, -1);
  }
  Probe.CloseMedia();
}

}  // namespace
