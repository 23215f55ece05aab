#include "TestFiles.h"

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

void AddInput(engine::TCustomFFmpeg& engine, const std::string& path) {
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0)
    throw std::runtime_error("cannot open " + path);
  engine::TInputFile input;
  input.Context.reset(raw);
  if (avformat_find_stream_info(raw, nullptr) < 0) throw std::runtime_error("no stream info " + path);
  for (unsigned s = 0; s < raw->nb_streams; ++s) {
    const AVCodec* codec = avcodec_find_decoder(raw->streams[s]->codecpar->codec_id);
    engine::CodecContextPtr decoder(avcodec_alloc_context3(codec));
    avcodec_parameters_to_context(decoder.get(), raw->streams[s]->codecpar);
    decoder->pkt_timebase = raw->streams[s]->time_base;
    input.Decoders.push_back(std::move(decoder));
  }
  engine.InputFiles.push_back(std::move(input));
}

void AddAviOutput(engine::TCustomFFmpeg& engine, const std::string& path, const TAviOutput& spec) {
  AVFormatContext* raw = nullptr;
  if (avformat_alloc_output_context2(&raw, nullptr, "avi", path.c_str()) < 0)
    throw std::runtime_error("no avi muxer");
  engine::TOutputFile file;
  file.Context.reset(raw);
  file.FileName = path;

  int width = spec.Width, height = spec.Height;
  AVRational rate = spec.FrameRate;
  if (!engine.InputFiles.empty()) {
    const AVFormatContext* in = engine.InputFiles[0].Context.get();
    for (unsigned s = 0; s < in->nb_streams; ++s) {
      const AVStream* st = in->streams[s];
      if (st->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
      if (!width) width = st->codecpar->width;
      if (!height) height = st->codecpar->height;
      if (!rate.num) rate = st->avg_frame_rate;
      break;
    }
  }
  if (!rate.num) rate = AVRational{25, 1};

  if (spec.Video) {
    AVStream* st = avformat_new_stream(raw, nullptr);
    const AVCodec* codec = spec.CopyVideo ? nullptr : avcodec_find_encoder_by_name("msmpeg4v2");
    engine::CodecContextPtr enc(avcodec_alloc_context3(codec));
    enc->codec_type = AVMEDIA_TYPE_VIDEO;
    st->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    if (codec) {
      enc->width = width;
      enc->height = height;
      enc->pix_fmt = AV_PIX_FMT_YUV420P;
      enc->bit_rate = 1200000;
      enc->time_base = av_inv_q(rate);
      enc->framerate = rate;
    }
    file.Encoders.push_back(std::move(enc));
  }
  if (spec.Audio) {
    AVStream* st = avformat_new_stream(raw, nullptr);
    const AVCodec* codec = spec.CopyAudio ? nullptr : avcodec_find_encoder_by_name("pcm_s16le");
    engine::CodecContextPtr enc(avcodec_alloc_context3(codec));
    enc->codec_type = AVMEDIA_TYPE_AUDIO;
    st->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
    if (codec) {
      enc->sample_fmt = AV_SAMPLE_FMT_S16;
      enc->sample_rate = 44100;
      av_channel_layout_default(&enc->ch_layout, 2);
      enc->bit_rate = 128000;
      enc->time_base = AVRational{1, 44100};
    }
    file.Encoders.push_back(std::move(enc));
  }
  if (avio_open(&raw->pb, path.c_str(), AVIO_FLAG_WRITE) < 0)
    throw std::runtime_error("cannot create " + path);
  file.CreatedFile = true;
  engine.OutputFiles.push_back(std::move(file));
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
