// `quorvendale-cli probe`: prints what each media file holds, as key lines or JSON.
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "AVProbe.h"
#include "Commands.h"
#include "Functions.h"
#include "LibraryLoader.h"

namespace {

constexpr const char* kProbeHelp =
    "Usage: quorvendale-cli probe [--json] [--verbose] [--format NAME] FILE...\n"
    "\n"
    "Prints the container and stream facts of each FILE.\n"
    "\n"
    "Options:\n"
    "  --json          one JSON object per file, one per line\n"
    "  --verbose       let the codec libraries print their own messages on stderr\n"
    "  --format NAME   open the files as input format NAME instead of detecting it\n"
    "  --help          show this help\n"
    "\n"
    "Text output: one 'key: value' line per fact, a blank line between files.\n"
    "  file, format, duration_us, streams, audio_streams, video_streams, subtitle_streams\n"
    "  stream.N.type                 video, audio, subtitle, data or attachment\n"
    "  video: stream.N.codec, .width, .height, .display_aspect, .pixel_format,\n"
    "         .frame_rate (num/den), .bit_rate, .start_us, .duration_us, .language\n"
    "  audio: stream.N.codec, .channels, .sample_rate, .sample_format,\n"
    "         .bit_rate, .start_us, .duration_us, .language\n"
    "A value the file does not state prints as 'unknown'. Times are in microseconds.\n"
    "\n"
    "JSON output: the same keys; the streams are the array \"stream\" (stream.N is\n"
    "stream[N]); unknown values are null.\n"
    "\n"
    "A file that cannot be opened prints 'error: <reason>' on stderr and nothing on\n"
    "stdout. Exit status: 0 when every file opened, 1 when any failed or the codec\n"
    "libraries could not be loaded, 2 for a usage error.\n";

struct TField {
  std::string Key;
  std::optional<std::string> Value;  // empty: unknown
  bool Quoted = false;
};
using TFields = std::vector<TField>;

struct TFileFacts {
  TFields Fields;
  std::vector<TFields> Streams;
};

TField Text(const std::string& key, const char* value) {
  if (!value || !*value) return {key, std::nullopt, true};
  return {key, std::string(value), true};
}

// Non-positive values are the library's "not stated".
TField Positive(const std::string& key, int64_t value) {
  if (value <= 0) return {key, std::nullopt, false};
  return {key, std::to_string(value), false};
}

TField Time(const std::string& key, int64_t microseconds) {
  if (microseconds < 0) return {key, std::nullopt, false};
  return {key, std::to_string(microseconds), false};
}

TFields VideoFields(const TAVProbe& probe, int index) {
  TVideoProbeInfo info;
  probe.ReadVideoInfo(index, info);
  TFields fields{Text("codec", info.CodecName), Positive("width", info.Width),
                 Positive("height", info.Height)};
  TField aspect{"display_aspect", std::nullopt, false};
  if (info.DisplayAspectRatio > 0) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.4f", info.DisplayAspectRatio);
    aspect.Value = buffer;
  }
  fields.push_back(aspect);
  fields.push_back(Text("pixel_format", lib::avutil.av_get_pix_fmt_name(
                                            static_cast<AVPixelFormat>(info.PixelFormat))));
  TField rate{"frame_rate", std::nullopt, true};
  if (info.FrameRateNum > 0 && info.FrameRateDen > 0)
    rate.Value = std::to_string(info.FrameRateNum) + "/" + std::to_string(info.FrameRateDen);
  fields.push_back(rate);
  fields.push_back(Positive("bit_rate", info.BitRate));
  fields.push_back(Time("start_us", info.StartTime));
  fields.push_back(Time("duration_us", info.Duration));
  fields.push_back(Text("language", info.Language));
  return fields;
}

TFields AudioFields(const TAVProbe& probe, int index) {
  TAudioProbeInfo info;
  probe.ReadAudioInfo(index, info);
  return {Text("codec", info.CodecName),
          Positive("channels", info.Channels),
          Positive("sample_rate", info.SampleRate),
          Text("sample_format",
               lib::avutil.av_get_sample_fmt_name(static_cast<AVSampleFormat>(info.SampleFormat))),
          Positive("bit_rate", info.BitRate),
          Time("start_us", info.StartTime),
          Time("duration_us", info.Duration),
          Text("language", info.Language)};
}

