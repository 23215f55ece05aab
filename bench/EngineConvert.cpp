#include "EngineConvert.h"

#include "FFmpeg.h"
#include "LibrarySet.h"

namespace bench {

std::string ConvertWithEngine(const std::string& libDir, const std::string& source,
                              const std::string& target) {
  if (!libbind::BindLibrarySet(libDir, true)) return libbind::LibrarySetError();
  engine::TFFmpeg ffmpeg;
  ffmpeg.Prepare();
  ffmpeg.ApplyOption("v", "-1");
  if (!ffmpeg.OpenInputFile(source)) return ffmpeg.ErrorText;
  try {
    ffmpeg.ApplyOption("vcodec", "msmpeg4v2");
    ffmpeg.ApplyOption("acodec", "pcm_s16le");
    ffmpeg.ApplyOption("ac", "2");
    ffmpeg.ApplyOption("ar", "44100");
    ffmpeg.ApplyGenericOptionInt("vb", 1200000);
    ffmpeg.ApplyGenericOptionInt("ab", 128000);
  } catch (const std::exception& e) {
    return e.what();
  }
  if (!ffmpeg.OpenOutputFile(target)) return ffmpeg.ErrorText;
  ffmpeg.Start(false);
  if (ffmpeg.ExceptionRaised) return ffmpeg.ErrorMessage;
  return ffmpeg.Finished ? std::string() : "run did not finish";
}

}  // namespace bench
