// Audio output: one decoded block (interleaved signed 16-bit samples at the decoder's rate and
// channel count) becomes encoded packets of one output stream.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

#include "MediaPaths.h"

namespace engine {

namespace {

// The padded block never grows past this: a large gap at the start is closed over several blocks.
constexpr int MaxPaddedBlock = 131072;
// The block is always 16-bit: the loop converts whatever the decoder gives into it.
constexpr int InputSampleSize = 2;

struct TLayout {
  AVChannelLayout Value{};
  explicit TLayout(int channels) { lib::avutil.av_channel_layout_default(&Value, channels); }
  ~TLayout() { lib::avutil.av_channel_layout_uninit(&Value); }
  TLayout(const TLayout&) = delete;
  TLayout& operator=(const TLayout&) = delete;
};

SwrContextPtr MakeSwr(int outChannels, AVSampleFormat outFormat, int outRate, int inChannels,
                      AVSampleFormat inFormat, int inRate, bool compensable) {
  TLayout outLayout(outChannels), inLayout(inChannels);
  SwrContext* raw = nullptr;
  if (lib::swresample.swr_alloc_set_opts2(&raw, &outLayout.Value, outFormat, outRate, &inLayout.Value,
                                          inFormat, inRate, 0, nullptr) < 0)
    return nullptr;
  SwrContextPtr context(raw);
  // Drift compensation needs the resampling stage even when the rates are equal; asking for it
  // up front avoids a re-initialisation (and lost samples) at the first compensation.
  if (compensable) lib::avutil.av_opt_set_int(raw, "flags", SWR_FLAG_RESAMPLE, 0);
  // Mono spread onto two speakers keeps its level (the library's default lowers it by 3 dB).
  if (inChannels == 1 && outChannels == 2) {
    const double duplicate[2] = {1.0, 1.0};
    if (lib::swresample.swr_set_matrix(raw, duplicate, 1) < 0) return nullptr;
  }
  if (lib::swresample.swr_init(raw) < 0) return nullptr;
  return context;
}

// Pointers to the planes of `samples` samples per channel laid out contiguously in `base`.
void FillPlanes(uint8_t** planes, uint8_t* base, int samples, int channels, AVSampleFormat format) {
  const int bytes = lib::avutil.av_get_bytes_per_sample(format);
  if (lib::avutil.av_sample_fmt_is_planar(format)) {
    for (int c = 0; c < channels; ++c) planes[c] = base + static_cast<size_t>(c) * samples * bytes;
  } else {
    planes[0] = base;
  }
}

AVFrame* NewAudioFrame(TOutputStreamState& ost, const AVCodecContext* encoder, int samples,
                       const std::string& fileName) {
  AVFrame* frame = media::ResetEncodeFrame(ost);
  frame->format = encoder->sample_fmt;
  frame->sample_rate = encoder->sample_rate;
  frame->nb_samples = samples;
  if (lib::avutil.av_channel_layout_copy(&frame->ch_layout, &encoder->ch_layout) < 0 ||
      lib::avutil.av_frame_get_buffer(frame, 0) < 0)
    throw FFMpegException("Out of memory while encoding audio for " + fileName);
  return frame;
}

// From 16-bit interleaved samples at the encoder's rate and channel count: the sample-format
// conversion, then whole frames through the FIFO (framed encoders) or the lot at once (PCM).
void EncodeSamples(TCustomFFmpeg& engine, TOutputFile& file, TOutputStreamState& ost, const uint8_t* current,
                   int samples) {
  AVCodecContext* encoder = ost.Encoder;
  const AVSampleFormat encFormat = encoder->sample_fmt;
  const int encChannels = encoder->ch_layout.nb_channels;
  const int outSampleSize = lib::avutil.av_get_bytes_per_sample(encFormat);
  const bool framed = encoder->frame_size > 1;
  if (samples <= 0) return;
  // In the encoder's sample format, planar or not.
  uint8_t* planes[AV_NUM_DATA_POINTERS] = {};
  if (encFormat != AV_SAMPLE_FMT_S16) {
    if (!ost.SampleConverter) return;
    const size_t bytes = static_cast<size_t>(samples) * outSampleSize * encChannels;
    if (ost.ConvertBuffer.size() < bytes) ost.ConvertBuffer.resize(bytes);
    FillPlanes(planes, ost.ConvertBuffer.data(), samples, encChannels, encFormat);
    const uint8_t* in = current;
    const int converted =
        lib::swresample.swr_convert(ost.SampleConverter.get(), planes, samples, &in, samples);
    if (converted < 0) {
      if (engine.ExitOnError) throw FFMpegException("av_audio_convert() failed");
      engine.Log(0, "av_audio_convert() failed");
      return;
    }
    samples = converted;
  } else {
    planes[0] = const_cast<uint8_t*>(current);
  }
  if (samples <= 0) return;

  if (framed) {
    if (!ost.SampleFifo) {
      ost.SampleFifo.reset(lib::avutil.av_audio_fifo_alloc(encFormat, encChannels, encoder->frame_size));
      if (!ost.SampleFifo) throw FFMpegException("Out of memory while encoding audio for " + file.FileName);
    }
    AVAudioFifo* fifo = ost.SampleFifo.get();
    if (lib::avutil.av_audio_fifo_write(fifo, reinterpret_cast<void**>(planes), samples) < samples)
      throw FFMpegException("av_fifo_realloc2() failed");
    const int frameSize = encoder->frame_size;
    while (lib::avutil.av_audio_fifo_size(fifo) >= frameSize) {
      AVFrame* frame = NewAudioFrame(ost, encoder, frameSize, file.FileName);
      lib::avutil.av_audio_fifo_read(fifo, reinterpret_cast<void**>(frame->extended_data), frameSize);
      frame->pts = ost.NextOutputPts;
      ost.NextOutputPts += frameSize;
      media::EncodeAndWrite(engine, file, ost, frame);
    }
  } else {
    AVFrame* frame = NewAudioFrame(ost, encoder, samples, file.FileName);
    lib::avutil.av_samples_copy(frame->extended_data, planes, 0, 0, samples, encChannels, encFormat);
    frame->pts = ost.NextOutputPts;
    ost.NextOutputPts += samples;
    media::EncodeAndWrite(engine, file, ost, frame);
  }
}

}  // namespace

void TCustomFFmpeg::EncodeAudioBlock(TOutputFile& file, TOutputStreamState& ost,
                                     TInputStreamState& ist, const uint8_t* buffer, int size) {
  AVCodecContext* encoder = ost.Encoder;
  const AVCodecContext* decoder = ist.Decoder;
  if (!encoder || !decoder || !buffer || size <= 0) return;
  const int encChannels = encoder->ch_layout.nb_channels;
  const int decChannels = decoder->ch_layout.nb_channels;
  const int encRate = encoder->sample_rate, decRate = decoder->sample_rate;
  const AVSampleFormat encFormat = encoder->sample_fmt;
  const AVSampleFormat decFormat = AV_SAMPLE_FMT_S16;
  if (encChannels <= 0 || decChannels <= 0 || encRate <= 0 || decRate <= 0 || encFormat < 0)
    throw FFMpegException(media::Format(
        "Audio parameters of output stream #%d.%d of %s are not usable", ost.FileIndex, ost.Index,
        file.FileName.c_str()));

  // Resampling decision: the setup decides from the rates and the sync method; channel counts
  // (and anything the setup could not know) are settled here.
  if (decChannels != encChannels || decRate != encRate || AudioSyncMethod > 1) ost.AudioResample = 1;
  if (ost.AudioResample && !ost.Resampler) {
    ost.Resampler = MakeSwr(encChannels, decFormat, encRate, decChannels, decFormat, decRate,
                            AudioSyncMethod > 1);
    if (!ost.Resampler)
      throw FFMpegException(media::Format("Can not resample %d channels @ %d Hz to %d channels @ %d Hz",
                                          decChannels, decRate, encChannels, encRate));
  }

  // Sample-format converter, rebuilt whenever the pair of formats changes.
  if (encFormat != decFormat) {
    const int pair = encFormat + AV_SAMPLE_FMT_NB * decFormat;
    if (pair != ost.ConvertPair || !ost.SampleConverter) {
      ost.SampleConverter.reset();
      ost.SampleConverter =
          MakeSwr(encChannels, encFormat, encRate, encChannels, decFormat, encRate, false);
      if (!ost.SampleConverter) {
        const char* from = lib::avutil.av_get_sample_fmt_name(decFormat);
        const char* to = lib::avutil.av_get_sample_fmt_name(encFormat);
        throw FFMpegException(media::Format("Cannot convert %s sample format to %s sample format",
                                            from ? from : "?", to ? to : "?"));
      }
      ost.ConvertPair = pair;
    }
  }

  const TInputStreamState& clock = ost.SyncInput ? *ost.SyncInput : ist;
  // Input clock in encoder samples.
  const double clockSamples = static_cast<double>(clock.Pts - StartTime) * encRate / 1000000.0;
  // Samples per channel waiting for a whole encoder frame.
  const int waiting = ost.SampleFifo ? lib::avutil.av_audio_fifo_size(ost.SampleFifo.get()) : 0;

  if (AudioSyncMethod != 0) {
    const double delta = clockSamples - static_cast<double>(ost.NextOutputPts) - waiting;
    const double idelta = delta * decRate / encRate;
    // Whole input sample frames; clamped so that absurd clocks cannot overflow the conversion.
    const int64_t frames = static_cast<int64_t>(std::clamp(idelta, -1e9, 1e9));
    const int frameBytes = InputSampleSize * decChannels;
    int64_t byteDelta = frames * frameBytes;
    if (std::fabs(delta) > 50) {
      if (ist.AtStart || std::fabs(delta) > AudioDriftThreshold * encRate) {
        if (byteDelta < 0) {
          byteDelta = std::max<int64_t>(byteDelta, -size);
          buffer += -byteDelta;
          size += static_cast<int>(byteDelta);
          if (Verbose > 2)
            Log(1, media::Format("discarding %d audio samples", static_cast<int>(std::clamp(-delta, -1e9, 1e9))));
          if (size <= 0) return;
          ist.AtStart = 0;
        } else {
          if (size + byteDelta <= MaxPaddedBlock) {
            ist.AtStart = 0;
          } else {
            // Capped: never negative (a block already over the cap gets no silence) and kept on
            // whole sample frames so channels do not swap.
            byteDelta = std::max(0, MaxPaddedBlock - size);
            byteDelta -= byteDelta % frameBytes;
          }
          if (byteDelta > 0) {
            const size_t padded = static_cast<size_t>(size) + static_cast<size_t>(byteDelta);
            ost.PaddingBuffer.resize(padded);
            std::memset(ost.PaddingBuffer.data(), 0, static_cast<size_t>(byteDelta));
            std::memcpy(ost.PaddingBuffer.data() + byteDelta, buffer, static_cast<size_t>(size));
            buffer = ost.PaddingBuffer.data();
            size = static_cast<int>(padded);
          }
          if (Verbose > 2)
            Log(1, media::Format("adding %d audio samples of silence", static_cast<int>(std::clamp(delta, -1e9, 1e9))));
        }
      } else if (AudioSyncMethod > 1) {
        const int compensation = static_cast<int>(
            std::clamp(std::trunc(delta), -static_cast<double>(AudioSyncMethod),
                       static_cast<double>(AudioSyncMethod)));
        if (Verbose > 2)
          Log(1, media::Format("compensating audio timestamp drift:%.2f compensation:%d in:%d", delta,
                               compensation, encRate));
        if (lib::swresample.swr_set_compensation(ost.Resampler.get(), compensation, encRate) < 0)
          Log(0, media::Format("Audio drift compensation refused for output stream #%d.%d of %s",
                               ost.FileIndex, ost.Index, file.FileName.c_str()));
      }
    }
  } else {
    // Without sync the input clock sets the packet times, but a late first block still gets its
    // lead-in as silence: containers that ignore audio packet times (AVI) would otherwise start
    // the sound early, out of step with the picture for the whole file.
    bool padded = false;
    if (ist.AtStart) {
      const double delta = clockSamples - static_cast<double>(ost.NextOutputPts) - waiting;
      const int frameBytes = InputSampleSize * decChannels;
      int64_t byteDelta =
          static_cast<int64_t>(std::clamp(delta * decRate / encRate, 0.0, 1e9)) * frameBytes;
      if (delta > 50 && byteDelta > 0) {
        // Kept at start while capped, so the next blocks bring the rest of the lead-in.
        if (size + byteDelta <= MaxPaddedBlock) ist.AtStart = 0;
        byteDelta = std::min<int64_t>(byteDelta, std::max(0, MaxPaddedBlock - size));
        byteDelta -= byteDelta % frameBytes;
        const size_t total = static_cast<size_t>(size) + static_cast<size_t>(byteDelta);
        ost.PaddingBuffer.resize(total);
        std::memset(ost.PaddingBuffer.data(), 0, static_cast<size_t>(byteDelta));
        std::memcpy(ost.PaddingBuffer.data() + byteDelta, buffer, static_cast<size_t>(size));
        buffer = ost.PaddingBuffer.data();
        size = static_cast<int>(total);
        padded = true;
      } else {
        ist.AtStart = 0;
      }
    }
    if (!padded) ost.NextOutputPts = static_cast<int64_t>(std::nearbyint(clockSamples)) - waiting;
  }

  // The block as 16-bit interleaved samples at the encoder's rate and channel count.
  const uint8_t* current = buffer;
  int samples = size / (decChannels * InputSampleSize);
  if (ost.AudioResample) {
    int capacity = lib::swresample.swr_get_out_samples(ost.Resampler.get(), samples);
    if (capacity < 0) throw FFMpegException("Audio resampling failed for " + file.FileName);
    capacity += 16;
    ost.ResampleBuffer.resize(static_cast<size_t>(capacity) * encChannels * InputSampleSize);
    uint8_t* out = ost.ResampleBuffer.data();
    const uint8_t* in = buffer;
    const int produced = lib::swresample.swr_convert(ost.Resampler.get(), &out, capacity, &in, samples);
    if (produced < 0) throw FFMpegException("Audio resampling failed for " + file.FileName);
    current = ost.ResampleBuffer.data();
    samples = produced;
  }
  if (samples <= 0) return;

  EncodeSamples(*this, file, ost, current, samples);
}

namespace media {

void FlushAudio(TCustomFFmpeg& engine, TOutputFile& file, TOutputStreamState& ost) {
  AVCodecContext* encoder = ost.Encoder;
  if (ost.Resampler) {
    // The resampler's filter still holds the last few samples of the input.
    const int channels = encoder->ch_layout.nb_channels;
    for (;;) {
      const int capacity = 4096;
      ost.ResampleBuffer.resize(static_cast<size_t>(capacity) * channels * InputSampleSize);
      uint8_t* out = ost.ResampleBuffer.data();
      const int produced = lib::swresample.swr_convert(ost.Resampler.get(), &out, capacity, nullptr, 0);
      if (produced <= 0) break;
      EncodeSamples(engine, file, ost, ost.ResampleBuffer.data(), produced);
      if (produced < capacity) break;
    }
  }
  if (!ost.SampleFifo) return;
  AVAudioFifo* fifo = ost.SampleFifo.get();
  const int waiting = lib::avutil.av_audio_fifo_size(fifo);
  if (waiting <= 0) return;
  // An encoder that insists on whole frames gets the tail padded with silence rather than losing it.
  const bool shortLast = encoder->frame_size <= 1 ||
                         (encoder->codec->capabilities &
                          (AV_CODEC_CAP_SMALL_LAST_FRAME | AV_CODEC_CAP_VARIABLE_FRAME_SIZE));
  AVFrame* frame = NewAudioFrame(ost, encoder, shortLast ? waiting : encoder->frame_size, file.FileName);
  if (!shortLast)
    lib::avutil.av_samples_set_silence(frame->extended_data, 0, frame->nb_samples,
                                       encoder->ch_layout.nb_channels, encoder->sample_fmt);
  lib::avutil.av_audio_fifo_read(fifo, reinterpret_cast<void**>(frame->extended_data), waiting);
  frame->pts = ost.NextOutputPts;
  ost.NextOutputPts += frame->nb_samples;
  EncodeAndWrite(engine, file, ost, frame);
}

}  // namespace media

}  // namespace engine
