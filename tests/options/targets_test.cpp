// Target presets: the settings of each type and norm, the norm guess and the messages.
#include "EngineFixture.h"

namespace {

struct TPreset {
  const char* Target;
  const char* VideoCodec;
  const char* AudioCodec;
  const char* Format;
  int Width, Height;
  AVRational Rate;
  int PixFmt;
  int Gop;
  int64_t BitRate, MaxRate, MinRate;
  int BufSize;
  int64_t AudioBitRate;
  unsigned PacketSize;
  const char* MuxRate;  // nullptr: not set
  int SampleRate;
  float Preload;
  float Aspect;
};

constexpr int None = AV_PIX_FMT_NONE;
// Holder values the dv presets leave alone (the contexts' default bit rate).
constexpr int64_t B0 = -1;

const TPreset Presets[] = {
    {"pal-vcd", "mpeg1video", "mp2", "vcd", 352, 288, {25, 1}, None, 15, 1150000, 1150000, 1150000,
     327680, 224000, 2324, "1411200", 44100, 0.44f, 4.0f / 3},
    {"ntsc-vcd", "mpeg1video", "mp2", "vcd", 352, 240, {30000, 1001}, None, 18, 1150000, 1150000,
     1150000, 327680, 224000, 2324, "1411200", 44100, 0.44f, 4.0f / 3},
    {"pal-svcd", "mpeg2video", "mp2", "svcd", 480, 576, {25, 1}, None, 15, 2040000, 2516000, 0,
     1835008, 224000, 2324, nullptr, 44100, 0.5f, 4.0f / 3},
    {"ntsc-svcd", "mpeg2video", "mp2", "svcd", 480, 480, {30000, 1001}, None, 18, 2040000, 2516000,
     0, 1835008, 224000, 2324, nullptr, 44100, 0.5f, 4.0f / 3},
    {"pal-dvd", "mpeg2video", "ac3", "dvd", 720, 576, {25, 1}, None, 15, 6000000, 9000000, 0,
     1835008, 448000, 2048, "10080000", 48000, 0.5f, 16.0f / 9},
    {"ntsc-dvd", "mpeg2video", "ac3", "dvd", 720, 480, {30000, 1001}, None, 18, 6000000, 9000000, 0,
     1835008, 448000, 2048, "10080000", 48000, 0.5f, 16.0f / 9},
    {"film-dvd", "mpeg2video", "ac3", "dvd", 720, 480, {24000, 1001}, None, 18, 6000000, 9000000, 0,
     1835008, 448000, 2048, "10080000", 48000, 0.5f, 16.0f / 9},
    {"pal-dv", "", "", "dv", 720, 576, {25, 1}, AV_PIX_FMT_YUV420P, 12, B0, 0, 0, 0, B0, 0, nullptr,
     48000, 0.5f, 0.0f},
    {"ntsc-dv", "", "", "dv", 720, 480, {30000, 1001}, AV_PIX_FMT_YUV411P, 12, B0, 0, 0, 0, B0, 0,
     nullptr, 48000, 0.5f, 0.0f},
    {"film-dv", "", "", "dv", 720, 480, {24000, 1001}, AV_PIX_FMT_YUV411P, 12, B0, 0, 0, 0, B0, 0,
     nullptr, 48000, 0.5f, 0.0f},
    {"pal-dv50", "", "", "dv", 720, 576, {25, 1}, AV_PIX_FMT_YUV422P, 12, B0, 0, 0, 0, B0, 0,
     nullptr, 48000, 0.5f, 0.0f},
    {"ntsc-dv50", "", "", "dv", 720, 480, {30000, 1001}, AV_PIX_FMT_YUV422P, 12, B0, 0, 0, 0, B0, 0,
     nullptr, 48000, 0.5f, 0.0f},
};

class TargetTest : public EngineTest {
 protected:
  // A stand-in for an opened input: streams of the given kinds and frame rates.
  void AddInput(std::initializer_list<std::pair<AVMediaType, AVRational>> streams) {
    engine::TInputFile input;
    input.Context.reset(lib::avformat.avformat_alloc_context());
    for (const auto& [kind, rate] : streams) {
      AVStream* st = lib::avformat.avformat_new_stream(input.Context.get(), nullptr);
      st->codecpar->codec_type = kind;
      st->r_frame_rate = rate;
    }
    E.InputFiles.push_back(std::move(input));
  }
};

}  // namespace

