// The option vocabulary: matching, stored values, checks and messages of the named options.
#include <functional>
#include <regex>

#include "EngineFixture.h"
#include "OptionHandlers.h"

using engine::FFMpegException;
using engine::TCustomFFmpeg;

namespace {

std::string ConversionError(const std::function<void()>& call) {
  try {
    call();
  } catch (const FFMpegException& ex) {
    return ex.what();
  }
  return {};
}

}  // namespace

TEST(NumberText, IntegersInEveryAcceptedForm) {
  struct TCase {
    const char* Text;
    int32_t Value;
  } cases[] = {{"12", 12},     {"  -5", -5},     {"+7", 7},         {"$1F", 31},
               {"x10", 16},    {"0x10", 16},     {"-0x10", -16},    {"0", 0},
               {"010", 10},    {"2147483647", 2147483647},          {"-2147483648", INT32_MIN},
               {"$FFFFFFFF", -1}};
  for (const TCase& c : cases) EXPECT_EQ(engine::StrToInt(c.Text), c.Value) << c.Text;
  EXPECT_EQ(engine::StrToInt64("9000000000"), 9000000000LL);
}

TEST(NumberText, RejectionsNameTheText) {
  for (const char* text : {"abc", "", " ", "12 ", "1.5", "0x", "$", "-", "2147483648", "1e3", "0xZ"})
    EXPECT_EQ(ConversionError([&] { engine::StrToInt(text); }),
              std::string("'") + text + "' is not a valid integer value");
  for (const char* text : {"abc", "", "inf", "nan", "1.5x", "0x1p3", "1,5"})
    EXPECT_EQ(ConversionError([&] { engine::StrToFloat(text); }),
              std::string("'") + text + "' is not a valid floating point value");
  EXPECT_DOUBLE_EQ(engine::StrToFloat(" 2.5 "), 2.5);
  EXPECT_DOUBLE_EQ(engine::StrToFloat("-1e2"), -100.0);
}

