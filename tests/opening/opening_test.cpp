// Opening inputs and creating outputs: the engine's view of the files checked against the
// libraries' own reading of them.
#include "Opening.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "FFmpeg.h"
#include "Functions.h"
#include "LibrarySet.h"
#include "fixtures/fixture_names.h"

namespace fs = std::filesystem;
namespace fx = qv::fixtures;
using engine::TFFmpeg;

namespace {

std::string Fixture(std::string_view name) {
  return std::string(QV_FIXTURE_DIR) + "/" + std::string(name);
}

// What the libraries themselves report about a source, read without the engine.
struct TSourceFacts {
  bool HasVideo = false, HasAudio = false;
  int Width = 0, Height = 0;
  int64_t DurationUs = AV_NOPTS_VALUE, StartTimeUs = AV_NOPTS_VALUE;
};

TSourceFacts ReadSource(const std::string& file) {
  TSourceFacts facts;
  AVFormatContext* context = nullptr;
  if (avformat_open_input(&context, file.c_str(), nullptr, nullptr) < 0) return facts;
  avformat_find_stream_info(context, nullptr);
  for (unsigned i = 0; i < context->nb_streams; ++i) {
    const AVCodecParameters* par = context->streams[i]->codecpar;
    if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
      facts.HasVideo = true;
      facts.Width = par->width;
      facts.Height = par->height;
    }
    if (par->codec_type == AVMEDIA_TYPE_AUDIO) facts.HasAudio = true;
  }
  facts.DurationUs = context->duration;
  facts.StartTimeUs = context->start_time;
  avformat_close_input(&context);
  return facts;
}

// Stands in for a generic option accepted by the option store ("vb" / "ab" reach "b" this way).
void SetGeneric(TFFmpeg& e, AVMediaType kind, const std::string& name, const std::string& value) {
  ASSERT_GE(av_opt_set(e.CodecDefaults[kind].get(), name.c_str(), value.c_str(), 0), 0);
  e.GenericOptionNames.push_back(name);
}

// The application's AVI parameters, applied after the input as the application does.
void ApplyAviParameters(TFFmpeg& e, const TSourceFacts& source) {
  e.VideoCodecName = "msmpeg4v2";
  e.AudioCodecName = "pcm_s16le";
  e.AudioChannels = 2;
  e.AudioSampleRate = 44100;
  SetGeneric(e, AVMEDIA_TYPE_VIDEO, "b", "1200000");
  SetGeneric(e, AVMEDIA_TYPE_AUDIO, "b", "128000");
  if (source.HasVideo) {
    e.FrameWidth = source.Width;
    e.FrameHeight = source.Height;
  }
}

AVCodecContext* EncoderOf(TFFmpeg& e, AVMediaType kind) {
  for (auto& encoder : e.OutputFiles.at(0).Encoders)
    if (encoder->codec_type == kind) return encoder.get();
  return nullptr;
}

// Without throwing on names the file system refuses.
bool Exists(const std::string& name) {
  std::error_code error;
  return fs::exists(name, error);
}

bool SameQ(AVRational a, AVRational b) { return a.num == b.num && a.den == b.den; }

class OpeningTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(libbind::BindLibrarySet(QV_LIB_DIR, true)) << libbind::LibrarySetError();
    lib::avutil.av_log_set_level(AV_LOG_ERROR);  // keep the file descriptions out of the output
  }
  void SetUp() override {
    Dir = fs::path(QV_TEST_BUILD_DIR) / "tmp" /
          ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::remove_all(Dir);
    fs::create_directories(Dir);
    E.Prepare();
  }
  void TearDown() override { fs::remove_all(Dir); }
  std::string Out(const std::string& name) const { return (Dir / name).string(); }

  fs::path Dir;
  TFFmpeg E;
};

// ---- pieces that need no file ----

