// Engine lifecycle: release of output files, the open-codec lists, stopping and termination.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <thread>

#include "EngineFixture.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

fs::path ScratchDir(const std::string& name) {
  fs::path dir = fs::path(QV_TEST_BUILD_DIR) / "scratch" / name;
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

// An output as output opening leaves it: a muxer context and, unless `open` is false, the file
// opened for writing with `bytes` written into its buffer (not yet flushed).
engine::TOutputFile MakeOutput(const fs::path& path, bool open, int bytes, bool created = true) {
  engine::TOutputFile out;
  AVFormatContext* raw = nullptr;
  EXPECT_GE(lib::avformat.avformat_alloc_output_context2(&raw, nullptr, "avi", path.c_str()), 0);
  out.Context.reset(raw);
  out.FileName = path.string();
  out.CreatedFile = created;
  if (open) {
    EXPECT_GE(lib::avformat.avio_open(&raw->pb, path.c_str(), AVIO_FLAG_WRITE), 0);
    std::vector<unsigned char> data(bytes, 'x');
    if (bytes > 0) lib::avformat.avio_write(raw->pb, data.data(), bytes);
  }
  return out;
}

}  // namespace

TEST_F(EngineTest, ResetRemovesOnlyEmptyOutputsItCreated) {
  const fs::path dir = ScratchDir("reset");
  const fs::path empty = dir / "empty.avi", full = dir / "full.avi", missing = dir / "never.avi",
                 foreign = dir / "foreign.avi";
  std::ofstream(foreign).close();  // an empty file that was there before
  E.OutputFiles.push_back(MakeOutput(empty, true, 0));
  E.OutputFiles.push_back(MakeOutput(full, true, 100));  // only on disk once the file is closed
  E.OutputFiles.push_back(MakeOutput(missing, false, 0));
  E.OutputFiles.push_back(MakeOutput(foreign, false, 0, false));
  ASSERT_TRUE(fs::exists(empty));

  E.Reset();
  EXPECT_EQ(E.OutputFileCount(), 0);
  EXPECT_FALSE(fs::exists(empty));
  ASSERT_TRUE(fs::exists(full));
  EXPECT_EQ(fs::file_size(full), 100u);
  EXPECT_FALSE(fs::exists(missing));
  EXPECT_TRUE(fs::exists(foreign));
  EXPECT_EQ(E.CodecDefaults[AVMEDIA_TYPE_VIDEO], nullptr);  // the option store went too
}

TEST_F(EngineTest, OpenCodecListsKeepTheNewestFirst) {
  engine::TOutputStreamState a, b, c, stranger;
  E.AddOpenEncoder(&a);
  E.AddOpenEncoder(&b);
  E.AddOpenEncoder(&c);
  E.AddOpenEncoder(&a);  // a record may be listed twice; removal takes the newest
  EXPECT_EQ(E.OpenEncoders, (std::list<engine::TOutputStreamState*>{&a, &c, &b, &a}));
  E.RemoveOpenEncoder(&stranger);
  EXPECT_EQ(E.OpenEncoders.size(), 4u);
  E.RemoveOpenEncoder(&a);  // the head: its successor becomes the head
  EXPECT_EQ(E.OpenEncoders, (std::list<engine::TOutputStreamState*>{&c, &b, &a}));
  E.RemoveOpenEncoder(&b);
  EXPECT_EQ(E.OpenEncoders, (std::list<engine::TOutputStreamState*>{&c, &a}));

  engine::TInputStreamState x, y;
  E.AddOpenDecoder(&x);
  E.AddOpenDecoder(&y);
  E.RemoveOpenDecoder(&y);
  E.RemoveOpenDecoder(&y);
  EXPECT_EQ(E.OpenDecoders, std::list<engine::TInputStreamState*>{&x});
  E.OpenEncoders.clear();
  E.OpenDecoders.clear();
}

