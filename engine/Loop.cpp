// The packet loop: input choice, limits, timestamp correction, decoding and dispatch, and the end
// of the run (drain, flush, trailers, final report, codecs closed).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

#include "FFmpeg.h"
#include "TranscodeText.h"

namespace engine {

namespace {

constexpr AVRational MicrosecondBase{1, AV_TIME_BASE};

AVMediaType KindOf(const TOutputStreamState& ost) {
  if (ost.Encoder && ost.Encoder->codec_type != AVMEDIA_TYPE_UNKNOWN) return ost.Encoder->codec_type;
  return ost.Stream->codecpar->codec_type;
}

// Seconds reached by an output stream: an encoded video stream counts its frames; every other
// stream (copies included, whose packets need not be one frame each) the end of its last packet.
double OutputTime(const TOutputStreamState& ost) {
  if (ost.EncodingNeeded && KindOf(ost) == AVMEDIA_TYPE_VIDEO)
    return static_cast<double>(ost.NextOutputPts) * av_q2d(ost.Encoder->time_base);
  if (ost.LastPacketEnd == AV_NOPTS_VALUE || ost.Stream->time_base.den == 0) return 0.0;
  return static_cast<double>(ost.LastPacketEnd) * av_q2d(ost.Stream->time_base);
}

// Duration of one video frame of the input in microseconds, 0 when the rate is unknown.
int64_t FrameDuration(const TInputStreamState& ist) {
  const AVStream* st = ist.Stream;
  AVRational rate = ist.Decoder && ist.Decoder->framerate.num > 0 ? ist.Decoder->framerate
                                                                   : st->avg_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) rate = st->r_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) return 0;
  return lib::avutil.av_rescale(AV_TIME_BASE, rate.den, rate.num);
}

}  // namespace

// ---- stream copy and subtitles ----