TEST(OpeningPieces, InputDisplayAspect) {
  struct Case {
    int W, H;
    AVRational StreamSar, CodecSar;
    float Aspect;
  } cases[] = {
      {176, 144, {0, 1}, {0, 1}, 176.0f / 144.0f},  // no aspect known: square pixels
      {720, 576, {4, 3}, {0, 1}, 1.6666667f},
      {720, 576, {0, 1}, {16, 15}, 1.3333334f},  // the decoder's when the stream has none
      {720, 576, {0, 0}, {0, 0}, 1.25f},         // unset ratios count as none
      {0, 0, {0, 1}, {0, 1}, 1.3333334f},        // size and aspect unknown
      {0, 0, {16, 9}, {0, 1}, 1.7777778f},       // size unknown: the sample aspect stays
  };
  for (const Case& c : cases)
    EXPECT_FLOAT_EQ(engine::InputDisplayAspect(c.W, c.H, c.StreamSar, c.CodecSar), c.Aspect)
        << c.W << "x" << c.H;
}

TEST(OpeningPieces, RealMediaNames) {
  for (const char* name : {"a.rm", "a.RMVB", "a.rmv", "a.r", "a."})
    EXPECT_TRUE(engine::IsRealMediaName(name)) << name;
  for (const char* name : {"a.avi", "rm", "a.rmvbx", "dir.rm/file"})
    EXPECT_FALSE(engine::IsRealMediaName(name)) << name;
}

TEST(OpeningPieces, ResizingFilterChains) {
  struct Case {
    const char* Chain;
    bool Resizes;
  } cases[] = {{"scale=320:240", true}, {"hflip,Transpose=1", true}, {"CROP", true},
               {"rotate", true},        {"hflip,vflip", false},      {"", false},
               {"scaler=2", false},     {"hflip,,", false}};
  for (const Case& c : cases) EXPECT_EQ(engine::ChainResizesFrame(c.Chain), c.Resizes) << c.Chain;
}

TEST(OpeningPieces, RcOverrideSyntax) {
  std::vector<RcOverride> list;
  ASSERT_TRUE(engine::ParseRcOverride("0,100,5/101,200,-50", list));
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].start_frame, 0);
  EXPECT_EQ(list[0].end_frame, 100);
  EXPECT_EQ(list[0].qscale, 5);
  EXPECT_FLOAT_EQ(list[0].quality_factor, 1.0f);
  EXPECT_EQ(list[1].start_frame, 101);
  EXPECT_EQ(list[1].end_frame, 200);
  EXPECT_EQ(list[1].qscale, 0);
  EXPECT_FLOAT_EQ(list[1].quality_factor, 0.5f);

  ASSERT_TRUE(engine::ParseRcOverride(" $10, 0x20,3", list));
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].start_frame, 16);
  EXPECT_EQ(list[0].end_frame, 32);

  ASSERT_TRUE(engine::ParseRcOverride("", list));
  EXPECT_TRUE(list.empty());
  for (const char* bad : {"0,10", "0,10,", ",10,5", "0,,5", "1,2,3/4,5", "0,99999999999,1"})
    EXPECT_FALSE(engine::ParseRcOverride(bad, list)) << bad;
}

TEST(OpeningPieces, SecondsToMicroseconds) {
  EXPECT_EQ(engine::SecondsToMicroseconds(0.7f),
            699999);  // 0.7 is just below 0.7 in single precision
  EXPECT_EQ(engine::SecondsToMicroseconds(0.5f), 500000);
}

// ---- inputs ----

TEST_F(OpeningTest, MissingInputIsRefusedAndReleasesTheCodecNames) {
  const std::string name = Out("missing.3gp");
  E.VideoCodecName = "h263";
  E.AudioCodecName = "aac";
  EXPECT_FALSE(E.OpenInputFile(name));
  EXPECT_EQ(E.ErrorText, name + ": no such file or directory");
  EXPECT_EQ(E.InputFileCount(), 0);
  EXPECT_TRUE(E.VideoCodecName.empty());
  EXPECT_TRUE(E.AudioCodecName.empty());
}

