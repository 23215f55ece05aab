// The packet writer: bitstream filter chains, filter failures with and without "xerror", writer
// failures. The output is a frame-checksum file, one line per packet written.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
}

#include "FFmpeg.h"
#include "TestFiles.h"

namespace {

using namespace transcode_test;

class PacketWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(BindLibraries());
    Path = OutputPath(std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                      ".crc");
    AVFormatContext* raw = nullptr;
    ASSERT_GE(avformat_alloc_output_context2(&raw, nullptr, "framecrc", Path.c_str()), 0);
    File.Context.reset(raw);
    File.FileName = Path;
    AVStream* st = avformat_new_stream(raw, nullptr);
    st->codecpar->codec_type = AVMEDIA_TYPE_SUBTITLE;
    st->codecpar->codec_id = AV_CODEC_ID_TEXT;
    st->time_base = AVRational{1, 1000};
    // A stream copy: its context has no codec.
    File.Encoders.emplace_back(avcodec_alloc_context3(nullptr));
    ASSERT_GE(avio_open(&raw->pb, Path.c_str(), AVIO_FLAG_WRITE), 0);
    ASSERT_GE(avformat_write_header(raw, nullptr), 0);
    Ost.Stream = st;
    Ost.Encoder = File.Encoders[0].get();
    Engine.LogCallback = [this](engine::TCustomFFmpeg*, int level, const std::string& text) {
      Logged.push_back(std::to_string(level) + " " + text);
    };
  }

  void TearDown() override {
    if (File.Context && File.Context->pb) avio_closep(&File.Context->pb);
  }

  void AddFilter(const char* name) {
    AVBSFContext* raw = nullptr;
    ASSERT_GE(av_bsf_alloc(av_bsf_get_by_name(name), &raw), 0);
    engine::BsfContextPtr context(raw);
    const AVCodecParameters* previous =
        Ost.BitstreamFilters.empty() ? Ost.Stream->codecpar : Ost.BitstreamFilters.back()->par_out;
    avcodec_parameters_copy(raw->par_in, previous);
    raw->time_base_in = Ost.Stream->time_base;
    ASSERT_GE(av_bsf_init(raw), 0);
    Ost.BitstreamFilters.push_back(std::move(context));
  }

  void Write(const std::vector<uint8_t>& data, int streamIndex = 0) {
    AVPacket* packet = av_packet_alloc();
    av_new_packet(packet, static_cast<int>(data.size()));
    std::memcpy(packet->data, data.data(), data.size());
    packet->stream_index = streamIndex;
    packet->pts = packet->dts = Next++;
    packet->duration = 1;
    try {
      Engine.WritePacket(File, packet, Ost);
    } catch (...) {
      av_packet_free(&packet);
      throw;
    }
    av_packet_free(&packet);
  }

  // Sizes of the packets that reached the file.
  std::vector<int> WrittenSizes() {
    av_write_trailer(File.Context.get());
    avio_closep(&File.Context->pb);
    std::ifstream in(Path);
    std::vector<int> sizes;
    for (std::string line; std::getline(in, line);) {
      if (line.empty() || line[0] == '#') continue;
      std::stringstream fields(line);
      std::string field;
      for (int i = 0; i < 5 && std::getline(fields, field, ','); ++i) {
      }
      sizes.push_back(std::stoi(field));
    }
    return sizes;
  }

  engine::TFFmpeg Engine;
  engine::TOutputFile File;
  engine::TOutputStreamState Ost;
  std::string Path;
  std::vector<std::string> Logged;
  int64_t Next = 0;
};

TEST_F(PacketWriterTest, ChainFeedsEachFilterThePreviousOutput) {
  Write({'h', 'i', 0, 0});  // no chain yet: written as it is
  AddFilter("chomp");        // drops the trailing zeros
  AddFilter("text2movsub");  // then prefixes the 16-bit length
  Write({'h', 'i', 0, 0});
  EXPECT_EQ(WrittenSizes(), (std::vector<int>{4, 4}));
  EXPECT_EQ(Ost.LastPacketEnd, 2);
  EXPECT_TRUE(Logged.empty());
}

TEST_F(PacketWriterTest, FilterFailureIsLoggedAndThePacketStillWritten) {
  AddFilter("text2movsub");  // refuses packets over 65535 bytes
  Write(std::vector<uint8_t>(70000, 'x'));
  Write({'o', 'k'});
  ASSERT_EQ(Logged.size(), 1u);
  EXPECT_EQ(Logged[0].rfind("0 text2movsub failed for stream 0, codec copy", 0), 0u) << Logged[0];
  EXPECT_EQ(WrittenSizes(), (std::vector<int>{70000, 4}));
}

TEST_F(PacketWriterTest, FilterFailureWithExitOnErrorEndsTheRunAndWritesNothingOfIt) {
  Engine.ExitOnError = true;
  AddFilter("text2movsub");
  try {
    Write(std::vector<uint8_t>(70000, 'x'));
    FAIL() << "no exception";
  } catch (const engine::FFMpegException& e) {
    EXPECT_EQ(std::string(e.what()).rfind("text2movsub failed for stream 0, codec copy", 0), 0u)
        << e.what();
  }
  EXPECT_TRUE(Logged.empty());
  EXPECT_TRUE(WrittenSizes().empty());
}

TEST_F(PacketWriterTest, WriterFailureEndsTheRunEvenWithoutExitOnError) {
  try {
    Write({'x'}, 5);  // no such stream in the file
    FAIL() << "no exception";
  } catch (const engine::FFMpegException& e) {
    EXPECT_EQ(std::string(e.what()).rfind("av_interleaved_write_frame()", 0), 0u) << e.what();
  }
}

}  // namespace
