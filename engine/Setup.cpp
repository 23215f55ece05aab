// From opened files to a running loop: run tables, stream choice, codec parameters, codecs,
// headers.
#include <cctype>
#include <cstring>
#include <new>
#include <string>

#include "FFmpeg.h"
#include "TranscodeText.h"

namespace engine {

namespace {

AVMediaType InputKind(const TInputStreamState& ist) { return ist.Stream->codecpar->codec_type; }

// A stream copy's context has no codec; its kind is still set by the output's creation.
AVMediaType OutputKind(const TOutputStreamState& ost) {
  if (ost.Encoder && ost.Encoder->codec_type != AVMEDIA_TYPE_UNKNOWN) return ost.Encoder->codec_type;
  return ost.Stream->codecpar->codec_type;
}

// Copy is what the output asked for; an encoder that could not be found is an error in the
// encoder opening, never a silent copy.
bool IsStreamCopy(const TOutputFile& file, const TOutputStreamState& ost) {
  const size_t index = static_cast<size_t>(ost.Index);
  if (index < file.StreamCopy.size()) return file.StreamCopy[index];
  return !ost.Encoder->codec;
}

// The decoder's own time base where it has one; today's decoders mostly do not, and then a video
// stream's frame duration (or an audio stream's sample duration) stands in for it.
AVRational DecoderTimeBase(const TInputStreamState& ist) {
  const AVCodecContext* dec = ist.Decoder;
  if (dec && dec->time_base.num > 0 && dec->time_base.den > 0) return dec->time_base;
  const AVStream* st = ist.Stream;
  if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
    AVRational rate = dec && dec->framerate.num > 0 ? dec->framerate : st->avg_frame_rate;
    if (rate.num <= 0 || rate.den <= 0) rate = st->r_frame_rate;
    if (rate.num > 0 && rate.den > 0) return av_inv_q(rate);
  } else if (st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && st->codecpar->sample_rate > 0) {
    return AVRational{1, st->codecpar->sample_rate};
  }
  return AVRational{0, 1};
}

void DumpOutput(TCustomFFmpeg& engine, int i) {
  TOutputFile& file = engine.OutputFiles[i];
  lib::avformat.av_dump_format(file.Context.get(), i, file.FileName.c_str(), 1);
}

void CopyStreamParameters(TCustomFFmpeg& engine, TOutputFile& file, TOutputStreamState& ost,
                          TInputStreamState& ist) {
  AVCodecContext* enc = ost.Encoder;
  AVCodecParameters* par = ost.Stream->codecpar;
  const AVCodecParameters* in = ist.Stream->codecpar;
  const AVMediaType kind = OutputKind(ost);
  if (kind == AVMEDIA_TYPE_AUDIO && engine.AudioVolume != 256)
    throw FFMpegException("-acodec copy and -vol are incompatible (frames are not decoded)");
  if (kind == AVMEDIA_TYPE_VIDEO) {
    if (engine.CustomHookCallback)
      throw FFMpegException("-vcodec copy and CustomHook are incompatible (frames are not decoded)");
    if (engine.UsingVhook)
      throw FFMpegException("-vcodec copy and -vhook are incompatible (frames are not decoded)");
  }
  if (kind != AVMEDIA_TYPE_AUDIO && kind != AVMEDIA_TYPE_VIDEO && kind != AVMEDIA_TYPE_SUBTITLE)
    throw FFMpegException("invalid codec_type of output stream");

  // A tag the user asked for survives the copy of the source's parameters. The source's own tag
  // is kept only where the container reads it as the same codec (a 3GP "s263" means another
  // codec to AVI); otherwise the muxer picks its own.
  const uint32_t userTag = enc->codec_tag ? enc->codec_tag : par->codec_tag;
  if (lib::avcodec.avcodec_parameters_copy(par, in) < 0) throw FFMpegException("av_mallocz fail");
  enc->codec_id = in->codec_id;
  enc->codec_type = in->codec_type;
  const AVCodecTag* const* table = file.Context->oformat->codec_tag;
  if (userTag) {
    par->codec_tag = userTag;
  } else if (!table || lib::avformat.av_codec_get_id(table, in->codec_tag) == in->codec_id ||
             lib::avformat.av_codec_get_tag(table, in->codec_id) == 0) {
    par->codec_tag = in->codec_tag;
  } else {
    par->codec_tag = 0;
  }
  enc->codec_tag = par->codec_tag;
  enc->bit_rate = in->bit_rate;

  const AVRational decTb = DecoderTimeBase(ist);
  const AVRational stTb = ist.Stream->time_base;
  const bool useDecoder = decTb.num > 0 && av_q2d(decTb) > av_q2d(stTb) && av_q2d(stTb) < 1.0 / 1000;
  enc->time_base = useDecoder ? decTb : stTb;
  ost.Stream->time_base = enc->time_base;

  if (kind == AVMEDIA_TYPE_AUDIO) {
    if ((par->block_align == 1 && par->codec_id == AV_CODEC_ID_MP3) || par->codec_id == AV_CODEC_ID_AC3)
      par->block_align = 0;
  } else if (kind == AVMEDIA_TYPE_VIDEO) {
    ost.Stream->avg_frame_rate = ist.Stream->avg_frame_rate;
    // Muxers refuse a stream whose aspect differs from its parameters': the container's value
    // wins where it has one, for both.
    const AVRational sar = ist.Stream->sample_aspect_ratio.num ? ist.Stream->sample_aspect_ratio
                                                               : in->sample_aspect_ratio;
    ost.Stream->sample_aspect_ratio = sar;
    par->sample_aspect_ratio = sar;
  }
}

void PrepareAudio(TCustomFFmpeg& engine, TOutputStreamState& ost, TInputStreamState& ist) {
  AVCodecContext* enc = ost.Encoder;
  ost.SampleFifo.reset(
      lib::avutil.av_audio_fifo_alloc(enc->sample_fmt, enc->ch_layout.nb_channels, 1024));
  if (!ost.SampleFifo) throw FFMpegException("av_fifo_init fail");
  ost.ConvertPair = -6;
  const int decRate = ist.Decoder ? ist.Decoder->sample_rate : ist.Stream->codecpar->sample_rate;
  ost.AudioResample = decRate != enc->sample_rate || engine.AudioSyncMethod > 1;
}

FramePtr AllocatePicture(const AVCodecContext* enc, const char* failure) {
  FramePtr picture(lib::avutil.av_frame_alloc());
  if (!picture) throw FFMpegException(failure);
  picture->format = enc->pix_fmt;
  picture->width = enc->width;
  picture->height = enc->height;
  if (lib::avutil.av_frame_get_buffer(picture.get(), 0) < 0) throw FFMpegException(failure);
  return picture;
}

void PrepareVideo(TCustomFFmpeg& e, TOutputStreamState& ost, TInputStreamState& ist) {
  AVCodecContext* enc = ost.Encoder;
  const AVCodecParameters* in = ist.Stream->codecpar;
  const int decWidth = ist.Decoder ? ist.Decoder->width : in->width;
  const int decHeight = ist.Decoder ? ist.Decoder->height : in->height;
  const auto decFormat =
      static_cast<AVPixelFormat>(ist.Decoder ? ist.Decoder->pix_fmt : in->format);
  ost.SourceWidth = decWidth;
  ost.SourceHeight = decHeight;
  ost.SourceFormat = decFormat;
  ost.VideoCrop = e.FrameCropTop + e.FrameCropBottom + e.FrameCropLeft + e.FrameCropRight != 0;
  ost.VideoPad = e.FramePadTop + e.FramePadBottom + e.FramePadLeft + e.FramePadRight != 0;
  ost.VideoResample =
      enc->width != decWidth - e.FrameCropLeft - e.FrameCropRight + e.FramePadLeft + e.FramePadRight ||
      enc->height != decHeight - e.FrameCropTop - e.FrameCropBottom + e.FramePadTop + e.FramePadBottom ||
      enc->pix_fmt != decFormat;
  if (ost.VideoCrop) {
    ost.CropTop = e.FrameCropTop;
    ost.CropLeft = e.FrameCropLeft;
  }
  if (ost.VideoPad) {
    ost.PadTop = e.FramePadTop;
    ost.PadBottom = e.FramePadBottom;
    ost.PadLeft = e.FramePadLeft;
    ost.PadRight = e.FramePadRight;
    if (!ost.VideoResample) ost.PictureBuffer = AllocatePicture(enc, "avpicture_alloc fail");
  }
  if (ost.VideoResample) {
    ost.PictureBuffer = AllocatePicture(enc, "Cannot allocate temp picture, check pix fmt");
    int64_t flags = 0;
    if (e.ScalerDefaults &&
        lib::avutil.av_opt_get_int(e.ScalerDefaults.get(), "sws_flags", 0, &flags) >= 0)
      e.SwsFlags = static_cast<int32_t>(flags);
    ost.ScaleContext.reset(lib::swscale.sws_getContext(
        decWidth - e.FrameCropLeft - e.FrameCropRight, decHeight - e.FrameCropTop - e.FrameCropBottom,
        decFormat, enc->width - e.FramePadLeft - e.FramePadRight,
        enc->height - e.FramePadTop - e.FramePadBottom, enc->pix_fmt, e.SwsFlags, nullptr, nullptr,
        nullptr));
    if (!ost.ScaleContext) throw FFMpegException("Cannot get resampling context");
    ost.ScaleSourceHeight =
        e.UseFilterGraph ? decHeight : decHeight - e.FrameCropTop - e.FrameCropBottom;
  }
  if (e.UseFilterGraph) {
    // The filter graph builder is not part of this engine yet: refuse rather than ignore filters.
    e.ErrorText = "video filter graphs are not available in this build";
    throw FFMpegException("Error opening filters: " + e.ErrorText);
  }
}

void OpenPassLog(TCustomFFmpeg& e, TOutputStreamState& ost, int position) {
  AVCodecContext* enc = ost.Encoder;
  if (!(enc->flags & (AV_CODEC_FLAG_PASS1 | AV_CODEC_FLAG_PASS2))) return;
  std::string name = (e.PassLogPrefix.empty() ? std::string("ffmpeg2pass") : e.PassLogPrefix) + "-" +
                     std::to_string(position) + ".log";
  if (name.size() >= 1024) name.resize(1023);
  if (enc->flags & AV_CODEC_FLAG_PASS1) {
    ost.PassLogFile = std::fopen(name.c_str(), "w");
    if (!ost.PassLogFile) throw FFMpegException("creat file fail: " + name);
    return;
  }
  std::FILE* f = std::fopen(name.c_str(), "r");
  if (!f) throw FFMpegException("creat open fail: " + name);
  std::fseek(f, 0, SEEK_END);
  const long size = std::ftell(f);
  std::fseek(f, 0, SEEK_SET);
  char* text = size >= 0 ? static_cast<char*>(lib::avutil.av_malloc(size + 1)) : nullptr;
  if (!text) {
    std::fclose(f);
    throw FFMpegException("Could not allocate log buffer");
  }
  const size_t got = std::fread(text, 1, static_cast<size_t>(size), f);
  std::fclose(f);
  text[got] = 0;
  lib::avutil.av_freep(&enc->stats_in);
  enc->stats_in = text;
}

void CreateBitstreamFilters(TOutputFile& file, TOutputStreamState& ost) {
  if (ost.Index >= static_cast<int>(file.BitstreamFilters.size())) return;
  const AVCodecParameters* previous = ost.Stream->codecpar;
  AVRational timeBase = ost.Stream->time_base;
  for (const std::string& name : file.BitstreamFilters[ost.Index]) {
    const AVBitStreamFilter* filter = lib::avcodec.av_bsf_get_by_name(name.c_str());
    if (!filter) throw FFMpegException(Format("Unknown bitstream filter %s", name.c_str()));
    AVBSFContext* raw = nullptr;
    if (lib::avcodec.av_bsf_alloc(filter, &raw) < 0) throw FFMpegException("av_mallocz fail");
    BsfContextPtr context(raw);
    if (lib::avcodec.avcodec_parameters_copy(context->par_in, previous) < 0)
      throw FFMpegException("av_mallocz fail");
    context->time_base_in = timeBase;
    if (lib::avcodec.av_bsf_init(context.get()) < 0)
      throw FFMpegException(Format("Error initializing bitstream filter %s for output stream #%d.%d",
                                   name.c_str(), ost.FileIndex, ost.Index));
    previous = context->par_out;
    timeBase = context->time_base_out;
    ost.BitstreamFilters.push_back(std::move(context));
  }
}

void CopyMetadata(AVFormatContext* out, const AVFormatContext* in) {
  static const char* const keys[] = {"title", "author", "artist", "copyright", "comment",
                                     "album", "date",   "year",   "track",     "genre"};
  for (const char* key : keys) {
    const AVDictionaryEntry* entry = lib::avutil.av_dict_get(in->metadata, key, nullptr, 0);
    if (entry) lib::avutil.av_dict_set(&out->metadata, key, entry->value, 0);
  }
}

}  // namespace