TEST_F(TargetTest, EachTypeAndNormSetsItsRow) {
  for (const TPreset& p : Presets) {
    engine::TFFmpeg e;
    e.Prepare();
    std::vector<std::string> logs;
    e.LogCallback = [&](engine::TCustomFFmpeg*, int, const std::string& t) { logs.push_back(t); };
    ASSERT_NO_THROW(e.ApplyOption("target", p.Target)) << p.Target;
    SCOPED_TRACE(p.Target);
    const AVCodecContext* video = e.CodecDefaults[AVMEDIA_TYPE_VIDEO].get();
    EXPECT_EQ(e.VideoCodecName, p.VideoCodec);
    EXPECT_EQ(e.AudioCodecName, p.AudioCodec);
    ASSERT_NE(e.ForcedOutputFormat, nullptr);
    EXPECT_STREQ(e.ForcedOutputFormat->name, p.Format);
    EXPECT_EQ(e.FrameWidth, p.Width);
    EXPECT_EQ(e.FrameHeight, p.Height);
    EXPECT_EQ(av_cmp_q(e.FrameRate, p.Rate), 0);
    EXPECT_EQ(e.FramePixFmt, p.PixFmt);
    EXPECT_EQ(video->gop_size, p.Gop);
    EXPECT_EQ(video->bit_rate, p.BitRate == B0 ? DefaultBitRate() : p.BitRate);
    EXPECT_EQ(video->rc_max_rate, p.MaxRate);
    EXPECT_EQ(video->rc_min_rate, p.MinRate);
    EXPECT_EQ(video->rc_buffer_size, p.BufSize);
    EXPECT_EQ(e.CodecDefaults[AVMEDIA_TYPE_AUDIO]->bit_rate,
              p.AudioBitRate == B0 ? DefaultBitRate() : p.AudioBitRate);
    EXPECT_EQ(e.FormatDefaults->packet_size, p.PacketSize);
    const AVDictionaryEntry* mux =
        lib::avutil.av_dict_get(e.FormatPrivateOptions.get(), "muxrate", nullptr, 0);
    if (p.MuxRate) {
      ASSERT_NE(mux, nullptr);
      EXPECT_STREQ(mux->value, p.MuxRate);
    } else {
      EXPECT_EQ(mux, nullptr);
    }
    EXPECT_EQ(e.AudioSampleRate, p.SampleRate);
    EXPECT_EQ(e.AudioChannels, 2);
    EXPECT_EQ(e.MuxPreload, p.Preload);
    EXPECT_FLOAT_EQ(e.FrameAspect, p.Aspect);
    // Explicit norm: no guess message; a default aspect is announced.
    std::vector<std::string> expected;
    if (p.Aspect != 0.0f)
      expected.push_back(p.Aspect > 1.5f ? "Assuming 16:9 for aspect ratio" : "Assuming 4:3 for aspect ratio");
    EXPECT_EQ(logs, expected);
  }
}

TEST_F(TargetTest, ChannelsBecomeStereoOnlyWhereTheRowSaysSo) {
  struct TCase {
    const char* Target;
    int Before, After;
  } cases[] = {{"pal-dvd", 6, 6}, {"pal-dvd", 1, 2}, {"pal-svcd", 6, 6}, {"pal-svcd", 1, 2},
               {"pal-vcd", 6, 2}, {"pal-dv", 6, 2}};
  for (const TCase& c : cases) {
    engine::TFFmpeg e;
    e.Prepare();
    e.AudioChannels = c.Before;
    e.ApplyOption("target", c.Target);
    EXPECT_EQ(e.AudioChannels, c.After) << c.Target << " " << c.Before;
  }
}

TEST_F(TargetTest, NormIsGuessedFromTheFrameRateFirst) {
  struct TCase {
    AVRational Rate;
    const char* DefaultNorm;
    int Height;
    const char* Message;
  } cases[] = {
      {{30000, 1001}, "pal", 480, "NTSC"},
      {{25, 1}, "ntsc", 576, "PAL"},
      {{24000, 1001}, "pal", 480, "NTSC"},  // 23.976 counts as NTSC
      {{15, 1}, "pal", 576, "PAL"},          // undecided: the default norm
      {{15, 1}, "ntsc", 480, "NTSC"},
      {{15, 1}, "film", 480, "NTSC"},        // FILM is announced as NTSC
  };
  for (const TCase& c : cases) {
    engine::TFFmpeg e;
    e.Prepare();
    std::vector<std::string> logs;
    e.LogCallback = [&](engine::TCustomFFmpeg*, int, const std::string& t) { logs.push_back(t); };
    e.FrameRate = c.Rate;
    e.FrameAspect = 1.0f;
    e.ApplyTarget("svcd", "auto", c.DefaultNorm);
    EXPECT_EQ(e.FrameHeight, c.Height) << c.Rate.num << " " << c.DefaultNorm;
    EXPECT_EQ(logs, std::vector<std::string>{std::string("Assuming ") + c.Message + " for target."});
  }
  engine::TFFmpeg film;
  film.Prepare();
  film.FrameRate = {15, 1};
  film.ApplyTarget("dv", "guess", "film");
  EXPECT_EQ(av_cmp_q(film.FrameRate, AVRational{24000, 1001}), 0);
}

TEST_F(TargetTest, NormIsGuessedFromTheInputsVideoStreamsNext) {
  E.FrameRate = {15, 1};
  AddInput({{AVMEDIA_TYPE_AUDIO, {25, 1}}, {AVMEDIA_TYPE_VIDEO, {25, 2}}});  // neither decides
  AddInput({{AVMEDIA_TYPE_VIDEO, {0, 0}}, {AVMEDIA_TYPE_VIDEO, {30000, 1001}},
            {AVMEDIA_TYPE_VIDEO, {25, 1}}});  // the first deciding stream wins
  E.ApplyOption("target", "dvd");
  EXPECT_EQ(E.FrameHeight, 480);
  EXPECT_EQ(LogTexts(), (std::vector<std::string>{"Assuming NTSC for target.",
                                                  "Assuming 16:9 for aspect ratio"}));
}

TEST_F(TargetTest, NormGuessFailuresAndQuietVerbosity) {
  EXPECT_EQ(ErrorOf("target", "vcd"), "frame_rate is invalid.");  // nothing set a rate
  EXPECT_EQ(E.FrameWidth, 0);

  E.FrameRate = {25, 1};
  EXPECT_EQ(ErrorOf("target", "VCD"), "Unknown target type");
  EXPECT_EQ(LogTexts(), std::vector<std::string>{"Assuming PAL for target."});  // said first
  EXPECT_EQ(E.ForcedOutputFormat, nullptr);

  Logs.clear();
  E.Verbose = 0;
  E.FrameAspect = 2.0f;  // an aspect in force is kept, silently
  E.ApplyOption("target", "  ntsc-vcd  ");
  EXPECT_EQ(E.FrameHeight, 240);
  EXPECT_EQ(E.FrameAspect, 2.0f);
  EXPECT_TRUE(Logs.empty());
  EXPECT_EQ(ErrorOf("target", "pal-"), "Unknown target type");
}
