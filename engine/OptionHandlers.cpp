// Handlers of the named options: parsing, checks in their stated order, stored values, messages.
#include "OptionHandlers.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <limits>

#include "MessageFormat.h"

namespace engine {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Sign, then "$", "x" or "0x" for hexadecimal; the rest must be digits of that base. Hexadecimal
// may use the whole unsigned range of the width (it reads as a bit pattern).
template <typename T>
T ParseInteger(const std::string& text) {
  using U = std::make_unsigned_t<T>;
  auto fail = [&]() -> T { throw FFMpegException("'" + text + "' is not a valid integer value"); };
  size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  bool hex = false;
  if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
    hex = true;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i >= text.size()) return fail();
  const unsigned base = hex ? 16 : 10;
  const U limit = hex ? std::numeric_limits<U>::max()
                      : static_cast<U>(std::numeric_limits<T>::max()) + (negative ? 1 : 0);
  U magnitude = 0;
  for (; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    unsigned digit;
    if (std::isdigit(c))
      digit = c - '0';
    else if (hex && std::isxdigit(c))
      digit = static_cast<unsigned>(std::tolower(c) - 'a' + 10);
    else
      return fail();
    if (magnitude > (limit - digit) / base) return fail();
    magnitude = magnitude * base + digit;
  }
  U bits = negative ? static_cast<U>(U{0} - magnitude) : magnitude;
  return static_cast<T>(bits);
}

// Reads a number the way strtol does (base 0) and moves `p` past it.
long ReadLong(const char*& p) {
  char* end = nullptr;
  long v = std::strtol(p, &end, 0);
  p = end;
  return v;
}

void SkipOne(const char*& p) {
  if (*p) ++p;
}

const char* SideName(char side) {
  switch (side) {
    case 't': return "Top";
    case 'b': return "Bottom";
    case 'l': return "Left";
    default: return "Right";
  }
}

// The side letter of "croptop", "padleft", ...: the first letter after the prefix.
char SideOf(const std::string& name, size_t prefixLength) {
  return name.size() > prefixLength ? name[prefixLength] : 'r';
}

std::string ProgramFolder() {
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return "./";
  std::string folder = exe.parent_path().string();
  if (folder.empty() || folder.back() != '/') folder += '/';
  return folder;
}

}  // namespace

int32_t StrToInt(const std::string& text) { return ParseInteger<int32_t>(text); }
int64_t StrToInt64(const std::string& text) { return ParseInteger<int64_t>(text); }

double StrToFloat(const std::string& text) {
  auto fail = [&]() -> double {
    throw FFMpegException("'" + text + "' is not a valid floating point value");
  };
  std::string t = Trim(text);
  if (t.empty() || t.find_first_of("xX") != std::string::npos) return fail();
  size_t first = (t[0] == '+' || t[0] == '-') ? 1 : 0;
  // Only digits or the decimal separator may open the number: no "inf" or "nan".
  if (first >= t.size() || std::isalpha(static_cast<unsigned char>(t[first]))) return fail();
  errno = 0;
  char* end = nullptr;
  double v = std::strtod(t.c_str(), &end);
  if (end != t.c_str() + t.size() || end == t.c_str() || errno == ERANGE || !std::isfinite(v))
    return fail();
  return v;
}

