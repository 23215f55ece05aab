#include "AVProbe.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "Functions.h"
#include "Modules.h"
#include "OpenErrorText.h"

namespace {

// Query messages are diagnostics, not failures: "file not loaded." maps onto the information level,
// the others onto the error level, as the library's levels 1 and 0 did.
constexpr int kNotLoadedLevel = AV_LOG_INFO;
constexpr int kQueryErrorLevel = AV_LOG_ERROR;

struct TFreeContext {
  void operator()(AVFormatContext* context) const { lib::avformat.avformat_free_context(context); }
};

template <size_t N>
void CopyText(char (&target)[N], const char* source) {
  std::memset(target, 0, N);
  if (source) std::strncpy(target, source, N - 1);
}

int32_t ClampToInt32(int64_t value) {
  return static_cast<int32_t>(std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}

template <typename TRecord>
void ResetCommon(TRecord& info) {
  std::memset(info.Language, 0, sizeof info.Language);
  std::memset(info.CodecName, 0, sizeof info.CodecName);
  info.StartTimeRaw = -1;
  info.StartTime = -1;
  info.DurationRaw = -1;
  info.Duration = -1;
  info.BitRate = -1;
}

void ReadTime(const AVStream* stream, int64_t value, int64_t& raw, int64_t& microseconds) {
  raw = value;
  if (value != AV_NOPTS_VALUE)
    microseconds = lib::avutil.av_rescale_q(value, stream->time_base, AVRational{1, 1000000});
}

template <typename TRecord>
void ReadCommon(const AVStream* stream, TRecord& info) {
  const AVDictionaryEntry* language =
      lib::avutil.av_dict_get(stream->metadata, "language", nullptr, 0);
  CopyText(info.Language, language ? language->value : nullptr);
  CopyText(info.CodecName, lib::avcodec.avcodec_get_name(stream->codecpar->codec_id));
  ReadTime(stream, stream->start_time, info.StartTimeRaw, info.StartTime);
  ReadTime(stream, stream->duration, info.DurationRaw, info.Duration);
  info.BitRate = ClampToInt32(stream->codecpar->bit_rate);
}

// The stream a query is about, or null after logging why there is none.
const AVStream* QueriedStream(const AVFormatContext* context, int index, int firstOfKind,
                              AVMediaType kind, const char* noStreamText,
                              const char* wrongKindText) {
  if (!context) {
    lib::avutil.av_log(nullptr, kNotLoadedLevel, "file not loaded.\n");
    return nullptr;
  }
  if (index < 0) {
    if (firstOfKind < 0) {
      lib::avutil.av_log(nullptr, kQueryErrorLevel, "%s", noStreamText);
      return nullptr;
    }
    index = firstOfKind;
  }
  if (static_cast<unsigned>(index) >= context->nb_streams) {
    lib::avutil.av_log(nullptr, kQueryErrorLevel, "stream index #%d is invalid.\n", index);
    return nullptr;
  }
  const AVStream* stream = context->streams[index];
  if (stream->codecpar->codec_type != kind) {
    lib::avutil.av_log(nullptr, kQueryErrorLevel, wrongKindText, index);
    return nullptr;
  }
  return stream;
}

}  // namespace

void TAVProbe::TCloseInput::operator()(AVFormatContext* context) const {
  lib::avformat.avformat_close_input(&context);
}

TAVProbe::TAVProbe() = default;

TAVProbe::~TAVProbe() { CloseMedia(); }

bool TAVProbe::BindProbeLibraries(const std::string& dir, bool versionedName) {
  if (AVCodecHlpr::LibBound() && AVFormatHlpr::LibBound() && AVUtilHlpr::LibBound() &&
      SwScaleHlpr::LibBound())
    return true;
  std::string error;
  bool ok = AVCodecHlpr::BindLib(error, dir, versionedName, true) &&
            AVFormatHlpr::BindLib(error, dir, versionedName, true) &&
            AVUtilHlpr::BindLib(error, dir, versionedName) &&
            SwScaleHlpr::BindLib(error, dir, versionedName);
  if (!ok) {
    LastErrorText = error;
    AVCodecHlpr::CloseLib();
    AVFormatHlpr::CloseLib();
    AVUtilHlpr::CloseLib();
    SwScaleHlpr::CloseLib();
  }
  return ok;
}

void TAVProbe::RequireProbeLibraries() {
  if (!AVCodecHlpr::LibBound()) throw EProbeLibrariesException("LibAVCodec not loaded.");
  if (!AVFormatHlpr::LibBound()) throw EProbeLibrariesException("LibAVFormat not loaded.");
  if (!AVUtilHlpr::LibBound()) throw EProbeLibrariesException("LibAVUtil not loaded.");
  if (!SwScaleHlpr::LibBound()) throw EProbeLibrariesException("LibSwScale not loaded.");
}

bool TAVProbe::OpenMedia(const std::string& fileName, const std::string& forcedFormat) {
  RequireProbeLibraries();
  CloseMedia();

  const AVInputFormat* format = nullptr;
  if (!forcedFormat.empty()) {
    format = lib::avformat.av_find_input_format(forcedFormat.c_str());
    if (!format) {
      LastErrorText = "Unknown input format: " + forcedFormat;
      return false;
    }
  }

  std::unique_ptr<AVFormatContext, TFreeContext> allocated(lib::avformat.avformat_alloc_context());
  if (!allocated) {
    LastErrorText = OpenErrorText(fileName, AVERROR(ENOMEM));
    return false;
  }
  // On failure avformat_open_input frees the context itself, so ownership passes to it here.
  AVFormatContext* context = allocated.release();
  int result = lib::avformat.avformat_open_input(&context, fileName.c_str(), format, nullptr);
  if (result < 0) {
    LastErrorText = OpenErrorText(fileName, result);
    return false;
  }
  OwnedContext.reset(context);
  Context = context;

  if (lib::avformat.avformat_find_stream_info(Context, nullptr) < 0) {
    LastErrorText = fileName + ": could not find codec parameters";
    CloseMedia();
    return false;
  }
  Recount();
  ForcedFormat = forcedFormat;
  return true;
}

void TAVProbe::AttachMedia(AVFormatContext* context) {
  RequireProbeLibraries();
  CloseMedia();
  Context = context;
  Recount();
}

void TAVProbe::CloseMedia() {
  ForcedFormat.clear();
  Context = nullptr;
  OwnedContext.reset();
  Recount();
}

void TAVProbe::Recount() {
  StreamCountValue = ProgramCountValue = -1;
  AudioStreamCountValue = VideoStreamCountValue = SubtitleStreamCountValue = -1;
  FirstAudioStreamValue = FirstVideoStreamValue = FirstSubtitleStreamValue = -1;
  if (!Context) return;
  StreamCountValue = static_cast<int>(Context->nb_streams);
  ProgramCountValue = static_cast<int>(Context->nb_programs);
  AudioStreamCountValue = VideoStreamCountValue = SubtitleStreamCountValue = 0;
  for (int i = 0; i < StreamCountValue; ++i) {
    auto tally = [i](int& count, int& first) {
      ++count;
      if (first < 0) first = i;
    };
    switch (Context->streams[i]->codecpar->codec_type) {
      case AVMEDIA_TYPE_VIDEO:
        tally(VideoStreamCountValue, FirstVideoStreamValue);
        break;
      case AVMEDIA_TYPE_AUDIO:
        tally(AudioStreamCountValue, FirstAudioStreamValue);
        break;
      case AVMEDIA_TYPE_SUBTITLE:
        tally(SubtitleStreamCountValue, FirstSubtitleStreamValue);
        break;
      default:
        break;
    }
  }
}

void TAVProbe::ReadAudioInfo(int index, TAudioProbeInfo& info) const {
  ResetCommon(info);
  info.Channels = info.SampleRate = info.SampleFormat = -1;
  const AVStream* stream = QueriedStream(Context, index, FirstAudioStreamValue, AVMEDIA_TYPE_AUDIO,
                                         "no audio stream.\n", "stream #%d is not audio stream.\n");
  if (!stream) return;
  ReadCommon(stream, info);
  const AVCodecParameters* params = stream->codecpar;
  info.Channels = params->ch_layout.nb_channels;
  info.SampleRate = params->sample_rate;
  info.SampleFormat = params->format;
}

void TAVProbe::ReadVideoInfo(int index, TVideoProbeInfo& info) const {
  ResetCommon(info);
  info.Height = info.Width = info.PixelFormat = info.FrameRateNum = info.FrameRateDen = -1;
  info.DisplayAspectRatio = -1.0f;
  const AVStream* stream = QueriedStream(Context, index, FirstVideoStreamValue, AVMEDIA_TYPE_VIDEO,
                                         "no video stream.\n", "stream #%d is not video stream.\n");
  if (!stream) return;
  ReadCommon(stream, info);
  const AVCodecParameters* params = stream->codecpar;
  info.Height = params->height;
  info.Width = params->width;
  AVRational sar = params->sample_aspect_ratio;
  // A zero height would divide by zero; it reads like an unknown ratio.
  info.DisplayAspectRatio =
      (sar.num == 0 || sar.den == 0 || params->height == 0)
          ? 0.0f
          : static_cast<float>(params->width * (static_cast<double>(sar.num) / sar.den) /
                               params->height);
  info.PixelFormat = params->format;
  info.FrameRateNum = stream->r_frame_rate.num;
  info.FrameRateDen = stream->r_frame_rate.den;
}

std::string TAVProbe::MediaFileName() const {
  if (!Context) {
    lib::avutil.av_log(nullptr, kNotLoadedLevel, "file not loaded.\n");
    return {};
  }
  // The historic record held the name in 1024 bytes with its terminating zero.
  constexpr size_t kMaxName = 1023;
  const char* url = Context->url ? Context->url : "";
  return std::string(url, strnlen(url, kMaxName));
}