TEST_F(OpeningTest, ForcedDecoderNamesAreChecked) {
  struct Case {
    std::string TFFmpeg::*Field;
    const char* Name;
    const char* Message;
  } cases[] = {
      {&TFFmpeg::VideoCodecName, "a64multi", "Unknown decoder 'a64multi'"},  // encoder only
      {&TFFmpeg::VideoCodecName, "aac", "Invalid decoder type 'aac'"},
      {&TFFmpeg::AudioCodecName, "h263", "Invalid decoder type 'h263'"},
      {&TFFmpeg::SubtitleCodecName, "nosuchcodec", "Unknown decoder 'nosuchcodec'"},
  };
  for (const Case& c : cases) {
    TFFmpeg e;
    e.StartTime = 1000000;
    e.*c.Field = c.Name;
    EXPECT_FALSE(e.OpenInputFile(Fixture(fx::kH263Aac))) << c.Name;
    EXPECT_EQ(e.ErrorText, c.Message);
    EXPECT_EQ(e.InputFileCount(), 0);
    EXPECT_TRUE((e.*c.Field).empty());
    EXPECT_EQ(e.StartTime, 1000000) << "a refusal before the seek keeps the start time";
  }
}

TEST_F(OpeningTest, InputFactsBecomeTheOutputDefaults) {
  const std::string name = Fixture(fx::kH263Aac);
  const TSourceFacts source = ReadSource(name);
  E.VideoCodecName = "h263";
  E.RateEmulation = 1;
  E.ForcedOutputFormat = lib::avformat.av_guess_format("avi", nullptr, nullptr);
  ASSERT_TRUE(E.OpenInputFile(name)) << E.ErrorText;

  EXPECT_EQ(E.FrameWidth, 176);
  EXPECT_EQ(E.FrameHeight, 144);
  EXPECT_FLOAT_EQ(E.FrameAspect, 176.0f / 144.0f);
  EXPECT_EQ(E.FramePixFmt, AV_PIX_FMT_YUV420P);
  EXPECT_TRUE(SameQ(E.FrameRate, {15, 1}));
  EXPECT_EQ(E.AudioChannels, 1);
  EXPECT_EQ(E.AudioSampleRate, 8000);
  EXPECT_EQ(E.AudioSampleFmt, AV_SAMPLE_FMT_FLTP);
  EXPECT_EQ(E.ExpectedDurationMs, source.DurationUs / 1000);

  ASSERT_EQ(E.InputFileCount(), 1);
  const engine::TInputFile& input = E.InputFiles[0];
  ASSERT_EQ(input.Decoders.size(), input.Context->nb_streams);
  for (unsigned i = 0; i < input.Context->nb_streams; ++i)
    EXPECT_EQ(input.Decoders[i]->codec_id, input.Context->streams[i]->codecpar->codec_id);
  EXPECT_EQ(input.RateEmulation, 1);

  // What belonged to this input is gone; the next one starts clean.
  EXPECT_TRUE(E.VideoCodecName.empty());
  EXPECT_EQ(E.RateEmulation, 0);
  EXPECT_EQ(E.ForcedOutputFormat, nullptr);

  // A longer expected length stays.
  TFFmpeg longer;
  longer.ExpectedDurationMs = 999999;
  ASSERT_TRUE(longer.OpenInputFile(name));
  EXPECT_EQ(longer.ExpectedDurationMs, 999999);
}

TEST_F(OpeningTest, UnreadableInputsAreRefusedWithTheirName) {
  for (std::string_view fixture : {fx::kTruncated, fx::kEmpty, fx::kText}) {
    const std::string name = Fixture(fixture);
    TFFmpeg e;
    EXPECT_FALSE(e.OpenInputFile(name)) << fixture;
    EXPECT_EQ(e.ErrorText.rfind(name + ": ", 0), 0u) << e.ErrorText;
    EXPECT_EQ(e.InputFileCount(), 0);
  }
}

