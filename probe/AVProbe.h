// Reads what a media file holds (streams and their facts) without converting it.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

struct AVFormatContext;

// Raised when the probe is used before its four libraries are bound.
class EProbeLibrariesException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One audio stream's facts. Unknown: zeroed texts, -1 numbers. Times are in the stream's time base
// (raw) and in microseconds; a raw time without a value holds AV_NOPTS_VALUE.
struct TAudioProbeInfo {
  char Language[4];
  char CodecName[32];
  int64_t StartTimeRaw;
  int64_t StartTime;
  int64_t DurationRaw;
  int64_t Duration;
  int32_t BitRate;
  int32_t Channels;
  int32_t SampleRate;
  int32_t SampleFormat;
};

// One video stream's facts; height precedes width. Display aspect is 0 when the sample aspect ratio
// is unknown and -1.0 when nothing was read.
struct TVideoProbeInfo {
  char Language[4];
  char CodecName[32];
  int64_t StartTimeRaw;
  int64_t StartTime;
  int64_t DurationRaw;
  int64_t Duration;
  int32_t BitRate;
  int32_t Height;
  int32_t Width;
  float DisplayAspectRatio;
  int32_t PixelFormat;
  int32_t FrameRateNum;
  int32_t FrameRateDen;
};

class TAVProbe {
 public:
  TAVProbe();
  ~TAVProbe();
  TAVProbe(const TAVProbe&) = delete;
  TAVProbe& operator=(const TAVProbe&) = delete;

  // Binds avcodec, avformat, avutil and swscale (process-wide). On failure unloads all four and
  // keeps the loader's text in LastError.
  bool BindProbeLibraries(const std::string& dir, bool versionedName);
  static void RequireProbeLibraries();

  // Opens `fileName` read-only; `forcedFormat` empty means detect. False leaves LastError set and
  // nothing loaded.
  bool OpenMedia(const std::string& fileName, const std::string& forcedFormat = "");
  // Shows a context opened elsewhere; the caller keeps ownership and closes it after CloseMedia.
  void AttachMedia(AVFormatContext* context);
  void CloseMedia();

  // A negative index means the first stream of the kind.
  void ReadAudioInfo(int index, TAudioProbeInfo& info) const;
  void ReadFirstAudioInfo(TAudioProbeInfo& info) const { ReadAudioInfo(-1, info); }
  void ReadVideoInfo(int index, TVideoProbeInfo& info) const;
  void ReadFirstVideoInfo(TVideoProbeInfo& info) const { ReadVideoInfo(-1, info); }

  std::string MediaFileName() const;
  // The open context (owned or attached), null when nothing is loaded; valid until CloseMedia.
  const AVFormatContext* FormatContext() const { return Context; }

  int StreamCount() const { return StreamCountValue; }
  int ProgramCount() const { return ProgramCountValue; }
  int AudioStreamCount() const { return AudioStreamCountValue; }
  int VideoStreamCount() const { return VideoStreamCountValue; }
  int SubtitleStreamCount() const { return SubtitleStreamCountValue; }
  int FirstAudioStream() const { return FirstAudioStreamValue; }
  int FirstVideoStream() const { return FirstVideoStreamValue; }
  int FirstSubtitleStream() const { return FirstSubtitleStreamValue; }

  const std::string& LastError() const { return LastErrorText; }
  const std::string& ForcedFormatName() const { return ForcedFormat; }

 private:
  struct TCloseInput {
    void operator()(AVFormatContext* context) const;
  };

  void Recount();

  AVFormatContext* Context = nullptr;
  // Set only when the probe opened the file itself; an attached context is never closed here.
  std::unique_ptr<AVFormatContext, TCloseInput> OwnedContext;
  std::string LastErrorText;
  std::string ForcedFormat;
  int StreamCountValue = -1;
  int ProgramCountValue = -1;
  int AudioStreamCountValue = -1;
  int VideoStreamCountValue = -1;
  int SubtitleStreamCountValue = -1;
  int FirstAudioStreamValue = -1;
  int FirstVideoStreamValue = -1;
  int FirstSubtitleStreamValue = -1;
};
