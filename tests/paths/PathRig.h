// An engine with one hand-built output file and one output stream fed by one input stream, for
// driving the media paths directly. The output goes through a real muxer into a file under the
// test build folder: "framecrc" lists every packet (timing checks), "s16le"/"rawvideo" keep the
// payload bytes (content checks).
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "FFmpeg.h"
#include "LibrarySet.h"

namespace paths_test {

inline void BindOnce() {
  static const bool bound = libbind::BindLibrarySet(QV_LIB_DIR, true);
  ASSERT_TRUE(bound) << libbind::LibrarySetError();
}

struct TPacketLine {
  int Stream = 0;
  int64_t Dts = 0, Pts = 0, Duration = 0;
  int Size = 0;
};

class TPathRig {
 public:
  // Declared before the engine so that they outlive it.
  std::vector<std::pair<int, std::string>> Logs;
  engine::CodecContextPtr Decoder;
  engine::TFFmpeg Engine;
  std::string Path;
  engine::TOutputStreamState* Ost = nullptr;
  engine::TInputStreamState* Ist = nullptr;
  AVCodecContext* Encoder = nullptr;

  TPathRig(const char* muxer, const std::string& name) {
    BindOnce();
    Path = std::string(QV_TEST_BUILD_DIR) + "/" + name;
    std::remove(Path.c_str());
    Engine.LogCallback = [this](engine::TCustomFFmpeg*, int level, const std::string& text) {
      Logs.emplace_back(level, text);
    };
    engine::TOutputFile file;
    AVFormatContext* context = nullptr;
    EXPECT_GE(avformat_alloc_output_context2(&context, nullptr, muxer, Path.c_str()), 0);
    file.Context.reset(context);
    file.FileName = Path;
    Engine.OutputFiles.push_back(std::move(file));
    Engine.InputStreamTable.push_back(std::make_unique<engine::TInputStreamState>());
    Ist = Engine.InputStreamTable.back().get();
    Decoder.reset(avcodec_alloc_context3(nullptr));
    Ist->Decoder = Decoder.get();
    Ist->DecodingNeeded = 1;
  }

  engine::TOutputFile& File() { return Engine.OutputFiles[0]; }

  // Adds the output stream with an encoder set up by `configure`, opened unless `open` is false.
  AVCodecContext* AddEncoder(const char* codecName, const std::function<void(AVCodecContext*)>& configure,
                             bool open = true) {
    const AVCodec* codec = avcodec_find_encoder_by_name(codecName);
    EXPECT_NE(codec, nullptr) << codecName;
    engine::CodecContextPtr encoder(avcodec_alloc_context3(codec));
    configure(encoder.get());
    if (open) {
      EXPECT_GE(avcodec_open2(encoder.get(), codec, nullptr), 0) << codecName;
    }
    AVStream* stream = avformat_new_stream(File().Context.get(), nullptr);
    stream->time_base = encoder->time_base;
    avcodec_parameters_from_context(stream->codecpar, encoder.get());
    Engine.OutputStreamTable.push_back(std::make_unique<engine::TOutputStreamState>());
    Ost = Engine.OutputStreamTable.back().get();
    Ost->Stream = stream;
    Ost->Encoder = Encoder = encoder.get();
    Ost->EncodingNeeded = 1;
    Ost->SyncInput = Ist;
    File().Encoders.push_back(std::move(encoder));
    return Encoder;
  }

  void Start() {
    AVFormatContext* context = File().Context.get();
    ASSERT_GE(avio_open(&context->pb, Path.c_str(), AVIO_FLAG_WRITE), 0);
    ASSERT_GE(avformat_write_header(context, nullptr), 0);
  }

  void Finish() {
    AVFormatContext* context = File().Context.get();
    av_write_trailer(context);
    avio_closep(&context->pb);
  }

  std::string Output() const {
    std::ifstream in(Path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  // The packets a "framecrc" output listed.
  std::vector<TPacketLine> Packets() const {
    std::vector<TPacketLine> packets;
    std::istringstream lines(Output());
    std::string line;
    while (std::getline(lines, line)) {
      if (line.empty() || line[0] == '#') continue;
      TPacketLine p;
      long long dts = 0, pts = 0, duration = 0;
      if (std::sscanf(line.c_str(), "%d, %lld, %lld, %lld, %d", &p.Stream, &dts, &pts, &duration, &p.Size) == 5) {
        p.Dts = dts;
        p.Pts = pts;
        p.Duration = duration;
        packets.push_back(p);
      }
    }
    return packets;
  }

  bool Logged(const std::string& text) const {
    for (const auto& entry : Logs)
      if (entry.second.find(text) != std::string::npos) return true;
    return false;
  }
};

}  // namespace paths_test
