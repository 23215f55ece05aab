// The video output path: frame-rate conversion, limits, crop/scale/pad and the encoder.
#include <climits>
#include <cstdio>
#include <cstring>

#include "PathRig.h"

using paths_test::TPathRig;

namespace {

engine::FramePtr NewPicture(int width, int height, AVPixelFormat format) {
  engine::FramePtr picture(av_frame_alloc());
  picture->width = width;
  picture->height = height;
  picture->format = format;
  EXPECT_GE(av_frame_get_buffer(picture.get(), 0), 0);
  return picture;
}

engine::FramePtr GreyPicture(int width, int height) {
  engine::FramePtr picture = NewPicture(width, height, AV_PIX_FMT_YUV420P);
  for (int p = 0; p < 3; ++p)
    for (int y = 0; y < (p ? height / 2 : height); ++y)
      std::memset(picture->data[p] + y * picture->linesize[p], 128, p ? width / 2 : width);
  return picture;
}

void SetVideo(AVCodecContext* c, int width, int height, AVRational timeBase) {
  c->width = width;
  c->height = height;
  c->pix_fmt = AV_PIX_FMT_YUV420P;
  c->time_base = timeBase;
  c->bit_rate = 200000;
}

// An MS-MPEG4 v2 stream at 25 fps listing its packets.
struct TMsMpegRig : TPathRig {
  explicit TMsMpegRig(const std::string& name, AVRational timeBase = {1, 25},
                      const std::function<void(AVCodecContext*)>& extra = {})
      : TPathRig("framecrc", name) {
    Decoder->pix_fmt = AV_PIX_FMT_YUV420P;
    AddEncoder("msmpeg4v2", [&](AVCodecContext* c) {
      SetVideo(c, 64, 48, timeBase);
      if (extra) extra(c);
    });
    Start();
  }
  int Encode(AVFrame* picture, int64_t ptsUs) {
    Ist->Pts = ptsUs;
    int frameSize = -1;
    Engine.EncodeVideoFrame(File(), *Ost, *Ist, picture, frameSize);
    return frameSize;
  }
};

}  // namespace

struct TRateCase {
  const char* Name;
  int Method;
  int64_t PtsUs;  // against NextOutputPts 10 at 25 fps (40,000 us a frame)
  int Outputs;
  int64_t FirstPts;
  int Dups, Drops;
  const char* Log;
};

class FrameRate : public testing::TestWithParam<TRateCase> {};

