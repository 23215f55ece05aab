// Pieces shared by the audio and video output paths and the encoder flush.
#pragma once

#include <string>

#include "FFmpeg.h"

namespace engine::media {

// printf-style text for log lines and exception messages.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The stream's reusable frame, emptied for the next use.
AVFrame* ResetEncodeFrame(TOutputStreamState& ost);

// Sends `frame` to the stream's encoder (null: drain it) and writes every packet the encoder has
// ready, stamped in the stream's time base. Keeps AudioBytes/VideoBytes, the pass log and the
// encoder's last quality figures. Returns the size of the last packet written (0 when none).
// An encoder error raises FFMpegException with "Audio encoding failed for <file>" or "Video
// encoding failed".
int EncodeAndWrite(TCustomFFmpeg& engine, TOutputFile& file, TOutputStreamState& ost, AVFrame* frame);

// End of the input for an audio stream: what the resampler still holds, then the FIFO's tail (a
// short last frame where the encoder accepts one, else padded with silence), go to the encoder.
void FlushAudio(TCustomFFmpeg& engine, TOutputFile& file, TOutputStreamState& ost);

}  // namespace engine::media
