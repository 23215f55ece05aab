// The option records' translation into engine calls, checked against a recording target.
#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <stdexcept>
#include <string>
#include <vector>

#include "FFmpeg.h"
#include "OptionRecords.h"

using namespace component;

namespace {

// Records every call as "name(args)"; ApplyOption of `failOn` raises like an engine handler.
class TRecordingTarget : public TOptionTarget {
 public:
  std::vector<std::string> Calls;
  std::vector<engine::THookTimeRange> Ranges;
  int64_t Timestamp = -1;
  std::string FailOn = "\x01none";

  void ApplyOption(const std::string& name, const std::string& value) override {
    if (name == FailOn) throw engine::FFMpegException("rejected " + name);
    Add("opt " + name + "=" + value);
  }
  void ApplyGenericOptionInt(const std::string& name, int64_t n) override { Add("generic " + name + "=" + std::to_string(n)); }
  void SetInputFormat(const std::string& name) override { Add("SetInputFormat " + name); }
  void SetOutputFormat(const std::string& name) override { Add("SetOutputFormat " + name); }
  void SetStartTimeUs(int64_t t) override { Add("SetStartTimeUs " + std::to_string(t)); }
  void SetProgramId(int32_t n) override { Add("SetProgramId " + std::to_string(n)); }
  void SetRecordingTimeMs(int64_t ms) override { Add("SetRecordingTimeMs " + std::to_string(ms)); }
  void SetAudioVolume(int32_t n) override { Add("SetAudioVolume " + std::to_string(n)); }
  void SetAudioSync(int32_t n) override { Add("SetAudioSync " + std::to_string(n)); }
  void SetVideoSync(int32_t n) override { Add("SetVideoSync " + std::to_string(n)); }
  void SetMuxMaxDelay(float s) override { Add("SetMuxMaxDelay " + std::to_string(s)); }
  void SetMuxPreload(float s) override { Add("SetMuxPreload " + std::to_string(s)); }
  void SetYear(int32_t n) override { Add("SetYear " + std::to_string(n)); }
  void SetTrack(int32_t n) override { Add("SetTrack " + std::to_string(n)); }
  void SetHeaderField(const std::string& name, const std::string& text) override { Add("header " + name + "=" + text); }
  void SetPadColor(int32_t colour) override { Add("SetPadColor " + std::to_string(colour)); }
  void ApplyTarget(const std::string& kind, const std::string& norm, const std::string& fallback) override {
    Add("ApplyTarget " + kind + " " + norm + " " + fallback);
  }
  void SetAudioDisabled() override { Add("AudioDisabled"); }
  void SetVideoDisabled() override { Add("VideoDisabled"); }
  void SetSubtitleDisabled() override { Add("SubtitleDisabled"); }
  void SetAudioLanguage(const std::string& code) override { Add("AudioLanguage " + code); }
  void SetSubtitleLanguage(const std::string& code) override { Add("SubtitleLanguage " + code); }
  void SetCopyTs(bool on) override { Add(std::string("CopyTs ") + (on ? "1" : "0")); }
  void SetRecordTimestamp(int64_t seconds) override {
    Timestamp = seconds;
    Add("RecordTimestamp");
  }
  void ConnectCustomHook() override { Add("ConnectCustomHook"); }
  void ConnectBeforeHook() override { Add("ConnectBeforeHook"); }
  void SetHookRanges(const std::vector<engine::THookTimeRange>& ranges) override {
    Ranges = ranges;
    Add("SetHookRanges " + std::to_string(ranges.size()));
  }