TEST_P(FrameRate, RepeatsOrDropsAgainstTheInputClock) {
  const TRateCase& c = GetParam();
  TMsMpegRig rig(std::string("video_rate_") + c.Name + ".crc");
  rig.Engine.VideoSyncMethod = c.Method;
  rig.Engine.Verbose = 3;
  rig.Ost->NextOutputPts = 10;
  engine::FramePtr picture = GreyPicture(64, 48);
  const int frameSize = rig.Encode(picture.get(), c.PtsUs);
  rig.Finish();

  const auto packets = rig.Packets();
  ASSERT_EQ(static_cast<int>(packets.size()), c.Outputs);
  for (int i = 0; i < c.Outputs; ++i) EXPECT_EQ(packets[i].Pts, c.FirstPts + i);
  EXPECT_EQ(rig.Engine.DupFrames, c.Dups);
  EXPECT_EQ(rig.Engine.DropFrames, c.Drops);
  EXPECT_EQ(rig.Ost->FrameNumber, c.Outputs);
  EXPECT_EQ(rig.Ost->NextOutputPts, c.Outputs ? c.FirstPts + c.Outputs : 10);
  EXPECT_EQ(frameSize, c.Outputs ? packets.back().Size : 0);
  if (*c.Log)
    EXPECT_TRUE(rig.Logged(c.Log));
  else
    EXPECT_FALSE(rig.Logged("***"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FrameRate,
    testing::Values(TRateCase{"three_ahead", -1, 520000, 3, 10, 2, 0, "*** 2 dup!"},
                    TRateCase{"two_and_a_half", -1, 500000, 2, 10, 1, 0, "*** 1 dup!"},
                    TRateCase{"three_and_a_half", -1, 540000, 4, 10, 3, 0, "*** 3 dup!"},
                    TRateCase{"behind_drops", -1, 352000, 0, 10, 0, 1, "*** drop!"},
                    TRateCase{"minus_1_1_kept", -1, 356000, 1, 10, 0, 0, ""},
                    TRateCase{"plus_1_1_kept", -1, 444000, 1, 10, 0, 0, ""},
                    TRateCase{"method_2_follows_clock", 2, 520000, 1, 13, 0, 0, ""},
                    TRateCase{"method_2_drops", 2, 352000, 0, 10, 0, 1, "*** drop!"},
                    TRateCase{"method_0_follows_clock", 0, 520000, 1, 13, 0, 0, ""}),
    [](const testing::TestParamInfo<TRateCase>& param) { return std::string(param.param.Name); });

TEST(VideoPath, FineTimeBaseFollowsTheClockWithoutConversion) {
  TMsMpegRig rig("video_fine_tb.crc", {1, 1000});
  rig.Engine.VideoSyncMethod = -1;
  engine::FramePtr picture = GreyPicture(64, 48);
  rig.Encode(picture.get(), 500000);
  rig.Encode(picture.get(), 900000);
  rig.Finish();
  const auto packets = rig.Packets();
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(packets[0].Pts, 500);
  EXPECT_EQ(packets[1].Pts, 900);
  EXPECT_EQ(rig.Engine.DupFrames, 0);
}

TEST(VideoPath, FrameLimitAndStopCutTheRepeats) {
  TMsMpegRig rig("video_limit.crc");
  rig.Engine.MaxFrames[0] = 2;
  engine::FramePtr picture = GreyPicture(64, 48);
  rig.Encode(picture.get(), 120000);  // three frames due, two allowed
  EXPECT_EQ(rig.Ost->FrameNumber, 2);
  EXPECT_EQ(rig.Encode(picture.get(), 160000), 0);  // limit reached: nothing, no message
  EXPECT_EQ(rig.Ost->FrameNumber, 2);
  rig.Engine.MaxFrames[0] = INT_MAX;
  rig.Engine.StopRequested = true;
  EXPECT_EQ(rig.Encode(picture.get(), 200000), 0);
  rig.Finish();
  EXPECT_EQ(rig.Packets().size(), 2u);
  EXPECT_TRUE(rig.Logs.empty());
}

TEST(VideoPath, EncoderFiguresAndPassLogAreKept) {
  TMsMpegRig rig("video_figures.crc", {1, 25}, [](AVCodecContext* c) {
    c->flags |= AV_CODEC_FLAG_QSCALE | AV_CODEC_FLAG_PASS1;
    c->global_quality = 5 * FF_QP2LAMBDA;
  });
  std::FILE* passLog = std::tmpfile();
  rig.Ost->PassLogFile = passLog;  // the record closes it
  engine::FramePtr picture = GreyPicture(64, 48);
  rig.Encode(picture.get(), 0);
  EXPECT_EQ(rig.Ost->LastQuality, 5 * FF_QP2LAMBDA);
  EXPECT_EQ(rig.Ost->LastPictType, AV_PICTURE_TYPE_I);
  rig.Encode(picture.get(), 40000);
  EXPECT_EQ(rig.Ost->LastPictType, AV_PICTURE_TYPE_P);
  rig.Finish();
  int64_t bytes = 0;
  for (const auto& p : rig.Packets()) bytes += p.Size;
  EXPECT_EQ(rig.Engine.VideoBytes, bytes);
  EXPECT_GT(std::ftell(passLog), 0);
}

TEST(VideoPath, CropAndPadGiveTheEncoderSizeAndPadColour) {
  TPathRig rig("rawvideo", "video_crop_pad.yuv");
  rig.Decoder->pix_fmt = AV_PIX_FMT_YUV420P;
  // 32x24 source, crop 4 top / 2 left / 4 bottom / 6 right = 24x16, padded 2/2 rows and 4/4
  // columns = 32x20.
  rig.AddEncoder("rawvideo", [](AVCodecContext* c) { SetVideo(c, 32, 20, {1, 25}); });
  rig.Start();
  engine::TOutputStreamState& ost = *rig.Ost;
  ost.VideoCrop = 1;
  ost.CropTop = 4;
  ost.CropLeft = 2;
  ost.VideoPad = 1;
  ost.PadTop = 2, ost.PadBottom = 2, ost.PadLeft = 4, ost.PadRight = 4;
  ost.PictureBuffer = NewPicture(32, 20, AV_PIX_FMT_YUV420P);
  rig.Engine.PadColor = {50, 60, 70};
  engine::FramePtr picture = NewPicture(32, 24, AV_PIX_FMT_YUV420P);
  for (int y = 0; y < 24; ++y)
    for (int x = 0; x < 32; ++x) picture->data[0][y * picture->linesize[0] + x] = static_cast<uint8_t>(x + 8 * y);
  for (int y = 0; y < 12; ++y)
    for (int x = 0; x < 16; ++x) {
      picture->data[1][y * picture->linesize[1] + x] = static_cast<uint8_t>(100 + x);
      picture->data[2][y * picture->linesize[2] + x] = 200;
    }
  int frameSize = 0;
  rig.Engine.EncodeVideoFrame(rig.File(), ost, *rig.Ist, picture.get(), frameSize);
  rig.Finish();

  const std::string out = rig.Output();
  ASSERT_EQ(out.size(), 32u * 20 * 3 / 2);
  EXPECT_EQ(frameSize, 960);
  const auto at = [&](int offset) { return static_cast<int>(static_cast<uint8_t>(out[offset])); };
  for (int y = 0; y < 20; ++y)
    for (int x = 0; x < 32; ++x) {
      const bool band = y < 2 || y >= 18 || x < 4 || x >= 28;
      ASSERT_EQ(at(y * 32 + x), band ? 50 : (x - 2) + 8 * (y + 2)) << x << "," << y;
    }
  for (int y = 0; y < 10; ++y)
    for (int x = 0; x < 16; ++x) {
      const bool band = y < 1 || y >= 9 || x < 2 || x >= 14;
      ASSERT_EQ(at(640 + y * 16 + x), band ? 60 : 100 + x - 1) << x << "," << y;
      ASSERT_EQ(at(800 + y * 16 + x), band ? 70 : 200) << x << "," << y;
    }
}

TEST(VideoPath, CropScaleConvertAndPadInOnePass) {
  TPathRig rig("rawvideo", "video_scale_pad.yuv");
  rig.Decoder->pix_fmt = AV_PIX_FMT_RGB24;
  rig.AddEncoder("rawvideo", [](AVCodecContext* c) { SetVideo(c, 32, 20, {1, 25}); });
  rig.Start();
  engine::TOutputStreamState& ost = *rig.Ost;
  // White RGB 16x16, cropped to 12x12 from (2,2), scaled to 24x16 YUV inside 2/2/4/4 bands.
  ost.VideoCrop = 1;
  ost.CropTop = 2;
  ost.CropLeft = 2;
  ost.VideoResample = 1;
  ost.ScaleSourceHeight = 12;
  ost.ScaleContext.reset(sws_getContext(12, 12, AV_PIX_FMT_RGB24, 24, 16, AV_PIX_FMT_YUV420P, SWS_BICUBIC,
                                        nullptr, nullptr, nullptr));
  ost.VideoPad = 1;
  ost.PadTop = 2, ost.PadBottom = 2, ost.PadLeft = 4, ost.PadRight = 4;
  ost.PictureBuffer = NewPicture(32, 20, AV_PIX_FMT_YUV420P);
  rig.Engine.PadColor = {50, 60, 70};
  engine::FramePtr picture = NewPicture(16, 16, AV_PIX_FMT_RGB24);
  for (int y = 0; y < 16; ++y) {
    std::memset(picture->data[0] + y * picture->linesize[0], 0, 48);  // black border...
    if (y >= 2 && y < 14) std::memset(picture->data[0] + y * picture->linesize[0] + 6, 255, 36);  // ...white inside
  }
  int frameSize = 0;
  rig.Engine.EncodeVideoFrame(rig.File(), ost, *rig.Ist, picture.get(), frameSize);
  rig.Finish();

  const std::string out = rig.Output();
  ASSERT_EQ(out.size(), 32u * 20 * 3 / 2);
  const auto at = [&](int offset) { return static_cast<int>(static_cast<uint8_t>(out[offset])); };
  for (int y = 0; y < 20; ++y)
    for (int x = 0; x < 32; ++x) {
      const bool band = y < 2 || y >= 18 || x < 4 || x >= 28;
      if (band)
        ASSERT_EQ(at(y * 32 + x), 50) << x << "," << y;
      else
        ASSERT_GT(at(y * 32 + x), 200) << x << "," << y;  // white, none of the black border
    }
  EXPECT_EQ(at(640), 60);
  EXPECT_EQ(at(800), 70);
  EXPECT_NEAR(at(640 + 5 * 16 + 8), 128, 2);
}

TEST(VideoPath, FailuresFollowTheErrorPolicy) {
  {
    TMsMpegRig rig("video_bad_crop.crc");
    rig.Ost->VideoCrop = 1;
    rig.Ost->CropTop = 2;
    engine::FramePtr palette = NewPicture(64, 48, AV_PIX_FMT_PAL8);
    rig.Encode(palette.get(), 0);
    EXPECT_TRUE(rig.Logged("error cropping picture"));
    EXPECT_EQ(rig.Ost->FrameNumber, 0);
    rig.Engine.ExitOnError = true;
    EXPECT_THROW(
        {
          try {
            rig.Encode(palette.get(), 40000);
          } catch (const engine::FFMpegException& e) {
            EXPECT_STREQ(e.what(), "error cropping picture");
            throw;
          }
        },
        engine::FFMpegException);
  }
  {
    TPathRig rig("framecrc", "video_bad_encoder.crc");
    rig.AddEncoder("msmpeg4v2", [](AVCodecContext* c) { SetVideo(c, 64, 48, {1, 25}); }, false);
    engine::FramePtr picture = GreyPicture(64, 48);
    int frameSize = 0;
    try {
      rig.Engine.EncodeVideoFrame(rig.File(), *rig.Ost, *rig.Ist, picture.get(), frameSize);
      ADD_FAILURE() << "no exception";
    } catch (const engine::FFMpegException& e) {
      EXPECT_STREQ(e.what(), "Video encoding failed");
    }
  }
}