TFileFacts Collect(const TAVProbe& probe, const std::string& fileName) {
  const AVFormatContext* context = probe.FormatContext();
  TFileFacts facts;
  facts.Fields = {
      Text("file", fileName.c_str()),
      Text("format", context->iformat ? context->iformat->name : nullptr),
      Time("duration_us", context->duration == AV_NOPTS_VALUE ? -1 : context->duration),
      {"streams", std::to_string(probe.StreamCount())},
      {"audio_streams", std::to_string(probe.AudioStreamCount())},
      {"video_streams", std::to_string(probe.VideoStreamCount())},
      {"subtitle_streams", std::to_string(probe.SubtitleStreamCount())},
  };
  for (int i = 0; i < probe.StreamCount(); ++i) {
    AVMediaType type = context->streams[i]->codecpar->codec_type;
    TFields stream{Text("type", lib::avutil.av_get_media_type_string(type))};
    TFields more = type == AVMEDIA_TYPE_VIDEO   ? VideoFields(probe, i)
                   : type == AVMEDIA_TYPE_AUDIO ? AudioFields(probe, i)
                                                : TFields{};
    stream.insert(stream.end(), more.begin(), more.end());
    facts.Streams.push_back(std::move(stream));
  }
  return facts;
}

void PrintText(const TFileFacts& facts) {
  auto print = [](const std::string& key, const TField& field) {
    std::printf("%s: %s\n", key.c_str(), field.Value ? field.Value->c_str() : "unknown");
  };
  for (const TField& field : facts.Fields) print(field.Key, field);
  for (size_t i = 0; i < facts.Streams.size(); ++i)
    for (const TField& field : facts.Streams[i])
      print("stream." + std::to_string(i) + "." + field.Key, field);
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
      out += buffer;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string JsonMembers(const TFields& fields) {
  std::string out;
  for (const TField& field : fields) {
    if (!out.empty()) out += ',';
    out += JsonString(field.Key) + ':';
    out += !field.Value ? "null" : field.Quoted ? JsonString(*field.Value) : *field.Value;
  }
  return out;
}

void PrintJson(const TFileFacts& facts) {
  std::string out = "{" + JsonMembers(facts.Fields) + ",\"stream\":[";
  for (size_t i = 0; i < facts.Streams.size(); ++i)
    out += (i ? ",{" : "{") + JsonMembers(facts.Streams[i]) + "}";
  std::printf("%s]}\n", out.c_str());
}

}  // namespace

int cli::RunProbe(const std::vector<std::string>& args) {
  bool json = false;
  bool verbose = false;
  std::string format;
  std::vector<std::string> files;
  bool optionsEnded = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || arg == "-" || !arg.starts_with("-")) {
      files.push_back(arg);
    } else if (arg == "--") {
      optionsEnded = true;
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kProbeHelp, stdout);
      return kExitOk;
    } else if (arg == "--json") {
      json = true;
    } else if (arg == "--verbose") {
      verbose = true;
    } else if (arg == "--format") {
      if (++i == args.size()) return UsageError("--format needs a format name");
      format = args[i];
    } else if (arg.starts_with("--format=")) {
      format = arg.substr(9);
    } else {
      return UsageError("unknown option '" + arg + "'");
    }
  }
  if (files.empty()) return UsageError("no files given");

  TAVProbe probe;
  if (!probe.BindProbeLibraries(libbind::ExecutableLibDir(), true)) {
    std::fprintf(stderr, "error: %s\n", probe.LastError().c_str());
    return kExitFailure;
  }
  lib::avutil.av_log_set_level(verbose ? AV_LOG_INFO : AV_LOG_QUIET);

  int status = kExitOk;
  bool printedOne = false;
  for (const std::string& file : files) {
    if (!probe.OpenMedia(file, format)) {
      std::fflush(stdout);
      std::fprintf(stderr, "error: %s\n", probe.LastError().c_str());
      status = kExitFailure;
      continue;
    }
    TFileFacts facts = Collect(probe, file);
    probe.CloseMedia();
    if (json) {
      PrintJson(facts);
    } else {
      if (printedOne) std::printf("\n");
      PrintText(facts);
    }
    printedOne = true;
  }
  return status;
}
