// Pieces of input and output opening that need no library state: kept apart so they can be
// checked on their own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "LibPtr.h"
#include "OpenErrorText.h"

namespace engine {

// The library's file-name buffers (image sequences, the older muxers) hold at most this many
// characters; a longer name would be cut into a different one.
constexpr std::size_t MaxFileNameLength = 1023;

// Empty when the name fits, else the refusal message naming the file.
std::string FileNameLengthError(const std::string& fileName);

// Display aspect ratio of an input video stream: the sample aspect (the stream's, else the
// decoder's) times width / height; square pixels when none is known; 4/3 when the size is unknown.
float InputDisplayAspect(int32_t width, int32_t height, AVRational streamSar, AVRational codecSar);

// The old RealMedia demuxers left the pixel format unset: extensions that begin ".rmvb" get 4:2:0.
bool IsRealMediaName(const std::string& fileName);

// "start,end,q/start,end,q...": q > 0 is a fixed quantiser, q <= 0 a quality factor of -q/100.
// False on a syntax error.
bool ParseRcOverride(const std::string& text, std::vector<::RcOverride>& overrides);

// True when the filter chain names a filter that changes the picture size.
bool ChainResizesFrame(const std::string& filters);

// Seconds held in single precision to whole microseconds, truncated (0.7 s gives 699999).
int64_t SecondsToMicroseconds(float seconds);

}  // namespace engine
