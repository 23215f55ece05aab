// A stand-in for the transcoding engine, used only when the engine's own sources are not in the
// tree yet (QV_ENGINE_STUB). It opens real inputs, honours the run contract the component relies
// on (suspended worker, stop request, one termination per task, terminate-delivery threads) and
// "converts" by writing a small placeholder file in a few progress steps.
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <future>
#include <stdexcept>
#include <thread>

#include "FFmpeg.h"
#include "OpenErrorText.h"

namespace engine {

std::mutex& CodecLock() {
  static std::mutex lock;
  return lock;
}

namespace {

bool LoadFlag(const bool& flag) { return __atomic_load_n(&flag, __ATOMIC_ACQUIRE); }
void StoreFlag(bool& flag, bool value) { __atomic_store_n(&flag, value, __ATOMIC_RELEASE); }

class TStubThread : public TFFmpegThread {
 public:
  explicit TStubThread(std::function<void()> body) {
    std::promise<uint32_t> id;
    auto idFuture = id.get_future();
    std::thread([this, body = std::move(body), id = std::move(id)]() mutable {
      id.set_value(static_cast<uint32_t>(syscall(SYS_gettid)));
      {
        std::unique_lock lock(Mutex);
        Wake.wait(lock, [this] { return Resumed; });
      }
      body();
      delete this;
    }).detach();
    Id = idFuture.get();
  }
  void Resume() override {
    std::lock_guard lock(Mutex);
    Resumed = true;
    Wake.notify_all();
  }
  uint32_t ThreadId() const override { return Id; }

