// The option dispatcher: the table of named options, the generic store of library options and
// the option defaults.
#include <cstring>
#include <iterator>
#include <limits>

#include "LibrarySet.h"
#include "MessageFormat.h"
#include "OptionHandlers.h"

namespace engine {

namespace {

using handlers::THandler;
using E = TCustomFFmpeg;
using S = const std::string&;

void DoNothing(E& e, S name, S) { e.Log(1, "Do nothing: option - " + name); }

// Texts that an empty value leaves unchanged.
template <std::string TCustomFFmpeg::*Field>
void SetText(E& e, S, S value) {
  if (!value.empty()) e.*Field = value;
}
template <std::string TCustomFFmpeg::*Field>
void CopyText(E& e, S, S value) {
  e.*Field = value;
}
template <int32_t TCustomFFmpeg::*Field>
void SetInt(E& e, S, S value) {
  e.*Field = StrToInt(value);
}
template <int32_t TCustomFFmpeg::*Field>
void SetOne(E& e, S, S) {
  e.*Field = 1;
}
template <float TCustomFFmpeg::*Field>
void SetFloat(E& e, S, S value) {
  e.*Field = static_cast<float>(StrToFloat(value));
}
template <int Kind>
void SetMaxFrames(E& e, S, S value) {
  e.MaxFrames[Kind] = StrToInt(value);
}

void NewStream(E& e, S name, S) {
  if (name == "newvideo")
    e.NewVideoStreamOption();
  else if (name == "newaudio")
    e.NewAudioStreamOption();
  else
    e.NewSubtitleStreamOption();
}

struct TOptionEntry {
  const char* Name;
  THandler Handler;
};

// Searched in this order; a name matches only whole, exactly and case-sensitively.
const TOptionEntry OptionTable[] = {
    {"L", DoNothing},
    {"h", DoNothing},
    {"version", DoNothing},
    {"formats", DoNothing},
    {"f", [](E& e, S, S v) { e.SetFormat(v); }},
    {"i", DoNothing},
    {"y", DoNothing},
    {"map", handlers::Map},
    {"map_meta_data", handlers::MapMetaData},
    {"t", handlers::Duration},
    {"fs", [](E& e, S, S v) { e.LimitFileSize = StrToInt64(v); }},
    {"ss", handlers::Duration},
    {"itsoffset", handlers::Duration},
    {"itsscale", handlers::ItsScale},
    {"title", SetText<&E::Title>},
    {"timestamp", handlers::Timestamp},
    {"author", SetText<&E::Author>},
    {"copyright", SetText<&E::Copyright>},
    {"comment", SetText<&E::Comment>},
    {"genre", SetText<&E::Genre>},
    {"album", SetText<&E::Album>},
    {"dframes", SetMaxFrames<2>},
    {"benchmark", DoNothing},
    {"dump", SetOne<&E::PacketDump>},
    {"hex", SetOne<&E::HexDump>},
    {"re", SetOne<&E::RateEmulation>},
    {"loop_input", SetOne<&E::LoopInput>},
    {"loop_output", SetInt<&E::LoopOutput>},
    {"v", [](E& e, S, S v) { e.SetVerbose(StrToInt(v)); }},
    {"target", handlers::Target},
    {"threads", [](E&, S name, S) -> void { throw FFMpegException("TODO: option - " + name); }},
    {"vsync", SetInt<&E::VideoSyncMethod>},
    {"async", SetInt<&E::AudioSyncMethod>},
    {"adrift_threshold", SetFloat<&E::AudioDriftThreshold>},
    {"vglobal", SetInt<&E::VideoGlobalHeader>},
    {"copyts", [](E& e, S, S) { e.CopyTs = true; }},
    {"shortest", SetOne<&E::Shortest>},
    {"dts_delta_threshold", SetFloat<&E::DtsDeltaThreshold>},
    {"programid", SetInt<&E::ProgramId>},
    {"xerror", [](E& e, S, S) { e.ExitOnError = true; }},
    {"b", handlers::BitRate},
    {"vb", handlers::BitRate},
    {"vframes", SetMaxFrames<0>},
    {"r", handlers::FrameRate},
    {"s", handlers::FrameSize},
    {"aspect", handlers::Aspect},
    {"pix_fmt", handlers::PixFmt},
    {"croptop", handlers::Crop},
    {"cropbottom", handlers::Crop},
    {"cropleft", handlers::Crop},
    {"cropright", handlers::Crop},
    {"padtop", handlers::Pad},
    {"padbottom", handlers::Pad},
    {"padleft", handlers::Pad},
    {"padright", handlers::Pad},
    {"padcolor", handlers::PadColor},
    {"intra", SetOne<&E::IntraOnly>},
    {"vn", SetOne<&E::VideoDisabled>},
    {"vdt", SetInt<&E::VideoDiscard>},
    {"qscale", handlers::QScale},
    {"rc_override", CopyText<&E::RcOverride>},
    {"vcodec", handlers::Codec},
    {"me_threshold", SetInt<&E::MeThreshold>},
    {"sameq", SetOne<&E::SameQuality>},
    {"pass", handlers::Pass},
    {"passlogfile", CopyText<&E::PassLogPrefix>},
    {"deinterlace", SetOne<&E::Deinterlace>},
    {"psnr", SetOne<&E::DoPsnr>},
    {"vstats", handlers::Vstats},
    {"vstats_file", handlers::VstatsFile},
    {"vhook", handlers::Vhook},
    {"vfilters", SetText<&E::VideoFilters>},
    {"intra_matrix", handlers::Matrix},
    {"inter_matrix", handlers::Matrix},
    {"top", SetInt<&E::TopFieldFirst>},
    {"dc", SetInt<&E::DcPrecision>},
    {"vtag", handlers::Tag},
    {"newvideo", NewStream},
    {"qphist", SetOne<&E::QpHistogram>},
    {"ab", handlers::BitRate},
    {"aframes", SetMaxFrames<1>},
    {"aq", SetFloat<&E::AudioQScale>},
    {"ar", [](E& e, S, S v) { if (int32_t n = StrToInt(v); n > 0) e.AudioSampleRate = n; }},
    {"ac", [](E& e, S, S v) { if (int32_t n = StrToInt(v); n > 0) e.AudioChannels = n; }},
    {"an", SetOne<&E::AudioDisabled>},
    {"acodec", handlers::Codec},
    {"atag", handlers::Tag},
    {"vol", SetInt<&E::AudioVolume>},
    {"newaudio", NewStream},
    {"alang", CopyText<&E::AudioLanguage>},
    {"sample_fmt", handlers::SampleFmt},
    {"sn", SetOne<&E::SubtitleDisabled>},
    {"scodec", handlers::Codec},
    {"newsubtitle", NewStream},
    {"slang", CopyText<&E::SubtitleLanguage>},
    {"vc", SetInt<&E::VideoChannel>},
    {"tvstd", CopyText<&E::VideoStandard>},
    {"isync", SetOne<&E::InputSync>},
    {"muxdelay", SetFloat<&E::MuxMaxDelay>},
    {"muxpreload", SetFloat<&E::MuxPreload>},
    {"absf", handlers::Bsf},
    {"vbsf", handlers::Bsf},
    {"sbsf", handlers::Bsf},
    {"apre", DoNothing},
    {"vpre", DoNothing},
    {"spre", DoNothing},
};
static_assert(std::size(OptionTable) == 106);

// Option flag masks of the media kinds, in the library's order: video, audio, data, subtitle,
// attachment.
constexpr int KindMasks[5] = {AV_OPT_FLAG_VIDEO_PARAM, AV_OPT_FLAG_AUDIO_PARAM, 0,
                              AV_OPT_FLAG_SUBTITLE_PARAM, 0};

// Names the libraries have since renamed, still used by presets and callers.
const char* CurrentOptionName(const std::string& name) {
  if (name == "gop") return "g";
  return name.c_str();
}

// An option that some muxer (not the bare format context) owns, e.g. "muxrate".
const AVOption* FindMuxerPrivateOption(const char* name) {
  const AVClass* formatClass = lib::avformat.avformat_get_class();
  const AVOption* o = lib::avutil.av_opt_find(&formatClass, name, nullptr, AV_OPT_FLAG_ENCODING_PARAM,
                                              AV_OPT_SEARCH_CHILDREN | AV_OPT_SEARCH_FAKE_OBJ);
  return o;
}

}  // namespace

void TCustomFFmpeg::ApplyOption(const std::string& name, const std::string& value) {
  for (const TOptionEntry& entry : OptionTable)
    if (name == entry.Name) {
      entry.Handler(*this, name, value);
      return;
    }
  ApplyGenericOption(name, value);
}

// The holders take plain library options only: a codec context without a codec and a format
// context without a muxer have no private part, so a child search would find nothing there.
// Options that only muxers own are kept as text instead (FormatPrivateOptions), after the
// holders and the first-letter rule had their turn.
bool TCustomFFmpeg::ApplyGenericOption(const std::string& rawName, const std::string& rawValue) {
  const std::string trimmedName = Trim(rawName), value = Trim(rawValue);
  if (trimmedName.empty() || value.empty()) return false;
  if (!CodecDefaults[AVMEDIA_TYPE_VIDEO] || !FormatDefaults || !ScalerDefaults) return false;
  const std::string name = CurrentOptionName(trimmedName);

  const AVOption* accepted = nullptr;
  for (int k = 0; k < 5; ++k) {
    const AVOption* o = lib::avutil.av_opt_find(CodecDefaults[AVMEDIA_TYPE_VIDEO].get(), name.c_str(),
                                                nullptr, KindMasks[k], 0);
    if (!o) continue;
    accepted = lib::avutil.av_opt_set(CodecDefaults[k].get(), name.c_str(), value.c_str(), 0) >= 0
                   ? o
                   : nullptr;
  }
  auto trySet = [&](void* holder, const char* optionName) -> const AVOption* {
    const AVOption* o = lib::avutil.av_opt_find(holder, optionName, nullptr, 0, 0);
    if (o && lib::avutil.av_opt_set(holder, optionName, value.c_str(), 0) >= 0) return o;
    return nullptr;
  };
  if (!accepted) accepted = trySet(FormatDefaults.get(), name.c_str());
  if (!accepted) accepted = trySet(ScalerDefaults.get(), name.c_str());
  if (!accepted && name.size() > 1) {
    int kind = name[0] == 'a' ? AVMEDIA_TYPE_AUDIO
               : name[0] == 'v' ? AVMEDIA_TYPE_VIDEO
               : name[0] == 's' ? AVMEDIA_TYPE_SUBTITLE
                                : -1;
    if (kind >= 0) accepted = trySet(CodecDefaults[kind].get(), name.c_str() + 1);
  }
  if (!accepted) {
    if (const AVOption* o = FindMuxerPrivateOption(name.c_str())) {
      AVDictionary* d = FormatPrivateOptions.release();
      int r = lib::avutil.av_dict_set(&d, o->name, value.c_str(), 0);
      FormatPrivateOptions.reset(d);
      if (r >= 0) accepted = o;
    }
  }
  if (!accepted) return false;

  GenericOptionNames.emplace_back(accepted->name);
  if (CodecDefaults[AVMEDIA_TYPE_VIDEO]->debug != 0 || FormatDefaults->debug != 0) SetVerbose(2);
  return true;
}

void TCustomFFmpeg::ApplyGenericOptionInt(const std::string& name, int64_t n) {
  ApplyGenericOption(name, std::to_string(n));
}

void TCustomFFmpeg::ApplyCodecOptions(void* target, void* defaults, int flags) {
  if (!target || !defaults) return;
  const bool toMuxer = defaults == FormatDefaults.get();
  for (const std::string& name : GenericOptionNames) {
    const AVOption* o = lib::avutil.av_opt_find(defaults, name.c_str(), nullptr, 0, 0);
    std::string value;
    if (o) {
      uint8_t* text = nullptr;
      if (lib::avutil.av_opt_get(defaults, name.c_str(), 0, &text) < 0 || !text) continue;
      value = reinterpret_cast<char*>(text);
      lib::avutil.av_free(text);
    } else if (toMuxer) {
      const AVDictionaryEntry* entry =
          lib::avutil.av_dict_get(FormatPrivateOptions.get(), name.c_str(), nullptr, AV_DICT_MATCH_CASE);
      o = entry ? FindMuxerPrivateOption(name.c_str()) : nullptr;
      if (!o) continue;
      value = entry->value;
    } else {
      continue;
    }
    if ((o->flags & flags) != flags) continue;
    // A muxer's own options live in its private part.
    lib::avutil.av_opt_set(target, name.c_str(), value.c_str(), toMuxer ? AV_OPT_SEARCH_CHILDREN : 0);
  }
}

int VerbosityToLibraryLevel(int32_t verbose) {
  if (verbose < 0) return AV_LOG_QUIET;
  switch (verbose) {
    case 0: return AV_LOG_ERROR;
    case 1: return AV_LOG_INFO;
    case 2: return AV_LOG_DEBUG;
    default: return AV_LOG_TRACE;
  }
}

void TCustomFFmpeg::SetVerbose(int32_t n) {
  Verbose = n;
  const int level = VerbosityToLibraryLevel(n);
  if (libbind::LibrarySetBound()) lib::avutil.av_log_set_level(level);
  libbind::SetLibraryLogLevel(level);
}

// The opened files are left alone: they belong to the engine until Reset, which Prepare runs
// before this, so the file counts are 0 here whenever a task starts afresh.
void TCustomFFmpeg::ResetOptions() {
  ExceptionRaised = false;
  // Files and maps.
  StreamMaps.clear();
  MetadataMaps.clear();
  for (auto& row : InputTsScale) row.fill(0.0);
  ForcedInputFormat = nullptr;
  ForcedOutputFormat = nullptr;
  PgmyuvMode = 0;
  // Video.
  FrameWidth = FrameHeight = 0;
  FrameAspect = 0.0f;
  FramePixFmt = -1;
  FramePadTop = FramePadBottom = FramePadLeft = FramePadRight = 0;
  PadColor = {16, 128, 128};
  FrameCropTop = FrameCropBottom = FrameCropLeft = FrameCropRight = 0;
  MaxFrames.fill(std::numeric_limits<int32_t>::max());
  FrameRate = AVRational{0, 0};
  VideoQScale = 0.0f;
  IntraMatrix.clear();
  InterMatrix.clear();
  RcOverride.clear();
  VideoDisabled = 0;
  VideoDiscard = 0;
  VideoCodecName.clear();
  VideoCopy = 0;
  VideoCodecTag = 0;
  SameQuality = 0;
  Deinterlace = 0;
  TopFieldFirst = -1;
  MeThreshold = 0;
  DcPrecision = 8;
  IntraOnly = 0;
  QpHistogram = 0;
  VideoFilters.clear();
  UseFilterGraph = false;
  VideoGlobalHeader = 0;
  VideoSyncMethod = -1;
  VideoChannel = 0;
  VideoStandard.clear();
  UsingVhook = false;
  VideoBsfChain.clear();
  // Audio.
  AudioSampleRate = 44100;
  AudioChannels = 2;
  AudioSampleFmt = -1;
  AudioQScale = -99999.0f;
  AudioDisabled = 0;
  AudioCodecName.clear();
  AudioCopy = 0;
  AudioCodecTag = 0;
  AudioLanguage.clear();
  AudioVolume = 256;
  AudioSyncMethod = 0;
  AudioDriftThreshold = 0.1f;
  AudioBsfChain.clear();
  // Subtitles.
  SubtitleDisabled = 0;
  SubtitleCodecName.clear();
  SubtitleCopy = 0;
  SubtitleLanguage.clear();
  SubtitleBsfChain.clear();
  // Time, muxing, output file.
  RecordingTime = std::numeric_limits<int64_t>::max();
  ExpectedDurationMs = -1;
  StartTime = 0;
  InputTsOffset = 0;
  RecordTimestamp = 0;
  LimitFileSize = 0;
  MuxPreload = 0.5f;
  MuxMaxDelay = 0.7f;
  LoopInput = 0;
  LoopOutput = -1;
  Title.clear();
  Author.clear();
  Copyright.clear();
  Comment.clear();
  Genre.clear();
  Album.clear();
  Year = Track = 0;
  CopyTs = false;
  Shortest = 0;
  InputSync = 0;
  DtsDeltaThreshold = 10.0f;
  ProgramId = 0;
  RateEmulation = 0;
  // Run behaviour and statistics.
  Verbose = 1;
  ThreadCount = 1;
  ExitOnError = false;
  HexDump = PacketDump = 0;
  DoPsnr = 0;
  PassNumber = 0;
  PassLogPrefix.clear();
  VstatsFileName.clear();
  SwsFlags = SWS_BICUBIC;
  // Generic store: the names go; the holders are made afresh by Prepare.
  GenericOptionNames.clear();
  FormatPrivateOptions.reset();
}

// ---- setters the component calls directly ----

void TCustomFFmpeg::SetStartTimeUs(int64_t t) {
  if (t > 0) StartTime = t;
}
void TCustomFFmpeg::SetProgramId(int32_t n) {
  if (n >= 0) ProgramId = n;
}
void TCustomFFmpeg::SetAudioVolume(int32_t n) {
  if (n >= 0) AudioVolume = n;
}
void TCustomFFmpeg::SetAudioSync(int32_t n) { AudioSyncMethod = n; }
void TCustomFFmpeg::SetVideoSync(int32_t n) { VideoSyncMethod = n; }
void TCustomFFmpeg::SetMuxMaxDelay(float s) {
  if (s > 0) MuxMaxDelay = s;
}
void TCustomFFmpeg::SetMuxPreload(float s) {
  if (s > 0) MuxPreload = s;
}
void TCustomFFmpeg::SetYear(int32_t n) {
  if (n > 0) Year = n;
}
void TCustomFFmpeg::SetTrack(int32_t n) {
  if (n > 0) Track = n;
}
void TCustomFFmpeg::SetTitle(const std::string& s) {
  if (!s.empty()) Title = s;
}
void TCustomFFmpeg::SetAuthor(const std::string& s) {
  if (!s.empty()) Author = s;
}
void TCustomFFmpeg::SetCopyright(const std::string& s) {
  if (!s.empty()) Copyright = s;
}
void TCustomFFmpeg::SetComment(const std::string& s) {
  if (!s.empty()) Comment = s;
}
void TCustomFFmpeg::SetGenre(const std::string& s) {
  if (!s.empty()) Genre = s;
}
void TCustomFFmpeg::SetAlbum(const std::string& s) {
  if (!s.empty()) Album = s;
}

}  // namespace engine
