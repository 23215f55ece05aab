// The progress report and the video statistics file.
#include <optional>

#include "PathRig.h"

using paths_test::TPathRig;

namespace {

// An output file of known size with a video stream at 2 s (50 frames at 25 fps) and an audio
// stream whose last packet ended at 1.5 s; the loop started 10 s ago.
struct TReportRig : TPathRig {
  engine::TOutputStreamState* Video = nullptr;
  engine::TOutputStreamState* Audio = nullptr;
  std::optional<engine::TProgressFigures> Figures;
  int Calls = 0;

  explicit TReportRig(const std::string& name, bool withVideo = true) : TPathRig("framecrc", name) {
    if (withVideo) {
      AddEncoder("msmpeg4v2", [](AVCodecContext* c) {
        c->width = 64, c->height = 48, c->pix_fmt = AV_PIX_FMT_YUV420P, c->time_base = {1, 25};
      }, false);
      Video = Ost;
      Video->FrameNumber = 50;
      Video->NextOutputPts = 50;
      Video->LastQuality = 5 * FF_QP2LAMBDA;
    }
    AddEncoder("pcm_s16le", [](AVCodecContext* c) {
      c->sample_rate = 44100, c->sample_fmt = AV_SAMPLE_FMT_S16, c->time_base = {1, 44100};
      av_channel_layout_default(&c->ch_layout, 2);
    }, false);
    Audio = Ost;
    Audio->LastPacketEnd = 66150;
    AVFormatContext* context = File().Context.get();
    EXPECT_GE(avio_open(&context->pb, Path.c_str(), AVIO_FLAG_WRITE), 0);
    const std::vector<uint8_t> bytes(10240, 7);
    avio_write(context->pb, bytes.data(), static_cast<int>(bytes.size()));
    avio_flush(context->pb);
    Engine.TimerStart = av_gettime() - 10000000;
    Engine.ExpectedDurationMs = 60000;
  }
  void CatchFigures() {
    Engine.ProgressCallback = [this](engine::TCustomFFmpeg*, const engine::TProgressFigures& f) {
      Figures = f;
      ++Calls;
    };
  }
};

}  // namespace

TEST(Report, FiguresGoToTheCallbackAndNotToTheLog) {
  TReportRig rig("report_callback.crc");
  rig.CatchFigures();
  rig.Engine.ReportProgress(false);
  ASSERT_TRUE(rig.Figures);
  EXPECT_EQ(rig.Figures->FrameNumber, 50);
  EXPECT_EQ(rig.Figures->FPS, 5);
  EXPECT_EQ(rig.Figures->CurrentDurationMs, 1500);
  EXPECT_FLOAT_EQ(rig.Figures->Quality, 5.0f);
  EXPECT_NEAR(rig.Figures->BitRate, 10240 * 8 / 1.5 / 1000, 0.01);
  EXPECT_EQ(rig.Figures->CurrentSize, 10240);
  EXPECT_EQ(rig.Figures->TotalOutputDurationMs, 60000);
  EXPECT_TRUE(rig.Logs.empty());

  // The final call still sums up in the log.
  rig.Engine.VideoBytes = 6144;
  rig.Engine.AudioBytes = 3072;
  rig.Engine.ReportProgress(true);
  EXPECT_EQ(rig.Calls, 2);
  ASSERT_EQ(rig.Logs.size(), 1u);
  EXPECT_EQ(rig.Logs[0].second, "video:6kB audio:3kB global headers:0kB muxing overhead 11.11%\r\n");
}

TEST(Report, LineGoesToTheLogWithoutACallback) {
  struct {
    int Verbose;
    bool Final;
    const char* Line;  // empty: nothing logged
  } cases[] = {
      {1, false, "frame=   50 fps=  5 q=5.0 size=      10kB time=1.50 bitrate=  54.6kbits/s"},
      {2, false, "frame=   50 fps=  5 q=5.0 size=      10kB time=1.50 bitrate=  54.6kbits/s dup=2 drop=1"},
      {0, false, ""},
      {0, true, "frame=   50 fps=  5 q=5.0 Lsize=      10kB time=1.50 bitrate=  54.6kbits/s"},
  };
  for (const auto& c : cases) {
    TReportRig rig("report_line.crc");
    rig.Engine.Verbose = c.Verbose;
    rig.Engine.DupFrames = 2;
    rig.Engine.DropFrames = 1;
    rig.Engine.ReportProgress(c.Final);
    if (!*c.Line) {
      EXPECT_TRUE(rig.Logs.empty());
      continue;
    }
    ASSERT_FALSE(rig.Logs.empty()) << c.Line;
    EXPECT_EQ(rig.Logs[0].first, 1);
    EXPECT_EQ(rig.Logs[0].second, c.Line);
  }
}