 private:
  std::mutex Mutex;
  std::condition_variable Wake;
  bool Resumed = false;
  uint32_t Id = 0;
};

int ParseInt(const std::string& value) {
  size_t used = 0;
  int n = std::stoi(value, &used);
  if (used != value.size()) throw std::invalid_argument("Invalid number: " + value);
  return n;
}

}  // namespace

TCustomFFmpeg::TCustomFFmpeg() = default;
TCustomFFmpeg::~TCustomFFmpeg() {
  Stop();
  Reset();
}

void TCustomFFmpeg::Prepare() {}
void TCustomFFmpeg::Reset() {
  InputFiles.clear();
  OutputFiles.clear();
}
void TCustomFFmpeg::Stop() { StoreFlag(StopRequested, true); }

void TCustomFFmpeg::NotifyTerminated() {
  Running = false;
  Terminated = true;
  Thread = nullptr;
  if (TerminateCallback) TerminateCallback(this);
}

void TCustomFFmpeg::StopOrNotify() {
  if (Running) {
    Stop();
  } else if (!Terminated) {
    std::thread([this] { NotifyTerminated(); }).detach();
  }
}

TFFmpegThread* TCustomFFmpeg::Start(bool threaded) {
  if (Running || Terminated) return nullptr;
  std::string error;
  if (OutputFiles.empty())
    error = "Must supply at least one output file";
  else if (InputFiles.empty())
    error = "Must supply at least one input file";
  if (!error.empty()) {
    Reset();
    Log(-1, error);
    ExceptionRaised = true;
    ErrorMessage = error;
    NotifyTerminated();
    return nullptr;
  }
  Running = true;
  StoreFlag(StopRequested, false);
  Finished = false;
  Terminated = false;
  if (!threaded) {
    Run();
    return nullptr;
  }
  auto* thread = new TStubThread([this] { Run(); });
  Thread = thread;
  return thread;
}

void TCustomFFmpeg::Transcode() {
  if (VideoCodecName == "mpeg4" && FrameRate.den > 0 && FrameRate.num / FrameRate.den > 65535)
    throw FFMpegException("Error while opening codec for output stream #0.0 - maybe incorrect "
                          "parameters such as bit_rate, rate, width or height");
  const int total = ExpectedDurationMs > 0 ? ExpectedDurationMs : 1000;
  for (int step = 1; step <= 4 && !LoadFlag(StopRequested); ++step) {
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    lib::avutil.av_log(nullptr, AV_LOG_ERROR, "stub step %d\n", step);
    TProgressFigures figures;
    figures.FrameNumber = step;
    figures.FPS = 25;
    figures.CurrentDurationMs = total * step / 4;
    figures.TotalOutputDurationMs = ExpectedDurationMs;
    if (ProgressCallback) ProgressCallback(this, figures);
  }
  for (auto& file : OutputFiles) {
    if (std::FILE* f = std::fopen(file.FileName.c_str(), "wb")) {
      std::fputs("stub output\n", f);
      std::fclose(f);
    }
  }
}

void TCustomFFmpeg::Run() {
  Finished = false;
  try {
    Transcode();
    Finished = !LoadFlag(StopRequested);
  } catch (const std::exception& e) {
    Log(-1, e.what());
    ExceptionRaised = true;
    ErrorMessage = e.what();
  }
  Reset();
  NotifyTerminated();
}

void TCustomFFmpeg::Log(int level, const std::string& text) {
  if (LogCallback) LogCallback(this, level, text);
}

void TCustomFFmpeg::ApplyOption(const std::string& name, const std::string& value) {
  if (name == "threads") throw FFMpegException("TODO: option - " + name);
  if (name == "vcodec") VideoCodecName = value;
  if (name == "acodec") AudioCodecName = value;
  if (name == "ac" && ParseInt(value) > 0) AudioChannels = ParseInt(value);
  if (name == "ar" && ParseInt(value) > 0) AudioSampleRate = ParseInt(value);
  if (name == "vn") VideoDisabled = 1;
  if (name == "r" && !value.empty() && lib::avutil.av_parse_video_rate(&FrameRate, value.c_str()) < 0)
    throw FFMpegException("Incorrect frame rate");
  if (name == "s" && !value.empty()) {
    if (lib::avutil.av_parse_video_size(&FrameWidth, &FrameHeight, value.c_str()) < 0)
      throw FFMpegException("Incorrect frame size");
    if (FrameWidth % 2 || FrameHeight % 2) throw FFMpegException("Frame size must be a multiple of 2");
  }
}
bool TCustomFFmpeg::ApplyGenericOption(const std::string&, const std::string&) { return true; }
void TCustomFFmpeg::ApplyGenericOptionInt(const std::string&, int64_t) {}
void TCustomFFmpeg::SetInputFormat(const std::string&) {}
void TCustomFFmpeg::SetOutputFormat(const std::string&) {}
void TCustomFFmpeg::SetStartTimeUs(int64_t) {}
void TCustomFFmpeg::SetProgramId(int32_t) {}
void TCustomFFmpeg::SetRecordingTimeMs(int64_t ms) {
  if (ms > 0) ExpectedDurationMs = static_cast<int32_t>(ms);
}
void TCustomFFmpeg::SetAudioVolume(int32_t) {}
void TCustomFFmpeg::SetAudioSync(int32_t) {}
void TCustomFFmpeg::SetVideoSync(int32_t) {}
void TCustomFFmpeg::SetMuxMaxDelay(float) {}
void TCustomFFmpeg::SetMuxPreload(float) {}
void TCustomFFmpeg::SetYear(int32_t) {}
void TCustomFFmpeg::SetTrack(int32_t) {}
void TCustomFFmpeg::SetTitle(const std::string&) {}
void TCustomFFmpeg::SetAuthor(const std::string&) {}
void TCustomFFmpeg::SetCopyright(const std::string&) {}
void TCustomFFmpeg::SetComment(const std::string&) {}
void TCustomFFmpeg::SetGenre(const std::string&) {}
void TCustomFFmpeg::SetAlbum(const std::string&) {}
void TCustomFFmpeg::SetPadColor(int32_t) {}
void TCustomFFmpeg::ApplyTarget(const std::string&, const std::string&, const std::string&) {}

bool TCustomFFmpeg::OpenInputFile(const std::string& fileName) {
  AVFormatContext* context = nullptr;
  int error = lib::avformat.avformat_open_input(&context, fileName.c_str(), nullptr, nullptr);
  if (error < 0) {
    ErrorText = OpenErrorText(fileName, error);
    return false;
  }
  TInputFile file;
  file.Context.reset(context);
  {
    std::lock_guard lock(CodecLock());
    if (lib::avformat.avformat_find_stream_info(context, nullptr) < 0) {
      ErrorText = fileName + ": could not find codec parameters";
      return false;
    }
  }
  if (context->duration > 0) ExpectedDurationMs = static_cast<int32_t>(context->duration / 1000);
  InputFiles.push_back(std::move(file));
  return true;
}

bool TCustomFFmpeg::OpenOutputFile(const std::string& fileName) {
  TOutputFile file;
  file.FileName = fileName;
  OutputFiles.push_back(std::move(file));
  return true;
}

}  // namespace engine
