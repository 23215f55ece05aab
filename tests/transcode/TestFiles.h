// Test helpers: binding, fixture and output paths, and an independent decode of a finished file.
#pragma once

#include <string>

#include "FFmpeg.h"

namespace transcode_test {

// Binds the codec libraries for the engine (once per process).
bool BindLibraries();

std::string Fixture(std::string_view name);
// A fresh path in the test's build folder (any old file of that name removed).
std::string OutputPath(const std::string& name);

// What the libraries find in a finished file, decoded end to end.
struct TDecoded {
  bool Opened = false;
  int VideoFrames = 0, Width = 0, Height = 0;
  AVCodecID VideoCodec = AV_CODEC_ID_NONE, AudioCodec = AV_CODEC_ID_NONE;
  int SampleRate = 0, Channels = 0;
  int64_t AudioSamples = 0;
  double VideoSeconds = 0;  // frames / frame rate
  double AudioSeconds = 0;  // samples / rate
  AVRational FrameRate{0, 1};
  // First timestamp of each kind, seconds from the earliest stream start (0 when absent).
  double VideoStart = 0, AudioStart = 0;
  int Streams = 0;
  int DecodeErrors = 0;
};
TDecoded DecodeFile(const std::string& path);

}  // namespace transcode_test