// Each plain option reaches its own field with its value.
TEST_F(EngineTest, PlainOptionsStoreTheirValues) {
  struct TCase {
    const char* Name;
    const char* Value;
    std::function<bool(const TCustomFFmpeg&)> Check;
  } cases[] = {
      {"fs", "123456789012", [](auto& e) { return e.LimitFileSize == 123456789012LL; }},
      {"dframes", "7", [](auto& e) { return e.MaxFrames[2] == 7 && e.MaxFrames[0] == INT32_MAX; }},
      {"vframes", "8", [](auto& e) { return e.MaxFrames[0] == 8; }},
      {"aframes", "9", [](auto& e) { return e.MaxFrames[1] == 9; }},
      {"dump", "", [](auto& e) { return e.PacketDump == 1; }},
      {"hex", "", [](auto& e) { return e.HexDump == 1; }},
      {"re", "", [](auto& e) { return e.RateEmulation == 1; }},
      {"loop_input", "", [](auto& e) { return e.LoopInput == 1; }},
      {"loop_output", "3", [](auto& e) { return e.LoopOutput == 3; }},
      {"vsync", "2", [](auto& e) { return e.VideoSyncMethod == 2; }},
      {"async", "$10", [](auto& e) { return e.AudioSyncMethod == 16; }},
      {"adrift_threshold", "0.25", [](auto& e) { return e.AudioDriftThreshold == 0.25f; }},
      {"vglobal", "1", [](auto& e) { return e.VideoGlobalHeader == 1; }},
      {"copyts", "", [](auto& e) { return e.CopyTs; }},
      {"shortest", "", [](auto& e) { return e.Shortest == 1; }},
      {"dts_delta_threshold", "2.5", [](auto& e) { return e.DtsDeltaThreshold == 2.5f; }},
      {"programid", "-4", [](auto& e) { return e.ProgramId == -4; }},
      {"xerror", "", [](auto& e) { return e.ExitOnError; }},
      {"intra", "", [](auto& e) { return e.IntraOnly == 1; }},
      {"vn", "", [](auto& e) { return e.VideoDisabled == 1; }},
      {"vdt", "5", [](auto& e) { return e.VideoDiscard == 5; }},
      {"rc_override", "0,10,2", [](auto& e) { return e.RcOverride == "0,10,2"; }},
      {"me_threshold", "6", [](auto& e) { return e.MeThreshold == 6; }},
      {"sameq", "", [](auto& e) { return e.SameQuality == 1; }},
      {"passlogfile", "/tmp/p", [](auto& e) { return e.PassLogPrefix == "/tmp/p"; }},
      {"deinterlace", "", [](auto& e) { return e.Deinterlace == 1; }},
      {"psnr", "", [](auto& e) { return e.DoPsnr == 1; }},
      {"vfilters", "hflip", [](auto& e) { return e.VideoFilters == "hflip"; }},
      {"top", "0", [](auto& e) { return e.TopFieldFirst == 0; }},
      {"dc", "10", [](auto& e) { return e.DcPrecision == 10; }},
      {"qphist", "", [](auto& e) { return e.QpHistogram == 1; }},
      {"aq", "3.5", [](auto& e) { return e.AudioQScale == 3.5f; }},
      {"ar", "22050", [](auto& e) { return e.AudioSampleRate == 22050; }},
      {"ac", "6", [](auto& e) { return e.AudioChannels == 6; }},
      {"an", "", [](auto& e) { return e.AudioDisabled == 1; }},
      {"vol", "512", [](auto& e) { return e.AudioVolume == 512; }},
      {"alang", "eng", [](auto& e) { return e.AudioLanguage == "eng"; }},
      {"sn", "", [](auto& e) { return e.SubtitleDisabled == 1; }},
      {"slang", "fre", [](auto& e) { return e.SubtitleLanguage == "fre"; }},
      {"vc", "2", [](auto& e) { return e.VideoChannel == 2; }},
      {"tvstd", "pal", [](auto& e) { return e.VideoStandard == "pal"; }},
      {"isync", "", [](auto& e) { return e.InputSync == 1; }},
      {"muxdelay", "0.3", [](auto& e) { return e.MuxMaxDelay == 0.3f; }},
      {"muxpreload", "0.2", [](auto& e) { return e.MuxPreload == 0.2f; }},
      {"title", "T", [](auto& e) { return e.Title == "T"; }},
      {"author", "A", [](auto& e) { return e.Author == "A"; }},
      {"copyright", "C", [](auto& e) { return e.Copyright == "C"; }},
      {"comment", "N", [](auto& e) { return e.Comment == "N"; }},
      {"genre", "G", [](auto& e) { return e.Genre == "G"; }},
      {"album", "B", [](auto& e) { return e.Album == "B"; }},
      {"ss", "1:02.5", [](auto& e) { return e.StartTime == 62500000; }},
      {"itsoffset", "-2", [](auto& e) { return e.InputTsOffset == -2000000; }},
      {"t", "90", [](auto& e) { return e.RecordingTime == 90000000 && e.ExpectedDurationMs == 90000; }},
      {"t", "01:00:00.5",
       [](auto& e) { return e.RecordingTime == 3600500000LL && e.ExpectedDurationMs == 3600500; }},
      {"t", "3:00:00", [](auto& e) { return e.RecordingTime == 10800000000LL; }},
      {"t", "0", [](auto& e) { return e.RecordingTime == INT64_MAX && e.ExpectedDurationMs == -1; }},
      // Dates are rounded to whole seconds, halves to even.
      {"timestamp", "1970-01-01 00:00:02.5Z", [](auto& e) { return e.RecordTimestamp == 2; }},
      {"timestamp", "1970-01-01 00:00:03.5Z", [](auto& e) { return e.RecordTimestamp == 4; }},
      {"r", "ntsc", [](auto& e) { return e.FrameRate.num == 30000 && e.FrameRate.den == 1001; }},
      {"r", "12.5", [](auto& e) { return e.FrameRate.num == 25 && e.FrameRate.den == 2; }},
      {"s", "vga", [](auto& e) { return e.FrameWidth == 640 && e.FrameHeight == 480; }},
      {"aspect", "16:9", [](auto& e) { return e.FrameAspect == 16.0f / 9.0f; }},
      {"aspect", "-1.5", [](auto& e) { return e.FrameAspect == -1.5f; }},
      {"pix_fmt", "yuv420p", [](auto& e) { return e.FramePixFmt == AV_PIX_FMT_YUV420P; }},
      {"pix_fmt", "no_such", [](auto& e) { return e.FramePixFmt == -1; }},
      {"sample_fmt", "s16", [](auto& e) { return e.AudioSampleFmt == AV_SAMPLE_FMT_S16; }},
      {"qscale", "255", [](auto& e) { return e.VideoQScale == 255.0f; }},
      {"qscale", "0.5", [](auto& e) { return e.VideoQScale == 0.5f; }},
      {"pass", "2", [](auto& e) { return e.PassNumber == 2; }},
      {"vtag", "XVID",
       [](auto& e) { return e.VideoCodecTag == ('X' | 'V' << 8 | 'I' << 16 | uint32_t{'D'} << 24); }},
      {"atag", "mp4a", [](auto& e) { return (e.AudioCodecTag & 0xff) == 'm'; }},
      {"vstats_file", "/tmp/v.log", [](auto& e) { return e.VstatsFileName == "/tmp/v.log"; }},
      {"f", "avi", [](auto& e) { return e.ForcedInputFormat && e.ForcedOutputFormat; }},
      // A muxer without a demuxer forces the output and clears the input.
      {"f", "mp2", [](auto& e) { return !e.ForcedInputFormat && e.ForcedOutputFormat; }},
      {"f", "", [](auto& e) { return !e.ForcedInputFormat && !e.ForcedOutputFormat; }},
  };
  for (const TCase& c : cases) {
    engine::TFFmpeg fresh;
    fresh.Prepare();
    ASSERT_NO_THROW(fresh.ApplyOption(c.Name, c.Value)) << c.Name << "=" << c.Value;
    EXPECT_TRUE(c.Check(fresh)) << c.Name << "=" << c.Value;
  }
}

