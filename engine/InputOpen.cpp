// Opening an input: demuxer options from the option state, stream analysis, the start seek and a
// decoder context per stream. The input's video and audio facts become the output's defaults.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <limits>

#include "FFmpeg.h"
#include "Opening.h"

namespace engine {

namespace {

// Owns the demuxer options across the open call, which may replace the dictionary.
struct DictHolder {
  AVDictionary* Dict = nullptr;
  ~DictHolder() {
    if (Dict) lib::avutil.av_dict_free(&Dict);
  }
  void Set(const char* key, const std::string& value) {
    lib::avutil.av_dict_set(&Dict, key, value.c_str(), 0);
  }
};

std::string Rational(AVRational q) { return std::to_string(q.num) + "/" + std::to_string(q.den); }

double Ratio(int num, int den) { return den != 0 ? static_cast<double>(num) / den : 0.0; }

}  // namespace

std::string FileNameLengthError(const std::string& fileName) {
  if (fileName.size() <= MaxFileNameLength) return {};
  return "File name too long (" + std::to_string(fileName.size()) + " characters, at most " +
         std::to_string(MaxFileNameLength) + "): '" + fileName + "'";
}

float InputDisplayAspect(int32_t width, int32_t height, AVRational streamSar, AVRational codecSar) {
  double sar = 0.0;
  if (streamSar.num != 0)
    sar = Ratio(streamSar.num, streamSar.den);
  else
    sar = Ratio(codecSar.num, codecSar.den);
  float aspect = static_cast<float>(sar);
  // The product is taken in 32 bits, as the size fields are; unsigned so a wrap is defined.
  const uint32_t area = static_cast<uint32_t>(width) * static_cast<uint32_t>(height);
  if (area != 0) {
    if (aspect != 0.0f)
      aspect = static_cast<float>(width * static_cast<double>(aspect) / height);
    else
      aspect = static_cast<float>(static_cast<double>(width) / height);
  } else if (aspect == 0.0f) {
    aspect = 4.0f / 3.0f;
  }
  return aspect;
}

bool IsRealMediaName(const std::string& fileName) {
  const auto dot = fileName.rfind('.');
  if (dot == std::string::npos) return false;
  std::string ext = fileName.substr(dot);
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return std::string_view(".rmvb").starts_with(ext);
}

bool TCustomFFmpeg::FindCodecId(const std::string& name, AVMediaType kind, bool encoder,
                                AVCodecID& id) {
  id = AV_CODEC_ID_NONE;
  if (name.empty()) return true;
  const AVCodec* codec = encoder ? lib::avcodec.avcodec_find_encoder_by_name(name.c_str())
                                 : lib::avcodec.avcodec_find_decoder_by_name(name.c_str());
  const std::string word = encoder ? "encoder" : "decoder";
  if (!codec) {
    ErrorText = "Unknown " + word + " '" + name + "'";
    return false;
  }
  if (codec->type != kind) {
    ErrorText = "Invalid " + word + " type '" + name + "'";
    return false;
  }
  id = codec->id;
  return true;
}

bool TCustomFFmpeg::OpenInputFile(const std::string& fileName) {
  // The options that belong to one input end with it, whatever the outcome.
  struct PerInputReset {
    TCustomFFmpeg& E;
    ~PerInputReset() {
      E.ForcedInputFormat = nullptr;
      E.ForcedOutputFormat = nullptr;
      E.VideoChannel = 0;
      E.RateEmulation = 0;
      E.VideoCodecName.clear();
      E.AudioCodecName.clear();
      E.SubtitleCodecName.clear();
    }
  } reset{*this};

  if (std::string e = FileNameLengthError(fileName); !e.empty()) {
    ErrorText = e;
    return false;
  }
  if (InputFileCount() >= MaxFiles) {
    ErrorText =
        "Too many input files (at most " + std::to_string(MaxFiles) + "): '" + fileName + "'";
    return false;
  }

  AVCodecID videoId, audioId, subtitleId;
  if (!FindCodecId(VideoCodecName, AVMEDIA_TYPE_VIDEO, false, videoId) ||
      !FindCodecId(AudioCodecName, AVMEDIA_TYPE_AUDIO, false, audioId) ||
      !FindCodecId(SubtitleCodecName, AVMEDIA_TYPE_SUBTITLE, false, subtitleId))
    return false;

  // What a raw or capture demuxer cannot learn from the file itself; the others ignore these.
  DictHolder options;
  if (AudioSampleRate > 0) options.Set("sample_rate", std::to_string(AudioSampleRate));
  if (AudioChannels > 0) {
    AVChannelLayout layout{};
    lib::avutil.av_channel_layout_default(&layout, AudioChannels);
    char text[128] = {};
    if (lib::avutil.av_channel_layout_describe(&layout, text, sizeof text) > 0)
      options.Set("ch_layout", text);
    lib::avutil.av_channel_layout_uninit(&layout);
  }
  if (FrameRate.num > 0 && FrameRate.den > 0) options.Set("framerate", Rational(FrameRate));
  const int32_t width = FrameWidth + FramePadLeft + FramePadRight;
  const int32_t height = FrameHeight + FramePadTop + FramePadBottom;
  if (width > 0 && height > 0)
    options.Set("video_size", std::to_string(width) + "x" + std::to_string(height));
  if (FramePixFmt >= 0) {
    if (const char* name = lib::avutil.av_get_pix_fmt_name(static_cast<AVPixelFormat>(FramePixFmt)))
      options.Set("pixel_format", name);
  }
  if (VideoChannel != 0) options.Set("channel", std::to_string(VideoChannel));
  if (!VideoStandard.empty()) options.Set("standard", VideoStandard);
  if (LoopInput) options.Set("loop", "1");  // image sequences: start again at the end

  AVFormatContext* context = lib::avformat.avformat_alloc_context();
  if (!context) {
    ErrorText = OpenErrorText(fileName, AVERROR(ENOMEM));
    return false;
  }
  FormatContextPtr unopened(context);
  ApplyCodecOptions(context, FormatDefaults.get(), 2);
  context->video_codec_id = PgmyuvMode ? AV_CODEC_ID_PGMYUV : videoId;
  context->audio_codec_id = audioId;
  context->subtitle_codec_id = subtitleId;
  // A forced name picks that very decoder, not just any decoder of its id.
  if (!VideoCodecName.empty())
    context->video_codec = lib::avcodec.avcodec_find_decoder_by_name(VideoCodecName.c_str());
  if (!AudioCodecName.empty())
    context->audio_codec = lib::avcodec.avcodec_find_decoder_by_name(AudioCodecName.c_str());
  if (!SubtitleCodecName.empty())
    context->subtitle_codec = lib::avcodec.avcodec_find_decoder_by_name(SubtitleCodecName.c_str());

  // The library frees the context itself when the open fails.
  unopened.release();
  const int opened = lib::avformat.avformat_open_input(&context, fileName.c_str(),
                                                       ForcedInputFormat, &options.Dict);
  if (opened < 0) {
    ErrorText = OpenErrorText(fileName, opened);
    return false;
  }
  InputContextPtr input(context);

  if (ProgramId != 0) {
    for (unsigned i = 0; i < context->nb_programs; ++i)
      if (context->programs[i]->id != ProgramId) context->programs[i]->discard = AVDISCARD_ALL;
  }

  int analysed;
  {
    std::lock_guard<std::mutex> lock(CodecLock());
    analysed = lib::avformat.avformat_find_stream_info(context, nullptr);
  }
  if (analysed < 0 && Verbose >= 0) {
    ErrorText = fileName + ": could not find codec parameters";
    return false;
  }

  const int64_t startOfFile = context->start_time != AV_NOPTS_VALUE ? context->start_time : 0;
  const int64_t timestamp = StartTime + startOfFile;
  const bool seeking = StartTime != 0;
  if (seeking) {
    // A failed seek leaves the input at its beginning; the time offset still applies.
    lib::avformat.av_seek_frame(context, -1, timestamp, AVSEEK_FLAG_BACKWARD);
    StartTime = 0;
  }

  std::vector<CodecContextPtr> decoders;
  decoders.reserve(context->nb_streams);
  for (unsigned i = 0; i < context->nb_streams; ++i) {
    AVStream* stream = context->streams[i];
    const AVCodecParameters* par = stream->codecpar;
    const int kind = par->codec_type;
    if (kind < AVMEDIA_TYPE_UNKNOWN || kind > AVMEDIA_TYPE_ATTACHMENT)
      throw FFMpegException("invalid codec_type");

    const AVCodec* codec = nullptr;
    if (kind == AVMEDIA_TYPE_VIDEO) codec = context->video_codec;
    if (kind == AVMEDIA_TYPE_AUDIO) codec = context->audio_codec;
    if (kind == AVMEDIA_TYPE_SUBTITLE) codec = context->subtitle_codec;
    if (!codec) codec = lib::avcodec.avcodec_find_decoder(par->codec_id);
    CodecContextPtr decoder(lib::avcodec.avcodec_alloc_context3(codec));
    if (!decoder || lib::avcodec.avcodec_parameters_to_context(decoder.get(), par) < 0) {
      ErrorText = OpenErrorText(fileName, AVERROR(ENOMEM));
      return false;
    }
    decoder->pkt_timebase = stream->time_base;
    decoder->thread_count = ThreadCount;

    if (kind == AVMEDIA_TYPE_AUDIO) {
      ApplyCodecOptions(decoder.get(), CodecDefaults[AVMEDIA_TYPE_AUDIO].get(), 10);
      AudioChannels = decoder->ch_layout.nb_channels;
      AudioSampleRate = decoder->sample_rate;
      AudioSampleFmt = decoder->sample_fmt;
      if (AudioDisabled) stream->discard = AVDISCARD_ALL;
    } else if (kind == AVMEDIA_TYPE_VIDEO) {
      ApplyCodecOptions(decoder.get(), CodecDefaults[AVMEDIA_TYPE_VIDEO].get(), 18);
      FrameHeight = decoder->height;
      FrameWidth = decoder->width;
      FrameAspect = InputDisplayAspect(decoder->width, decoder->height, stream->sample_aspect_ratio,
                                       decoder->sample_aspect_ratio);
      if (decoder->pix_fmt == AV_PIX_FMT_NONE && IsRealMediaName(fileName))
        decoder->pix_fmt = AV_PIX_FMT_YUV420P;
      FramePixFmt = decoder->pix_fmt;
      // The edge-emulation and motion-vector debug flags the old decoders took for "lowres" and
      // "me_threshold" have no successor: today's decoders need neither.
      const AVRational real = stream->r_frame_rate;
      // The decoder no longer carries a frame rate of its own; the rate measured over the
      // stream's packets stands for it.
      const AVRational coded = stream->avg_frame_rate;
      if (Verbose > 0 && coded.num > 0 && coded.den > 0 &&
          (coded.num != real.num || coded.den != real.den)) {
        char text[256];
        std::snprintf(text, sizeof text,
                      "Seems stream %d codec frame rate differs from container frame rate: "
                      "%2.2f (%d/%d) -> %2.2f (%d/%d)",
                      static_cast<int>(i), Ratio(coded.num, coded.den), coded.num, coded.den,
                      Ratio(real.num, real.den), real.num, real.den);
        Log(1, text);
      }
      // A phone's variable-rate stream on a 90 kHz clock reports that clock as its real rate;
      // the library's guess then takes the measured average, which an output can be made at.
      const AVRational guessed = lib::avformat.av_guess_frame_rate(context, stream, nullptr);
      FrameRate = guessed.num > 0 && guessed.den > 0 ? guessed : real;
      if (VideoDisabled)
        stream->discard = AVDISCARD_ALL;
      else if (VideoDiscard != 0)
        stream->discard = static_cast<AVDiscard>(VideoDiscard);
    } else if (kind == AVMEDIA_TYPE_SUBTITLE) {
      if (SubtitleDisabled) stream->discard = AVDISCARD_ALL;
    }
    decoders.push_back(std::move(decoder));
  }

  // An unknown duration is the no-value marker, which divides to a large negative number. A
  // recording limit set before the input bounds what the output will hold.
  int64_t durationMs = context->duration / 1000;
  // Whatever lies before a start time is not converted.
  if (seeking && context->duration != AV_NOPTS_VALUE)
    durationMs = std::max<int64_t>(0, (context->duration - (timestamp - startOfFile)) / 1000);
  if (RecordingTime != std::numeric_limits<int64_t>::max())
    durationMs = std::min(durationMs, RecordingTime / 1000);
  if (ExpectedDurationMs < durationMs)
    ExpectedDurationMs =
        static_cast<int32_t>(std::min<int64_t>(durationMs, std::numeric_limits<int32_t>::max()));

  TInputFile file;
  file.Context = std::move(input);
  file.Decoders = std::move(decoders);
  file.TsOffset = CopyTs ? InputTsOffset : InputTsOffset - timestamp;
  file.RateEmulation = RateEmulation;
  if (seeking) file.StartPoint = timestamp + file.TsOffset;
  const int index = InputFileCount();
  InputFiles.push_back(std::move(file));
  if (Verbose >= 0) lib::avformat.av_dump_format(context, index, fileName.c_str(), 0);
  return true;
}

}  // namespace engine
