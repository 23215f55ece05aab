// Progress report (figures to the host or one line to the log), the final size summary and the
// per-frame video statistics file.
#include <cinttypes>
#include <cstdarg>
#include <climits>
#include <cmath>

#include "MediaPaths.h"

namespace engine {

namespace {

constexpr double NoTime = 1e10;  // seconds: no output stream has reached a positive time yet

double Psnr(double error, double scale) { return -10.0 * std::log10(error / scale); }

bool IsVideo(const TOutputStreamState& ost) {
  return ost.Stream && ost.Stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
}

float QualityOf(const TOutputStreamState& ost) {
  return ost.EncodingNeeded ? static_cast<float>(ost.LastQuality) / FF_QP2LAMBDA : -1.0f;
}

// Seconds reached by an output stream: frames encoded for video, the end of the last packet
// written otherwise (or the samples handed to the encoder while nothing was written yet).
double StreamTime(const TOutputStreamState& ost) {
  const AVCodecContext* encoder = ost.Encoder;
  if (IsVideo(ost) && ost.EncodingNeeded && encoder && encoder->time_base.den)
    return static_cast<double>(ost.NextOutputPts) * av_q2d(encoder->time_base);
  if (ost.LastPacketEnd != AV_NOPTS_VALUE && ost.Stream && ost.Stream->time_base.den)
    return static_cast<double>(ost.LastPacketEnd) * av_q2d(ost.Stream->time_base);
  if (ost.EncodingNeeded && encoder && encoder->time_base.den)
    return static_cast<double>(ost.NextOutputPts) * av_q2d(encoder->time_base);
  return 0.0;
}

int64_t OutputSize(const std::vector<TOutputFile>& files) {
  if (files.empty() || !files[0].Context || !files[0].Context->pb) return 0;
  AVIOContext* pb = files[0].Context->pb;
  int64_t size = lib::avformat.avio_size(pb);
  if (size < 0) size = lib::avformat.avio_seek(pb, 0, SEEK_CUR);
  return size < 0 ? 0 : size;
}

void Append(std::string& line, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Append(std::string& line, const char* format, ...) {
  char piece[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(piece, sizeof piece, format, args);
  va_end(args);
  line += piece;
}

}  // namespace

void TCustomFFmpeg::ReportProgress(bool final) {
  int32_t frameNumber = -1, fps = -1;
  float quality = -1.0f;
  const int64_t totalSize = OutputSize(OutputFiles);
  std::string line;
  double tMin = NoTime;
  bool videoDescribed = false;

  for (const auto& record : OutputStreamTable) {
    if (!record) continue;
    const TOutputStreamState& ost = *record;
    const AVCodecContext* encoder = ost.Encoder;
    if (videoDescribed && IsVideo(ost)) Append(line, "q=%2.1f ", QualityOf(ost));
    if (!videoDescribed && IsVideo(ost)) {
      const double elapsed =
          static_cast<float>(lib::avutil.av_gettime() - TimerStart) / 1000000.0f;
      frameNumber = ost.FrameNumber;
      if (frameNumber < 1) return;  // nothing to tell before the first picture
      fps = elapsed > 1 ? static_cast<int32_t>(frameNumber / elapsed + 0.5) : 0;
      quality = QualityOf(ost);
      Append(line, "frame=%5d fps=%3d q=%3.1f ", frameNumber, fps, quality);
      if (final) line += "L";
      if (QpHistogram) {
        const long qp = std::lrint(quality);
        if (qp >= 0 && qp < static_cast<long>(QpHistogramCounts.size())) ++QpHistogramCounts[qp];
        for (int j = 0; j < 32; ++j)
          Append(line, "%X", static_cast<unsigned>(std::lrint(std::log2(QpHistogramCounts[j] + 1.0))));
      }
      if (encoder && ost.EncodingNeeded && (encoder->flags & AV_CODEC_FLAG_PSNR)) {
        double errorSum = 0, scaleSum = 0;
        line += "PSNR=";
        for (int j = 0; j < 3; ++j) {
          const double error = static_cast<double>(final ? encoder->error[j] : ost.LastErrors[j]);
          double scale = static_cast<double>(encoder->width) * encoder->height * 255.0 * 255.0;
          if (final) scale *= frameNumber;
          if (j) scale /= 4;
          errorSum += error;
          scaleSum += scale;
          Append(line, "%c:%2.2f ", "YUV"[j], Psnr(error, scale));
        }
        Append(line, "*:%2.2f ", Psnr(errorSum, scaleSum));
      }
      videoDescribed = true;
    }
    const double p = StreamTime(ost);
    if (p < tMin && p > 0) tMin = p;
  }
  const bool reached = tMin < NoTime;
  if (tMin < 0.01) tMin = 0.01;

  if (ProgressCallback || Verbose > 0 || final) {
    const double bitrate = static_cast<double>(totalSize) * 8 / tMin / 1000;
    Append(line, "size=%8.0fkB time=%0.2f bitrate=%6.1fkbits/s", totalSize / 1024.0, tMin, bitrate);
    if (Verbose > 1) Append(line, " dup=%d drop=%d", DupFrames, DropFrames);
    if (ProgressCallback) {
      TProgressFigures figures;
      figures.FrameNumber = frameNumber;
      figures.FPS = fps;
      // No stream has a time yet: report 0 ms rather than 1e10 s, which 32 bits cannot hold.
      figures.CurrentDurationMs =
          reached ? static_cast<int32_t>(std::min(tMin * 1000, static_cast<double>(INT32_MAX))) : 0;
      figures.Quality = quality;
      figures.BitRate = static_cast<float>(bitrate);
      figures.CurrentSize = totalSize;
      figures.TotalOutputDurationMs = ExpectedDurationMs;
      ProgressCallback(this, figures);
    } else if (Verbose >= 0 && LogCallback) {
      Log(1, line);
    }
  }

  if (final && Verbose >= 0 && LogCallback) {
    const int64_t raw = VideoBytes + AudioBytes + ExtraBytes;
    std::string summary = media::Format("video:%1.0fkB audio:%1.0fkB global headers:%1.0fkB ",
                                        VideoBytes / 1024.0, AudioBytes / 1024.0, ExtraBytes / 1024.0);
    // Nothing encoded or copied: there is no payload to measure the overhead against.
    if (raw > 0)
      summary += media::Format("muxing overhead %.2f%%\r\n",
                               static_cast<double>(totalSize - raw) * 100.0 / static_cast<double>(raw));
    else
      summary += "muxing overhead unknown\r\n";
    Log(1, summary);
  }
}

void TCustomFFmpeg::WriteVideoStats(TOutputFile& file, TOutputStreamState& ost, int frameSize) {
  (void)file;
  if (!VstatsFile) {
    VstatsFile = std::fopen(VstatsFileName.c_str(), "w");
    if (!VstatsFile) throw FFMpegException("fopen fail: " + VstatsFileName);
  }
  const AVCodecContext* encoder = ost.Encoder;
  if (!IsVideo(ost) || !encoder) return;
  std::fprintf(VstatsFile, "frame= %5d q= %2.1f ", ost.FrameNumber,
               static_cast<float>(ost.LastQuality) / FF_QP2LAMBDA);
  if (encoder->flags & AV_CODEC_FLAG_PSNR)
    std::fprintf(VstatsFile, "PSNR= %6.2f ",
                 Psnr(static_cast<double>(ost.LastErrors[0]),
                      static_cast<double>(encoder->width) * encoder->height * 255.0 * 255.0));
  std::fprintf(VstatsFile, "f_size= %6d ", frameSize);
  const double tb = encoder->time_base.den ? av_q2d(encoder->time_base) : 0.0;
  double t = static_cast<double>(ost.NextOutputPts) * tb;
  if (t < 0.01) t = 0.01;
  const double br = tb > 0 ? frameSize * 8 / tb / 1000 : 0.0;
  const double avg = static_cast<double>(VideoBytes) * 8 / t / 1000;
  std::fprintf(VstatsFile, "s_size= %8.0fkB time= %0.3f br= %7.1fkbits/s avg_br= %7.1fkbits/s ",
               VideoBytes / 1024.0, t, br, avg);
  std::fprintf(VstatsFile, "type= %c\n",
               lib::avutil.av_get_picture_type_char(static_cast<AVPictureType>(ost.LastPictType)));
}

}  // namespace engine