TEST_F(EngineTest, EmptyTextsAndOutOfRangeNumbersLeaveValuesUnchanged) {
  E.ApplyOption("title", "Kept");
  E.ApplyOption("vfilters", "hflip");
  for (const char* name : {"title", "vfilters", "vcodec", "vtag", "s", "r", "aspect", "b"})
    EXPECT_EQ(ErrorOf(name, ""), "") << name;
  EXPECT_EQ(E.Title, "Kept");
  EXPECT_EQ(E.VideoFilters, "hflip");
  E.ApplyOption("ar", "0");
  E.ApplyOption("ac", "-1");
  EXPECT_EQ(E.AudioSampleRate, 44100);
  EXPECT_EQ(E.AudioChannels, 2);
  EXPECT_EQ(E.FrameWidth, 0);
  EXPECT_EQ(E.GenericOptionNames.size(), 0u);
}

TEST_F(EngineTest, NamesMatchOnlyWholeAndExact) {
  for (const char* name : {"Y", "-y", "SS", "B", "ss ", "map_meta"}) E.ApplyOption(name, "1");
  EXPECT_EQ(E.StartTime, 0);
  EXPECT_TRUE(E.StreamMaps.empty());
  EXPECT_TRUE(E.GenericOptionNames.empty());
  EXPECT_TRUE(Logs.empty());
}

TEST_F(EngineTest, DoNothingOptionsOnlyLog) {
  const char* names[] = {"y", "i", "h", "L", "version", "formats", "benchmark", "apre", "vpre", "spre"};
  for (const char* name : names) E.ApplyOption(name, "x");
  ASSERT_EQ(Logs.size(), std::size(names));
  for (size_t i = 0; i < Logs.size(); ++i) {
    EXPECT_EQ(Logs[i].first, 1);
    EXPECT_EQ(Logs[i].second, std::string("Do nothing: option - ") + names[i]);
  }
  E.LogCallback = nullptr;
  EXPECT_NO_THROW(E.ApplyOption("y", ""));
}