 private:
  void Add(const std::string& call) { Calls.push_back(call); }
};

// What a record straight from ResetOutputOptions applies: only the always-applied fields (and
// the "always passed" values the engine ignores), in the fixed order.
const std::vector<std::string> kDefaultOutputCalls = {
    "opt ac=-1", "opt ar=-1", "AudioLanguage ", "SetAudioSync 0",
    "opt croptop=-1", "opt cropbottom=-1", "opt cropleft=-1", "opt cropright=-1",
    "opt padtop=-1", "opt padbottom=-1", "opt padleft=-1", "opt padright=-1",
    "SetPadColor 0", "SetVideoSync -1", "SubtitleLanguage ", "CopyTs 0", "SetHookRanges 0"};

}  // namespace

TEST(OptionRecords, DefaultOutputRecordAppliesOnlyTheAlwaysFields) {
  TOutputOptions record;
  record.PadColor = 0xFFFFFF;  // then reset: a reset must bring back black
  ResetOutputOptions(record);
  TRecordingTarget target;
  ApplyOutputOptions(target, record, "out.avi");
  EXPECT_EQ(target.Calls, kDefaultOutputCalls);
  EXPECT_EQ(record.FileName, "out.avi");
  EXPECT_EQ(record.TargetFallbackNorm, 1);
}

TEST(OptionRecords, FullOutputRecordFollowsTheFixedOrderAfterExtraLines) {
  TOutputOptions r;
  r.FileName = "keep.avi";
  r.OutputFormat = "avi";
  r.PacketSize = 10;
  r.MuxRate = 20;
  r.MuxDelay = 0.5f;
  r.MuxPreload = 0.25f;
  r.AudioCodec = "pcm_s16le";
  r.NoAudio = true;
  r.AudioVolume = 0;
  r.AudioChannels = 2;
  r.AudioRate = 44100;
  r.AudioBitRate = 128000;
  r.AudioBitRateTolerance = 5;
  r.AudioLanguage = "eng";
  r.AudioSync = 1;
  r.AudioTag = "abcd";
  r.VideoCodec = "msmpeg4v2";
  r.NoVideo = true;
  r.FrameRate = "25";
  r.FrameSize = "176x144";
  r.Aspect = "4:3";
  r.CropTop = 2;
  r.PadColor = 0x80000005;  // a system colour reference
  r.GopSize = 12;
  r.VideoBitRate = 1200000;
  r.MaxRate = 3;
  r.MinRate = 4;
  r.VideoBitRateTolerance = 6;
  r.BufSize = 7;
  r.VideoSync = 1;
  r.VideoTag = "DIV3";
  r.VideoFilters = "crop";
  r.NoSubtitle = true;
  r.SubtitleLanguage = "fra";
  r.CopyTimestamps = true;
  r.DurationMs = 1500;
  r.Year = 2009;
  r.Track = 3;
  SetHeaderText(r.Title, "T");
  SetHeaderText(r.Genre, "G");
  r.TargetKind = 2;
  r.TargetNorm = 7;
  r.TargetFallbackNorm = 0;
  r.UseBeforeHook = true;
  r.ExtraOptions = "  vn=1\r\nb\r\r";
  TRecordingTarget target;
  ApplyOutputOptions(target, r, "ignored.avi");
  const std::vector<std::string> expected = {
      "opt vn=1", "opt b=", "SetOutputFormat avi", "generic packetsize=10", "generic muxrate=20",
      "SetMuxMaxDelay 0.500000", "SetMuxPreload 0.250000", "opt acodec=pcm_s16le",
      "AudioDisabled", "SetAudioVolume 0", "opt ac=2", "opt ar=44100", "generic ab=128000",
      "generic abt=5", "AudioLanguage eng", "SetAudioSync 1", "opt atag=abcd",
      "opt vcodec=msmpeg4v2", "VideoDisabled", "opt r=25", "opt s=176x144", "opt aspect=4:3",
      "opt croptop=2", "opt cropbottom=-1", "opt cropleft=-1", "opt cropright=-1",
      "opt padtop=-1", "opt padbottom=-1", "opt padleft=-1", "opt padright=-1",
      "SetPadColor 0", "generic gop=12", "generic vb=1200000", "generic maxrate=3",
      "generic minrate=4", "generic bt=6", "generic bufsize=7", "SetVideoSync 1", "opt vtag=DIV3",
      "opt vfilters=crop", "SubtitleDisabled", "SubtitleLanguage fra", "CopyTs 1",
      "SetRecordingTimeMs 1500", "SetYear 2009", "SetTrack 3", "header title=T", "header genre=G",
      "ApplyTarget svcd auto ntsc", "ConnectBeforeHook"};
  EXPECT_EQ(target.Calls, expected);
  EXPECT_EQ(r.FileName, "keep.avi");
}

