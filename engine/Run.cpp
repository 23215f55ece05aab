// Starting a run and the run body.
#include <exception>

#include "FFmpeg.h"
#include "FFmpegThread.h"

namespace engine {

TFFmpegThread* TCustomFFmpeg::Start(bool threaded) {
  if (Running || Terminated) return nullptr;

  const char* refusal = nullptr;
  if (OutputFileCount() <= 0)
    refusal = "Must supply at least one output file";
  else if (InputFileCount() == 0)
    refusal = "Must supply at least one input file";
  if (refusal) {
    Reset();
    Log(-1, refusal);
    ExceptionRaised = true;
    ErrorMessage = refusal;
    NotifyTerminated();
    return nullptr;
  }

  Running = true;
  StopRequested = false;
  Finished = false;
  Terminated = false;

  if (!threaded) {
    Run();
    return nullptr;
  }
  // Suspended until the caller resumes it, so it cannot end before Thread is set.
  auto* thread = new TFFmpegThread(this);
  std::lock_guard<std::mutex> guard(ThreadMutex);
  Thread = thread;
  return thread;
}

void TCustomFFmpeg::Run() {
  Finished = false;
  try {
    Transcode();
  } catch (const std::exception& e) {
    ExceptionRaised = true;
    ErrorMessage = e.what();
    Log(-1, ErrorMessage);
  } catch (...) {
    ExceptionRaised = true;
    ErrorMessage = "Unknown error";
    Log(-1, ErrorMessage);
  }
  CloseOpenEncoders();
  CloseOpenDecoders();
  Reset();
  NotifyTerminated();
}

}  // namespace engine