TEST_F(EngineTest, EveryRejectionMessage) {
  E.FrameWidth = 720;
  E.FrameHeight = 576;
  const std::string range = " crop dimensions are outside the range of the original image.\n"
                            "Remember to crop first and scale second.";
  struct TCase {
    const char* Name;
    const char* Value;
    std::string Message;
  } cases[] = {
      {"threads", "4", "TODO: option - threads"},
      {"f", "nosuchformat", "Unknown input or output format: nosuchformat"},
      {"t", "abc", "Invalid duration specification for t: abc"},
      {"ss", "x1", "Invalid duration specification for ss: x1"},
      {"timestamp", "abc", "Invalid date specification for timestamp: abc"},
      {"itsscale", "25:2", "stream index over MAX_STREAMS(20)"},
      {"itsscale", "-1:2", "stream index over MAX_STREAMS(20)"},
      {"r", "fast", "Incorrect frame rate"},
      {"s", "big", "Incorrect frame size"},
      {"aspect", "16:0", "Incorrect aspect ratio specification."},
      {"aspect", "0", "Incorrect aspect ratio specification."},
      {"aspect", "wide", "Incorrect aspect ratio specification."},
      {"croptop", "7", "Top crop size must be a multiple of 2"},
      {"cropbottom", "3", "Bottom crop size must be a multiple of 2"},
      {"cropleft", "1", "Left crop size must be a multiple of 2"},
      {"cropright", "5", "Right crop size must be a multiple of 2"},
      {"croptop", "576", "Vertical" + range},
      {"cropbottom", "600", "Vertical" + range},
      {"cropleft", "720", "Horizontal" + range},
      {"padtop", "1", "Top pad size must be a multiple of 2"},
      {"padbottom", "3", "Bottom pad size must be a multiple of 2"},
      {"padleft", "5", "Left pad size must be a multiple of 2"},
      {"padright", "7", "Right pad size must be a multiple of 2"},
      {"qscale", "0", "qscale must be > 0.0 and <= 255"},
      {"qscale", "256", "qscale must be > 0.0 and <= 255"},
      {"qscale", "-3", "qscale must be > 0.0 and <= 255"},
      {"vtag", "DIV", "video tag parameter must be 4 chars"},
      {"atag", "mp4aa", "audio tag parameter must be 4 chars"},
      {"pass", "3", "pass number can be only 1 or 2"},
      {"pass", "0", "pass number can be only 1 or 2"},
      {"vhook", "hook.so -x", "Failed to add video hook function: hook.so -x"},
      {"absf", " nosuchfilter ", "Unknown bitstream filter nosuchfilter"},
      {"vbsf", "nosuch=arg", "Unknown bitstream filter nosuch=arg"},
      {"target", "VCD", "Unknown target type"},
      {"newvideo", "", "At least one output file must be specified"},
      {"newaudio", "", "At least one output file must be specified"},
      {"newsubtitle", "", "At least one output file must be specified"},
      {"fs", "abc", "'abc' is not a valid integer value"},
      {"fs", "", "'' is not a valid integer value"},
      {"croptop", "two", "'two' is not a valid integer value"},
      {"qscale", "", "'' is not a valid floating point value"},
      {"muxdelay", "1.2.3", "'1.2.3' is not a valid floating point value"},
  };
  for (const TCase& c : cases) {
    E.FrameRate = {25, 1};
    EXPECT_EQ(ErrorOf(c.Name, c.Value), c.Message) << c.Name << "=" << c.Value;
  }
  // None of the refused crops took anything off the frame.
  EXPECT_EQ(E.FrameWidth, 720);
  EXPECT_EQ(E.FrameHeight, 576);
  EXPECT_EQ(E.ThreadCount, 1);

  try {
    E.SetInputFormat("nosuch");
    ADD_FAILURE();
  } catch (const FFMpegException& ex) {
    EXPECT_STREQ(ex.what(), "Unknown input format: nosuch");
  }
  try {
    E.SetOutputFormat("nosuch");
    ADD_FAILURE();
  } catch (const FFMpegException& ex) {
    EXPECT_STREQ(ex.what(), "Unknown output format: nosuch");
  }
}

TEST_F(EngineTest, OddFrameSizeIsStoredThenRefused) {
  EXPECT_EQ(ErrorOf("s", "321x240"), "Frame size must be a multiple of 2");
  EXPECT_EQ(E.FrameWidth, 321);
  EXPECT_EQ(E.FrameHeight, 240);
}

TEST_F(EngineTest, PgmyuvIsReadAsImage2) {
  E.ApplyOption("f", "pgmyuv");
  EXPECT_EQ(E.PgmyuvMode, 1);
  ASSERT_NE(E.ForcedInputFormat, nullptr);
  EXPECT_STREQ(E.ForcedInputFormat->name, "image2");
  EXPECT_EQ(LogTexts(), std::vector<std::string>{"pgmyuv format is deprecated, use image2"});
}

