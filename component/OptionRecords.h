// The two records that describe one conversion task, and their translation into engine calls.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace engine {
class TCustomFFmpeg;
struct THookTimeRange;
}  // namespace engine

namespace component {

// Fields in this order; -1, empty text and false leave the engine's own default in place.
struct TInputOptions {
  std::string FileName;
  std::string InputFormat;
  int32_t StartMs = -1;
  int32_t ProgramId = -1;
  std::string ExtraOptions;
};

using THeaderText = std::array<char, 512>;
using TGenreText = std::array<char, 32>;

// Fields in this order. AudioSync, PadColor, VideoSync and CopyTimestamps are always applied.
struct TOutputOptions {
  std::string FileName;
  std::string OutputFormat;
  int32_t PacketSize = -1;
  int32_t MuxRate = -1;
  float MuxDelay = -1.0f;
  float MuxPreload = -1.0f;
  std::string AudioCodec;
  bool NoAudio = false;
  int32_t AudioVolume = -1;
  int32_t AudioChannels = -1;
  int32_t AudioRate = -1;
  int32_t AudioBitRate = -1;
  int32_t AudioBitRateTolerance = -1;
  std::string AudioLanguage;
  int32_t AudioSync = 0;
  std::string AudioTag;
  std::string VideoCodec;
  bool NoVideo = false;
  std::string FrameRate;
  std::string FrameSize;
  std::string Aspect;
  int32_t CropTop = -1, CropBottom = -1, CropLeft = -1, CropRight = -1;
  int32_t PadTop = -1, PadBottom = -1, PadLeft = -1, PadRight = -1;
  uint32_t PadColor = 0;  // red in the low byte, then green, then blue
  int32_t GopSize = -1;
  int32_t VideoBitRate = -1;
  int32_t MaxRate = -1;
  int32_t MinRate = -1;
  int32_t VideoBitRateTolerance = -1;
  int32_t BufSize = -1;
  int32_t VideoSync = -1;
  std::string VideoTag;
  std::string VideoFilters;
  bool NoSubtitle = false;
  std::string SubtitleLanguage;
  bool CopyTimestamps = false;
  int32_t DurationMs = -1;
  double RecordTime = -1.0;  // local date and time in days since 1899-12-30
  int32_t Year = -1;
  int32_t Track = -1;
  THeaderText Title{}, Author{}, Copyright{}, Comment{}, Album{};
  TGenreText Genre{};
  int32_t TargetKind = 0;          // 0 none, 1 "vcd", 2 "svcd", 3 "dvd"
  int32_t TargetNorm = 0;          // 0 "auto", 1 "pal", 2 "ntsc", other "auto"
  int32_t TargetFallbackNorm = 1;  // 1 "pal", other "ntsc"
  bool UseCustomHook = false;
  bool UseBeforeHook = false;
  std::string HookRanges;
  std::string ExtraOptions;
};

void ResetInputOptions(TInputOptions& record);
void ResetOutputOptions(TOutputOptions& record);

// Copies `value` into a zero-terminated header text field, cut to fit.
template <size_t N>
void SetHeaderText(std::array<char, N>& field, const std::string& value) {
  field.fill(0);
  value.copy(field.data(), N - 1);
}
template <size_t N>
std::string HeaderText(const std::array<char, N>& field) {
  size_t n = 0;
  while (n < N && field[n] != 0) ++n;
  return std::string(field.data(), n);
}

// What the translation calls. The component passes the task's engine (EngineOptionTarget); the
// calls mirror the engine's option entry, setters and the fields it lets the host write.
class TOptionTarget {
 public:
  virtual ~TOptionTarget() = default;
  virtual void ApplyOption(const std::string& name, const std::string& value) = 0;
  virtual void ApplyGenericOptionInt(const std::string& name, int64_t n) = 0;
  virtual void SetInputFormat(const std::string& name) = 0;
  virtual void SetOutputFormat(const std::string& name) = 0;
  virtual void SetStartTimeUs(int64_t t) = 0;
  virtual void SetProgramId(int32_t n) = 0;
  virtual void SetRecordingTimeMs(int64_t ms) = 0;
  virtual void SetAudioVolume(int32_t n) = 0;
  virtual void SetAudioSync(int32_t n) = 0;
  virtual void SetVideoSync(int32_t n) = 0;
  virtual void SetMuxMaxDelay(float s) = 0;
  virtual void SetMuxPreload(float s) = 0;
  virtual void SetYear(int32_t n) = 0;
  virtual void SetTrack(int32_t n) = 0;
  // name is one of "title", "author", "copyright", "comment", "album", "genre".
  virtual void SetHeaderField(const std::string& name, const std::string& text) = 0;
  virtual void SetPadColor(int32_t colour) = 0;
  virtual void ApplyTarget(const std::string& kind, const std::string& norm,
                           const std::string& fallbackNorm) = 0;
  virtual void SetAudioDisabled() = 0;
  virtual void SetVideoDisabled() = 0;
  virtual void SetSubtitleDisabled() = 0;
  virtual void SetAudioLanguage(const std::string& code) = 0;
  virtual void SetSubtitleLanguage(const std::string& code) = 0;
  virtual void SetCopyTs(bool on) = 0;
  virtual void SetRecordTimestamp(int64_t seconds) = 0;
  virtual void ConnectCustomHook() = 0;
  virtual void ConnectBeforeHook() = 0;
  virtual void SetHookRanges(const std::vector<engine::THookTimeRange>& ranges) = 0;
};

// The translation. Errors raised by the engine (FFMpegException and number-conversion errors)
// stop it at that field and travel to the caller.
void ApplyExtraOptions(TOptionTarget& target, const std::string& text);
void ApplyInputOptions(TOptionTarget& target, TInputOptions& record, const std::string& fileName);
void ApplyOutputOptions(TOptionTarget& target, TOutputOptions& record, const std::string& fileName);

// Ranges kept from a "start-end, start-end" text of milliseconds, in microseconds, sorted by end.
std::vector<engine::THookTimeRange> ParseHookRanges(const std::string& text);

// Seconds since 1970-01-01 UTC for a record time; 0 means now, a negative value has none.
// `standardBiasMinutes` is the zone's standard-time bias (UTC = local time + bias).
bool RecordTimeSeconds(double recordTime, int standardBiasMinutes, int64_t& seconds);
// The C library's standard-time bias of the process's time zone, in minutes.
int StandardTimeBiasMinutes();

// Sets one field of a record by its name, from text. False (with `error` naming the field and
// what was wrong) for an unknown name or a value of the wrong kind.
bool SetInputField(TInputOptions& record, const std::string& name, const std::string& value,
                   std::string& error);
bool SetOutputField(TOutputOptions& record, const std::string& name, const std::string& value,
                    std::string& error);

}  // namespace component
