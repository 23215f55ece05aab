// Target presets: every setting a disc or tape format needs, applied through the option handlers
// and the generic store.
#include <cmath>

#include "MessageFormat.h"
#include "OptionHandlers.h"

namespace engine {

namespace {

enum TNorm { nmPal, nmNtsc, nmFilm };

// Frame-rate code: the rate times 1000, rounded (halves to even).
int64_t RateCode(double num, double den) { return std::llrint(num * 1000.0 / den); }

bool NormOfCode(int64_t code, TNorm& norm) {
  if (code == 25000) {
    norm = nmPal;
    return true;
  }
  if (code == 29970 || code == 23976) {
    norm = nmNtsc;
    return true;
  }
  return false;
}

TNorm NormOfName(const std::string& name) {
  if (name == "film") return nmFilm;
  if (name == "ntsc") return nmNtsc;
  return nmPal;
}

}  // namespace

void TCustomFFmpeg::ApplyTarget(const std::string& type, const std::string& normName,
                                const std::string& defaultNorm) {
  TNorm norm;
  if (normName == "pal" || normName == "ntsc" || normName == "film") {
    norm = NormOfName(normName);
  } else {
    if (FrameRate.den == 0) throw FFMpegException("frame_rate is invalid.");
    bool decided = NormOfCode(RateCode(FrameRate.num, FrameRate.den), norm);
    for (size_t f = 0; !decided && f < InputFiles.size(); ++f) {
      const AVFormatContext* input = InputFiles[f].Context.get();
      if (!input) continue;
      for (unsigned s = 0; !decided && s < input->nb_streams; ++s) {
        const AVStream* st = input->streams[s];
        if (st->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
        const AVRational rate = st->r_frame_rate;
        if (rate.num <= 0 || rate.den <= 0) continue;
        decided = NormOfCode(RateCode(rate.num, rate.den), norm);
      }
    }
    if (!decided) norm = NormOfName(defaultNorm);
    if (Verbose > 0) Log(1, FormatMessage("Assuming %s for target.", {norm == nmPal ? "PAL" : "NTSC"}));
  }

  const bool pal = norm == nmPal;
  const char* rate = pal ? "25" : norm == nmNtsc ? "30000/1001" : "24000/1001";
  const char* gop = pal ? "15" : "18";
  const char* aspect = nullptr;

  if (type == "vcd") {
    ApplyOption("vcodec", "mpeg1video");
    ApplyOption("acodec", "mp2");
    SetOutputFormat("vcd");
    ApplyOption("s", pal ? "352x288" : "352x240");
    ApplyOption("r", rate);
    ApplyGenericOption("gop", gop);
    ApplyGenericOption("b", "1150000");
    ApplyGenericOption("maxrate", "1150000");
    ApplyGenericOption("minrate", "1150000");
    ApplyGenericOption("bufsize", "327680");
    ApplyGenericOption("ab", "224000");
    ApplyGenericOption("packetsize", "2324");
    ApplyGenericOption("muxrate", "1411200");
    AudioSampleRate = 44100;
    AudioChannels = 2;
    MuxPreload = 0.44f;
    aspect = "4:3";
  } else if (type == "svcd") {
    ApplyOption("vcodec", "mpeg2video");
    ApplyOption("acodec", "mp2");
    SetOutputFormat("svcd");
    ApplyOption("s", pal ? "480x576" : "480x480");
    ApplyOption("r", rate);
    ApplyGenericOption("gop", gop);
    ApplyGenericOption("b", "2040000");
    ApplyGenericOption("maxrate", "2516000");
    ApplyGenericOption("minrate", "0");
    ApplyGenericOption("bufsize", "1835008");
    ApplyGenericOption("flags", "+scan_offset");
    ApplyGenericOption("ab", "224000");
    ApplyGenericOption("packetsize", "2324");
    AudioSampleRate = 44100;
    if (AudioChannels == 1) AudioChannels = 2;
    aspect = "4:3";
  } else if (type == "dvd") {
    ApplyOption("vcodec", "mpeg2video");
    ApplyOption("acodec", "ac3");
    SetOutputFormat("dvd");
    ApplyOption("s", pal ? "720x576" : "720x480");
    ApplyOption("r", rate);
    ApplyGenericOption("gop", gop);
    ApplyGenericOption("b", "6000000");
    ApplyGenericOption("maxrate", "9000000");
    ApplyGenericOption("minrate", "0");
    ApplyGenericOption("bufsize", "1835008");
    ApplyGenericOption("ab", "448000");
    ApplyGenericOption("packetsize", "2048");
    ApplyGenericOption("muxrate", "10080000");
    AudioSampleRate = 48000;
    if (AudioChannels == 1) AudioChannels = 2;
    aspect = "16:9";
  } else if (type == "dv" || type == "dv50") {
    SetOutputFormat("dv");
    ApplyOption("s", pal ? "720x576" : "720x480");
    ApplyOption("pix_fmt", type == "dv50" ? "yuv422p" : pal ? "yuv420p" : "yuv411p");
    ApplyOption("r", rate);
    AudioSampleRate = 48000;
    AudioChannels = 2;
  } else {
    throw FFMpegException("Unknown target type");
  }

  if (aspect && FrameAspect == 0.0f) {
    Log(1, FormatMessage("Assuming %s for aspect ratio", {aspect}));
    ApplyOption("aspect", aspect);
  }
}

namespace handlers {

void Target(TCustomFFmpeg& e, const std::string&, const std::string& value) {
  const std::string v = Trim(value);
  std::string norm = "auto", type = v;
  for (const char* prefix : {"pal-", "ntsc-", "film-"}) {
    const std::string p = prefix;
    if (v.compare(0, p.size(), p) == 0) {
      norm = p.substr(0, p.size() - 1);
      type = v.substr(p.size());
      break;
    }
  }
  e.ApplyTarget(type, norm, "ntsc");
}

}  // namespace handlers

}  // namespace engine