TEST_F(EngineTest, CropsAreCheckedAgainstTheFrameSizeInForce) {
  E.FrameWidth = 720;
  E.FrameHeight = 576;
  E.ApplyOption("croptop", "8");
  EXPECT_EQ(E.FrameCropTop, 8);
  EXPECT_EQ(E.FrameHeight, 568);
  E.ApplyOption("cropbottom", "-2");  // negative: side left unset
  EXPECT_EQ(E.FrameCropBottom, 0);
  E.ApplyOption("cropleft", "16");
  E.ApplyOption("cropright", "4");
  EXPECT_EQ(E.FrameWidth, 700);
  EXPECT_EQ(E.FrameCropLeft, 16);
  EXPECT_EQ(E.FrameCropRight, 4);
  // The remaining height is what counts: 568 no longer fits.
  EXPECT_NE(ErrorOf("cropbottom", "568"), "");
  E.ApplyOption("croptop", "8");  // applied twice subtracts twice
  EXPECT_EQ(E.FrameHeight, 560);

  engine::TFFmpeg noVideo;
  noVideo.Prepare();
  EXPECT_NE(std::string(ConversionError([&] { noVideo.ApplyOption("croptop", "0"); })), "");
  EXPECT_NO_THROW(noVideo.ApplyOption("croptop", "-1"));
}

TEST_F(EngineTest, PadsAreStoredWithoutTouchingTheFrame) {
  E.FrameWidth = 352;
  E.FrameHeight = 288;
  E.ApplyOption("padtop", "8");
  E.ApplyOption("padbottom", "10");
  E.ApplyOption("padleft", "0");
  E.ApplyOption("padright", "-4");
  EXPECT_EQ(E.FramePadTop, 8);
  EXPECT_EQ(E.FramePadBottom, 10);
  EXPECT_EQ(E.FramePadLeft, 0);
  EXPECT_EQ(E.FramePadRight, 0);
  EXPECT_EQ(E.FrameWidth, 352);
  EXPECT_EQ(E.FrameHeight, 288);
}

TEST_F(EngineTest, PadColourIsFullRangeYuv) {
  struct TCase {
    const char* Value;
    std::array<int32_t, 3> Yuv;
  } cases[] = {
      {"255", {76, 85, 255}},           // red in the lowest byte
      {"0xFFFFFF", {255, 128, 128}},    // white
      {"0", {0, 128, 128}},             // black
      {"$FF0000", {29, 255, 107}},      // blue in the third byte
  };
  for (const TCase& c : cases) {
    E.ApplyOption("padcolor", c.Value);
    EXPECT_EQ(E.PadColor, c.Yuv) << c.Value;
  }
  E.SetPadColor(0xFFFFFF);
  EXPECT_EQ(E.PadColor, (std::array<int32_t, 3>{255, 128, 128}));
}

TEST_F(EngineTest, StreamMapsReadNumbersTheWayStrtolDoes) {
  struct TCase {
    const char* Value;
    std::array<int32_t, 4> Map;  // file, stream, sync file, sync stream
  } cases[] = {
      {"0.1", {0, 1, 0, 1}},       {"0.1:0.0", {0, 1, 0, 0}}, {"0x1.2", {1, 2, 1, 2}},
      {"010.1", {8, 1, 8, 1}},     {"1:3", {1, 3, 1, 3}},     {"2.0:1.1", {2, 0, 1, 1}},
  };
  for (const TCase& c : cases) E.ApplyOption("map", c.Value);
  ASSERT_EQ(E.StreamMapCount(), static_cast<int32_t>(std::size(cases)));
  for (size_t i = 0; i < std::size(cases); ++i) {
    const engine::TStreamMap& m = E.StreamMaps[i];
    EXPECT_EQ((std::array<int32_t, 4>{m.InputFile, m.InputStream, m.SyncFile, m.SyncStream}),
              cases[i].Map)
        << cases[i].Value;
  }
  E.ApplyOption("map_meta_data", "1:0x2");
  ASSERT_EQ(E.MetadataMapCount(), 1);
  EXPECT_EQ(E.MetadataMaps[0].OutputFile, 1);
  EXPECT_EQ(E.MetadataMaps[0].InputFile, 2);
}