TEST(OptionRecords, ExtraOptionLinesReachTheEngineExactlyAsWritten) {
  struct TCase {
    const char* Text;
    std::vector<std::string> Calls;
  };
  const TCase cases[] = {
      {"a = 1", {"opt a = 1"}},  // blanks stay: trailing in the name, leading in the value
      {"vn", {"opt vn="}},       // a flag line without "="
      {"x=1=2", {"opt x=1=2"}},  // split at the first "="
      {"\t a=1\r\n\r\nb=2\rc=3\n \n", {"opt a=1", "opt =", "opt b=2", "opt c=3"}},
      {" \r\n\t ", {}},
  };
  for (const auto& c : cases) {
    TRecordingTarget target;
    ApplyExtraOptions(target, c.Text);
    EXPECT_EQ(target.Calls, c.Calls) << c.Text;
  }
}

TEST(OptionRecords, AnErrorStopsTheTranslationAtThatField) {
  TOutputOptions record;
  record.VideoCodec = "msmpeg4v2";
  record.FrameSize = "-1x-1";
  record.VideoBitRate = 1200000;
  TRecordingTarget target;
  target.FailOn = "s";
  EXPECT_THROW(ApplyOutputOptions(target, record, "o.avi"), engine::FFMpegException);
  ASSERT_FALSE(target.Calls.empty());
  EXPECT_EQ(target.Calls.back(), "opt vcodec=msmpeg4v2") << "nothing after the failing frame size";
  for (const auto& call : target.Calls) EXPECT_NE(call, "generic vb=1200000");
}

TEST(OptionRecords, InputRecordFillsItsNameAndAppliesOnlyWhatIsSet) {
  TInputOptions record;
  TRecordingTarget target;
  ApplyInputOptions(target, record, "in.3gp");
  EXPECT_TRUE(target.Calls.empty());
  EXPECT_EQ(record.FileName, "in.3gp");

  record.ExtraOptions = "itsoffset=1";
  record.InputFormat = "mov";
  record.StartMs = 5000;
  record.ProgramId = 0;
  TRecordingTarget full;
  ApplyInputOptions(full, record, "other.3gp");
  EXPECT_EQ(full.Calls, (std::vector<std::string>{"opt itsoffset=1", "SetInputFormat mov",
                                                  "SetStartTimeUs 5000000", "SetProgramId 0"}));
  EXPECT_EQ(record.FileName, "in.3gp");
}

TEST(OptionRecords, HookChoiceCustomWinsThenBeforeThenRanges) {
  TOutputOptions record;
  record.UseCustomHook = record.UseBeforeHook = true;
  record.HookRanges = "1000-2000";
  TRecordingTarget target;
  ApplyOutputOptions(target, record, "o.avi");
  EXPECT_EQ(target.Calls.back(), "ConnectCustomHook");
  EXPECT_TRUE(target.Ranges.empty());
}