TEST_F(OpeningTest, StartTimeMovesTheTimeOffsetUnlessTimestampsAreCopied) {
  const std::string name = Fixture(fx::kAudioOffset);
  const TSourceFacts source = ReadSource(name);
  const int64_t start = source.StartTimeUs == AV_NOPTS_VALUE ? 0 : source.StartTimeUs;
  for (bool copyTs : {false, true}) {
    TFFmpeg e;
    e.CopyTs = copyTs;
    e.StartTime = 1000000;
    e.InputTsOffset = 250000;
    ASSERT_TRUE(e.OpenInputFile(name)) << e.ErrorText;
    EXPECT_EQ(e.InputFiles[0].TsOffset, copyTs ? 250000 : 250000 - (1000000 + start)) << copyTs;
    EXPECT_EQ(e.StartTime, 0) << "used up by the seek";
    // The second input is not sought again.
    ASSERT_TRUE(e.OpenInputFile(name));
    EXPECT_EQ(e.InputFiles[1].TsOffset, copyTs ? 250000 : 250000 - start);
  }
}

// ---- outputs ----

// Every fixture, opened with the application's AVI parameters, gets exactly those encoder
// settings, and the encoders accept them.
TEST_F(OpeningTest, AviOutputWithTheApplicationParametersForEveryFixture) {
  std::vector<std::string_view> fixtures = {fx::kH263Aac,     fx::kMpeg4Aac,  fx::kH264Aac,
                                            fx::kAudioOnly,   fx::kVideoOnly, fx::kToneWav,
                                            fx::kAudioOffset, fx::kRotated,   fx::kH263Amr};
  if (fs::exists(Fixture(fx::kToneMp3))) fixtures.push_back(fx::kToneMp3);
  for (std::string_view fixture : fixtures) {
    SCOPED_TRACE(std::string(fixture));
    const TSourceFacts source = ReadSource(Fixture(fixture));
    TFFmpeg e;
    e.Prepare();
    ASSERT_TRUE(e.OpenInputFile(Fixture(fixture))) << e.ErrorText;
    ApplyAviParameters(e, source);
    const std::string out = Out(std::string(fixture) + ".avi");
    ASSERT_TRUE(e.OpenOutputFile(out)) << e.ErrorText;

    ASSERT_EQ(e.OutputFileCount(), 1);
    engine::TOutputFile& file = e.OutputFiles[0];
    EXPECT_STREQ(file.Context->oformat->name, "avi");
    EXPECT_EQ(file.FileName, out);
    EXPECT_TRUE(file.CreatedFile);
    EXPECT_TRUE(fs::exists(out));
    EXPECT_EQ(file.Context->max_delay, 699999);
    const unsigned streams = (source.HasVideo ? 1 : 0) + (source.HasAudio ? 1 : 0);
    ASSERT_EQ(file.Context->nb_streams, streams);
    ASSERT_EQ(file.Encoders.size(), streams);
    ASSERT_EQ(file.BitstreamFilters.size(), streams);

    AVCodecContext* video = EncoderOf(e, AVMEDIA_TYPE_VIDEO);
    ASSERT_EQ(video != nullptr, source.HasVideo);
    if (video) {
      EXPECT_EQ(video->codec_id, AV_CODEC_ID_MSMPEG4V2);
      EXPECT_EQ(video->width, source.Width);
      EXPECT_EQ(video->height, source.Height);
      EXPECT_EQ(video->bit_rate, 1200000);
      EXPECT_EQ(video->pix_fmt, AV_PIX_FMT_YUV420P);
      EXPECT_TRUE(SameQ(video->sample_aspect_ratio, {1, 1}));
      EXPECT_TRUE(e.VideoCodecName.empty());
    } else {
      EXPECT_EQ(e.VideoCodecName, "msmpeg4v2") << "no video stream: the name stays in force";
    }
    AVCodecContext* audio = EncoderOf(e, AVMEDIA_TYPE_AUDIO);
    ASSERT_EQ(audio != nullptr, source.HasAudio);
    if (audio) {
      EXPECT_EQ(audio->codec_id, AV_CODEC_ID_PCM_S16LE);
      EXPECT_EQ(audio->ch_layout.nb_channels, 2);
      EXPECT_EQ(audio->sample_rate, 44100);
      EXPECT_EQ(audio->bit_rate, 128000);
      EXPECT_EQ(audio->sample_fmt, AV_SAMPLE_FMT_S16);
      EXPECT_TRUE(SameQ(audio->time_base, {1, 44100}));
    }
    for (auto& encoder : file.Encoders)
      EXPECT_EQ(avcodec_open2(encoder.get(), encoder->codec, nullptr), 0)
          << avcodec_get_name(encoder->codec_id);
  }
}

