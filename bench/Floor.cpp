#include "Floor.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

namespace bench {
namespace {

struct Fail : std::runtime_error {
  using std::runtime_error::runtime_error;
};

void Check(int r, const char* what) {
  if (r < 0) {
    char text[128];
    av_strerror(r, text, sizeof text);
    throw Fail(std::string(what) + ": " + text);
  }
}

struct CodecFree { void operator()(AVCodecContext* p) const { avcodec_free_context(&p); } };
struct InFree { void operator()(AVFormatContext* p) const { avformat_close_input(&p); } };
struct OutFree {
  void operator()(AVFormatContext* p) const {
    if (p->pb) avio_closep(&p->pb);
    avformat_free_context(p);
  }
};
struct FrameFree { void operator()(AVFrame* p) const { av_frame_free(&p); } };
struct PacketFree { void operator()(AVPacket* p) const { av_packet_free(&p); } };
struct SwsFree { void operator()(SwsContext* p) const { sws_freeContext(p); } };
struct SwrFree { void operator()(SwrContext* p) const { swr_free(&p); } };

using Codec = std::unique_ptr<AVCodecContext, CodecFree>;
using Frame = std::unique_ptr<AVFrame, FrameFree>;
using Packet = std::unique_ptr<AVPacket, PacketFree>;

struct Lane {
  int inIndex = -1;
  AVStream* out = nullptr;
  Codec dec, enc;
};

class Converter {
 public:
  Converter(const std::string& source, const std::string& target) {
    AVFormatContext* in = nullptr;
    Check(avformat_open_input(&in, source.c_str(), nullptr, nullptr), "open input");
    in_.reset(in);
    Check(avformat_find_stream_info(in, nullptr), "stream info");
    AVFormatContext* out = nullptr;
    Check(avformat_alloc_output_context2(&out, nullptr, "avi", target.c_str()), "output");
    out_.reset(out);
    video_.inIndex = av_find_best_stream(in, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    audio_.inIndex = av_find_best_stream(in, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (video_.inIndex >= 0) OpenVideo();
    if (audio_.inIndex >= 0) OpenAudio();
    Check(avio_open(&out->pb, target.c_str(), AVIO_FLAG_WRITE), "open target");
    Check(avformat_write_header(out, nullptr), "header");
  }

  void Run() {
    Packet packet(av_packet_alloc());
    while (av_read_frame(in_.get(), packet.get()) >= 0) {
      Lane* lane = packet->stream_index == video_.inIndex   ? &video_
                   : packet->stream_index == audio_.inIndex ? &audio_
                                                            : nullptr;
      if (lane) Decode(*lane, packet.get());
      av_packet_unref(packet.get());
    }
    if (video_.dec) Decode(video_, nullptr);
    if (audio_.dec) Decode(audio_, nullptr);
    if (video_.enc) Encode(video_, nullptr);
    if (audio_.enc) Encode(audio_, nullptr);
    Check(av_write_trailer(out_.get()), "trailer");
  }

 private:
  Codec OpenDecoder(int index) {
    AVStream* st = in_->streams[index];
    const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
    if (!codec) throw Fail("no decoder");
    Codec dec(avcodec_alloc_context3(codec));
    Check(avcodec_parameters_to_context(dec.get(), st->codecpar), "decoder parameters");
    dec->pkt_timebase = st->time_base;
    Check(avcodec_open2(dec.get(), codec, nullptr), "open decoder");
    return dec;
  }

  void OpenEncoder(Lane& lane, const AVCodec* codec) {
    if (out_->oformat->flags & AVFMT_GLOBALHEADER) lane.enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    Check(avcodec_open2(lane.enc.get(), codec, nullptr), "open encoder");
    lane.out = avformat_new_stream(out_.get(), nullptr);
    Check(avcodec_parameters_from_context(lane.out->codecpar, lane.enc.get()), "stream parameters");
    lane.out->time_base = lane.enc->time_base;
  }

  void OpenVideo() {
    video_.dec = OpenDecoder(video_.inIndex);
    const AVCodec* codec = avcodec_find_encoder_by_name("msmpeg4v2");
    video_.enc.reset(avcodec_alloc_context3(codec));
    AVRational rate = av_guess_frame_rate(in_.get(), in_->streams[video_.inIndex], nullptr);
    video_.enc->width = video_.dec->width;
    video_.enc->height = video_.dec->height;
    video_.enc->pix_fmt = AV_PIX_FMT_YUV420P;
    video_.enc->time_base = av_inv_q(rate);
    video_.enc->bit_rate = 1200000;
    video_.enc->sample_aspect_ratio = video_.dec->sample_aspect_ratio;
    OpenEncoder(video_, codec);
    scaled_.reset(av_frame_alloc());
    scaled_->format = AV_PIX_FMT_YUV420P;
    scaled_->width = video_.enc->width;
    scaled_->height = video_.enc->height;
    Check(av_frame_get_buffer(scaled_.get(), 0), "picture");
    passed_.reset(av_frame_alloc());
  }

  void OpenAudio() {
    audio_.dec = OpenDecoder(audio_.inIndex);
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PCM_S16LE);
    audio_.enc.reset(avcodec_alloc_context3(codec));
    audio_.enc->sample_rate = 44100;
    audio_.enc->sample_fmt = AV_SAMPLE_FMT_S16;
    av_channel_layout_default(&audio_.enc->ch_layout, 2);
    audio_.enc->time_base = AVRational{1, 44100};
    audio_.enc->bit_rate = 128000;
    OpenEncoder(audio_, codec);
    // The engine's chain: the decoded block as interleaved 16-bit samples at the decoder's rate
    // and channel count first, then (only when rate or channels differ) a 16-bit resampler
    // that spreads mono onto both speakers at full level.
    const int channels = audio_.dec->ch_layout.nb_channels;
    const int rate = audio_.dec->sample_rate;
    AVChannelLayout layout{};
    av_channel_layout_default(&layout, channels);
    if (audio_.dec->sample_fmt != AV_SAMPLE_FMT_S16) {
      SwrContext* swr = nullptr;
      Check(swr_alloc_set_opts2(&swr, &layout, AV_SAMPLE_FMT_S16, rate, &layout,
                                audio_.dec->sample_fmt, rate, 0, nullptr),
            "converter");
      toS16_.reset(swr);
      Check(swr_init(swr), "converter init");
    }
    if (channels != 2 || rate != 44100) {
      SwrContext* swr = nullptr;
      Check(swr_alloc_set_opts2(&swr, &audio_.enc->ch_layout, AV_SAMPLE_FMT_S16, 44100, &layout,
                                AV_SAMPLE_FMT_S16, rate, 0, nullptr),
            "resampler");
      swr_.reset(swr);
      if (channels == 1) {
        const double duplicate[2] = {1.0, 1.0};
        Check(swr_set_matrix(swr, duplicate, 1), "resampler matrix");
      }
      Check(swr_init(swr), "resampler init");
    }
    av_channel_layout_uninit(&layout);
  }

  void Decode(Lane& lane, AVPacket* packet) {
    Check(avcodec_send_packet(lane.dec.get(), packet), "decode");
    Frame frame(av_frame_alloc());
    while (avcodec_receive_frame(lane.dec.get(), frame.get()) >= 0) {
      if (&lane == &video_)
        Video(frame.get());
      else
        Audio(frame.get());
      av_frame_unref(frame.get());
    }
  }

  void Video(AVFrame* frame) {
    // A picture already in the encoder's size and format goes to the encoder as it is.
    if (frame->format == AV_PIX_FMT_YUV420P && frame->width == scaled_->width &&
        frame->height == scaled_->height) {
      av_frame_unref(passed_.get());
      Check(av_frame_ref(passed_.get(), frame), "picture");
      // Like the engine: the encoder picks picture types and quality itself.
      passed_->pict_type = AV_PICTURE_TYPE_NONE;
      passed_->quality = video_.enc->global_quality;
      passed_->pts = videoPts_++;
      Encode(video_, passed_.get());
      return;
    }
    if (!sws_ || frame->format != lastFormat_) {
      sws_.reset(sws_getContext(frame->width, frame->height, AVPixelFormat(frame->format),
                                scaled_->width, scaled_->height, AV_PIX_FMT_YUV420P, SWS_BICUBIC,
                                nullptr, nullptr, nullptr));
      lastFormat_ = frame->format;
    }
    Check(av_frame_make_writable(scaled_.get()), "picture");
    sws_scale(sws_.get(), frame->data, frame->linesize, 0, frame->height, scaled_->data,
              scaled_->linesize);
    scaled_->pts = videoPts_++;
    Encode(video_, scaled_.get());
  }

  void Audio(AVFrame* frame) {
    const int channels = frame->ch_layout.nb_channels;
    const size_t bytes = static_cast<size_t>(frame->nb_samples) * channels * 2;
    if (interleaved_.size() < bytes) interleaved_.resize(bytes);
    if (toS16_) {
      uint8_t* block[1] = {interleaved_.data()};
      Check(swr_convert(toS16_.get(), block, frame->nb_samples,
                        const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples),
            "convert");
    } else {
      memcpy(interleaved_.data(), frame->extended_data[0], bytes);
    }
    const uint8_t* in = interleaved_.data();
    Frame out(av_frame_alloc());
    out->format = AV_SAMPLE_FMT_S16;
    out->sample_rate = 44100;
    av_channel_layout_default(&out->ch_layout, 2);
    out->nb_samples = swr_ ? swr_get_out_samples(swr_.get(), frame->nb_samples) : frame->nb_samples;
    Check(av_frame_get_buffer(out.get(), 0), "samples");
    int n = frame->nb_samples;
    if (swr_) {
      n = swr_convert(swr_.get(), out->data, out->nb_samples, &in, frame->nb_samples);
      Check(n, "resample");
    } else {
      memcpy(out->data[0], in, bytes);
    }
    if (n == 0) return;
    out->nb_samples = n;
    out->pts = audioPts_;
    audioPts_ += n;
    Encode(audio_, out.get());
  }

  void Encode(Lane& lane, AVFrame* frame) {
    Check(avcodec_send_frame(lane.enc.get(), frame), "encode");
    Packet packet(av_packet_alloc());
    while (avcodec_receive_packet(lane.enc.get(), packet.get()) >= 0) {
      av_packet_rescale_ts(packet.get(), lane.enc->time_base, lane.out->time_base);
      packet->stream_index = lane.out->index;
      Check(av_interleaved_write_frame(out_.get(), packet.get()), "write");
    }
  }

  std::unique_ptr<AVFormatContext, InFree> in_;
  std::unique_ptr<AVFormatContext, OutFree> out_;
  Lane video_, audio_;
  Frame scaled_, passed_;
  std::unique_ptr<SwsContext, SwsFree> sws_;
  std::unique_ptr<SwrContext, SwrFree> toS16_, swr_;
  std::vector<uint8_t> interleaved_;
  int lastFormat_ = -1;
  int64_t videoPts_ = 0, audioPts_ = 0;
};

}  // namespace

std::string ConvertFloor(const std::string& source, const std::string& target) {
  av_log_set_level(AV_LOG_QUIET);
  try {
    Converter converter(source, target);
    converter.Run();
    return {};
  } catch (const Fail& e) {
    return source + ": " + e.what();
  }
}

}  // namespace bench