int TCustomFFmpeg::FindProgramStream(int programId, int kind) {
  for (int f = 0; f < InputFileCount(); ++f) {
    const AVFormatContext* context = InputFiles[f].Context.get();
    for (unsigned p = 0; p < context->nb_programs; ++p) {
      const AVProgram* program = context->programs[p];
      if (program->id != programId) continue;
      for (unsigned k = 0; k < program->nb_stream_indexes; ++k) {
        const unsigned index = program->stream_index[k];
        if (index >= context->nb_streams) continue;
        const int position = InputFileTable[f].FirstStream + static_cast<int>(index);
        if (InputStreamTable[position]->Discard &&
            context->streams[index]->codecpar->codec_type == kind)
          return position;
      }
    }
  }
  return -1;
}

void TCustomFFmpeg::Transcode() {
  try {
    SetupTranscode();
    RunMainLoop();
  } catch (...) {
    // The open-codec lists point into the run tables, so the codecs go before the tables.
    CloseOpenEncoders();
    CloseOpenDecoders();
    for (TOutputFile& file : OutputFiles)
      for (CodecContextPtr& enc : file.Encoders)
        if (enc) lib::avutil.av_freep(&enc->stats_in);
    ReleaseRunTables();
    throw;
  }
}

void TCustomFFmpeg::SetupTranscode() {
  const int inputCount = InputFileCount();
  const int outputCount = OutputFileCount();

  // Input files and streams.
  InputFileTable.assign(inputCount, TInputFileState{});
  InputStreamTable.clear();
  for (int f = 0; f < inputCount; ++f) {
    AVFormatContext* context = InputFiles[f].Context.get();
    InputFileTable[f].FirstStream = static_cast<int32_t>(InputStreamTable.size());
    InputFileTable[f].StreamCount = static_cast<int32_t>(context->nb_streams);
    for (unsigned s = 0; s < context->nb_streams; ++s) {
      auto ist = std::make_unique<TInputStreamState>();
      ist->FileIndex = f;
      ist->Index = static_cast<int32_t>(s);
      ist->Stream = context->streams[s];
      ist->Decoder = s < InputFiles[f].Decoders.size() ? InputFiles[f].Decoders[s].get() : nullptr;
      ist->Discard = 1;
      if (RateEmulation) {
        ist->RateEmuStart = lib::avutil.av_gettime();
        ist->RateEmuFrames = 0;
      }
      InputStreamTable.push_back(std::move(ist));
    }
  }

  // Output files and stream maps.
  int streamCount = 0;
  for (const TOutputFile& file : OutputFiles) {
    if (file.Context->nb_streams == 0) throw FFMpegException("Output file does not contain any stream");
    streamCount += static_cast<int>(file.Context->nb_streams);
  }
  const bool mapped = StreamMapCount() > 0;
  if (mapped) {
    if (StreamMapCount() != streamCount)
      throw FFMpegException("Number of stream maps must match number of output streams");
    auto exists = [&](int file, int stream) {
      return file >= 0 && file < inputCount && stream >= 0 && stream < InputFileTable[file].StreamCount;
    };
    for (const TStreamMap& map : StreamMaps) {
      if (!exists(map.InputFile, map.InputStream))
        throw FFMpegException(
            Format("Could not find input stream #%d.%d", map.InputFile, map.InputStream));
      if (!exists(map.SyncFile, map.SyncStream))
        throw FFMpegException(Format("Could not find sync stream #%d.%d", map.SyncFile, map.SyncStream));
    }
  }

  // Output streams and their sources.
  OutputStreamTable.clear();
  for (int i = 0, n = 0; i < outputCount; ++i) {
    TOutputFile& file = OutputFiles[i];
    for (unsigned j = 0; j < file.Context->nb_streams; ++j, ++n) {
      auto owned = std::make_unique<TOutputStreamState>();
      TOutputStreamState& ost = *owned;
      ost.FileIndex = i;
      ost.Index = static_cast<int32_t>(j);
      ost.Stream = file.Context->streams[j];
      ost.Encoder = j < file.Encoders.size() ? file.Encoders[j].get() : nullptr;
      if (!ost.Encoder)
        throw FFMpegException(Format("Output stream #%d.%d has no codec context", i, ost.Index));
      OutputStreamTable.push_back(std::move(owned));
      const AVMediaType kind = OutputKind(ost);
      int source = -1;
      if (mapped) {
        const TStreamMap& map = StreamMaps[n];
        source = InputFileTable[map.InputFile].FirstStream + map.InputStream;
        if (InputKind(*InputStreamTable[source]) != kind) {
          DumpOutput(*this, i);
          throw FFMpegException(Format("Codec type mismatch for mapping #%d.%d -> #%d.%d",
                                       map.InputFile, map.InputStream, i, ost.Index));
        }
      } else {
        if (ProgramId != 0) {
          source = FindProgramStream(ProgramId, kind);
        } else {
          for (size_t k = 0; k < InputStreamTable.size() && source < 0; ++k)
            if (InputStreamTable[k]->Discard && InputKind(*InputStreamTable[k]) == kind)
              source = static_cast<int>(k);
          // A second output of a kind with a single input stream shares it.
          for (size_t k = 0; k < InputStreamTable.size() && source < 0; ++k)
            if (InputKind(*InputStreamTable[InputStreamTable.size() - 1 - k]) == kind)
              source = static_cast<int>(InputStreamTable.size() - 1 - k);
        }
        if (source < 0) {
          DumpOutput(*this, i);
          throw FFMpegException(
              Format("Could not find input stream matching output stream #%d.%d", i, ost.Index));
        }
      }
      ost.SourceIndex = source;
      InputStreamTable[source]->Discard = 0;
      ost.SyncInput =
          mapped ? InputStreamTable[InputFileTable[StreamMaps[n].SyncFile].FirstStream +
                                    StreamMaps[n].SyncStream]
                       .get()
                 : InputStreamTable[source].get();
    }
  }

  // Codec parameters, copy or re-encoding.
  for (size_t n = 0; n < OutputStreamTable.size(); ++n) {
    TOutputStreamState& ost = *OutputStreamTable[n];
    TInputStreamState& ist = *InputStreamTable[ost.SourceIndex];
    TOutputFile& file = OutputFiles[ost.FileIndex];
    AVCodecContext* enc = ost.Encoder;
    if (!lib::avutil.av_dict_get(ost.Stream->metadata, "language", nullptr, 0)) {
      const AVDictionaryEntry* language =
          lib::avutil.av_dict_get(ist.Stream->metadata, "language", nullptr, 0);
      if (language) lib::avutil.av_dict_set(&ost.Stream->metadata, "language", language->value, 0);
    }
    ost.Stream->disposition = ist.Stream->disposition;

    const AVMediaType kind = OutputKind(ost);
    if (IsStreamCopy(file, ost)) {
      CopyStreamParameters(*this, file, ost, ist);
    } else {
      switch (kind) {
        case AVMEDIA_TYPE_AUDIO:
          PrepareAudio(*this, ost, ist);
          break;
        case AVMEDIA_TYPE_VIDEO:
          PrepareVideo(*this, ost, ist);
          break;
        case AVMEDIA_TYPE_SUBTITLE:
          break;
        default:
          throw FFMpegException("invalid codec_type of output stream");
      }
      ost.EncodingNeeded = 1;
      ist.DecodingNeeded = 1;
      OpenPassLog(*this, ost, static_cast<int>(n));
    }
    if (kind == AVMEDIA_TYPE_VIDEO) {
      const AVCodecParameters* par = ost.Stream->codecpar;
      const int64_t need =
          ost.EncodingNeeded ? 4LL * enc->width * enc->height : 4LL * par->width * par->height;
      if (need > VideoBitBufferSize) VideoBitBufferSize = static_cast<int32_t>(need);
    }
  }
  if (VideoBitBuffer.empty()) {
    try {
      VideoBitBuffer.resize(static_cast<size_t>(VideoBitBufferSize));
    } catch (const std::bad_alloc&) {
      throw FFMpegException("av_malloc fail");
    }
  }

  for (int i = 0; i < outputCount; ++i) DumpOutput(*this, i);
  if (Verbose >= 0 && LogCallback) {
    Log(1, "Stream mapping:");
    for (const auto& ost : OutputStreamTable) {
      const TInputStreamState& ist = *InputStreamTable[ost->SourceIndex];
      Log(1, Format("  Stream #%d.%d -> #%d.%d", ist.FileIndex, ist.Index, ost->FileIndex, ost->Index));
      if (ost->SyncInput != &ist)
        Log(1, Format(" [sync #%d.%d]", ost->SyncInput->FileIndex, ost->SyncInput->Index));
    }
  }

  // Encoders; the stream takes the opened encoder's parameters.
  for (const auto& owned : OutputStreamTable) {
    TOutputStreamState& ost = *owned;
    AVCodecContext* enc = ost.Encoder;
    AVFormatContext* context = OutputFiles[ost.FileIndex].Context.get();
    if (ost.EncodingNeeded) {
      const AVCodec* codec = enc->codec ? enc->codec : lib::avcodec.avcodec_find_encoder(enc->codec_id);
      if (!codec)
        throw FFMpegException(
            Format("Unsupported codec for output stream #%d.%d", ost.FileIndex, ost.Index));
      if (context->oformat->flags & AVFMT_GLOBALHEADER) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
      // Encoders report routine events at the information level once per frame (MS-MPEG4's
      // "clipping dct coefficients"): at the engine's information level they would bury every
      // other line, so they move one level down and show from the debug level on.
      if (Verbose == 1) enc->log_level_offset = AV_LOG_VERBOSE - AV_LOG_INFO;
      int r;
      {
        std::lock_guard<std::mutex> guard(CodecLock());
        r = lib::avcodec.avcodec_open2(enc, codec, nullptr);
      }
      if (r < 0)
        throw FFMpegException(Format("Error while opening codec for output stream #%d.%d - maybe "
                                     "incorrect parameters such as bit_rate, rate, width or height",
                                     ost.FileIndex, ost.Index));
      AddOpenEncoder(&ost);
      ExtraBytes += enc->extradata_size;
      if (lib::avcodec.avcodec_parameters_from_context(ost.Stream->codecpar, enc) < 0)
        throw FFMpegException("av_mallocz fail");
      ost.Stream->time_base = enc->time_base;
      if (enc->codec_type == AVMEDIA_TYPE_VIDEO && enc->framerate.num > 0)
        ost.Stream->avg_frame_rate = enc->framerate;
    }
    CreateBitstreamFilters(OutputFiles[ost.FileIndex], ost);
  }

  // Decoders.
  for (const auto& owned : InputStreamTable) {
    TInputStreamState& ist = *owned;
    if (!ist.DecodingNeeded) continue;
    const AVCodecID id = ist.Stream->codecpar->codec_id;
    const AVCodec* codec =
        !ist.Decoder ? nullptr
                     : ist.Decoder->codec ? ist.Decoder->codec : lib::avcodec.avcodec_find_decoder(id);
    if (!codec)
      throw FFMpegException(Format("Unsupported codec (id=%d) for input stream #%d.%d",
                                   static_cast<int>(id), ist.FileIndex, ist.Index));
    int r;
    {
      std::lock_guard<std::mutex> guard(CodecLock());
      r = lib::avcodec.avcodec_open2(ist.Decoder, codec, nullptr);
    }
    if (r < 0)
      throw FFMpegException(
          Format("Error while opening codec for input stream #%d.%d", ist.FileIndex, ist.Index));
    AddOpenDecoder(&ist);
    ist.DecodedFrame.reset(lib::avutil.av_frame_alloc());
    if (!ist.DecodedFrame) throw FFMpegException("av_mallocz fail");
  }

  for (const auto& ist : InputStreamTable) {
    ist->Pts = 0;
    ist->NextPts = AV_NOPTS_VALUE;
    ist->AtStart = 1;
  }

  for (const TMetadataMap& map : MetadataMaps) {
    if (map.OutputFile < 0 || map.OutputFile >= outputCount)
      throw FFMpegException(Format("Invalid output file index %d map_meta_data(%d,%d)", map.OutputFile,
                                   map.OutputFile, map.InputFile));
    if (map.InputFile < 0 || map.InputFile >= inputCount)
      throw FFMpegException(Format("Invalid input file index %d map_meta_data(%d,%d)", map.InputFile,
                                   map.OutputFile, map.InputFile));
    CopyMetadata(OutputFiles[map.OutputFile].Context.get(), InputFiles[map.InputFile].Context.get());
  }

  bool allRtp = true;
  for (int i = 0; i < outputCount; ++i) {
    AVFormatContext* context = OutputFiles[i].Context.get();
    // Muxer options were set on the context when the output was created.
    const int r = lib::avformat.avformat_write_header(context, nullptr);
    if (r < 0)
      throw FFMpegException(
          Format("Could not write header for output file #%d (incorrect codec parameters ?)", i));
    if (std::strcmp(context->oformat->name, "rtp") != 0) allRtp = false;
  }
  if (allRtp && LogCallback) {
    std::vector<AVFormatContext*> contexts;
    for (TOutputFile& file : OutputFiles) contexts.push_back(file.Context.get());
    char sdp[2048] = {};
    lib::avformat.av_sdp_create(contexts.data(), outputCount, sdp, sizeof sdp);
    std::string text(sdp);
    const size_t begin = text.find_first_not_of(" \t\r\n");
    const size_t end = text.find_last_not_of(" \t\r\n");
    text = begin == std::string::npos ? std::string() : text.substr(begin, end - begin + 1);
    Log(1, "SDP: " + text);
  }

  TimerStart = lib::avutil.av_gettime();
}

}  // namespace engine