TEST_F(OpeningTest, RefusedOutputsLeaveNoFileAndNoEntry) {
  const std::string longName = Out(std::string(1100, 'n') + ".avi");
  struct Case {
    std::string Name;
    std::function<void(TFFmpeg&)> Options;
    std::string Message;  // empty: only the start is checked against Prefix
    std::string Prefix;
  } cases[] = {
      {Out("crop.avi"),
       [](TFFmpeg& e) {
         e.VideoFilters = "hflip";
         e.FrameCropTop = 8;
       },
       "Cannot enable crop options and filters at the same time.", ""},
      {Out("pad.avi"),
       [](TFFmpeg& e) {
         e.VideoFilters = "hflip,Scale=320:240";
         e.FramePadTop = 8;
       },
       "Cannot enable pad options and the filters which resize frame at the same time. (crop, "
       "rotate, scale, transpose, etc.)",
       ""},
      {Out("out.qvx"), [](TFFmpeg&) {},
       "Unable to find a suitable output format for '" + Out("out.qvx") + "'", ""},
      {Out("no/such/folder/out.avi"), [](TFFmpeg&) {},
       "Could not open '" + Out("no/such/folder/out.avi") + "'", ""},
      {longName, [](TFFmpeg&) {}, "", "File name too long"},
      {Out("enc.avi"), [](TFFmpeg& e) { e.VideoCodecName = "nosuchcodec"; },
       "new_video_stream fail: Unknown encoder 'nosuchcodec'", ""},
      {Out("kind.avi"), [](TFFmpeg& e) { e.AudioCodecName = "msmpeg4v2"; },
       "new_audio_stream fail: Invalid encoder type 'msmpeg4v2'", ""},
      {Out("rc.avi"), [](TFFmpeg& e) { e.RcOverride = "0,10"; },
       "new_video_stream fail: error parsing rc_override", ""},
      {Out("chunk.webm"),
       [](TFFmpeg& e) {
         e.ForcedOutputFormat = lib::avformat.av_guess_format("webm_chunk", nullptr, nullptr);
       },
       "", Out("chunk.webm") + ": Incorrect image filename syntax."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name.substr(0, 120));
    TFFmpeg e;
    e.Prepare();
    e.ForcedInputFormat = lib::avformat.av_find_input_format("avi");
    c.Options(e);
    EXPECT_FALSE(e.OpenOutputFile(c.Name));
    if (c.Message.empty())
      EXPECT_EQ(e.ErrorText.rfind(c.Prefix, 0), 0u) << e.ErrorText;
    else
      EXPECT_EQ(e.ErrorText, c.Message);
    EXPECT_EQ(e.OutputFileCount(), 0);
    EXPECT_FALSE(Exists(c.Name));
    EXPECT_EQ(e.ForcedOutputFormat, nullptr);
    EXPECT_EQ(e.ForcedInputFormat, nullptr);
  }
  EXPECT_TRUE(fs::is_empty(Dir));
}

TEST_F(OpeningTest, AnInputIsNeverTheOutput) {
  const std::string copy = Out("source.3gp");
  fs::copy_file(Fixture(fx::kH263Aac), copy);
  const auto size = fs::file_size(copy);
  ASSERT_TRUE(E.OpenInputFile(copy)) << E.ErrorText;
  // Another spelling of the same path is the same file.
  const std::string sameFile = (Dir / "." / "source.3gp").string();
  E.ForcedOutputFormat = lib::avformat.av_guess_format("avi", nullptr, nullptr);
  EXPECT_FALSE(E.OpenOutputFile(sameFile));
  EXPECT_EQ(E.ErrorText, "Cannot write '" + sameFile + "': it is an input file of this conversion");
  EXPECT_EQ(E.OutputFileCount(), 0);
  EXPECT_EQ(fs::file_size(copy), size);
}

