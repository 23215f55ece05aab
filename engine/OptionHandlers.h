// Option value parsing and the handlers behind the option table (engine-internal).
#pragma once

#include <cstdint>
#include <string>

#include "FFmpeg.h"

namespace engine {

// Integer text: decimal; "$", "x" or "0x" before the digits for hexadecimal; blanks before it and
// a sign allowed, nothing after it. Anything else raises FFMpegException
// "'<text>' is not a valid integer value".
int32_t StrToInt(const std::string& text);
int64_t StrToInt64(const std::string& text);
// A decimal number in the process locale's notation; else "'<text>' is not a valid floating
// point value".
double StrToFloat(const std::string& text);
std::string Trim(const std::string& text);

namespace handlers {

// Every handler takes the option name (several share one handler) and its value text.
using THandler = void (*)(TCustomFFmpeg& e, const std::string& name, const std::string& value);

void Duration(TCustomFFmpeg& e, const std::string& name, const std::string& value);  // t, ss, itsoffset
void Timestamp(TCustomFFmpeg& e, const std::string& name, const std::string& value);
void Map(TCustomFFmpeg& e, const std::string& name, const std::string& value);
void MapMetaData(TCustomFFmpeg& e, const std::string& name, const std::string& value);
void ItsScale(TCustomFFmpeg& e, const std::string& name, const std::string& value);
void BitRate(TCustomFFmpeg& e, const std::string& name, const std::string& value);  // b, vb, ab
void FrameRate(TCustomFFmpeg& e, const std::string& name, const std::string& value);
void FrameSize(TCustomFFmpeg& e, const std::string& name, const std::string& value);
void Aspect(TCustomFFmpeg& e, const std::string& name, const std::string& value);
void PixFmt(TCustomFFmpeg& e, const std::string& name, const std::string& value);
void SampleFmt(TCustomFFmpeg& e, const std::string& name, const std::string& value);
void Crop(TCustomFFmpeg& e, const std::string& name, const std::string& value);  // crop*
void Pad(TCustomFFmpeg& e, const std::string& name, const std::string& value);   // pad*
void PadColor(TCustomFFmpeg& e, const std::string& name, const std::string& value);
void QScale(TCustomFFmpeg& e, const std::string& name, const std::string& value);
void Codec(TCustomFFmpeg& e, const std::string& name, const std::string& value);  // v/a/scodec
void Tag(TCustomFFmpeg& e, const std::string& name, const std::string& value);    // vtag, atag
void Pass(TCustomFFmpeg& e, const std::string& name, const std::string& value);
void Matrix(TCustomFFmpeg& e, const std::string& name, const std::string& value);  // intra/inter
void Vstats(TCustomFFmpeg& e, const std::string& name, const std::string& value);
void VstatsFile(TCustomFFmpeg& e, const std::string& name, const std::string& value);
void Vhook(TCustomFFmpeg& e, const std::string& name, const std::string& value);
void Bsf(TCustomFFmpeg& e, const std::string& name, const std::string& value);  // absf, vbsf, sbsf
void Target(TCustomFFmpeg& e, const std::string& name, const std::string& value);

}  // namespace handlers
}  // namespace engine