namespace {

void CopyPacket(TCustomFFmpeg& e, TOutputStreamState& ost, TInputStreamState& ist,
                const AVPacket* packet) {
  // A copy starts at a key packet: whatever precedes it cannot be decoded by a player.
  if (ost.FrameNumber == 0 && !(packet->flags & AV_PKT_FLAG_KEY)) return;
  const AVMediaType kind = KindOf(ost);
  if (kind == AVMEDIA_TYPE_AUDIO) {
    e.AudioBytes += packet->size;
  } else if (kind == AVMEDIA_TYPE_VIDEO) {
    e.VideoBytes += packet->size;
    ost.NextOutputPts += 1;
  }
  // A copy never encodes: the stream's encoder packet is free to carry the copied one, which
  // spares an allocation per packet.
  if (!ost.EncodePacket) ost.EncodePacket.reset(lib::avcodec.av_packet_alloc());
  AVPacket* out = ost.EncodePacket.get();
  if (!out || lib::avcodec.av_packet_ref(out, packet) < 0) throw FFMpegException("av_packet_clone fail");
  struct TUnref {
    AVPacket* Packet;
    ~TUnref() { lib::avcodec.av_packet_unref(Packet); }
  } unref{out};
  const AVRational from = ist.Stream->time_base, to = ost.Stream->time_base;
  out->stream_index = ost.Index;
  out->pts = packet->pts != AV_NOPTS_VALUE ? lib::avutil.av_rescale_q(packet->pts, from, to)
                                           : AV_NOPTS_VALUE;
  out->dts = packet->dts != AV_NOPTS_VALUE ? lib::avutil.av_rescale_q(packet->dts, from, to)
                                           : lib::avutil.av_rescale_q(ist.Pts, MicrosecondBase, to);
  out->duration = lib::avutil.av_rescale_q(packet->duration, from, to);
  out->time_base = to;
  e.WritePacket(e.OutputFiles[ost.FileIndex], out, ost);
  ost.FrameNumber += 1;
}

void EncodeSubtitle(TCustomFFmpeg& e, TOutputStreamState& ost, TInputStreamState& ist,
                    AVSubtitle& subtitle, int64_t pts) {
  if (pts == AV_NOPTS_VALUE) {
    if (e.ExitOnError) throw FFMpegException("Subtitle packets must have a pts");
    e.Log(0, "Subtitle packets must have a pts");
    return;
  }
  AVCodecContext* enc = ost.Encoder;
  const bool dvb = enc->codec_id == AV_CODEC_ID_DVB_SUBTITLE;
  std::vector<uint8_t> buffer(65536);
  PacketPtr packet(lib::avcodec.av_packet_alloc());
  if (!packet) throw FFMpegException("av_packet_alloc fail");
  const unsigned rects = subtitle.num_rects;
  for (int i = 0; i < (dvb ? 2 : 1); ++i) {
    // DVB needs a second, empty subtitle that clears the display at the end time.
    if (i == 1) subtitle.num_rects = 0;
    const int size = lib::avcodec.avcodec_encode_subtitle(enc, buffer.data(), 65536, &subtitle);
    subtitle.num_rects = rects;
    if (size < 0)
      throw FFMpegException(Format("Subtitle encoding failed for output stream #%d.%d",
                                   ost.FileIndex, ost.Index));
    if (lib::avcodec.av_new_packet(packet.get(), size) < 0) throw FFMpegException("av_malloc fail");
    std::memcpy(packet->data, buffer.data(), static_cast<size_t>(size));
    packet->stream_index = ost.Index;
    packet->pts = lib::avutil.av_rescale_q(pts, ist.Stream->time_base, ost.Stream->time_base);
    if (dvb)
      packet->pts += static_cast<uint32_t>(90u * (i == 0 ? subtitle.start_display_time
                                                         : subtitle.end_display_time));
    packet->dts = packet->pts;
    e.WritePacket(e.OutputFiles[ost.FileIndex], packet.get(), ost);
    lib::avcodec.av_packet_unref(packet.get());
  }
}

// The decoded audio as interleaved 16-bit samples at the decoder's rate and channel count, in
// DecodeSamples; returns its size in bytes, or -1.
int ToInterleaved16(TCustomFFmpeg& e, TInputStreamState& ist, const AVFrame* frame) {
  const int channels = frame->ch_layout.nb_channels;
  const int size = frame->nb_samples * channels * 2;
  if (channels <= 0 || size <= 0) return 0;
  if (e.DecodeSamples.size() < static_cast<size_t>(size))
    e.DecodeSamples.resize(std::max<size_t>(static_cast<size_t>(size), 192000));
  if (frame->format == AV_SAMPLE_FMT_S16) {
    std::memcpy(e.DecodeSamples.data(), frame->extended_data[0], static_cast<size_t>(size));
    return size;
  }
  if (!ist.DecodeConverter || ist.DecodeFormat != frame->format || ist.DecodeRate != frame->sample_rate ||
      ist.DecodeChannels != channels) {
    ist.DecodeConverter.reset();
    AVChannelLayout layout{};
    lib::avutil.av_channel_layout_default(&layout, channels);
    SwrContext* raw = nullptr;
    const int r = lib::swresample.swr_alloc_set_opts2(
        &raw, &layout, AV_SAMPLE_FMT_S16, frame->sample_rate, &layout,
        static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0, nullptr);
    lib::avutil.av_channel_layout_uninit(&layout);
    ist.DecodeConverter.reset(raw);
    if (r < 0 || lib::swresample.swr_init(raw) < 0) {
      ist.DecodeConverter.reset();
      return -1;
    }
    ist.DecodeFormat = frame->format;
    ist.DecodeRate = frame->sample_rate;
    ist.DecodeChannels = channels;
  }
  uint8_t* out[1] = {e.DecodeSamples.data()};
  const int n = lib::swresample.swr_convert(ist.DecodeConverter.get(), out, frame->nb_samples,
                                            const_cast<const uint8_t**>(frame->extended_data),
                                            frame->nb_samples);
  return n < 0 ? -1 : n * channels * 2;
}

void ScaleVolume(uint8_t* block, int size, int volume) {
  auto* samples = reinterpret_cast<int16_t*>(block);
  for (int i = 0; i < size / 2; ++i) {
    const int64_t v = (static_cast<int64_t>(samples[i]) * volume + 128) >> 8;
    samples[i] = static_cast<int16_t>(std::clamp<int64_t>(v, -32768, 32767));
  }
}

// Holds the reading back so that the data is delivered no faster than its own time.
void EmulateRate(TInputStreamState& ist) {
  const int64_t ahead = ist.Pts - (lib::avutil.av_gettime() - ist.RateEmuStart);
  if (ahead > 50000) std::this_thread::sleep_for(std::chrono::milliseconds(ahead / 1000));
  ist.RateEmuFrames += 1;
}

}  // namespace

