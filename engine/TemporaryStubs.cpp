// TEMPORARY, delete at merge: stand-ins for the engine core written on another branch, so that
// opening can be built and tested on its own. Nothing outside this file depends on it.
#include "FFmpeg.h"

namespace engine {

std::mutex& CodecLock() {
  static std::mutex lock;
  return lock;
}

TCustomFFmpeg::TCustomFFmpeg() = default;
TCustomFFmpeg::~TCustomFFmpeg() = default;

void TCustomFFmpeg::Prepare() {
  for (int kind = 0; kind < 5; ++kind) {
    CodecDefaults[kind].reset(lib::avcodec.avcodec_alloc_context3(nullptr));
    CodecDefaults[kind]->codec_type = static_cast<AVMediaType>(kind);
  }
  FormatDefaults.reset(lib::avformat.avformat_alloc_context());
  ScalerDefaults.reset(lib::swscale.sws_alloc_context());
}

void TCustomFFmpeg::Log(int level, const std::string& text) {
  if (LogCallback) LogCallback(this, level, text);
}

// Copies each stored generic option whose flags include all of `flags`.
void TCustomFFmpeg::ApplyCodecOptions(void* target, void* defaults, int flags) {
  if (!target || !defaults) return;
  for (const std::string& name : GenericOptionNames) {
    const AVOption* option = lib::avutil.av_opt_find(defaults, name.c_str(), nullptr, 0, 0);
    if (!option || (option->flags & flags) != flags) continue;
    uint8_t* value = nullptr;
    if (lib::avutil.av_opt_get(defaults, name.c_str(), 0, &value) >= 0 && value)
      lib::avutil.av_opt_set(target, name.c_str(), reinterpret_cast<const char*>(value), 0);
    lib::avutil.av_free(value);
  }
}

}  // namespace engine