TEST_F(OpeningTest, OverwritingAnExistingFileIsLoggedAndNotOurs) {
  const std::string out = Out("existing.avi");
  std::ofstream(out) << "old";
  std::vector<std::string> lines;
  E.LogCallback = [&](engine::TCustomFFmpeg*, int, const std::string& text) {
    lines.push_back(text);
  };
  ASSERT_TRUE(E.OpenOutputFile(out)) << E.ErrorText;
  EXPECT_FALSE(E.OutputFiles[0].CreatedFile);
  EXPECT_EQ(lines, std::vector<std::string>{"Overwriting '" + out + "'"});
}

TEST_F(OpeningTest, PadsWithFiltersThatKeepTheSize) {
  E.VideoFilters = "hflip";
  E.FramePadTop = 8;
  ASSERT_TRUE(E.OpenOutputFile(Out("pad.avi"))) << E.ErrorText;
  EXPECT_TRUE(E.UseFilterGraph);
}

TEST_F(OpeningTest, FrameRateSnapsToTheEncodersList) {
  struct Case {
    const char* Codec;
    AVRational Rate, TimeBase;
  } cases[] = {
      {"mpeg1video", {49, 2}, {1, 24}},  // between 24 and 25: the first listed wins
      {"mpeg1video", {29, 1}, {1001, 30000}},
      {"mpeg1video", {30000, 1001}, {1001, 30000}},
      {"mpeg2video", {25, 1}, {1, 25}},
      {"msmpeg4v2", {49, 2}, {2, 49}},  // no list: the rate as given
      {"msmpeg4v2", {0, 0}, {1, 25}},   // no rate at all
  };
  int n = 0;
  for (const Case& c : cases) {
    TFFmpeg e;
    e.VideoCodecName = c.Codec;
    e.FrameRate = c.Rate;
    ASSERT_TRUE(e.OpenOutputFile(Out("rate" + std::to_string(n++) + ".mpg"))) << e.ErrorText;
    const AVRational tb = e.OutputFiles[0].Encoders[0]->time_base;
    EXPECT_TRUE(SameQ(tb, c.TimeBase))
        << c.Codec << " " << c.Rate.num << "/" << c.Rate.den << " gave " << tb.num << "/" << tb.den;
  }
}