// A start time seeks back to a key frame: pictures before the start point stay out, and so does
// the part of a sound block before it (the rest of the block is kept, from the start point on).
bool TCustomFFmpeg::SkipBeforeStart(TInputStreamState& ist, const AVFrame* frame, int kind,
                                    const uint8_t*& block, int& size) {
  const int64_t startPoint = InputFiles[ist.FileIndex].StartPoint;
  if (startPoint == AV_NOPTS_VALUE || ist.Pts >= startPoint) return false;
  if (kind != AVMEDIA_TYPE_AUDIO) return true;
  const int channels = frame->ch_layout.nb_channels;
  const int64_t skipBytes =
      lib::avutil.av_rescale(startPoint - ist.Pts, frame->sample_rate, AV_TIME_BASE) * channels * 2;
  if (channels <= 0 || skipBytes >= size) return true;
  block += skipBytes;
  size -= static_cast<int>(skipBytes);
  ist.Pts = startPoint;
  return false;
}

int TCustomFFmpeg::ProcessPacket(TInputStreamState& ist, int position, AVPacket* packet) {
  if (ist.NextPts == AV_NOPTS_VALUE) ist.NextPts = ist.Pts;
  if (packet && packet->dts != AV_NOPTS_VALUE)
    ist.Pts = ist.NextPts =
        lib::avutil.av_rescale_q(packet->dts, ist.Stream->time_base, MicrosecondBase);
  const AVMediaType kind = ist.Stream->codecpar->codec_type;
  auto started = [&] { return StartTime == 0 || ist.Pts >= StartTime; };

  if (packet) {
    ist.Pts = ist.NextPts;
    if (!ist.DecodingNeeded) {
      int64_t duration = packet->duration > 0
                             ? lib::avutil.av_rescale_q(packet->duration, ist.Stream->time_base,
                                                        MicrosecondBase)
                             : 0;
      if (duration == 0 && kind == AVMEDIA_TYPE_AUDIO && ist.Stream->codecpar->sample_rate > 0)
        duration = static_cast<int64_t>(AV_TIME_BASE) * ist.Stream->codecpar->frame_size /
                   ist.Stream->codecpar->sample_rate;
      if (duration == 0 && kind == AVMEDIA_TYPE_VIDEO) duration = FrameDuration(ist);
      ist.NextPts += duration;
      if (RateEmulation) EmulateRate(ist);
    }
    // Copies take the packet itself, once, whatever the decoder makes of it for other outputs.
    if (started())
      for (const auto& ost : OutputStreamTable)
        if (ost->SourceIndex == position && !ost->EncodingNeeded) CopyPacket(*this, *ost, ist, packet);
    if (!ist.DecodingNeeded) return 0;
  } else if (!ist.DecodingNeeded) {
    return 0;
  }

  AVCodecContext* decoder = ist.Decoder;
  if (kind == AVMEDIA_TYPE_SUBTITLE) {
    PacketPtr empty;
    if (!packet) {
      empty.reset(lib::avcodec.av_packet_alloc());
      if (!empty) return -1;
    }
    for (;;) {
      AVSubtitle subtitle{};
      int got = 0;
      const int r = lib::avcodec.avcodec_decode_subtitle2(decoder, &subtitle, &got,
                                                          packet ? packet : empty.get());
      if (r < 0) return -1;
      if (!got) break;
      ist.Pts = ist.NextPts;
      const int64_t pts = packet ? packet->pts : AV_NOPTS_VALUE;
      try {
        if (started())
          for (const auto& ost : OutputStreamTable)
            if (ost->SourceIndex == position && ost->EncodingNeeded)
              EncodeSubtitle(*this, *ost, ist, subtitle, pts);
      } catch (...) {
        lib::avcodec.avsubtitle_free(&subtitle);
        throw;
      }
      lib::avcodec.avsubtitle_free(&subtitle);
      if (packet) break;
    }
  } else if (kind == AVMEDIA_TYPE_AUDIO || kind == AVMEDIA_TYPE_VIDEO) {
    // An empty packet would read as the end of the stream and lose the rest of it.
    if (packet && packet->size == 0) return 0;
    int r = lib::avcodec.avcodec_send_packet(decoder, packet);
    if (r < 0 && r != AVERROR_EOF && r != AVERROR(EAGAIN)) return -1;
    AVFrame* frame = ist.DecodedFrame.get();
    for (int frames = 0;; ++frames) {
      r = lib::avcodec.avcodec_receive_frame(decoder, frame);
      if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) break;
      if (r < 0) return -1;
      if (frames > 0 && packet && Verbose > 0)
        Log(0, Format("Multiple frames in a packet from stream %d", packet->stream_index));
      ist.Pts = ist.NextPts;
      int size = 0;
      if (kind == AVMEDIA_TYPE_AUDIO) {
        size = ToInterleaved16(*this, ist, frame);
        if (size < 0) {
          lib::avutil.av_frame_unref(frame);
          return -1;
        }
        const int64_t rateChannels =
            static_cast<int64_t>(frame->sample_rate) * frame->ch_layout.nb_channels;
        if (rateChannels > 0) ist.NextPts += 500000LL * size / rateChannels;
        if (AudioVolume != 256) ScaleVolume(DecodeSamples.data(), size, AudioVolume);
      } else {
        // Decoders reorder pictures; a picture's own time is where it belongs. Packet times
        // only run ahead of it by the reorder delay, and by more on a variable-rate stream.
        // A picture time far from the packet clock (a corrupt file) is not trusted: it would
        // make the frame-rate conversion fill the jump with copies.
        if (frame->best_effort_timestamp != AV_NOPTS_VALUE) {
          const int64_t own = lib::avutil.av_rescale_q(frame->best_effort_timestamp,
                                                       ist.Stream->time_base, MicrosecondBase);
          if (std::fabs(static_cast<double>(own - ist.Pts)) <= DtsDeltaThreshold * 1000000.0)
            ist.Pts = own;
        }
        ist.NextPts = ist.Pts + FrameDuration(ist);
      }
      if (RateEmulation) EmulateRate(ist);
      const uint8_t* block = DecodeSamples.data();
      const bool beforeStart = SkipBeforeStart(ist, frame, kind, block, size);
      if (started() && !beforeStart && (kind == AVMEDIA_TYPE_VIDEO || size > 0)) {
        for (const auto& owned : OutputStreamTable) {
          TOutputStreamState& ost = *owned;
          if (ost.SourceIndex != position || !ost.EncodingNeeded) continue;
          // Frames a decoder still held when the limit stopped the reading come out at the
          // end; they lie beyond the limit.
          if (OutputTime(ost) >= static_cast<double>(RecordingTime) / 1000000.0) continue;
          TOutputFile& file = OutputFiles[ost.FileIndex];
          switch (KindOf(ost)) {
            case AVMEDIA_TYPE_AUDIO:
              EncodeAudioBlock(file, ost, ist, block, size);
              break;
            case AVMEDIA_TYPE_VIDEO: {
              int frameSize = 0;
              EncodeVideoFrame(file, ost, ist, frame, frameSize);
              if (!VstatsFileName.empty() && frameSize != 0) WriteVideoStats(file, ost, frameSize);
              break;
            }
            default:
              throw FFMpegException("invalid codec_type");
          }
        }
      }
      lib::avutil.av_frame_unref(frame);
    }
  } else {
    return -1;
  }

  if (!packet)
    for (const auto& ost : OutputStreamTable)
      if (ost->SourceIndex == position && ost->EncodingNeeded && KindOf(*ost) != AVMEDIA_TYPE_SUBTITLE)
        FlushEncoder(OutputFiles[ost->FileIndex], *ost);
  return 0;
}

