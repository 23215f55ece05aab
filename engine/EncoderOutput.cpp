// From encoder to packet writer: the one place where encoded packets are stamped, counted and
// written, and where the encoders are drained at the end of the input.
#include <cstdarg>
#include <cstring>

#include "MediaPaths.h"

extern "C" {
#include <libavutil/intreadwrite.h>
}

namespace engine {
namespace media {

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
  if (length > 0) std::vsnprintf(text.data(), text.size() + 1, format, args);
  va_end(args);
  return text;
}

AVFrame* ResetEncodeFrame(TOutputStreamState& ost) {
  if (!ost.EncodeFrame) {
    ost.EncodeFrame.reset(lib::avutil.av_frame_alloc());
    if (!ost.EncodeFrame) throw FFMpegException("Out of memory while encoding");
  }
  lib::avutil.av_frame_unref(ost.EncodeFrame.get());
  return ost.EncodeFrame.get();
}

namespace {

// The encoder's own account of the packet (quality, picture type, per-plane error), which today's
// library attaches as side data instead of a coded-frame record.
void KeepQualityStats(TOutputStreamState& ost, const AVPacket* packet) {
  size_t size = 0;
  const uint8_t* data =
      lib::avcodec.av_packet_get_side_data(packet, AV_PKT_DATA_QUALITY_STATS, &size);
  if (!data || size < 5) return;
  ost.LastQuality = static_cast<int32_t>(AV_RL32(data));
  ost.LastPictType = data[4];
  const int errorCount = size >= 6 ? data[5] : 0;
  for (int i = 0; i < errorCount && i < 4; ++i) {
    if (size < 8 + 8 * static_cast<size_t>(i + 1)) break;
    ost.LastErrors[i] = AV_RL64(data + 8 + 8 * i);
  }
}

}  // namespace

int EncodeAndWrite(TCustomFFmpeg& engine, TOutputFile& file, TOutputStreamState& ost, AVFrame* frame) {
  AVCodecContext* encoder = ost.Encoder;
  const bool audio = encoder->codec_type == AVMEDIA_TYPE_AUDIO;
  // Built only when needed: this runs for every frame.
  auto failure = [&] {
    return audio ? "Audio encoding failed for " + file.FileName : std::string("Video encoding failed");
  };
  int result = lib::avcodec.avcodec_send_frame(encoder, frame);
  // A second drain finds the encoder already at its end: nothing more to write.
  if (result == AVERROR_EOF && !frame) return 0;
  if (result < 0) throw FFMpegException(failure());
  if (!ost.EncodePacket) {
    ost.EncodePacket.reset(lib::avcodec.av_packet_alloc());
    if (!ost.EncodePacket) throw FFMpegException("Out of memory while encoding");
  }
  AVPacket* packet = ost.EncodePacket.get();
  int lastSize = 0;
  for (;;) {
    result = lib::avcodec.avcodec_receive_packet(encoder, packet);
    if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) break;
    if (result < 0) throw FFMpegException(failure());
    KeepQualityStats(ost, packet);
    packet->stream_index = ost.Index;
    if (audio) {
      packet->flags |= AV_PKT_FLAG_KEY;
      engine.AudioBytes += packet->size;
    } else {
      engine.VideoBytes += packet->size;
      if (ost.PassLogFile && encoder->stats_out) std::fprintf(ost.PassLogFile, "%s", encoder->stats_out);
    }
    lastSize = packet->size;
    if (ost.Stream) lib::avcodec.av_packet_rescale_ts(packet, encoder->time_base, ost.Stream->time_base);
    engine.WritePacket(file, packet, ost);
    lib::avcodec.av_packet_unref(packet);
  }
  return lastSize;
}

}  // namespace media

void TCustomFFmpeg::FlushEncoder(TOutputFile& file, TOutputStreamState& ost) {
  AVCodecContext* encoder = ost.Encoder;
  if (!ost.EncodingNeeded || !encoder) return;
  const bool audio = encoder->codec_type == AVMEDIA_TYPE_AUDIO;
  if (audio) media::FlushAudio(*this, file, ost);
  media::EncodeAndWrite(*this, file, ost, nullptr);
}

}  // namespace engine