TEST_F(EngineTest, ClosingOpenCodecsFreesTwoPassInputFirst) {
  const AVCodec* encoder = lib::avcodec.avcodec_find_encoder(AV_CODEC_ID_MPEG4);
  const AVCodec* decoder = lib::avcodec.avcodec_find_decoder(AV_CODEC_ID_H263);
  ASSERT_TRUE(encoder && decoder);
  engine::CodecContextPtr enc(lib::avcodec.avcodec_alloc_context3(encoder));
  enc->width = 64;
  enc->height = 64;
  enc->pix_fmt = AV_PIX_FMT_YUV420P;
  enc->time_base = {1, 25};
  ASSERT_EQ(lib::avcodec.avcodec_open2(enc.get(), encoder, nullptr), 0);
  enc->stats_in = lib::avutil.av_strdup("pass 1 statistics");
  engine::CodecContextPtr copy(lib::avcodec.avcodec_alloc_context3(nullptr));  // stream copy
  engine::CodecContextPtr dec(lib::avcodec.avcodec_alloc_context3(decoder));
  ASSERT_EQ(lib::avcodec.avcodec_open2(dec.get(), decoder, nullptr), 0);

  engine::TOutputStreamState encoded, copied;
  encoded.Encoder = enc.get();
  encoded.EncodingNeeded = 1;
  copied.Encoder = copy.get();
  E.AddOpenEncoder(&encoded);
  E.AddOpenEncoder(&copied);
  engine::TInputStreamState decoded;
  decoded.Decoder = dec.get();
  decoded.DecodingNeeded = 1;
  E.AddOpenDecoder(&decoded);

  E.CloseOpenEncoders();
  E.CloseOpenDecoders();
  EXPECT_TRUE(E.OpenEncoders.empty());
  EXPECT_TRUE(E.OpenDecoders.empty());
  EXPECT_EQ(enc->stats_in, nullptr);
  EXPECT_EQ(enc->codec, nullptr);  // closed
  EXPECT_EQ(dec->codec, nullptr);
}

namespace {

// A worker as the run's thread class provides it: resumable once, ends by notifying the engine.
class TFakeWorker : public engine::TFFmpegWorker {
 public:
  void Resume() override { ++Resumes; }
  bool Suspended() const override { return Resumes == 0; }
  std::atomic<int> Resumes{0};
};

}  // namespace

TEST_F(EngineTest, StopResumesASuspendedWorkerOnce) {
  TFakeWorker worker;
  E.Running = true;
  E.Thread = &worker;
  E.StopOrNotify();
  E.Stop();
  EXPECT_TRUE(E.StopRequested);
  EXPECT_EQ(worker.Resumes, 1);
  E.NotifyTerminated();
  EXPECT_EQ(E.Thread, nullptr);
  EXPECT_FALSE(E.Running);
  EXPECT_TRUE(E.Terminated);
}

TEST_F(EngineTest, TaskThatNeverRanIsNotifiedFromAnotherThreadOnce) {
  std::mutex m;
  std::condition_variable cv;
  int calls = 0;
  std::thread::id caller;
  E.TerminateCallback = [&](engine::TCustomFFmpeg* sender) {
    EXPECT_EQ(sender, &E);
    std::lock_guard<std::mutex> guard(m);
    ++calls;
    caller = std::this_thread::get_id();
    cv.notify_all();
  };
  E.StopOrNotify();
  E.StopOrNotify();  // a notice already on its way is not sent twice
  {
    std::unique_lock<std::mutex> lock(m);
    ASSERT_TRUE(cv.wait_for(lock, 10s, [&] { return calls > 0; }));
  }
  EXPECT_NE(caller, std::this_thread::get_id());
  EXPECT_TRUE(E.Terminated);
  E.StopOrNotify();  // terminated: nothing more
  std::this_thread::sleep_for(50ms);
  std::lock_guard<std::mutex> guard(m);
  EXPECT_EQ(calls, 1);
}

TEST(EngineLifetime, DestructionWaitsForTheWorkerHoweverLong) {
  TFakeWorker worker;
  std::atomic<bool> workerDone{false};
  std::thread run;
  {
    engine::TFFmpeg e;
    e.Prepare();
    e.Running = true;
    e.Thread = &worker;
    // The run notices the stop request only after more than the old ten waits of 100 ms.
    run = std::thread([&] {
      while (!e.StopRequested) std::this_thread::sleep_for(1ms);
      std::this_thread::sleep_for(1200ms);
      e.ExpectedDurationMs = 1;  // still using the engine
      e.NotifyTerminated();
      workerDone = true;
    });
  }
  EXPECT_EQ(worker.Resumes, 1);
  run.join();
  EXPECT_TRUE(workerDone);
}
