// Creating an output: the container from the forced format or the file name, one stream per wanted
// media kind with its encoder settings (encoders are opened later, by the transcode setup), the
// file-level settings, and the file opened for writing.
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <ctime>
#include <limits>

#include "FFmpeg.h"
#include "Opening.h"

namespace engine {

namespace {

constexpr int QP2Lambda = FF_QP2LAMBDA;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// An integer as the options write them: blanks, a sign, then decimal digits or hexadecimal ones
// after "$", "x" or "0x". Leaves `pos` after the last digit; false without a digit or on overflow.
bool ReadInteger(const std::string& text, std::size_t& pos, int32_t& value) {
  std::size_t p = pos;
  while (p < text.size() && IsBlank(text[p])) ++p;
  bool negative = false;
  if (p < text.size() && (text[p] == '+' || text[p] == '-')) negative = text[p++] == '-';
  int base = 10;
  if (p < text.size() && (text[p] == '$' || text[p] == 'x' || text[p] == 'X')) {
    base = 16;
    ++p;
  } else if (p + 1 < text.size() && text[p] == '0' && (text[p + 1] == 'x' || text[p + 1] == 'X') &&
             HexDigit(p + 2 < text.size() ? text[p + 2] : '\0') >= 0) {
    base = 16;
    p += 2;
  }
  int64_t n = 0;
  const std::size_t first = p;
  for (; p < text.size(); ++p) {
    const int d = HexDigit(text[p]);
    if (d < 0 || d >= base) break;
    n = n * base + d;
    if (n > static_cast<int64_t>(std::numeric_limits<int32_t>::max()) + 1) return false;
  }
  if (p == first) return false;
  if (negative) n = -n;
  if (n > std::numeric_limits<int32_t>::max()) return false;
  value = static_cast<int32_t>(n);
  pos = p;
  return true;
}

bool FileExists(const std::string& name) {
  struct stat st = {};
  return ::stat(name.c_str(), &st) == 0;
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa = {}, sb = {};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

AVRational SampleAspect(float displayAspect, int32_t width, int32_t height) {
  const uint32_t area = static_cast<uint32_t>(width) * static_cast<uint32_t>(height);
  const double sar = area != 0 ? static_cast<double>(displayAspect) * height / width
                               : static_cast<double>(displayAspect) * 3 / 4;
  return lib::avutil.av_d2q(sar, 255);
}

// The limit is the engine's, not the container's: the setup's tables hold this many.
void CheckStreamRoom(const TOutputFile& file) {
  if (file.Context->nb_streams >= static_cast<unsigned>(MaxStreams))
    throw FFMpegException("Too many streams in '" + file.FileName + "' (at most " +
                          std::to_string(MaxStreams) + ")");
}

CodecContextPtr NewEncoderContext(const AVCodec* codec) {
  CodecContextPtr encoder(lib::avcodec.avcodec_alloc_context3(codec));
  if (!encoder) throw FFMpegException("Could not alloc stream");
  return encoder;
}

// The stream goes in last, once nothing can be refused any more, so a refusal leaves the output
// as it was.
AVStream* AddStream(TOutputFile& file) {
  file.Encoders.reserve(file.Encoders.size() + 1);
  file.StreamCopy.reserve(file.StreamCopy.size() + 1);
  file.BitstreamFilters.reserve(file.BitstreamFilters.size() + 1);
  AVStream* stream = lib::avformat.avformat_new_stream(file.Context.get(), nullptr);
  if (!stream) throw FFMpegException("Could not alloc stream");
  stream->id = stream->index;
  return stream;
}

void SetLanguage(AVStream* stream, std::string& language) {
  if (language.empty()) return;
  // Three-letter codes; longer text is cut as the old fixed field did.
  lib::avutil.av_dict_set(&stream->metadata, "language", language.substr(0, 3).c_str(), 0);
  language.clear();
}

template <typename T, typename V>
bool Listed(const T* list, T end, V value) {
  for (const T* p = list; *p != end; ++p)
    if (*p == static_cast<T>(value)) return true;
  return false;
}

}  // namespace

bool ParseRcOverride(const std::string& text, std::vector<::RcOverride>& overrides) {
  overrides.clear();
  if (text.empty()) return true;
  std::size_t pos = 0;
  for (;;) {
    int32_t start, end, q;
    // Start and end are each followed by one separator; q may end the text.
    if (!ReadInteger(text, pos, start) || pos >= text.size()) return false;
    ++pos;
    if (!ReadInteger(text, pos, end) || pos >= text.size()) return false;
    ++pos;
    if (!ReadInteger(text, pos, q)) return false;
    ::RcOverride entry{};
    entry.start_frame = start;
    entry.end_frame = end;
    if (q > 0) {
      entry.qscale = q;
      entry.quality_factor = 1.0f;
    } else {
      entry.qscale = 0;
      entry.quality_factor = static_cast<float>(-static_cast<double>(q) / 100);
    }
    overrides.push_back(entry);
    const auto slash = text.find('/', pos);
    if (slash == std::string::npos) break;
    pos = slash + 1;
  }
  return true;
}

bool ChainResizesFrame(const std::string& filters) {
  static const std::string resizing = ",crop,rotate,scale,transpose,";
  std::string chain = filters;
  std::transform(chain.begin(), chain.end(), chain.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  std::size_t begin = 0;
  while (begin <= chain.size() && !chain.empty()) {
    auto end = chain.find(',', begin);
    if (end == std::string::npos) end = chain.size();
    const std::string piece = chain.substr(begin, end - begin);
    const std::string name = piece.substr(0, piece.find('='));
    if (!name.empty() && resizing.find("," + name + ",") != std::string::npos) return true;
    begin = end + 1;
  }
  return false;
}

int64_t SecondsToMicroseconds(float seconds) {
  // Widened first: in single precision 0.7 s times a million would round up to 700000.
  return static_cast<int64_t>(static_cast<double>(seconds) * 1000000.0);
}

void TCustomFFmpeg::check_audio_video_sub_inputs(bool& hasVideo, bool& hasAudio,
                                                 bool& hasSubtitle) {
  hasVideo = hasAudio = hasSubtitle = false;
  for (const TInputFile& file : InputFiles) {
    for (unsigned i = 0; i < file.Context->nb_streams; ++i) {
      switch (file.Context->streams[i]->codecpar->codec_type) {
        case AVMEDIA_TYPE_VIDEO:
          hasVideo = true;
          break;
        case AVMEDIA_TYPE_AUDIO:
          hasAudio = true;
          break;
        case AVMEDIA_TYPE_SUBTITLE:
          hasSubtitle = true;
          break;
        case AVMEDIA_TYPE_UNKNOWN:
        case AVMEDIA_TYPE_DATA:
        case AVMEDIA_TYPE_ATTACHMENT:
          break;
        default:
          throw FFMpegException("invalid codec_type of input file");
      }
    }
  }
}

void TCustomFFmpeg::new_video_stream(TOutputFile& file) {
  AVFormatContext* context = file.Context.get();
  try {
    CheckStreamRoom(file);
    AVCodecID id = AV_CODEC_ID_NONE;
    const AVCodec* codec = nullptr;
    std::vector<::RcOverride> overrides;
    if (!VideoCopy) {
      if (!VideoCodecName.empty()) {
        if (!FindCodecId(VideoCodecName, AVMEDIA_TYPE_VIDEO, true, id))
          throw FFMpegException(ErrorText);
        codec = lib::avcodec.avcodec_find_encoder_by_name(VideoCodecName.c_str());
      } else {
        id = lib::avformat.av_guess_codec(context->oformat, nullptr, context->url, nullptr,
                                          AVMEDIA_TYPE_VIDEO);
        codec = lib::avcodec.avcodec_find_encoder(id);
      }
      if (!ParseRcOverride(RcOverride, overrides))
        throw FFMpegException("error parsing rc_override");
    }

    CodecContextPtr encoder = NewEncoderContext(codec);
    AVCodecContext* enc = encoder.get();
    AVCodecContext* defaults = CodecDefaults[AVMEDIA_TYPE_VIDEO].get();
    enc->codec_type = AVMEDIA_TYPE_VIDEO;
    if (VideoCodecTag != 0) enc->codec_tag = VideoCodecTag;
    if ((VideoGlobalHeader & 1) ||
        (VideoGlobalHeader == 0 && (context->oformat->flags & AVFMT_GLOBALHEADER))) {
      enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
      if (defaults) defaults->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    if (VideoGlobalHeader & 2) {
      enc->flags2 |= AV_CODEC_FLAG2_LOCAL_HEADER;
      if (defaults) defaults->flags2 |= AV_CODEC_FLAG2_LOCAL_HEADER;
    }

    AVRational sampleAspect;
    if (VideoCopy) {
      sampleAspect = SampleAspect(FrameAspect, FrameWidth, FrameHeight);
    } else {
      const AVRational fps =
          FrameRate.num != 0 && FrameRate.den != 0 ? FrameRate : AVRational{25, 1};
      enc->codec_id = id;
      ApplyCodecOptions(enc, defaults, 17);
      enc->time_base = AVRational{fps.den, fps.num};
      if (codec && codec->supported_framerates) {
        // Nearest listed rate; the first of equally near ones.
        const AVRational best = codec->supported_framerates[lib::avutil.av_find_nearest_q_idx(
            fps, codec->supported_framerates)];
        enc->time_base = AVRational{best.den, best.num};
      }
      enc->framerate = AVRational{enc->time_base.den, enc->time_base.num};
      enc->width = FrameWidth + FramePadRight + FramePadLeft;
      enc->height = FrameHeight + FramePadTop + FramePadBottom;
      sampleAspect = SampleAspect(FrameAspect, enc->width, enc->height);
      enc->sample_aspect_ratio = sampleAspect;
      enc->pix_fmt = static_cast<AVPixelFormat>(FramePixFmt);
      if (codec && codec->pix_fmts && !Listed(codec->pix_fmts, AV_PIX_FMT_NONE, FramePixFmt))
        enc->pix_fmt = codec->pix_fmts[0];
      if (IntraOnly) enc->gop_size = 0;
      if (VideoQScale != 0.0f || SameQuality) {
        enc->flags |= AV_CODEC_FLAG_QSCALE;
        enc->global_quality = static_cast<int>(static_cast<float>(QP2Lambda) * VideoQScale);
      }
      // The encoder context frees its matrices and overrides with the library's free call.
      for (auto [source, target] : {std::pair{&IntraMatrix, &enc->intra_matrix},
                                    std::pair{&InterMatrix, &enc->inter_matrix}}) {
        if (source->empty()) continue;
        auto* matrix = static_cast<uint16_t*>(lib::avutil.av_malloc(64 * sizeof(uint16_t)));
        if (!matrix) throw FFMpegException("Could not alloc stream");
        std::fill_n(matrix, 64, uint16_t{16});
        std::copy_n(source->begin(), std::min<std::size_t>(source->size(), 64), matrix);
        *target = matrix;
      }
      enc->thread_count = ThreadCount;
      if (!overrides.empty()) {
        auto* list = static_cast<::RcOverride*>(
            lib::avutil.av_malloc_array(overrides.size(), sizeof(::RcOverride)));
        if (!list) throw FFMpegException("Could not alloc stream");
        std::copy(overrides.begin(), overrides.end(), list);
        enc->rc_override = list;
        enc->rc_override_count = static_cast<int>(overrides.size());
      }
      if (enc->rc_initial_buffer_occupancy == 0)
        enc->rc_initial_buffer_occupancy = enc->rc_buffer_size * 3 / 4;
      // No motion-estimation threshold any more: "me_threshold" has nothing to set here.
      enc->intra_dc_precision = DcPrecision - 8;
      if (DoPsnr) enc->flags |= AV_CODEC_FLAG_PSNR;
      if (PassNumber == 1)
        enc->flags |= AV_CODEC_FLAG_PASS1;
      else if (PassNumber != 0)
        enc->flags |= AV_CODEC_FLAG_PASS2;
    }

    AVStream* stream = AddStream(file);
    stream->sample_aspect_ratio = sampleAspect;
    if (!VideoCopy) stream->time_base = enc->time_base;  // a hint; the muxer settles it
    file.Encoders.push_back(std::move(encoder));
    file.StreamCopy.push_back(VideoCopy != 0);
    file.BitstreamFilters.push_back(std::move(VideoBsfChain));
    VideoBsfChain.clear();
  } catch (const FFMpegException&) {
    VideoCodecName.clear();
    throw;
  }
  VideoDisabled = 0;
  VideoCodecName.clear();
  VideoCopy = 0;
}

void TCustomFFmpeg::new_audio_stream(TOutputFile& file) {
  AVFormatContext* context = file.Context.get();
  try {
    CheckStreamRoom(file);
    AVCodecID id = AV_CODEC_ID_NONE;
    const AVCodec* codec = nullptr;
    if (!AudioCopy) {
      if (!AudioCodecName.empty()) {
        if (!FindCodecId(AudioCodecName, AVMEDIA_TYPE_AUDIO, true, id))
          throw FFMpegException(ErrorText);
        codec = lib::avcodec.avcodec_find_encoder_by_name(AudioCodecName.c_str());
      } else {
        id = lib::avformat.av_guess_codec(context->oformat, nullptr, context->url, nullptr,
                                          AVMEDIA_TYPE_AUDIO);
        codec = lib::avcodec.avcodec_find_encoder(id);
      }
    }

    CodecContextPtr encoder = NewEncoderContext(codec);
    AVCodecContext* enc = encoder.get();
    AVCodecContext* defaults = CodecDefaults[AVMEDIA_TYPE_AUDIO].get();
    enc->codec_type = AVMEDIA_TYPE_AUDIO;
    if (AudioCodecTag != 0) enc->codec_tag = AudioCodecTag;
    if (context->oformat->flags & AVFMT_GLOBALHEADER) {
      enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
      if (defaults) defaults->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    if (!AudioCopy) {
      ApplyCodecOptions(enc, defaults, 9);
      enc->codec_id = id;
      if (AudioQScale > -99999.0f) {
        enc->flags |= AV_CODEC_FLAG_QSCALE;
        enc->global_quality = static_cast<int>(static_cast<float>(QP2Lambda) * AudioQScale);
      }
      enc->thread_count = ThreadCount;
      enc->sample_fmt = static_cast<AVSampleFormat>(AudioSampleFmt);
      if (codec && codec->sample_fmts &&
          !Listed(codec->sample_fmts, AV_SAMPLE_FMT_NONE, AudioSampleFmt))
        enc->sample_fmt = codec->sample_fmts[0];
    }
    lib::avutil.av_channel_layout_uninit(&enc->ch_layout);
    lib::avutil.av_channel_layout_default(&enc->ch_layout, AudioChannels);
    enc->sample_rate = AudioSampleRate;
    enc->time_base = AVRational{1, AudioSampleRate};

    AVStream* stream = AddStream(file);
    stream->time_base = enc->time_base;
    SetLanguage(stream, AudioLanguage);
    file.Encoders.push_back(std::move(encoder));
    file.StreamCopy.push_back(AudioCopy != 0);
    file.BitstreamFilters.push_back(std::move(AudioBsfChain));
    AudioBsfChain.clear();
  } catch (const FFMpegException&) {
    AudioCodecName.clear();
    AudioLanguage.clear();
    throw;
  }
  AudioDisabled = 0;
  AudioCodecName.clear();
  AudioCopy = 0;
}

void TCustomFFmpeg::new_subtitle_stream(TOutputFile& file) {
  try {
    CheckStreamRoom(file);
    AVCodecID id = AV_CODEC_ID_NONE;
    const AVCodec* codec = nullptr;
    if (!SubtitleCopy) {
      // No guess from the container: without a name the stream has no codec.
      if (!FindCodecId(SubtitleCodecName, AVMEDIA_TYPE_SUBTITLE, true, id))
        throw FFMpegException(ErrorText);
      if (!SubtitleCodecName.empty())
        codec = lib::avcodec.avcodec_find_encoder_by_name(SubtitleCodecName.c_str());
    }
    CodecContextPtr encoder = NewEncoderContext(codec);
    AVCodecContext* enc = encoder.get();
    enc->codec_type = AVMEDIA_TYPE_SUBTITLE;
    if (!SubtitleCopy) {
      ApplyCodecOptions(enc, CodecDefaults[AVMEDIA_TYPE_SUBTITLE].get(), 33);
      enc->codec_id = id;
    }
    AVStream* stream = AddStream(file);
    SetLanguage(stream, SubtitleLanguage);
    file.Encoders.push_back(std::move(encoder));
    file.StreamCopy.push_back(SubtitleCopy != 0);
    file.BitstreamFilters.push_back(std::move(SubtitleBsfChain));
    SubtitleBsfChain.clear();
  } catch (const FFMpegException&) {
    SubtitleCodecName.clear();
    SubtitleLanguage.clear();
    throw;
  }
  SubtitleDisabled = 0;
  SubtitleCodecName.clear();
  SubtitleCopy = 0;
}

void TCustomFFmpeg::NewVideoStreamOption() {
  if (OutputFiles.empty()) throw FFMpegException("At least one output file must be specified");
  new_video_stream(OutputFiles.back());
}

void TCustomFFmpeg::NewAudioStreamOption() {
  if (OutputFiles.empty()) throw FFMpegException("At least one output file must be specified");
  new_audio_stream(OutputFiles.back());
}

void TCustomFFmpeg::NewSubtitleStreamOption() {
  if (OutputFiles.empty()) throw FFMpegException("At least one output file must be specified");
  new_subtitle_stream(OutputFiles.back());
}

bool TCustomFFmpeg::OpenOutputFile(const std::string& fileName) {
  struct FormatReset {
    TCustomFFmpeg& E;
    ~FormatReset() {
      E.ForcedOutputFormat = nullptr;
      E.ForcedInputFormat = nullptr;
    }
  } reset{*this};
  auto fail = [this](std::string message) {
    ErrorText = std::move(message);
    return false;
  };

  if (!VideoFilters.empty() && FrameCropLeft + FrameCropRight + FrameCropTop + FrameCropBottom != 0)
    return fail("Cannot enable crop options and filters at the same time.");
  if (ChainResizesFrame(VideoFilters) &&
      FramePadLeft + FramePadRight + FramePadTop + FramePadBottom != 0)
    return fail(
        "Cannot enable pad options and the filters which resize frame at the same time. (crop, "
        "rotate, scale, transpose, etc.)");
  UseFilterGraph = !VideoFilters.empty();
  if (std::string e = FileNameLengthError(fileName); !e.empty()) return fail(e);
  if (OutputFileCount() >= MaxFiles)
    return fail("Too many output files (at most " + std::to_string(MaxFiles) + "): '" + fileName +
                "'");

  const AVOutputFormat* format = ForcedOutputFormat;
  if (!format) format = lib::avformat.av_guess_format(nullptr, fileName.c_str(), nullptr);
  if (!format) return fail("Unable to find a suitable output format for '" + fileName + "'");
  AVFormatContext* context = nullptr;
  const int allocated =
      lib::avformat.avformat_alloc_output_context2(&context, format, nullptr, fileName.c_str());
  if (allocated < 0 || !context)
    return fail(OpenErrorText(fileName, allocated < 0 ? allocated : AVERROR(ENOMEM)));
  // Built aside and registered only once complete: a failure leaves the table as it was.
  TOutputFile file;
  file.Context.reset(context);
  file.FileName = fileName;

  bool wantVideo = format->video_codec != AV_CODEC_ID_NONE || VideoCopy || !VideoCodecName.empty();
  bool wantAudio = format->audio_codec != AV_CODEC_ID_NONE || AudioCopy || !AudioCodecName.empty();
  bool wantSubtitle =
      format->subtitle_codec != AV_CODEC_ID_NONE || SubtitleCopy || !SubtitleCodecName.empty();
  if (InputFileCount() > 0) {
    bool hasVideo, hasAudio, hasSubtitle;
    try {
      check_audio_video_sub_inputs(hasVideo, hasAudio, hasSubtitle);
    } catch (const FFMpegException& e) {
      return fail(std::string("check_audio_video_sub_inputs fail: ") + e.what());
    }
    wantVideo = wantVideo && hasVideo;
    wantAudio = wantAudio && hasAudio;
    wantSubtitle = wantSubtitle && hasSubtitle;
  }
  if (VideoDisabled) wantVideo = false;
  if (AudioDisabled) wantAudio = false;
  if (SubtitleDisabled) wantSubtitle = false;

  try {
    if (wantVideo) new_video_stream(file);
  } catch (const FFMpegException& e) {
    return fail(std::string("new_video_stream fail: ") + e.what());
  }
  try {
    if (wantAudio) new_audio_stream(file);
  } catch (const FFMpegException& e) {
    return fail(std::string("new_audio_stream fail: ") + e.what());
  }
  try {
    if (wantSubtitle) new_subtitle_stream(file);
  } catch (const FFMpegException& e) {
    return fail(std::string("new_subtitle_stream fail: ") + e.what());
  }

  // The old fixed-size fields cut long texts; the metadata dictionary keeps them whole.
  auto put = [context](const char* key, const std::string& value) {
    if (!value.empty()) lib::avutil.av_dict_set(&context->metadata, key, value.c_str(), 0);
  };
  put("title", Title);
  put("artist", Author);
  put("copyright", Copyright);
  put("comment", Comment);
  put("album", Album);
  if (Year > 0) put("date", std::to_string(Year));
  if (Track > 0) put("track", std::to_string(Track));
  put("genre", Genre);
  if (RecordTimestamp != 0) {
    const std::time_t seconds = static_cast<std::time_t>(RecordTimestamp);
    std::tm utc{};
    char text[64];
    if (gmtime_r(&seconds, &utc) &&
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S.000000Z", &utc))
      put("creation_time", text);
  }

  if ((format->flags & AVFMT_NEEDNUMBER) && !lib::avformat.av_filename_number_test(context->url))
    return fail(OpenErrorText(context->url, AVERROR(EDOM)));

  // Muxer settings go in before the file is created, so nothing can fail once it exists.
  context->max_delay = static_cast<int>(SecondsToMicroseconds(MuxMaxDelay));
  // Preload and looping are private options of the muxers that know them; the others refuse.
  lib::avutil.av_opt_set_int(context, "preload", SecondsToMicroseconds(MuxPreload),
                             AV_OPT_SEARCH_CHILDREN);
  lib::avutil.av_opt_set_int(context, "loop", LoopOutput, AV_OPT_SEARCH_CHILDREN);
  ApplyCodecOptions(context, FormatDefaults.get(), 1);

  // Room in the table first: once the file exists, registering it cannot fail.
  OutputFiles.reserve(OutputFiles.size() + 1);
  if (!(format->flags & AVFMT_NOFILE)) {
    for (const TInputFile& input : InputFiles)
      if (SameFile(fileName, input.Context->url))
        return fail("Cannot write '" + fileName + "': it is an input file of this conversion");
    const bool existed = FileExists(fileName);
    if (lib::avformat.avio_open(&context->pb, fileName.c_str(), AVIO_FLAG_WRITE) < 0)
      return fail("Could not open '" + fileName + "'");
    file.CreatedFile = !existed;
    if (existed) Log(1, "Overwriting '" + fileName + "'");
  }
  OutputFiles.push_back(std::move(file));
  return true;
}

}  // namespace engine