void TCustomFFmpeg::RunMainLoop() {
  int64_t lastReport = TimerStart;
  PacketPtr packet(lib::avcodec.av_packet_alloc());
  if (!packet) throw FFMpegException("av_packet_alloc fail");

  while (!StopRequested) {
    // The input whose output lags most is read next (or, with InputSync, the earliest input).
    double iptsMin = 1e100, optsMin = 1e100;
    int chosen = -1;
    for (const auto& owned : OutputStreamTable) {
      const TOutputStreamState& ost = *owned;
      const TInputStreamState& ist = *InputStreamTable[ost.SourceIndex];
      const double opts = OutputTime(ost);
      const double ipts = static_cast<double>(ist.Pts);
      if (!InputFileTable[ist.FileIndex].EofReached) {
        if (ipts < iptsMin) {
          iptsMin = ipts;
          if (InputSync) chosen = ist.FileIndex;
        }
        if (opts < optsMin) {
          optsMin = opts;
          if (!InputSync) chosen = ist.FileIndex;
        }
      }
      const int kind = KindOf(ost);
      if (kind >= 0 && kind < static_cast<int>(MaxFrames.size()) && ost.FrameNumber >= MaxFrames[kind]) {
        chosen = -1;
        break;
      }
    }
    if (chosen < 0) break;
    if (optsMin >= static_cast<double>(RecordingTime) / 1000000.0) break;
    if (LimitFileSize != 0) {
      AVIOContext* pb = OutputFiles[0].Context->pb;
      const int64_t written = pb ? lib::avformat.avio_seek(pb, 0, SEEK_CUR) : 0;
      if (written > LimitFileSize) break;
    }

    TInputFile& input = InputFiles[chosen];
    TInputFileState& inputState = InputFileTable[chosen];
    if (lib::avformat.av_read_frame(input.Context.get(), packet.get()) < 0) {
      inputState.EofReached = 1;
      if (Shortest) break;
      continue;
    }
    const int index = packet->stream_index;
    if (PacketDump && index < static_cast<int>(input.Context->nb_streams))
      lib::avformat.av_pkt_dump_log2(nullptr, AV_LOG_INFO, packet.get(), HexDump,
                                     input.Context->streams[index]);

    const int position = inputState.FirstStream + index;
    if (index < inputState.StreamCount && !InputStreamTable[position]->Discard) {
      TInputStreamState& ist = *InputStreamTable[position];
      const AVRational tb = ist.Stream->time_base;
      const int64_t offset = lib::avutil.av_rescale_q(input.TsOffset, MicrosecondBase, tb);
      if (packet->dts != AV_NOPTS_VALUE) packet->dts += offset;
      if (packet->pts != AV_NOPTS_VALUE) packet->pts += offset;
      if (chosen < MaxFiles && index < MaxStreams && InputTsScale[chosen][index] != 0) {
        const double scale = InputTsScale[chosen][index];
        if (packet->pts != AV_NOPTS_VALUE)
          packet->pts = std::llrint(static_cast<double>(packet->pts) * scale);
        if (packet->dts != AV_NOPTS_VALUE)
          packet->dts = std::llrint(static_cast<double>(packet->dts) * scale);
      }
      if (packet->dts != AV_NOPTS_VALUE && ist.NextPts != AV_NOPTS_VALUE && !CopyTs) {
        const int64_t pktDts = lib::avutil.av_rescale_q(packet->dts, tb, MicrosecondBase);
        const int64_t delta = pktDts - ist.NextPts;
        if (std::fabs(static_cast<double>(delta)) > DtsDeltaThreshold * 1000000.0 ||
            pktDts + 1 < ist.Pts) {
          input.TsOffset -= delta;
          if (Verbose > 2)
            Log(1, Format("timestamp discontinuity %lld, new offset= %lld",
                          static_cast<long long>(delta), static_cast<long long>(input.TsOffset)));
          const int64_t shift = lib::avutil.av_rescale_q(delta, MicrosecondBase, tb);
          packet->dts -= shift;
          if (packet->pts != AV_NOPTS_VALUE) packet->pts -= shift;
        }
      }
      if (ProcessPacket(ist, position, packet.get()) < 0) {
        const std::string message =
            Format("Error while decoding stream #%d.%d", ist.FileIndex, ist.Index);
        if (ExitOnError) throw FFMpegException(message);
        if (Verbose >= 0) Log(1, message);
        lib::avcodec.av_packet_unref(packet.get());
        continue;
      }
    }
    lib::avcodec.av_packet_unref(packet.get());

    const int64_t now = lib::avutil.av_gettime();
    if (now - lastReport > ProgressInterval) {
      lastReport = now;
      ReportProgress(false);
    }
  }

  // The end, also after a stop request: the files must come out complete and playable.
  for (size_t p = 0; p < InputStreamTable.size(); ++p)
    if (InputStreamTable[p]->DecodingNeeded)
      ProcessPacket(*InputStreamTable[p], static_cast<int>(p), nullptr);
  for (const auto& ost : OutputStreamTable) FlushBitstreamFilters(OutputFiles[ost->FileIndex], *ost);
  for (TOutputFile& file : OutputFiles) lib::avformat.av_write_trailer(file.Context.get());
  ReportProgress(true);
  for (const auto& owned : OutputStreamTable) {
    if (!owned->EncodingNeeded) continue;
    lib::avutil.av_freep(&owned->Encoder->stats_in);
    {
      std::lock_guard<std::mutex> guard(CodecLock());
      lib::avcodec.avcodec_close(owned->Encoder);
    }
    RemoveOpenEncoder(owned.get());
  }
  for (const auto& owned : InputStreamTable) {
    if (!owned->DecodingNeeded) continue;
    {
      std::lock_guard<std::mutex> guard(CodecLock());
      lib::avcodec.avcodec_close(owned->Decoder);
    }
    RemoveOpenDecoder(owned.get());
  }
  Finished = !StopRequested;
  ReleaseRunTables();
}

}  // namespace engine
