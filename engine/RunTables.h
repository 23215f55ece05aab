// Records of one run: built by the setup, used by the loop and the media paths, released when
// the run ends by any path (their owners free everything they hold).
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "LibPtr.h"

namespace engine {

struct TInputFileState {
  int32_t EofReached = 0;
  int32_t FirstStream = 0;
  int32_t StreamCount = 0;
};

struct TInputStreamState {
  int32_t FileIndex = 0;
  int32_t Index = 0;
  AVStream* Stream = nullptr;         // owned by the input format context
  AVCodecContext* Decoder = nullptr;  // owned by the engine's input file record
  int32_t Discard = 1;
  int32_t DecodingNeeded = 0;
  int64_t RateEmuStart = 0;
  int32_t RateEmuFrames = 0;
  int64_t NextPts = AV_NOPTS_VALUE;
  int64_t Pts = 0;
  int32_t AtStart = 1;
  // Filter graph of a video stream with user filters.
  FilterGraphPtr FilterGraph;
  AVFilterContext* InputFilter = nullptr;
  AVFilterContext* OutputFilter = nullptr;
  FramePtr FilteredPicture;
  FramePtr DecodedFrame;  // reused for every decode of this stream
  // Turns the decoder's frames into interleaved 16-bit samples at the decoder's rate and channels;
  // rebuilt when the decoded format changes.
  SwrContextPtr DecodeConverter;
  int32_t DecodeFormat = -1, DecodeRate = 0, DecodeChannels = 0;
};

struct TOutputStreamState {
  int32_t FileIndex = 0;
  int32_t Index = 0;
  int32_t SourceIndex = 0;
  AVStream* Stream = nullptr;         // owned by the output format context
  AVCodecContext* Encoder = nullptr;  // owned by the engine's output file record
  int32_t EncodingNeeded = 0;
  int32_t FrameNumber = 0;
  TInputStreamState* SyncInput = nullptr;
  int64_t NextOutputPts = 0;
  // Video.
  int32_t VideoResample = 0;
  FramePtr PictureBuffer;
  SwsContextPtr ScaleContext;
  int32_t ScaleSourceHeight = 0;
  // The decoded picture the crop, scale and pad were set up for (width 0: not known).
  int32_t SourceWidth = 0, SourceHeight = 0, SourceFormat = -1;
  int32_t VideoCrop = 0;
  int32_t CropTop = 0, CropLeft = 0;
  int32_t VideoPad = 0;
  int32_t PadTop = 0, PadBottom = 0, PadLeft = 0, PadRight = 0;
  // Audio.
  int32_t AudioResample = 0;
  SwrContextPtr Resampler;
  int32_t ConvertPair = -6;
  SwrContextPtr SampleConverter;
  // Encoder-format samples awaiting a whole encoder frame. The audio path creates it on first use
  // (encoder sample format and channel count) when the setup left it null.
  AudioFifoPtr SampleFifo;
  // Two-pass statistics written in pass 1.
  std::FILE* PassLogFile = nullptr;
  // Bitstream filters applied to every packet of this stream, in order.
  std::vector<BsfContextPtr> BitstreamFilters;
  // End of the last packet written, in the stream's time base: the stream's time for the report.
  int64_t LastPacketEnd = AV_NOPTS_VALUE;
  int32_t CopyStarted = 0;  // stream copy waits for the first key packet
  // Figures the encoder attached to its last packet (quality in lambda units, AVPictureType,
  // squared error per plane), for the progress report and the statistics file.
  int32_t LastQuality = 0;
  int32_t LastPictType = 0;
  std::array<uint64_t, 4> LastErrors{};
  // Audio path scratch of this stream (several engines run at once): resampler output,
  // silence-padded block, sample-format converter output.
  std::vector<uint8_t> ResampleBuffer, PaddingBuffer, ConvertBuffer;
  FramePtr EncodeFrame;    // frame handed to the encoder, reused by the media paths
  PacketPtr EncodePacket;  // packet received from the encoder, reused by the media paths

  ~TOutputStreamState() {
    if (PassLogFile) std::fclose(PassLogFile);
  }
};

}  // namespace engine