TEST_F(EngineTest, MapTablesRefuseToGrowPastTheirCapacity) {
  for (int i = 0; i < engine::MaxStreamMaps; ++i) E.ApplyOption("map", "0.0");
  EXPECT_EQ(ErrorOf("map", "0.0"), "Too many stream maps: at most 400 are allowed");
  EXPECT_EQ(E.StreamMapCount(), 400);
  for (int i = 0; i < engine::MaxFiles; ++i) E.ApplyOption("map_meta_data", "0:0");
  EXPECT_EQ(ErrorOf("map_meta_data", "0:0"), "Too many metadata maps: at most 20 are allowed");
  EXPECT_EQ(E.MetadataMapCount(), 20);
}

TEST_F(EngineTest, TimeScaleGoesToTheNextInput) {
  E.ApplyOption("itsscale", "1:0.5");
  EXPECT_EQ(E.InputTsScale[0][1], 0.5);
  EXPECT_EQ(ErrorOf("itsscale", "25:2"), "stream index over MAX_STREAMS(20)");
  double sum = 0;
  for (const auto& row : E.InputTsScale)
    for (double scale : row) sum += scale;
  EXPECT_EQ(sum, 0.5);  // nothing else was stored
}

TEST_F(EngineTest, FormatListsGoToTheLog) {
  E.FramePixFmt = 3;
  E.ApplyOption("pix_fmt", "list");
  EXPECT_EQ(E.FramePixFmt, 3);
  ASSERT_GT(Logs.size(), 41u);
  EXPECT_EQ(Logs[0].second, "name nb_components nb_bits");
  EXPECT_EQ(Logs[1].second.rfind("yuv420p", 0), 0u);
  for (const auto& [level, text] : Logs) {
    EXPECT_EQ(level, 1);
    EXPECT_FALSE(text.empty() || text.back() == ' ') << text;
  }
  Logs.clear();
  E.ApplyOption("sample_fmt", "list");
  ASSERT_EQ(Logs.size(), 1u + AV_SAMPLE_FMT_NB);
  EXPECT_EQ(Logs[0].second, "name   depth");
  EXPECT_EQ(Logs[1].second, "u8        8");
  EXPECT_EQ(E.AudioSampleFmt, -1);
}

TEST_F(EngineTest, CodecNamesAndCopyFlags) {
  E.ApplyOption("vcodec", "copy");
  E.ApplyOption("vcodec", "mpeg4");
  EXPECT_EQ(E.VideoCopy, 1);  // an earlier copy stays in force
  EXPECT_EQ(E.VideoCodecName, "mpeg4");
  E.ApplyOption("acodec", "mp2");
  E.ApplyOption("acodec", "copy");
  EXPECT_EQ(E.AudioCopy, 1);
  EXPECT_EQ(E.AudioCodecName, "");  // copy releases the name
  E.ApplyOption("scodec", "mov_text");
  EXPECT_EQ(E.SubtitleCodecName, "mov_text");
  EXPECT_EQ(E.SubtitleCopy, 0);
}

TEST_F(EngineTest, MatricesTakeExactly64Coefficients) {
  std::string numbers;
  for (int i = 1; i <= 64; ++i) numbers += (i > 1 ? ", " : "") + std::to_string(i);
  E.ApplyOption("intra_matrix", numbers + ",99 trailing");
  ASSERT_EQ(E.IntraMatrix.size(), 64u);
  EXPECT_EQ(E.IntraMatrix[0], 1);
  EXPECT_EQ(E.IntraMatrix[63], 64);
  EXPECT_TRUE(E.InterMatrix.empty());
  // Given again, the new matrix replaces the old one (no second buffer kept).
  E.ApplyOption("intra_matrix", std::string(63, ',') .insert(0, "70000"));
  EXPECT_EQ(E.IntraMatrix[0], static_cast<uint16_t>(70000));  // kept as 16 bits
  EXPECT_EQ(E.IntraMatrix[1], 0);

  std::string short63 = numbers.substr(0, numbers.rfind(','));
  EXPECT_EQ(ErrorOf("inter_matrix", short63),
            "Syntax error in matrix \"" + short63 + "\" at coeff 62");
  ASSERT_EQ(E.InterMatrix.size(), 64u);  // what was read before the error stays
  EXPECT_EQ(E.InterMatrix[62], 63);
}

