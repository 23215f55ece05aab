// The bare decode-and-encode loop the engine is measured against: the same codecs, settings and
// conversion steps (decoded pictures passed on as they are when no scaling is needed, audio
// through 16-bit interleaved samples, mono spread at full level), nothing around them.
#pragma once

#include <string>

namespace bench {

// Converts `source` to an AVI at `target` (msmpeg4v2 at 1.2 Mbit/s, pcm_s16le stereo 44.1 kHz).
// Returns an empty string on success, else what failed.
std::string ConvertFloor(const std::string& source, const std::string& target);

}  // namespace bench
