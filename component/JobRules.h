// The conversion-run rules shared by the window and the command line: output naming, the AVI
// parameters and what is filled in from the source's facts. No window code here.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "OptionRecords.h"

class TAVProbe;

namespace component::jobrules {

inline constexpr const char* kAviLabel = "AVI Video (*.avi)";
inline constexpr const char* kAudioExtensionList = ".aac .ac3 .mp2 .mp3 .wav .wma .amr .ogg .flac .ra";

// From a format label such as "AVI Video (*.avi)": ".avi" and "AVI Video" ("*" becomes "x").
std::string OutputExtension(const std::string& label);
std::string FormatName(const std::string& label);

// The extension of a file name with its dot (".3gp"), empty when it has none.
std::string FileExtension(const std::string& fileName);

// True when `extension` is one of the entries of the audio extension list, in any letter case.
bool InAudioExtensionList(const std::string& extension);

bool FileExists(const std::string& fileName);
using TExists = std::function<bool(const std::string& fileName)>;

// "clip (AVI Video).avi", then "clip (AVI Video [1]).avi", ...: the first name for which
// `exists` is false.
std::string UniqueOutputName(const std::string& base, const std::string& extension,
                             const std::string& formatName, const TExists& exists = FileExists);

// The file the output is named after: the source itself, or its name inside `folder`.
std::string BaseFileName(const std::string& source, bool sameFolder, const std::string& folder);

// Creates `folder` with any missing parents; false with a message naming the folder.
bool MakeOutputFolder(const std::string& folder, std::string& error);

// The six fixed parameters of the AVI entry.
void SetAviParameters(TOutputOptions& record);

// What the probe tells of a source: its first audio and first video stream. -1 means unknown.
struct TSourceFacts {
  bool HasAudio = false;
  int32_t AudioChannels = -1, AudioSampleRate = -1, AudioBitRate = -1;
  bool HasVideo = false;
  int32_t VideoWidth = -1, VideoHeight = -1;
};

// The facts of the file a probe holds (opened or attached).
TSourceFacts ReadSourceFacts(const TAVProbe& probe);

// The output record of one task: defaults, no video for audio outputs and audio sources, the
// label's fixed parameters, then what is still open from the source's facts.
TOutputOptions TargetRecord(const std::string& label, const std::string& sourceFileName,
                            const TSourceFacts& facts);

}  // namespace component::jobrules