TEST(Report, SpecialStates) {
  {
    // No video: the figures say so and the line starts with the size.
    TReportRig rig("report_audio_only.crc", false);
    rig.Engine.ReportProgress(false);
    ASSERT_EQ(rig.Logs.size(), 1u);
    EXPECT_EQ(rig.Logs[0].second.rfind("size=", 0), 0u) << rig.Logs[0].second;
    rig.CatchFigures();
    rig.Engine.ReportProgress(false);
    ASSERT_TRUE(rig.Figures);
    EXPECT_EQ(rig.Figures->FrameNumber, -1);
    EXPECT_EQ(rig.Figures->FPS, -1);
    EXPECT_EQ(rig.Figures->Quality, -1.0f);
  }
  {
    // Before the first picture there is no report at all, not even the final one.
    TReportRig rig("report_no_frame.crc");
    rig.CatchFigures();
    rig.Video->FrameNumber = 0;
    rig.Engine.ReportProgress(true);
    EXPECT_EQ(rig.Calls, 0);
    EXPECT_TRUE(rig.Logs.empty());
  }
  {
    // Nothing has a time yet: the line keeps its 1e10 s, the host gets 0 ms instead of an
    // overflowed figure, and the summary does not divide by the empty payload.
    TReportRig rig("report_no_time.crc");
    rig.Video->NextOutputPts = 0;
    rig.Audio->LastPacketEnd = AV_NOPTS_VALUE;
    rig.Engine.ReportProgress(true);
    ASSERT_EQ(rig.Logs.size(), 2u);
    EXPECT_NE(rig.Logs[0].second.find("time=10000000000.00"), std::string::npos) << rig.Logs[0].second;
    EXPECT_EQ(rig.Logs[1].second, "video:0kB audio:0kB global headers:0kB muxing overhead unknown\r\n");
    rig.CatchFigures();
    rig.Engine.ReportProgress(false);
    ASSERT_TRUE(rig.Figures);
    EXPECT_EQ(rig.Figures->CurrentDurationMs, 0);
  }
  {
    // A copied video stream has no quality.
    TReportRig rig("report_copy.crc");
    rig.Video->EncodingNeeded = 0;
    rig.Engine.ReportProgress(false);
    ASSERT_EQ(rig.Logs.size(), 1u);
    EXPECT_EQ(rig.Logs[0].second.rfind("frame=   50 fps=  5 q=-1.0 ", 0), 0u) << rig.Logs[0].second;
  }
}

TEST(Report, QuantiserHistogramBelongsToItsEngine) {
  TReportRig first("report_qp1.crc"), second("report_qp2.crc");
  first.Engine.QpHistogram = 1;
  first.Engine.ReportProgress(false);
  first.Engine.ReportProgress(false);
  EXPECT_EQ(first.Engine.QpHistogramCounts[5], 2);
  for (int64_t count : second.Engine.QpHistogramCounts) EXPECT_EQ(count, 0);
  // log2(2 + 1) rounds to 2, in the sixth of 32 hex digits.
  EXPECT_NE(first.Logs[1].second.find("q=5.0 00000200000000000000000000000000size="), std::string::npos)
      << first.Logs[1].second;
}

TEST(VideoStats, OneLinePerFrame) {
  TReportRig rig("report_vstats.crc");
  const std::string name = std::string(QV_TEST_BUILD_DIR) + "/vstats_test.log";
  std::remove(name.c_str());
  rig.Engine.VstatsFileName = name;
  engine::TOutputStreamState& video = *rig.Video;
  video.FrameNumber = 1;
  video.NextOutputPts = 1;
  video.LastPictType = AV_PICTURE_TYPE_I;
  rig.Engine.VideoBytes = 5000;
  rig.Engine.WriteVideoStats(rig.File(), video, 5000);
  rig.Engine.WriteVideoStats(rig.File(), *rig.Audio, 100);  // not video: nothing
  std::fclose(rig.Engine.VstatsFile);
  rig.Engine.VstatsFile = nullptr;

  std::ifstream in(name);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(),
            "frame=     1 q= 5.0 f_size=   5000 s_size=        5kB time= 0.040 br=  1000.0kbits/s "
            "avg_br=  1000.0kbits/s type= I\n");

  rig.Engine.VstatsFileName = std::string(QV_TEST_BUILD_DIR) + "/no/such/folder/vstats.log";
  try {
    rig.Engine.WriteVideoStats(rig.File(), video, 5000);
    ADD_FAILURE() << "no exception";
  } catch (const engine::FFMpegException& e) {
    EXPECT_EQ(std::string(e.what()), "fopen fail: " + rig.Engine.VstatsFileName);
  }
}
