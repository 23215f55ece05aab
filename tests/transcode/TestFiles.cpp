#include "TestFiles.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <stdexcept>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include "LibrarySet.h"

namespace transcode_test {

bool BindLibraries() {
  static const bool bound = libbind::BindLibrarySet(QV_LIB_DIR, true);
  av_log_set_level(AV_LOG_ERROR);
  return bound;
}

std::string Fixture(std::string_view name) { return std::string(QV_FIXTURE_DIR) + "/" + std::string(name); }

std::string OutputPath(const std::string& name) {
  std::string path = std::string(QV_TEST_BUILD_DIR) + "/" + name;
  std::remove(path.c_str());
  return path;
}

TDecoded DecodeFile(const std::string& path) {
  TDecoded result;
  AVFormatContext* context = nullptr;
  if (avformat_open_input(&context, path.c_str(), nullptr, nullptr) < 0) return result;
  if (avformat_find_stream_info(context, nullptr) < 0) {
    avformat_close_input(&context);
    return result;
  }
  result.Opened = true;
  result.Streams = static_cast<int>(context->nb_streams);
  int64_t earliest = INT64_MAX;
  for (unsigned s = 0; s < context->nb_streams; ++s) {
    const AVStream* st = context->streams[s];
    if (st->start_time != AV_NOPTS_VALUE)
      earliest = std::min(earliest, av_rescale_q(st->start_time, st->time_base, AV_TIME_BASE_Q));
  }
  for (unsigned s = 0; s < context->nb_streams; ++s) {
    const AVStream* st = context->streams[s];
    if (st->start_time == AV_NOPTS_VALUE) continue;
    const double start =
        static_cast<double>(av_rescale_q(st->start_time, st->time_base, AV_TIME_BASE_Q) - earliest) / 1e6;
    if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) result.VideoStart = start;
    if (st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) result.AudioStart = start;
  }
  std::vector<AVCodecContext*> decoders(context->nb_streams, nullptr);
  for (unsigned s = 0; s < context->nb_streams; ++s) {
    const AVCodecParameters* par = context->streams[s]->codecpar;
    const AVCodec* codec = avcodec_find_decoder(par->codec_id);
    if (!codec) continue;
    decoders[s] = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(decoders[s], par);
    avcodec_open2(decoders[s], codec, nullptr);
    if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
      result.VideoCodec = par->codec_id;
      result.Width = par->width;
      result.Height = par->height;
      result.FrameRate = context->streams[s]->avg_frame_rate.num ? context->streams[s]->avg_frame_rate
                                                                  : av_inv_q(context->streams[s]->time_base);
    } else if (par->codec_type == AVMEDIA_TYPE_AUDIO) {
      result.AudioCodec = par->codec_id;
      result.SampleRate = par->sample_rate;
      result.Channels = par->ch_layout.nb_channels;
    }
  }
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  auto drain = [&](unsigned s) {
    while (avcodec_receive_frame(decoders[s], frame) == 0) {
      if (decoders[s]->codec_type == AVMEDIA_TYPE_VIDEO)
        ++result.VideoFrames;
      else
        result.AudioSamples += frame->nb_samples;
      av_frame_unref(frame);
    }
  };
  while (av_read_frame(context, packet) >= 0) {
    const unsigned s = static_cast<unsigned>(packet->stream_index);
    if (s < decoders.size() && decoders[s]) {
      if (avcodec_send_packet(decoders[s], packet) < 0) ++result.DecodeErrors;
      drain(s);
    }
    av_packet_unref(packet);
  }
  for (unsigned s = 0; s < decoders.size(); ++s)
    if (decoders[s]) {
      avcodec_send_packet(decoders[s], nullptr);
      drain(s);
      avcodec_free_context(&decoders[s]);
    }
  av_frame_free(&frame);
  av_packet_free(&packet);
  avformat_close_input(&context);
  if (result.FrameRate.num > 0) result.VideoSeconds = result.VideoFrames / av_q2d(result.FrameRate);
  if (result.SampleRate > 0) result.AudioSeconds = static_cast<double>(result.AudioSamples) / result.SampleRate;
  return result;
}

}  // namespace transcode_test
