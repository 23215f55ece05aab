// Test-only stand-in for the engine's file opening: builds InputFiles/OutputFiles by hand.
#pragma once

#include <string>

#include "FFmpeg.h"

namespace transcode_test {

// Binds the codec libraries for the engine (once per process).
bool BindLibraries();

std::string Fixture(std::string_view name);
// A fresh path in the test's build folder (any old file of that name removed).
std::string OutputPath(const std::string& name);

// Opens `path` as the engine's next input: analysed, with a decoder context per stream.
void AddInput(engine::TCustomFFmpeg& engine, const std::string& path);

struct TAviOutput {
  bool Video = true, Audio = true;
  bool CopyVideo = false, CopyAudio = false;
  int Width = 0, Height = 0;       // 0: the first input's video size
  AVRational FrameRate{0, 0};      // 0: the first input's video rate
};

// Creates an AVI output as the application asks for it (MS-MPEG4 v2 at 1.2 Mbit/s, PCM s16le
// stereo 44.1 kHz), encoders not opened, file opened for writing.
void AddAviOutput(engine::TCustomFFmpeg& engine, const std::string& path, const TAviOutput& spec);

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
  int DecodeErrors = 0;
};
TDecoded DecodeFile(const std::string& path);

}  // namespace transcode_test
