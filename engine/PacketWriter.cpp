// Every packet bound for an output file: the stream's bitstream filters, then the interleaver.
#include <string>

#include "FFmpeg.h"
#include "TranscodeText.h"

// Defined by the probe.
std::string OpenErrorText(const std::string& prefix, int code);

namespace engine {

namespace {

void Deliver(TCustomFFmpeg& engine, TOutputFile& file, AVPacket* packet, TOutputStreamState& ost,
             size_t stage);

// The filter names the codec it works for; a stream copy has no encoder, hence "copy".
void FilterFailed(TCustomFFmpeg& engine, AVBSFContext* filter, const AVPacket* packet,
                  const TOutputStreamState& ost, int code) {
  if (!engine.LogCallback && !engine.ExitOnError) return;
  const char* codec = ost.Encoder && ost.Encoder->codec ? ost.Encoder->codec->name : "copy";
  const std::string text = OpenErrorText(
      Format("%s failed for stream %d, codec %s", filter->filter->name, packet->stream_index, codec),
      code);
  if (engine.ExitOnError) throw FFMpegException(text);
  engine.Log(0, text);
}

// Passes everything `filter` has ready on to the next stage.
void Drain(TCustomFFmpeg& engine, TOutputFile& file, TOutputStreamState& ost, size_t stage,
           AVPacket* failedInput) {
  AVBSFContext* filter = ost.BitstreamFilters[stage].get();
  PacketPtr out(lib::avcodec.av_packet_alloc());
  if (!out) throw FFMpegException("av_packet_alloc fail");
  for (;;) {
    const int r = lib::avcodec.av_bsf_receive_packet(filter, out.get());
    if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
    if (r < 0) {
      // The failing filter has consumed its input; the unfiltered copy goes on instead.
      FilterFailed(engine, filter, failedInput ? failedInput : out.get(), ost, r);
      if (failedInput) Deliver(engine, file, failedInput, ost, stage + 1);
      return;
    }
    Deliver(engine, file, out.get(), ost, stage + 1);
    lib::avcodec.av_packet_unref(out.get());
  }
}

void WriteToFile(TOutputFile& file, AVPacket* packet, TOutputStreamState& ost) {
  const int64_t start = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
  if (start != AV_NOPTS_VALUE) {
    const int64_t end = start + (packet->duration > 0 ? packet->duration : 0);
    if (ost.LastPacketEnd == AV_NOPTS_VALUE || end > ost.LastPacketEnd) ost.LastPacketEnd = end;
  }
  const int r = lib::avformat.av_interleaved_write_frame(file.Context.get(), packet);
  if (r < 0) throw FFMpegException(OpenErrorText("av_interleaved_write_frame()", r));
}

void Deliver(TCustomFFmpeg& engine, TOutputFile& file, AVPacket* packet, TOutputStreamState& ost,
             size_t stage) {
  if (stage >= ost.BitstreamFilters.size()) {
    WriteToFile(file, packet, ost);
    return;
  }
  AVBSFContext* filter = ost.BitstreamFilters[stage].get();
  // Kept so that the packet still reaches the file when the filter fails on it.
  PacketPtr original(lib::avcodec.av_packet_clone(packet));
  if (!original) throw FFMpegException("av_packet_clone fail");
  const int r = lib::avcodec.av_bsf_send_packet(filter, packet);
  if (r < 0) {
    FilterFailed(engine, filter, original.get(), ost, r);
    Deliver(engine, file, original.get(), ost, stage + 1);
    return;
  }
  Drain(engine, file, ost, stage, original.get());
}

}  // namespace

void TCustomFFmpeg::WritePacket(TOutputFile& file, AVPacket* packet, TOutputStreamState& ost) {
  Deliver(*this, file, packet, ost, 0);
}

void TCustomFFmpeg::FlushBitstreamFilters(TOutputFile& file, TOutputStreamState& ost) {
  for (size_t stage = 0; stage < ost.BitstreamFilters.size(); ++stage) {
    if (lib::avcodec.av_bsf_send_packet(ost.BitstreamFilters[stage].get(), nullptr) < 0) continue;
    Drain(*this, file, ost, stage, nullptr);
  }
}

}  // namespace engine
