// TEMPORARY, delete at merge: minimal engine members that other branches implement for real
// (state and lifecycle, options, the open-codec lists), so the transcode can be built and tested
// on its own. Only what the transcode and its tests touch is here.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <thread>

#include "FFmpeg.h"
#include "FFmpegThread.h"

namespace engine {

std::mutex& CodecLock() {
  static std::mutex lock;
  return lock;
}

TCustomFFmpeg::TCustomFFmpeg() { ResetOptions(); }

TCustomFFmpeg::~TCustomFFmpeg() {
  Stop();
  for (int i = 0; i < 10 && Thread; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  // A run still going owns this state; waiting for it is the only safe choice.
  while (Thread) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  Reset();
}

void TCustomFFmpeg::ResetOptions() {
  MaxFrames.fill(INT_MAX);
  ExceptionRaised = false;
}

void TCustomFFmpeg::Prepare() {
  Reset();
  ResetOptions();
  Running = StopRequested = Finished = Terminated = false;
  ExpectedDurationMs = -1;
}

void TCustomFFmpeg::Reset() {
  for (TOutputFile& file : OutputFiles) {
    AVFormatContext* context = file.Context.get();
    if (context && context->pb && !(context->oformat->flags & AVFMT_NOFILE))
      lib::avformat.avio_closep(&context->pb);
    file.Encoders.clear();
    file.Context.reset();
    struct stat info {};
    if (file.CreatedFile && ::stat(file.FileName.c_str(), &info) == 0 && info.st_size == 0)
      ::unlink(file.FileName.c_str());
  }
  OutputFiles.clear();
  InputFiles.clear();
  VideoBitBuffer.clear();
  VideoBitBuffer.shrink_to_fit();
  if (VstatsFile) {
    std::fclose(VstatsFile);
    VstatsFile = nullptr;
  }
}

void TCustomFFmpeg::ReleaseRunTables() {
  VideoBitBuffer.clear();
  VideoBitBuffer.shrink_to_fit();
  InputFileTable.clear();
  InputStreamTable.clear();
  OutputStreamTable.clear();
}

void TCustomFFmpeg::Stop() {
  StopRequested = true;
  TFFmpegThread::ResumeIfSuspended(*this);
}

void TCustomFFmpeg::NotifyTerminated() {
  Running = false;
  Terminated = true;
  Thread = nullptr;
  if (TerminateCallback) TerminateCallback(this);
}

void TCustomFFmpeg::Log(int level, const std::string& text) {
  if (LogCallback) LogCallback(this, level, text);
}

void TCustomFFmpeg::AddOpenEncoder(TOutputStreamState* record) { OpenEncoders.push_front(record); }

void TCustomFFmpeg::RemoveOpenEncoder(TOutputStreamState* record) {
  for (auto it = OpenEncoders.begin(); it != OpenEncoders.end(); ++it)
    if (*it == record) {
      OpenEncoders.erase(it);
      return;
    }
}

void TCustomFFmpeg::CloseOpenEncoders() {
  for (TOutputStreamState* record : OpenEncoders)
    if (record->EncodingNeeded && record->Encoder) {
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
  for (TInputStreamState* record : OpenDecoders)
    if (record->DecodingNeeded && record->Decoder) {
      std::lock_guard<std::mutex> guard(CodecLock());
      lib::avcodec.avcodec_close(record->Decoder);
    }
  OpenDecoders.clear();
}

}  // namespace engine