TEST_F(OpeningTest, VideoEncoderSettingsAndFileMetadata) {
  E.VideoCodecName = "msmpeg4v2";
  E.FrameWidth = 720;
  E.FrameHeight = 576;
  E.FrameAspect = 1.7777778f;
  E.RcOverride = "0,100,5/101,200,-50";
  E.PassNumber = 2;
  E.DoPsnr = 1;
  E.VideoQScale = 3.0f;
  E.IntraMatrix.assign(64, 20);
  E.VideoBsfChain = {"null"};
  E.AudioLanguage = "english";
  E.Title = "T";
  E.Author = "A";
  E.Year = 2009;
  E.RecordTimestamp = 1234567890;
  E.MuxMaxDelay = 0.5f;
  ASSERT_TRUE(E.OpenOutputFile(Out("settings.avi"))) << E.ErrorText;
  engine::TOutputFile& file = E.OutputFiles[0];
  AVCodecContext* video = file.Encoders[0].get();
  EXPECT_TRUE(SameQ(video->sample_aspect_ratio, {64, 45}));
  EXPECT_TRUE(SameQ(file.Context->streams[0]->sample_aspect_ratio, {64, 45}));
  ASSERT_EQ(video->rc_override_count, 2);
  EXPECT_EQ(video->rc_override[0].qscale, 5);
  EXPECT_FLOAT_EQ(video->rc_override[0].quality_factor, 1.0f);
  EXPECT_EQ(video->rc_override[1].start_frame, 101);
  EXPECT_EQ(video->rc_override[1].qscale, 0);
  EXPECT_FLOAT_EQ(video->rc_override[1].quality_factor, 0.5f);
  EXPECT_TRUE(video->flags & AV_CODEC_FLAG_PASS2);
  EXPECT_TRUE(video->flags & AV_CODEC_FLAG_PSNR);
  EXPECT_TRUE(video->flags & AV_CODEC_FLAG_QSCALE);
  EXPECT_EQ(video->global_quality, 3 * FF_QP2LAMBDA);
  ASSERT_NE(video->intra_matrix, nullptr);
  EXPECT_EQ(video->intra_matrix[63], 20);
  EXPECT_EQ(video->inter_matrix, nullptr);
  EXPECT_EQ(file.BitstreamFilters[0], std::vector<std::string>{"null"});
  EXPECT_TRUE(E.VideoBsfChain.empty());

  const AVDictionaryEntry* language =
      av_dict_get(file.Context->streams[1]->metadata, "language", nullptr, 0);
  ASSERT_NE(language, nullptr);
  EXPECT_STREQ(language->value, "eng");
  EXPECT_TRUE(E.AudioLanguage.empty());

  auto meta = [&](const char* key) {
    const AVDictionaryEntry* entry = av_dict_get(file.Context->metadata, key, nullptr, 0);
    return entry ? std::string(entry->value) : std::string("<none>");
  };
  EXPECT_EQ(meta("title"), "T");
  EXPECT_EQ(meta("artist"), "A");
  EXPECT_EQ(meta("date"), "2009");
  EXPECT_EQ(meta("creation_time"), "2009-02-13T23:31:30.000000Z");
  EXPECT_EQ(meta("track"), "<none>");
  EXPECT_EQ(file.Context->max_delay, 500000);
}

TEST_F(OpeningTest, StreamsAddedByOptionAfterTheOutput) {
  for (auto add : {&TFFmpeg::NewVideoStreamOption, &TFFmpeg::NewAudioStreamOption,
                   &TFFmpeg::NewSubtitleStreamOption}) {
    try {
      (E.*add)();
      ADD_FAILURE() << "no output yet";
    } catch (const engine::FFMpegException& e) {
      EXPECT_STREQ(e.what(), "At least one output file must be specified");
    }
  }

  // "an" keeps the audio stream out and stays in force until an audio stream is made.
  E.AudioDisabled = 1;
  ASSERT_TRUE(E.OpenOutputFile(Out("later.avi"))) << E.ErrorText;
  engine::TOutputFile& file = E.OutputFiles[0];
  ASSERT_EQ(file.Context->nb_streams, 1u);
  EXPECT_EQ(E.AudioDisabled, 1);

  E.AudioCodecName = "pcm_s16le";
  E.AudioLanguage = "fre";
  E.NewAudioStreamOption();
  ASSERT_EQ(file.Context->nb_streams, 2u);
  ASSERT_EQ(file.Encoders.size(), 2u);
  EXPECT_EQ(file.Encoders[1]->codec_id, AV_CODEC_ID_PCM_S16LE);
  EXPECT_EQ(E.AudioDisabled, 0);
  EXPECT_TRUE(E.AudioCodecName.empty());
  EXPECT_TRUE(E.AudioLanguage.empty());

  // A refused stream leaves the output as it was.
  E.VideoCodecName = "nosuchcodec";
  EXPECT_THROW(E.NewVideoStreamOption(), engine::FFMpegException);
  EXPECT_EQ(file.Context->nb_streams, 2u);
  EXPECT_EQ(file.Encoders.size(), 2u);
  EXPECT_TRUE(E.VideoCodecName.empty());

  E.SubtitleCopy = 1;
  E.NewSubtitleStreamOption();
  ASSERT_EQ(file.Context->nb_streams, 3u);
  EXPECT_TRUE(file.StreamCopy[2]);
  EXPECT_EQ(file.Encoders[2]->codec_type, AVMEDIA_TYPE_SUBTITLE);
  EXPECT_EQ(E.SubtitleCopy, 0);
}

}  // namespace