TEST(OptionRecords, HookRangesKeepOnlyWellFormedRangesSortedByEnd) {
  struct TCase {
    const char* Text;
    std::vector<std::pair<int64_t, int64_t>> Kept;  // microseconds
  };
  const TCase cases[] = {
      {"1000-2000, 5000-4000, 7000", {{1000000, 2000000}}},
      {" 8000 - 9000 ,1000-2000", {{1000000, 2000000}, {8000000, 9000000}}},
      {"abc-3000", {{-1000, 3000000}}},  // a start that is not a number reads as -1 ms
      {"1000-xyz, , -", {}},
      {"", {}},
      {"0-0", {{0, 0}}},
      {"99999999999999999-99999999999999999", {}},  // too large to hold in microseconds
  };
  for (const auto& c : cases) {
    auto ranges = ParseHookRanges(c.Text);
    std::vector<std::pair<int64_t, int64_t>> got;
    for (const auto& r : ranges) got.emplace_back(r.Start, r.End);
    EXPECT_EQ(got, c.Kept) << c.Text;
  }
}

TEST(OptionRecords, RecordTimeConvertsLocalDaysWithTheStandardBias) {
  int64_t seconds = 0;
  // 2009-06-15 12:00 local in a zone one hour east of UTC (bias -60): 11:00 UTC.
  ASSERT_TRUE(RecordTimeSeconds(39979.5, -60, seconds));
  EXPECT_EQ(seconds, 1245063600);
  EXPECT_FALSE(RecordTimeSeconds(-1.0, 0, seconds));
  // 0 means the moment the record is applied, from the clock (no daylight-saving hour off).
  int64_t before = std::time(nullptr);
  ASSERT_TRUE(RecordTimeSeconds(0.0, 600, seconds));
  EXPECT_GE(seconds, before);
  EXPECT_LE(seconds, std::time(nullptr));

  TOutputOptions record;
  record.RecordTime = 0;
  TRecordingTarget target;
  ApplyOutputOptions(target, record, "o.avi");
  EXPECT_GE(target.Timestamp, before);
}

TEST(OptionRecords, FieldsSetByNameWithTypeChecks) {
  TOutputOptions out;
  std::string error;
  EXPECT_TRUE(SetOutputField(out, "VideoCodec", "mpeg4", error));
  EXPECT_TRUE(SetOutputField(out, "FrameSize", "320x240", error));
  EXPECT_TRUE(SetOutputField(out, "NoAudio", "1", error));
  EXPECT_TRUE(SetOutputField(out, "MuxDelay", "0.5", error));
  EXPECT_TRUE(SetOutputField(out, "PadColor", "0xFF0000", error));
  EXPECT_TRUE(SetOutputField(out, "Title", "My clip", error));
  EXPECT_EQ(out.VideoCodec, "mpeg4");
  EXPECT_EQ(out.FrameSize, "320x240");
  EXPECT_TRUE(out.NoAudio);
  EXPECT_FLOAT_EQ(out.MuxDelay, 0.5f);
  EXPECT_EQ(out.PadColor, 0xFF0000u);
  EXPECT_EQ(HeaderText(out.Title), "My clip");

  struct TBad {
    const char* Name;
    const char* Value;
    const char* Mentions;
  };
  const std::string longGenre(40, 'g');
  const TBad bad[] = {{"Bogus", "1", "unknown field 'Bogus'"},
                      {"videocodec", "x", "unknown field"},
                      {"AudioRate", "44.1k", "AudioRate"},
                      {"AudioRate", "99999999999", "AudioRate"},
                      {"NoVideo", "maybe", "NoVideo"},
                      {"Genre", longGenre.c_str(), "Genre"}};
  for (const auto& b : bad) {
    TOutputOptions untouched;
    std::string message;
    EXPECT_FALSE(SetOutputField(untouched, b.Name, b.Value, message)) << b.Name;
    EXPECT_NE(message.find(b.Mentions), std::string::npos) << message;
    EXPECT_EQ(untouched.AudioRate, -1);
  }

  TInputOptions in;
  EXPECT_TRUE(SetInputField(in, "StartMs", "5000", error));
  EXPECT_EQ(in.StartMs, 5000);
  EXPECT_FALSE(SetInputField(in, "StartMs", "soon", error));
  EXPECT_FALSE(SetInputField(in, "FrameSize", "1x1", error));
}
