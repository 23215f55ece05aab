#include "JobRules.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <sstream>
#include <system_error>

#include "AVProbe.h"

namespace component::jobrules {

namespace fs = std::filesystem;

std::string OutputExtension(const std::string& label) {
  size_t open = label.find('(');
  if (open == std::string::npos || open + 2 > label.size()) return {};
  size_t close = label.find(')', open + 2);
  return label.substr(open + 2, close == std::string::npos ? std::string::npos : close - open - 2);
}

std::string FormatName(const std::string& label) {
  size_t open = label.find(" (");
  std::string name = label.substr(0, open);
  std::replace(name.begin(), name.end(), '*', 'x');
  return name;
}

std::string FileExtension(const std::string& fileName) {
  size_t slash = fileName.rfind('/');
  size_t dot = fileName.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
  return fileName.substr(dot);
}

bool InAudioExtensionList(const std::string& extension) {
  // Whole entries only: a substring test would count "" (no extension) or ".a" as audio and
  // silently drop the video of such files.
  auto lower = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  std::istringstream list(kAudioExtensionList);
  const std::string wanted = lower(extension);
  for (std::string entry; list >> entry;)
    if (entry == wanted) return true;
  return false;
}

bool FileExists(const std::string& fileName) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(fileName, ec)) && !ec;
}

std::string UniqueOutputName(const std::string& base, const std::string& extension,
                             const std::string& formatName, const TExists& exists) {
  std::string ext = FileExtension(base);
  std::string stem = base.substr(0, base.size() - ext.size());
  std::string candidate = stem + " (" + formatName + ")" + extension;
  for (uint64_t n = 1; exists(candidate); ++n)
    candidate = stem + " (" + formatName + " [" + std::to_string(n) + "])" + extension;
  return candidate;
}

std::string BaseFileName(const std::string& source, bool sameFolder, const std::string& folder) {
  if (sameFolder) return source;
  std::string name = fs::path(source).filename().string();
  if (folder.empty()) return name;
  return folder.back() == '/' ? folder + name : folder + "/" + name;
}

bool MakeOutputFolder(const std::string& folder, std::string& error) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (!ec && fs::is_directory(folder, ec)) return true;
  error = "Cannot create the output folder " + folder + ": " +
          (ec ? ec.message() : std::string("a file of that name is in the way"));
  return false;
}

void SetAviParameters(TOutputOptions& record) {
  record.VideoCodec = "msmpeg4v2";
  record.AudioCodec = "pcm_s16le";
  record.AudioChannels = 2;
  record.AudioRate = 44100;
  record.VideoBitRate = 1200000;
  record.AudioBitRate = 128000;
}

TSourceFacts ReadSourceFacts(const TAVProbe& probe) {
  TSourceFacts facts;
  if (probe.AudioStreamCount() > 0) {
    TAudioProbeInfo audio;
    probe.ReadFirstAudioInfo(audio);
    facts.HasAudio = true;
    facts.AudioChannels = audio.Channels;
    facts.AudioSampleRate = audio.SampleRate;
    facts.AudioBitRate = audio.BitRate;
  }
  if (probe.VideoStreamCount() > 0) {
    TVideoProbeInfo video;
    probe.ReadFirstVideoInfo(video);
    facts.HasVideo = true;
    facts.VideoWidth = video.Width;
    facts.VideoHeight = video.Height;
  }
  return facts;
}

TOutputOptions TargetRecord(const std::string& label, const std::string& sourceFileName,
                            const TSourceFacts& facts) {
  TOutputOptions record;
  // A source without any video stream converts to audio only: asking the engine for the
  // frame size it does not have ("-1x-1") would refuse the whole file.
  if (InAudioExtensionList(OutputExtension(label)) ||
      InAudioExtensionList(FileExtension(sourceFileName)) || !facts.HasVideo)
    record.NoVideo = true;
  if (label == kAviLabel) SetAviParameters(record);
  if (facts.HasAudio) {
    if (record.AudioChannels == -1) record.AudioChannels = facts.AudioChannels;
    if (record.AudioRate == -1) record.AudioRate = facts.AudioSampleRate;
    if (record.AudioBitRate == -1) record.AudioBitRate = facts.AudioBitRate;
  }
  if (!record.NoVideo) {
    if (record.FrameSize.empty() && facts.VideoWidth > 0 && facts.VideoHeight > 0)
      record.FrameSize = std::to_string(facts.VideoWidth) + "x" + std::to_string(facts.VideoHeight);
    if (record.VideoBitRate == -1) record.VideoBitRate = 1500000;
  }
  return record;
}

}  // namespace component::jobrules
