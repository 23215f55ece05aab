// Stand-ins for the stream creators of output opening, used until those are linked in (a real
// definition replaces these weak ones).
#include "FFmpeg.h"

namespace engine {

__attribute__((weak)) void TCustomFFmpeg::new_video_stream(TOutputFile&) {
  throw FFMpegException("stream creators not linked");
}
__attribute__((weak)) void TCustomFFmpeg::new_audio_stream(TOutputFile&) {
  throw FFMpegException("stream creators not linked");
}
__attribute__((weak)) void TCustomFFmpeg::new_subtitle_stream(TOutputFile&) {
  throw FFMpegException("stream creators not linked");
}

}  // namespace engine