TEST_F(EngineTest, BitstreamFiltersAppendNamesInOrder) {
  E.ApplyOption("vbsf", "h264_mp4toannexb");
  E.ApplyOption("vbsf", "dump_extra=freq=keyframe");
  E.ApplyOption("absf", "aac_adtstoasc");
  E.ApplyOption("sbsf", "null");
  E.ApplyOption("vbsf", "=dump_extra");
  E.ApplyOption("vbsf", "");
  EXPECT_EQ(E.VideoBsfChain, (std::vector<std::string>{"h264_mp4toannexb", "dump_extra"}));
  EXPECT_EQ(E.AudioBsfChain, std::vector<std::string>{"aac_adtstoasc"});
  EXPECT_EQ(E.SubtitleBsfChain, std::vector<std::string>{"null"});
}

TEST_F(EngineTest, LowBitRatesWarnButStay) {
  const std::string warning =
      "WARNING: The bitrate parameter is set too low. It takes bits/s as argument, not kbits/s";
  E.ApplyOption("b", "500");
  EXPECT_EQ(LogTexts(), std::vector<std::string>{warning});
  EXPECT_EQ(E.CodecDefaults[AVMEDIA_TYPE_VIDEO]->bit_rate, 500);
  Logs.clear();
  E.ApplyOption("b", "500000");
  E.ApplyOption("vb", "999999");
  EXPECT_TRUE(Logs.empty());
  E.ApplyOption("ab", "64");  // read from the audio defaults
  EXPECT_EQ(LogTexts(), std::vector<std::string>{warning});
  EXPECT_EQ(E.CodecDefaults[AVMEDIA_TYPE_AUDIO]->bit_rate, 64);
  EXPECT_EQ(E.CodecDefaults[AVMEDIA_TYPE_VIDEO]->bit_rate, 999999);
}

TEST_F(EngineTest, VstatsNamesAFileBesideTheProgram) {
  E.ApplyOption("vstats_file", "first.log");
  E.ApplyOption("vstats", "");
  EXPECT_TRUE(std::regex_match(E.VstatsFileName, std::regex("/.*/vstats_[0-2][0-9][0-5][0-9][0-6][0-9]\\.log")))
      << E.VstatsFileName;
}

TEST_F(EngineTest, VerbosityRaisesTheLibraryLevel) {
  const int before = lib::avutil.av_log_get_level();
  E.ApplyOption("v", "2");
  EXPECT_EQ(E.Verbose, 2);
  EXPECT_EQ(lib::avutil.av_log_get_level(), AV_LOG_DEBUG);
  E.ApplyOption("v", "-1");
  EXPECT_EQ(lib::avutil.av_log_get_level(), AV_LOG_QUIET);
  lib::avutil.av_log_set_level(before);
}

TEST_F(EngineTest, ResetOptionsRestoresEveryDefault) {
  E.ApplyOption("ac", "1");
  E.ApplyOption("ar", "8000");
  E.ApplyOption("s", "64x64");
  E.ApplyOption("vcodec", "copy");
  E.ApplyOption("map", "0.0");
  E.ApplyOption("t", "5");
  E.ApplyOption("vbsf", "null");
  E.ApplyOption("b", "300000");
  E.ApplyOption("muxrate", "1000");
  E.ExceptionRaised = true;
  E.Prepare();
  EXPECT_EQ(E.AudioChannels, 2);
  EXPECT_EQ(E.AudioSampleRate, 44100);
  EXPECT_EQ(E.FrameWidth, 0);
  EXPECT_EQ(E.VideoCopy, 0);
  EXPECT_EQ(E.StreamMapCount(), 0);
  EXPECT_EQ(E.RecordingTime, INT64_MAX);
  EXPECT_EQ(E.ExpectedDurationMs, -1);
  EXPECT_TRUE(E.VideoBsfChain.empty());
  EXPECT_TRUE(E.GenericOptionNames.empty());
  EXPECT_EQ(E.FormatPrivateOptions, nullptr);
  EXPECT_FALSE(E.ExceptionRaised);
  EXPECT_EQ(E.MaxFrames, (std::array<int32_t, 4>{INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX}));
  EXPECT_EQ(E.PadColor, (std::array<int32_t, 3>{16, 128, 128}));
  ASSERT_NE(E.CodecDefaults[AVMEDIA_TYPE_VIDEO], nullptr);
  EXPECT_EQ(E.CodecDefaults[AVMEDIA_TYPE_VIDEO]->bit_rate, DefaultBitRate());  // fresh holders
}
