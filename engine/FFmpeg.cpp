// Engine lifecycle: construction, preparation, release of files and run records, the open-codec
// lists, stopping and termination.
#include "FFmpeg.h"
#include "FFmpegThread.h"

#include <pthread.h>
#include <sched.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "LibrarySet.h"

namespace engine {

std::mutex& CodecLock() {
  static std::mutex lock;
  return lock;
}

TCustomFFmpeg::TCustomFFmpeg() { ResetOptions(); }

// A worker that has not ended still uses this engine's files, run tables and option state, so
// the engine waits for it however long the run takes to see the stop request (the loop polls it
// once per packet) rather than giving up after a fixed time. The same holds for a termination
// notice still on its way.
TCustomFFmpeg::~TCustomFFmpeg() {
  Stop();
  for (;;) {
    {
      std::lock_guard<std::mutex> guard(ThreadMutex);
      if (!Thread && !TerminatePending) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  Reset();
  // Holders that Reset could not free (libraries unbound meanwhile) must not reach the
  // unbound library calls of their owners.
  if (!libbind::LibrarySetBound()) {
    for (auto& holder : CodecDefaults) (void)holder.release();
    (void)FormatDefaults.release();
    (void)ScalerDefaults.release();
    (void)FormatPrivateOptions.release();
  }
}

void TCustomFFmpeg::Prepare() {
  if (!libbind::LibrarySetBound()) return;
  Reset();
  ResetOptions();
  Running = false;
  StopRequested = false;
  Finished = false;
  Terminated = false;
  ExpectedDurationMs = -1;
  for (int kind = 0; kind < 5; ++kind) {
    CodecDefaults[kind].reset(lib::avcodec.avcodec_alloc_context3(nullptr));
    if (!CodecDefaults[kind]) throw FFMpegException("Cannot allocate the codec option defaults");
    CodecDefaults[kind]->codec_type = static_cast<AVMediaType>(kind);
  }
  FormatDefaults.reset(lib::avformat.avformat_alloc_context());
  ScalerDefaults.reset(lib::swscale.sws_getContext(16, 16, AV_PIX_FMT_YUV420P, 16, 16,
                                                   AV_PIX_FMT_YUV420P, SwsFlags, nullptr, nullptr,
                                                   nullptr));
  if (!FormatDefaults || !ScalerDefaults)
    throw FFMpegException("Cannot allocate the format and scaler option defaults");
}

void TCustomFFmpeg::Reset() {
  if (!libbind::LibrarySetBound()) return;
  // 1. The generic option store.
  for (auto& holder : CodecDefaults) holder.reset();
  FormatDefaults.reset();
  ScalerDefaults.reset();
  FormatPrivateOptions.reset();
  // 2. Output files: close the file, free encoders and the context; an empty file we created is
  // a leftover of a failed or cancelled conversion.
  for (TOutputFile& out : OutputFiles) {
    AVFormatContext* ctx = out.Context.get();
    if (ctx && ctx->pb && !(ctx->oformat && (ctx->oformat->flags & AVFMT_NOFILE)))
      lib::avformat.avio_closep(&ctx->pb);
    out.Encoders.clear();
    if (out.CreatedFile && !out.FileName.empty()) {
      std::error_code ec;
      const std::filesystem::path path(out.FileName);
      if (std::filesystem::is_regular_file(path, ec) && std::filesystem::file_size(path, ec) == 0 && !ec)
        std::filesystem::remove(path, ec);
    }
    out.Context.reset();
  }
  OutputFiles.clear();
  // 3. Input files (decoders first: they were opened from the streams).
  for (TInputFile& in : InputFiles) {
    in.Decoders.clear();
    in.Context.reset();
  }
  InputFiles.clear();
  // 4. Option values that hold memory.
  VideoCodecName.clear();
  AudioCodecName.clear();
  SubtitleCodecName.clear();
  IntraMatrix.clear();
  InterMatrix.clear();
  RcOverride.clear();
  VideoStandard.clear();
  VstatsFileName.clear();
  VideoBsfChain.clear();
  AudioBsfChain.clear();
  SubtitleBsfChain.clear();
  if (VstatsFile) {
    std::fclose(VstatsFile);
    VstatsFile = nullptr;
  }
  // 5. The encoders' output buffer.
  VideoBitBuffer.clear();
  VideoBitBuffer.shrink_to_fit();
}

void TCustomFFmpeg::ReleaseRunTables() {
  VideoBitBuffer.clear();
  VideoBitBuffer.shrink_to_fit();
  InputFileTable.clear();
  InputStreamTable.clear();
  // Each record closes its statistics file and frees its FIFO, picture, scaler and resamplers.
  OutputStreamTable.clear();
}

// ---- open-codec lists ----

void TCustomFFmpeg::AddOpenEncoder(TOutputStreamState* record) { OpenEncoders.push_front(record); }

void TCustomFFmpeg::RemoveOpenEncoder(TOutputStreamState* record) {
  for (auto it = OpenEncoders.begin(); it != OpenEncoders.end(); ++it)
    if (*it == record) {
      OpenEncoders.erase(it);
      return;
    }
}

void TCustomFFmpeg::CloseOpenEncoders() {
  for (TOutputStreamState* record : OpenEncoders) {
    if (!record || !record->EncodingNeeded || !record->Encoder) continue;
    lib::avutil.av_freep(&record->Encoder->stats_in);
    std::lock_guard<std::mutex> guard(CodecLock());
    lib::avcodec.avcodec_close(record->Encoder);
  }
  OpenEncoders.clear();
}

void TCustomFFmpeg::AddOpenDecoder(TInputStreamState* record) { OpenDecoders.push_front(record); }

void TCustomFFmpeg::RemoveOpenDecoder(TInputStreamState* record) {
  for (auto it = OpenDecoders.begin(); it != OpenDecoders.end(); ++it)
    if (*it == record) {
      OpenDecoders.erase(it);
      return;
    }
}

void TCustomFFmpeg::CloseOpenDecoders() {
  for (TInputStreamState* record : OpenDecoders) {
    if (!record || !record->DecodingNeeded || !record->Decoder) continue;
    std::lock_guard<std::mutex> guard(CodecLock());
    lib::avcodec.avcodec_close(record->Decoder);
  }
  OpenDecoders.clear();
}

// ---- stopping and termination ----

void TCustomFFmpeg::Stop() {
  StopRequested = true;
  std::lock_guard<std::mutex> guard(ThreadMutex);
  // A worker created but not resumed yet runs its setup, sees the request and ends at once.
  if (Thread && Thread->Suspended()) Thread->Resume();
}

void TCustomFFmpeg::NotifyTerminated() {
  {
    std::lock_guard<std::mutex> guard(ThreadMutex);
    Running = false;
    Terminated = true;
    Thread = nullptr;
    TerminatePending = false;
  }
  if (TerminateCallback) TerminateCallback(this);
}

// A task that never ran still owes its host a termination notice; it is delivered from a thread
// of its own so that the caller never receives it re-entrantly. One notice at a time.
void TCustomFFmpeg::StopOrNotify() {
  if (Running) {
    Stop();
    return;
  }
  {
    // Checked together under the lock: a notice that lands between the two checks would
    // otherwise be followed by a second one.
    std::lock_guard<std::mutex> guard(ThreadMutex);
    if (Terminated || TerminatePending) return;
    TerminatePending = true;
  }
  std::thread TDoTerminateThread([this] {
    sched_param idle{};
    pthread_setschedparam(pthread_self(), SCHED_IDLE, &idle);
    NotifyTerminated();
  });
  TDoTerminateThread.detach();
}

void TCustomFFmpeg::Log(int level, const std::string& text) {
  if (LogCallback) LogCallback(this, level, text);
}

}  // namespace engine
