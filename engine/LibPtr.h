// Owners for library objects: each frees its object with the library's own call.
#pragma once

#include <memory>

#include "Functions.h"

namespace engine {

struct CodecContextFree {
  void operator()(AVCodecContext* p) const { lib::avcodec.avcodec_free_context(&p); }
};
struct InputContextClose {
  void operator()(AVFormatContext* p) const { lib::avformat.avformat_close_input(&p); }
};
struct FormatContextFree {
  void operator()(AVFormatContext* p) const { lib::avformat.avformat_free_context(p); }
};
// An output muxer: closes the file it opened for writing (unless the caller supplied the I/O).
struct OutputContextClose {
  void operator()(AVFormatContext* p) const {
    if (p->pb && !(p->flags & AVFMT_FLAG_CUSTOM_IO)) lib::avformat.avio_closep(&p->pb);
    lib::avformat.avformat_free_context(p);
  }
};
struct FrameFree {
  void operator()(AVFrame* p) const { lib::avutil.av_frame_free(&p); }
};
struct PacketFree {
  void operator()(AVPacket* p) const { lib::avcodec.av_packet_free(&p); }
};
struct SwsFree {
  void operator()(SwsContext* p) const { lib::swscale.sws_freeContext(p); }
};
struct SwrFree {
  void operator()(SwrContext* p) const { lib::swresample.swr_free(&p); }
};
struct BsfFree {
  void operator()(AVBSFContext* p) const { lib::avcodec.av_bsf_free(&p); }
};
struct AudioFifoFree {
  void operator()(AVAudioFifo* p) const { lib::avutil.av_audio_fifo_free(p); }
};
struct FilterGraphFree {
  void operator()(AVFilterGraph* p) const { lib::avfilter.avfilter_graph_free(&p); }
};
struct DictFree {
  void operator()(AVDictionary* p) const { lib::avutil.av_dict_free(&p); }
};
struct AvFree {
  void operator()(void* p) const { lib::avutil.av_free(p); }
};

using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextFree>;
using InputContextPtr = std::unique_ptr<AVFormatContext, InputContextClose>;
using FormatContextPtr = std::unique_ptr<AVFormatContext, FormatContextFree>;
using OutputContextPtr = std::unique_ptr<AVFormatContext, OutputContextClose>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;
using SwsContextPtr = std::unique_ptr<SwsContext, SwsFree>;
using SwrContextPtr = std::unique_ptr<SwrContext, SwrFree>;
using BsfContextPtr = std::unique_ptr<AVBSFContext, BsfFree>;
using AudioFifoPtr = std::unique_ptr<AVAudioFifo, AudioFifoFree>;
using FilterGraphPtr = std::unique_ptr<AVFilterGraph, FilterGraphFree>;
using DictPtr = std::unique_ptr<AVDictionary, DictFree>;
template <typename T>
using AvMemPtr = std::unique_ptr<T, AvFree>;

}  // namespace engine