std::string Trim(const std::string& text) {
  size_t b = 0, e = text.size();
  while (b < e && std::isspace(static_cast<unsigned char>(text[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(text[e - 1]))) --e;
  return text.substr(b, e - b);
}

// ---- formats ----

namespace {

// "pgmyuv" is read by the image2 demuxer/muxer nowadays.
std::string FormatName(TCustomFFmpeg& e, const std::string& name) {
  if (name != "pgmyuv") return name;
  e.PgmyuvMode = 1;
  e.Log(1, "pgmyuv format is deprecated, use image2");
  return "image2";
}

}  // namespace

void TCustomFFmpeg::SetInputFormat(const std::string& name) {
  if (name.empty()) return;
  std::string n = FormatName(*this, name);
  ForcedInputFormat = lib::avformat.av_find_input_format(n.c_str());
  if (!ForcedInputFormat) throw FFMpegException(FormatMessage("Unknown input format: %s", {n}));
}

void TCustomFFmpeg::SetOutputFormat(const std::string& name) {
  if (name.empty()) return;
  std::string n = FormatName(*this, name);
  ForcedOutputFormat = lib::avformat.av_guess_format(n.c_str(), nullptr, nullptr);
  if (!ForcedOutputFormat) throw FFMpegException(FormatMessage("Unknown output format: %s", {n}));
}

void TCustomFFmpeg::SetFormat(const std::string& name) {
  if (name.empty()) return;
  std::string n = FormatName(*this, name);
  ForcedInputFormat = lib::avformat.av_find_input_format(n.c_str());
  ForcedOutputFormat = lib::avformat.av_guess_format(n.c_str(), nullptr, nullptr);
  if (!ForcedInputFormat && !ForcedOutputFormat)
    throw FFMpegException(FormatMessage("Unknown input or output format: %s", {n}));
}

// ---- times ----

// The limit is kept in whole milliseconds; 64 bits all the way, so long limits do not wrap.
void TCustomFFmpeg::SetRecordingTimeMs(int64_t ms) {
  if (ms <= 0) return;
  RecordingTime = ms * 1000;
  // The output is no longer than the longest input already open: a host's percentage must be
  // able to reach 100.
  int64_t expected = ms, longest = -1;
  for (const TInputFile& file : InputFiles)
    if (file.Context && file.Context->duration != AV_NOPTS_VALUE)
      longest = std::max<int64_t>(longest, file.Context->duration / 1000);
  if (longest >= 0) expected = std::min(expected, longest);
  ExpectedDurationMs =
      static_cast<int32_t>(std::min<int64_t>(expected, std::numeric_limits<int32_t>::max()));
}

namespace handlers {

namespace {

int64_t ParseTime(const std::string& name, const std::string& value, bool duration) {
  int64_t p = 0;
  if (lib::avutil.av_parse_time(&p, value.c_str(), duration ? 1 : 0) < 0)
    throw FFMpegException(FormatMessage("Invalid %s specification for %s: %s",
                                        {duration ? "duration" : "date", name, value}));
  return p;
}

}  // namespace

void Duration(TCustomFFmpeg& e, const std::string& name, const std::string& value) {
  int64_t p = ParseTime(name, value, true);
  if (name == "t")
    e.SetRecordingTimeMs(p / 1000);
  else if (name == "ss")
    e.StartTime = p;
  else
    e.InputTsOffset = p;
}

void Timestamp(TCustomFFmpeg& e, const std::string& name, const std::string& value) {
  int64_t p = ParseTime(name, value, false);
  e.RecordTimestamp = std::llrint(static_cast<double>(p) / 1000000.0);  // halves to even
}

// ---- maps ----

void Map(TCustomFFmpeg& e, const std::string&, const std::string& value) {
  if (e.StreamMaps.size() >= static_cast<size_t>(MaxStreamMaps))
    throw FFMpegException(
        FormatMessage("Too many stream maps: at most %d are allowed", {MaxStreamMaps}));
  TStreamMap m;
  const char* p = value.c_str();
  m.InputFile = static_cast<int32_t>(ReadLong(p));
  SkipOne(p);
  m.InputStream = static_cast<int32_t>(ReadLong(p));
  if (*p) {
    SkipOne(p);
    m.SyncFile = static_cast<int32_t>(ReadLong(p));
    SkipOne(p);
    m.SyncStream = static_cast<int32_t>(ReadLong(p));
  } else {
    m.SyncFile = m.InputFile;
    m.SyncStream = m.InputStream;
  }
  e.StreamMaps.push_back(m);
}

void MapMetaData(TCustomFFmpeg& e, const std::string&, const std::string& value) {
  if (e.MetadataMaps.size() >= static_cast<size_t>(MaxFiles))
    throw FFMpegException(
        FormatMessage("Too many metadata maps: at most %d are allowed", {MaxFiles}));
  TMetadataMap m;
  const char* p = value.c_str();
  m.OutputFile = static_cast<int32_t>(ReadLong(p));
  SkipOne(p);
  m.InputFile = static_cast<int32_t>(ReadLong(p));
  e.MetadataMaps.push_back(m);
}

void ItsScale(TCustomFFmpeg& e, const std::string&, const std::string& value) {
  const char* p = value.c_str();
  long s = ReadLong(p);
  SkipOne(p);
  double scale = std::strtod(p, nullptr);
  if (s < 0 || s >= MaxStreams)
    throw FFMpegException(FormatMessage("stream index over MAX_STREAMS(%d)", {MaxStreams}));
  // The scale belongs to the input opened next; the table has rows for MaxFiles inputs only.
  int32_t file = e.InputFileCount();
  if (file >= MaxFiles)
    throw FFMpegException(FormatMessage("input file index over MAX_FILES(%d)", {MaxFiles}));
  e.InputTsScale[file][s] = scale;
}

// ---- video and audio values ----

void BitRate(TCustomFFmpeg& e, const std::string& name, const std::string& value) {
  if (name.empty() || value.empty()) return;
  bool ok = e.ApplyGenericOption(name, value);
  if (!ok || !e.LogCallback) return;
  AVCodecContext* holder = e.CodecDefaults[name[0] == 'a' ? AVMEDIA_TYPE_AUDIO : AVMEDIA_TYPE_VIDEO].get();
  int64_t rate = 0;
  if (holder && lib::avutil.av_opt_get_int(holder, "b", 0, &rate) >= 0 && rate < 1000)
    e.Log(1,
          "WARNING: The bitrate parameter is set too low. It takes bits/s as argument, not kbits/s");
}

void FrameRate(TCustomFFmpeg& e, const std::string&, const std::string& value) {
  if (value.empty()) return;
  if (lib::avutil.av_parse_video_rate(&e.FrameRate, value.c_str()) < 0)
    throw FFMpegException("Incorrect frame rate");
}

void FrameSize(TCustomFFmpeg& e, const std::string&, const std::string& value) {
  if (value.empty()) return;
  if (lib::avutil.av_parse_video_size(&e.FrameWidth, &e.FrameHeight, value.c_str()) < 0)
    throw FFMpegException("Incorrect frame size");
  if ((e.FrameWidth % 2) != 0 || (e.FrameHeight % 2) != 0)
    throw FFMpegException("Frame size must be a multiple of 2");
}

void Aspect(TCustomFFmpeg& e, const std::string&, const std::string& value) {
  if (value.empty()) return;
  double ratio = 0.0;
  auto lenientInt = [](const std::string& t) -> int32_t {
    try {
      return StrToInt(t);
    } catch (const FFMpegException&) {
      return 0;
    }
  };
  size_t colon = value.find(':');
  if (colon != std::string::npos) {
    int32_t x = lenientInt(value.substr(0, colon));
    int32_t y = lenientInt(value.substr(colon + 1));
    ratio = y > 0 ? static_cast<double>(x) / y : 0.0;
  } else {
    try {
      ratio = StrToFloat(value);
    } catch (const FFMpegException&) {
      ratio = 0.0;
    }
  }
  if (ratio == 0.0) throw FFMpegException("Incorrect aspect ratio specification.");
  e.FrameAspect = static_cast<float>(ratio);
}

void PixFmt(TCustomFFmpeg& e, const std::string&, const std::string& value) {
  if (value != "list") {
    e.FramePixFmt = lib::avutil.av_get_pix_fmt(value.c_str());
    return;
  }
  if (!e.LogCallback) return;
  char buf[128];
  for (int i = -1; i < AV_PIX_FMT_NB; ++i) {
    if (i >= 0 && !lib::avutil.av_pix_fmt_desc_get(static_cast<AVPixelFormat>(i))) continue;
    if (lib::avutil.av_get_pix_fmt_string(buf, sizeof buf, static_cast<AVPixelFormat>(i)))
      e.Log(1, Trim(buf));
  }
}

void SampleFmt(TCustomFFmpeg& e, const std::string&, const std::string& value) {
  if (value != "list") {
    e.AudioSampleFmt = lib::avutil.av_get_sample_fmt(value.c_str());
    return;
  }
  if (!e.LogCallback) return;
  char buf[128];
  for (int i = -1; i < AV_SAMPLE_FMT_NB; ++i)
    if (lib::avutil.av_get_sample_fmt_string(buf, sizeof buf, static_cast<AVSampleFormat>(i)))
      e.Log(1, Trim(buf));
}

void Crop(TCustomFFmpeg& e, const std::string& name, const std::string& value) {
  int32_t n = StrToInt(value);
  if (n < 0) return;
  char side = SideOf(name, 4);
  if (n % 2 != 0)
    throw FFMpegException(std::string(SideName(side)) + " crop size must be a multiple of 2");
  bool vertical = side == 't' || side == 'b';
  if (vertical && n >= e.FrameHeight)
    throw FFMpegException(
        "Vertical crop dimensions are outside the range of the original image.\n"
        "Remember to crop first and scale second.");
  if (!vertical && n >= e.FrameWidth)
    throw FFMpegException(
        "Horizontal crop dimensions are outside the range of the original image.\n"
        "Remember to crop first and scale second.");
  switch (side) {
    case 't': e.FrameCropTop = n; break;
    case 'b': e.FrameCropBottom = n; break;
    case 'l': e.FrameCropLeft = n; break;
    default: e.FrameCropRight = n; break;
  }
  (vertical ? e.FrameHeight : e.FrameWidth) -= n;
}

void Pad(TCustomFFmpeg& e, const std::string& name, const std::string& value) {
  int32_t n = StrToInt(value);
  if (n < 0) return;
  char side = SideOf(name, 3);
  if (n % 2 != 0)
    throw FFMpegException(std::string(SideName(side)) + " pad size must be a multiple of 2");
  switch (side) {
    case 't': e.FramePadTop = n; break;
    case 'b': e.FramePadBottom = n; break;
    case 'l': e.FramePadLeft = n; break;
    default: e.FramePadRight = n; break;
  }
}

void PadColor(TCustomFFmpeg& e, const std::string&, const std::string& value) {
  e.SetPadColor(StrToInt(value));
}

void QScale(TCustomFFmpeg& e, const std::string&, const std::string& value) {
  double q = StrToFloat(value);
  if (!(q > 0.0 && q <= 255.0)) throw FFMpegException("qscale must be > 0.0 and <= 255");
  e.VideoQScale = static_cast<float>(q);
}

// ---- codecs and tags ----

void Codec(TCustomFFmpeg& e, const std::string& name, const std::string& value) {
  if (value.empty()) return;
  std::string* codecName = &e.SubtitleCodecName;
  int32_t* copy = &e.SubtitleCopy;
  if (name[0] == 'v') {
    codecName = &e.VideoCodecName;
    copy = &e.VideoCopy;
  } else if (name[0] == 'a') {
    codecName = &e.AudioCodecName;
    copy = &e.AudioCopy;
  }
  codecName->clear();
  // A "copy" given earlier stays in force: the stream is copied whatever name follows.
  if (value == "copy")
    *copy = 1;
  else
    *codecName = value;
}

void Tag(TCustomFFmpeg& e, const std::string& name, const std::string& value) {
  if (value.empty()) return;
  bool video = name[0] == 'v';
  if (value.size() != 4)
    throw FFMpegException(video ? "video tag parameter must be 4 chars"
                                : "audio tag parameter must be 4 chars");
  uint32_t tag = 0;
  for (int i = 3; i >= 0; --i) tag = (tag << 8) | static_cast<uint8_t>(value[i]);
  (video ? e.VideoCodecTag : e.AudioCodecTag) = tag;
}

void Pass(TCustomFFmpeg& e, const std::string&, const std::string& value) {
  int32_t n = StrToInt(value);
  if (n != 1 && n != 2) throw FFMpegException("pass number can be only 1 or 2");
  e.PassNumber = n;
}

// A new value replaces the earlier matrix; what was read before a syntax error stays stored.
void Matrix(TCustomFFmpeg& e, const std::string& name, const std::string& value) {
  std::vector<uint16_t>& m = name == "intra_matrix" ? e.IntraMatrix : e.InterMatrix;
  m.assign(64, 0);
  const char* p = value.c_str();
  for (int i = 0; i < 64; ++i) {
    while (*p == ' ' || *p == '\t') ++p;
    char* end = nullptr;
    m[i] = static_cast<uint16_t>(std::strtol(p, &end, 10));
    if (i == 63) break;
    const char* comma = std::strchr(p, ',');
    if (!comma)
      throw FFMpegException(FormatMessage("Syntax error in matrix \"%s\" at coeff %d", {value, i}));
    p = comma + 1;
  }
}

// ---- files and hooks ----

void Vstats(TCustomFFmpeg& e, const std::string&, const std::string&) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char clock[16];
  std::strftime(clock, sizeof clock, "%H%M%S", &local);
  e.VstatsFileName = FormatMessage("%svstats_%s.log", {ProgramFolder(), clock});
}

void VstatsFile(TCustomFFmpeg& e, const std::string&, const std::string& value) {
  e.VstatsFileName = value;
}

// Frame hook modules are not loaded yet: every request is refused the way a module that fails
// to load would be.
void Vhook(TCustomFFmpeg&, const std::string&, const std::string& value) {
  throw FFMpegException("Failed to add video hook function: " + value);
}

void Bsf(TCustomFFmpeg& e, const std::string& name, const std::string& value) {
  if (value.empty() || value[0] == '=') return;
  std::string filter = value.substr(0, value.find('='));
  if (!lib::avcodec.av_bsf_get_by_name(filter.c_str()))
    throw FFMpegException(FormatMessage("Unknown bitstream filter %s", {Trim(value)}));
  std::vector<std::string>& chain = name[0] == 'v'   ? e.VideoBsfChain
                                    : name[0] == 'a' ? e.AudioBsfChain
                                                     : e.SubtitleBsfChain;
  chain.push_back(filter);
}

}  // namespace handlers

// R, G, B in the three low bytes; full-range YUV with the weights scaled by 1024.
void TCustomFFmpeg::SetPadColor(int32_t colour) {
  const int32_t r = colour & 0xff, g = (colour >> 8) & 0xff, b = (colour >> 16) & 0xff;
  PadColor[0] = (307 * r + 602 * g + 117 * b + 512) >> 10;
  PadColor[1] = ((-173 * r - 340 * g + 512 * b + 511) >> 10) + 128;
  PadColor[2] = ((512 * r - 429 * g - 84 * b + 511) >> 10) + 128;
}

}  // namespace engine
