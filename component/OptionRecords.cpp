#include "OptionRecords.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <ctime>
#include <functional>
#include <limits>
#include <map>

#include "FFmpeg.h"

namespace component {

void ResetInputOptions(TInputOptions& record) { record = TInputOptions{}; }
void ResetOutputOptions(TOutputOptions& record) { record = TOutputOptions{}; }

namespace {

bool IsBlankOrControl(char c) { return static_cast<unsigned char>(c) <= ' '; }

std::string Trim(const std::string& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && IsBlankOrControl(text[begin])) ++begin;
  while (end > begin && IsBlankOrControl(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

// CR LF, lone CR and lone LF all become one LF.
std::string NormaliseLineBreaks(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      out += '\n';
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

// A whole decimal 64-bit number, or -1 for anything else.
int64_t ReadMilliseconds(const std::string& text) {
  const char* first = text.data();
  const char* last = first + text.size();
  if (first != last && *first == '+') ++first;
  int64_t value = 0;
  auto [end, ec] = std::from_chars(first, last, value);
  if (ec != std::errc() || end != last || first == last) return -1;
  return value;
}

// Milliseconds to microseconds; an overflowing count reads like text that is not a number.
int64_t ToMicroseconds(int64_t ms) {
  constexpr int64_t kLimit = std::numeric_limits<int64_t>::max() / 1000;
  if (ms > kLimit || ms < -kLimit) return -1000;
  return ms * 1000;
}

std::string NormText(int32_t norm) {
  if (norm == 1) return "pal";
  if (norm == 2) return "ntsc";
  return "auto";
}

}  // namespace

void ApplyExtraOptions(TOptionTarget& target, const std::string& text) {
  std::string rest = NormaliseLineBreaks(Trim(text));
  while (!rest.empty()) {
    size_t lf = rest.find('\n');
    std::string line = lf == std::string::npos ? rest : rest.substr(0, lf);
    rest = lf == std::string::npos ? std::string() : rest.substr(lf + 1);
    size_t eq = line.find('=');
    // Name and value go on exactly as written: blanks around "=" stay part of them.
    if (eq == std::string::npos)
      target.ApplyOption(line, "");
    else
      target.ApplyOption(line.substr(0, eq), line.substr(eq + 1));
  }
}

void ApplyInputOptions(TOptionTarget& target, TInputOptions& record, const std::string& fileName) {
  if (record.FileName.empty()) record.FileName = fileName;
  ApplyExtraOptions(target, record.ExtraOptions);
  if (!record.InputFormat.empty()) target.SetInputFormat(record.InputFormat);
  if (record.StartMs > 0) target.SetStartTimeUs(static_cast<int64_t>(record.StartMs) * 1000);
  if (record.ProgramId >= 0) target.SetProgramId(record.ProgramId);
}

std::vector<engine::THookTimeRange> ParseHookRanges(const std::string& text) {
  std::vector<engine::THookTimeRange> ranges;
  std::string rest = Trim(text);
  ranges.reserve(std::count(rest.begin(), rest.end(), ',') + 1);
  while (!rest.empty()) {
    size_t comma = rest.find(',');
    std::string item = Trim(comma == std::string::npos ? rest : rest.substr(0, comma));
    rest = comma == std::string::npos ? std::string() : rest.substr(comma + 1);
    size_t dash = item.find('-');
    std::string left = dash == std::string::npos ? item : Trim(item.substr(0, dash));
    std::string right = dash == std::string::npos ? std::string() : Trim(item.substr(dash + 1));
    engine::THookTimeRange range;
    range.Start = ToMicroseconds(ReadMilliseconds(left));
    range.End = ToMicroseconds(ReadMilliseconds(right));
    if (range.Start <= range.End && range.End >= 0) ranges.push_back(range);
  }
  std::stable_sort(ranges.begin(), ranges.end(),
                   [](const auto& a, const auto& b) { return a.End < b.End; });
  return ranges;
}

int StandardTimeBiasMinutes() {
  tzset();
  // `timezone` is seconds west of UTC for standard time: UTC = local + timezone.
  return static_cast<int>(timezone / 60);
}

bool RecordTimeSeconds(double recordTime, int standardBiasMinutes, int64_t& seconds) {
  if (recordTime < 0) return false;
  if (recordTime == 0) {
    // Taken from the clock itself: a local time converted with the standard bias would be an
    // hour off while daylight saving is in force.
    seconds = static_cast<int64_t>(std::time(nullptr));
    return true;
  }
  double value = (recordTime - 25569.0 + standardBiasMinutes / 1440.0) * 86400.0;
  if (!(std::fabs(value) < 9.0e18)) return false;
  seconds = static_cast<int64_t>(std::nearbyint(value));  // halves to even
  return true;
}

void ApplyOutputOptions(TOptionTarget& target, TOutputOptions& record, const std::string& fileName) {
  TOutputOptions& r = record;
  if (r.FileName.empty()) r.FileName = fileName;
  ApplyExtraOptions(target, r.ExtraOptions);
  auto text = [](int64_t n) { return std::to_string(n); };

  if (!r.OutputFormat.empty()) target.SetOutputFormat(r.OutputFormat);  // 1
  if (r.PacketSize > 0) target.ApplyGenericOptionInt("packetsize", r.PacketSize);
  if (r.MuxRate > 0) target.ApplyGenericOptionInt("muxrate", r.MuxRate);
  if (r.MuxDelay > 0) target.SetMuxMaxDelay(r.MuxDelay);
  if (r.MuxPreload > 0) target.SetMuxPreload(r.MuxPreload);  // 5
  if (!r.AudioCodec.empty()) target.ApplyOption("acodec", r.AudioCodec);
  if (r.NoAudio) target.SetAudioDisabled();
  if (r.AudioVolume >= 0) target.SetAudioVolume(r.AudioVolume);
  target.ApplyOption("ac", text(r.AudioChannels));
  target.ApplyOption("ar", text(r.AudioRate));  // 10
  if (r.AudioBitRate > 0) target.ApplyGenericOptionInt("ab", r.AudioBitRate);
  if (r.AudioBitRateTolerance > 0) target.ApplyGenericOptionInt("abt", r.AudioBitRateTolerance);
  target.SetAudioLanguage(r.AudioLanguage);
  target.SetAudioSync(r.AudioSync);
  if (!r.AudioTag.empty()) target.ApplyOption("atag", r.AudioTag);  // 15
  if (!r.VideoCodec.empty()) target.ApplyOption("vcodec", r.VideoCodec);
  if (r.NoVideo) target.SetVideoDisabled();
  if (!r.FrameRate.empty()) target.ApplyOption("r", r.FrameRate);
  if (!r.FrameSize.empty()) target.ApplyOption("s", r.FrameSize);
  if (!r.Aspect.empty()) target.ApplyOption("aspect", r.Aspect);  // 20
  target.ApplyOption("croptop", text(r.CropTop));
  target.ApplyOption("cropbottom", text(r.CropBottom));
  target.ApplyOption("cropleft", text(r.CropLeft));
  target.ApplyOption("cropright", text(r.CropRight));
  target.ApplyOption("padtop", text(r.PadTop));
  target.ApplyOption("padbottom", text(r.PadBottom));
  target.ApplyOption("padleft", text(r.PadLeft));
  target.ApplyOption("padright", text(r.PadRight));
  // There is no system palette here: a system colour reference (high bit set) stands for black.
  target.SetPadColor((r.PadColor & 0x80000000u) ? 0 : static_cast<int32_t>(r.PadColor & 0xFFFFFFu));
  if (r.GopSize > 0) target.ApplyGenericOptionInt("gop", r.GopSize);
  if (r.VideoBitRate > 0) target.ApplyGenericOptionInt("vb", r.VideoBitRate);  // 25
  if (r.MaxRate > 0) target.ApplyGenericOptionInt("maxrate", r.MaxRate);
  if (r.MinRate > 0) target.ApplyGenericOptionInt("minrate", r.MinRate);
  if (r.VideoBitRateTolerance > 0) target.ApplyGenericOptionInt("bt", r.VideoBitRateTolerance);
  if (r.BufSize > 0) target.ApplyGenericOptionInt("bufsize", r.BufSize);
  target.SetVideoSync(r.VideoSync);  // 30
  if (!r.VideoTag.empty()) target.ApplyOption("vtag", r.VideoTag);
  if (!r.VideoFilters.empty()) target.ApplyOption("vfilters", r.VideoFilters);
  if (r.NoSubtitle) target.SetSubtitleDisabled();
  target.SetSubtitleLanguage(r.SubtitleLanguage);
  target.SetCopyTs(r.CopyTimestamps);  // 35
  if (r.DurationMs > 0) target.SetRecordingTimeMs(r.DurationMs);
  int64_t stamp = 0;
  if (RecordTimeSeconds(r.RecordTime, StandardTimeBiasMinutes(), stamp))
    target.SetRecordTimestamp(stamp);
  if (r.Year > 0) target.SetYear(r.Year);
  if (r.Track > 0) target.SetTrack(r.Track);
  const std::pair<const char*, std::string> headers[] = {
      {"title", HeaderText(r.Title)},         {"author", HeaderText(r.Author)},
      {"copyright", HeaderText(r.Copyright)}, {"comment", HeaderText(r.Comment)},
      {"album", HeaderText(r.Album)},         {"genre", HeaderText(r.Genre)}};
  for (const auto& [name, value] : headers)  // 40
    if (!value.empty()) target.SetHeaderField(name, value);
  if (r.TargetKind >= 1 && r.TargetKind <= 3) {
    static const char* const kKinds[] = {"vcd", "svcd", "dvd"};
    target.ApplyTarget(kKinds[r.TargetKind - 1], NormText(r.TargetNorm),
                       r.TargetFallbackNorm == 1 ? "pal" : "ntsc");
  }
  if (r.UseCustomHook)  // 42: at most one of the three
    target.ConnectCustomHook();
  else if (r.UseBeforeHook)
    target.ConnectBeforeHook();
  else
    target.SetHookRanges(ParseHookRanges(r.HookRanges));
}

// ---- fields by name ----

namespace {

bool ParseInt32(const std::string& text, int32_t& out) {
  const char* first = text.data();
  const char* last = first + text.size();
  if (first != last && *first == '+') ++first;
  int32_t value = 0;
  auto [end, ec] = std::from_chars(first, last, value);
  if (ec != std::errc() || end != last || first == last) return false;
  out = value;
  return true;
}

bool ParseUInt32(const std::string& text, uint32_t& out) {
  int base = 10;
  const char* first = text.data();
  const char* last = first + text.size();
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    first += 2;
  }
  uint32_t value = 0;
  auto [end, ec] = std::from_chars(first, last, value, base);
  if (ec != std::errc() || end != last || first == last) return false;
  out = value;
  return true;
}

bool ParseDouble(const std::string& text, double& out) {
  double value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty() ||
      !std::isfinite(value))
    return false;
  out = value;
  return true;
}

bool ParseBool(const std::string& text, bool& out) {
  if (text == "1" || text == "true" || text == "yes" || text == "on") return out = true, true;
  if (text == "0" || text == "false" || text == "no" || text == "off") return out = false, true;
  return false;
}

using TSetter = std::function<bool(const std::string& value, std::string& kind)>;

template <typename Record>
struct TFieldTable {
  std::map<std::string, std::function<TSetter(Record&)>> Fields;

  void Text(const char* name, std::string Record::*field) {
    Fields[name] = [field](Record& r) -> TSetter {
      return [&r, field](const std::string& v, std::string&) { return (r.*field) = v, true; };
    };
  }
  void Int(const char* name, int32_t Record::*field) {
    Fields[name] = [field](Record& r) -> TSetter {
      return [&r, field](const std::string& v, std::string& kind) {
        kind = "a whole number";
        return ParseInt32(v, r.*field);
      };
    };
  }
  template <size_t N>
  void Header(const char* name, std::array<char, N> Record::*field) {
    Fields[name] = [field](Record& r) -> TSetter {
      return [&r, field](const std::string& v, std::string& kind) {
        kind = "text of at most " + std::to_string(N - 1) + " bytes";
        if (v.size() > N - 1 || v.find('\0') != std::string::npos) return false;
        SetHeaderText(r.*field, v);
        return true;
      };
    };
  }
  void Flag(const char* name, bool Record::*field) {
    Fields[name] = [field](Record& r) -> TSetter {
      return [&r, field](const std::string& v, std::string& kind) {
        kind = "1 or 0";
        return ParseBool(v, r.*field);
      };
    };
  }
  void Float(const char* name, float Record::*field) {
    Fields[name] = [field](Record& r) -> TSetter {
      return [&r, field](const std::string& v, std::string& kind) {
        kind = "a number";
        double d = 0;
        if (!ParseDouble(v, d) || std::fabs(d) > std::numeric_limits<float>::max()) return false;
        r.*field = static_cast<float>(d);
        return true;
      };
    };
  }
  void Double(const char* name, double Record::*field) {
    Fields[name] = [field](Record& r) -> TSetter {
      return [&r, field](const std::string& v, std::string& kind) {
        kind = "a number";
        return ParseDouble(v, r.*field);
      };
    };
  }
  void Colour(const char* name, uint32_t Record::*field) {
    Fields[name] = [field](Record& r) -> TSetter {
      return [&r, field](const std::string& v, std::string& kind) {
        kind = "a colour number (decimal or 0x hexadecimal)";
        return ParseUInt32(v, r.*field);
      };
    };
  }

  bool Set(Record& record, const std::string& name, const std::string& value,
           std::string& error) const {
    auto it = Fields.find(name);
    if (it == Fields.end()) {
      error = "unknown field '" + name + "'";
      return false;
    }
    std::string kind;
    if (!it->second(record)(value, kind)) {
      error = "field '" + name + "' needs " + kind + ", not '" + value + "'";
      return false;
    }
    return true;
  }
};

const TFieldTable<TInputOptions>& InputFields() {
  static const TFieldTable<TInputOptions> table = [] {
    TFieldTable<TInputOptions> t;
    using R = TInputOptions;
    t.Text("FileName", &R::FileName);
    t.Text("InputFormat", &R::InputFormat);
    t.Int("StartMs", &R::StartMs);
    t.Int("ProgramId", &R::ProgramId);
    t.Text("ExtraOptions", &R::ExtraOptions);
    return t;
  }();
  return table;
}

const TFieldTable<TOutputOptions>& OutputFields() {
  static const TFieldTable<TOutputOptions> table = [] {
    TFieldTable<TOutputOptions> t;
    using R = TOutputOptions;
    t.Text("FileName", &R::FileName);
    t.Text("OutputFormat", &R::OutputFormat);
    t.Int("PacketSize", &R::PacketSize);
    t.Int("MuxRate", &R::MuxRate);
    t.Float("MuxDelay", &R::MuxDelay);
    t.Float("MuxPreload", &R::MuxPreload);
    t.Text("AudioCodec", &R::AudioCodec);
    t.Flag("NoAudio", &R::NoAudio);
    t.Int("AudioVolume", &R::AudioVolume);
    t.Int("AudioChannels", &R::AudioChannels);
    t.Int("AudioRate", &R::AudioRate);
    t.Int("AudioBitRate", &R::AudioBitRate);
    t.Int("AudioBitRateTolerance", &R::AudioBitRateTolerance);
    t.Text("AudioLanguage", &R::AudioLanguage);
    t.Int("AudioSync", &R::AudioSync);
    t.Text("AudioTag", &R::AudioTag);
    t.Text("VideoCodec", &R::VideoCodec);
    t.Flag("NoVideo", &R::NoVideo);
    t.Text("FrameRate", &R::FrameRate);
    t.Text("FrameSize", &R::FrameSize);
    t.Text("Aspect", &R::Aspect);
    t.Int("CropTop", &R::CropTop);
    t.Int("CropBottom", &R::CropBottom);
    t.Int("CropLeft", &R::CropLeft);
    t.Int("CropRight", &R::CropRight);
    t.Int("PadTop", &R::PadTop);
    t.Int("PadBottom", &R::PadBottom);
    t.Int("PadLeft", &R::PadLeft);
    t.Int("PadRight", &R::PadRight);
    t.Colour("PadColor", &R::PadColor);
    t.Int("GopSize", &R::GopSize);
    t.Int("VideoBitRate", &R::VideoBitRate);
    t.Int("MaxRate", &R::MaxRate);
    t.Int("MinRate", &R::MinRate);
    t.Int("VideoBitRateTolerance", &R::VideoBitRateTolerance);
    t.Int("BufSize", &R::BufSize);
    t.Int("VideoSync", &R::VideoSync);
    t.Text("VideoTag", &R::VideoTag);
    t.Text("VideoFilters", &R::VideoFilters);
    t.Flag("NoSubtitle", &R::NoSubtitle);
    t.Text("SubtitleLanguage", &R::SubtitleLanguage);
    t.Flag("CopyTimestamps", &R::CopyTimestamps);
    t.Int("DurationMs", &R::DurationMs);
    t.Double("RecordTime", &R::RecordTime);
    t.Int("Year", &R::Year);
    t.Int("Track", &R::Track);
    t.Header("Title", &R::Title);
    t.Header("Author", &R::Author);
    t.Header("Copyright", &R::Copyright);
    t.Header("Comment", &R::Comment);
    t.Header("Album", &R::Album);
    t.Header("Genre", &R::Genre);
    t.Int("TargetKind", &R::TargetKind);
    t.Int("TargetNorm", &R::TargetNorm);
    t.Int("TargetFallbackNorm", &R::TargetFallbackNorm);
    t.Flag("UseCustomHook", &R::UseCustomHook);
    t.Flag("UseBeforeHook", &R::UseBeforeHook);
    t.Text("HookRanges", &R::HookRanges);
    t.Text("ExtraOptions", &R::ExtraOptions);
    return t;
  }();
  return table;
}

}  // namespace

bool SetInputField(TInputOptions& record, const std::string& name, const std::string& value,
                   std::string& error) {
  return InputFields().Set(record, name, value, error);
}

bool SetOutputField(TOutputOptions& record, const std::string& name, const std::string& value,
                    std::string& error) {
  return OutputFields().Set(record, name, value, error);
}

}  // namespace component
