// The audio output path driven block by block into real encoders and muxers.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "PathRig.h"

using paths_test::TPathRig;

namespace {

void SetAudio(AVCodecContext* context, int rate, int channels, AVSampleFormat format) {
  context->sample_rate = rate;
  context->sample_fmt = format;
  context->time_base = AVRational{1, rate};
  av_channel_layout_uninit(&context->ch_layout);
  av_channel_layout_default(&context->ch_layout, channels);
}

std::vector<int16_t> Tone(int samples, int channels, int rate) {
  std::vector<int16_t> block(static_cast<size_t>(samples) * channels);
  for (int i = 0; i < samples; ++i)
    for (int c = 0; c < channels; ++c)
      block[static_cast<size_t>(i) * channels + c] =
          static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440.0 * i / rate));
  return block;
}

void Encode(TPathRig& rig, const std::vector<int16_t>& block, int64_t ptsUs) {
  rig.Ist->Pts = ptsUs;
  rig.Engine.EncodeAudioBlock(rig.File(), *rig.Ost, *rig.Ist, reinterpret_cast<const uint8_t*>(block.data()),
                              static_cast<int>(block.size() * 2));
}

std::vector<int16_t> Samples(const std::string& bytes) {
  std::vector<int16_t> samples(bytes.size() / 2);
  if (!samples.empty()) std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
  return samples;
}

// PCM 8 kHz mono in and out: the sync arithmetic is visible sample for sample.
struct TPcmRig : TPathRig {
  explicit TPcmRig(const std::string& name) : TPathRig("s16le", name) {
    SetAudio(Decoder.get(), 8000, 1, AV_SAMPLE_FMT_S16);
    AddEncoder("pcm_s16le", [](AVCodecContext* c) { SetAudio(c, 8000, 1, AV_SAMPLE_FMT_S16); });
    Start();
  }
};

}  // namespace

TEST(AudioPath, MonoEightKilohertzComesOutStereoAtCdRate) {
  TPathRig rig("s16le", "audio_mono8k.raw");
  SetAudio(rig.Decoder.get(), 8000, 1, AV_SAMPLE_FMT_S16);
  rig.AddEncoder("pcm_s16le", [](AVCodecContext* c) { SetAudio(c, 44100, 2, AV_SAMPLE_FMT_S16); });
  rig.Start();
  const std::vector<int16_t> half = Tone(4000, 1, 8000);
  Encode(rig, half, 0);
  EXPECT_EQ(rig.Ost->AudioResample, 1);
  EXPECT_NE(rig.Ost->Resampler, nullptr);
  Encode(rig, half, 500000);
  rig.Engine.FlushEncoder(rig.File(), *rig.Ost);  // what the resampler's filter still holds
  rig.Finish();

  const std::vector<int16_t> out = Samples(rig.Output());
  const size_t frames = out.size() / 2;
  EXPECT_NEAR(static_cast<double>(frames), 44100, 2);
  EXPECT_EQ(rig.Engine.AudioBytes, static_cast<int64_t>(out.size() * 2));
  int peak = 0;
  for (size_t i = 0; i < frames; ++i) {
    ASSERT_EQ(out[2 * i], out[2 * i + 1]) << "channels differ at " << i;
    peak = std::max(peak, std::abs(static_cast<int>(out[2 * i])));
  }
  EXPECT_GT(peak, 7500);  // mono keeps its level on both sides
}

struct TSyncCase {
  const char* Name;
  int Method;
  int AtStart;
  int64_t NextOutputPts;
  int64_t PtsUs;
  int BlockSamples;
  int OutSamples;     // samples written by the call
  int LeadingSilence;  // of which silence added in front
  int AtStartAfter;
  const char* Log;  // expected at Verbose 3, empty: no sync line at all
};

class AudioSync : public testing::TestWithParam<TSyncCase> {};

TEST_P(AudioSync, CorrectsTheBlockAgainstTheInputClock) {
  const TSyncCase& c = GetParam();
  TPcmRig rig(std::string("audio_sync_") + c.Name + ".raw");
  rig.Engine.AudioSyncMethod = c.Method;
  rig.Engine.Verbose = 3;
  rig.Ist->AtStart = c.AtStart;
  rig.Ost->NextOutputPts = c.NextOutputPts;
  Encode(rig, std::vector<int16_t>(static_cast<size_t>(c.BlockSamples), 1000), c.PtsUs);
  rig.Finish();

  const std::vector<int16_t> out = Samples(rig.Output());
  ASSERT_EQ(static_cast<int>(out.size()), c.OutSamples);
  int silence = 0;
  while (silence < static_cast<int>(out.size()) && out[silence] == 0) ++silence;
  EXPECT_EQ(silence, c.LeadingSilence);
  EXPECT_EQ(rig.Ist->AtStart, c.AtStartAfter);
  EXPECT_EQ(rig.Ost->NextOutputPts, c.NextOutputPts + c.OutSamples);
  if (*c.Log)
    EXPECT_TRUE(rig.Logged(c.Log)) << (rig.Logs.empty() ? "no log" : rig.Logs[0].second);
  else
    EXPECT_FALSE(rig.Logged("audio samples"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AudioSync,
    testing::Values(
        // 0.5 s late at the start: 4000 samples of silence in front.
        TSyncCase{"pad_at_start", 1, 1, 0, 500000, 1000, 5000, 4000, 0, "adding 4000 audio samples of silence"},
        // 10 s late: the padded block stops at 131072 bytes and the start is not over yet.
        TSyncCase{"pad_capped", 1, 1, 0, 10000000, 1000, 65536, 64536, 1, "adding 80000 audio samples of silence"},
        TSyncCase{"trim_lead", 1, 1, 1000, 0, 1500, 500, 0, 0, "discarding 1000 audio samples"},
        // A lead longer than the block: all of it goes, and the start correction is still due.
        TSyncCase{"drop_whole_block", 1, 1, 5000, 0, 1000, 0, 0, 1, "discarding 5000 audio samples"},
        TSyncCase{"fifty_is_in_step", 1, 1, 7950, 1000000, 1000, 1000, 0, 1, ""},
        // Exactly the drift threshold (0.1 s) after the start: small drift, left alone by method 1.
        TSyncCase{"threshold_is_small_drift", 1, 0, 7200, 1000000, 1000, 1000, 0, 0, ""},
        TSyncCase{"beyond_threshold_pads", 1, 0, 7000, 1000000, 1000, 2000, 1000, 0, "adding 1000 audio samples of silence"}),
    [](const testing::TestParamInfo<TSyncCase>& param) { return std::string(param.param.Name); });

TEST(AudioSync, SmallDriftIsCompensatedByTheResampler) {
  struct {
    int64_t NextOutputPts;
    const char* Log;
    int Direction;
  } cases[] = {{7700, "compensating audio timestamp drift:300.00 compensation:100 in:8000", 1},
               {8300, "compensating audio timestamp drift:-300.00 compensation:-100 in:8000", -1}};
  for (const auto& c : cases) {
    TPcmRig rig("audio_compensate.raw");
    rig.Engine.AudioSyncMethod = 100;
    rig.Engine.Verbose = 3;
    rig.Ist->AtStart = 0;
    rig.Ost->NextOutputPts = c.NextOutputPts;
    Encode(rig, Tone(8000, 1, 8000), 1000000);
    rig.Finish();
    EXPECT_TRUE(rig.Logged(c.Log)) << c.Log;
    EXPECT_NE(rig.Ost->Resampler, nullptr);
    // The 100 samples are spread over the second; the resampler's filter holds back a few.
    const int out = static_cast<int>(rig.Output().size() / 2);
    if (c.Direction > 0)
      EXPECT_GT(out, 8050) << out;
    else
      EXPECT_LT(out, 7950) << out;
  }
}

TEST(AudioPath, FramedEncoderGetsWholeFramesWithExactTimes) {
  TPathRig rig("framecrc", "audio_aac.crc");
  SetAudio(rig.Decoder.get(), 44100, 2, AV_SAMPLE_FMT_S16);
  rig.AddEncoder("aac", [](AVCodecContext* c) {
    SetAudio(c, 44100, 2, AV_SAMPLE_FMT_FLTP);
    c->bit_rate = 128000;
  });
  ASSERT_EQ(rig.Encoder->frame_size, 1024);
  rig.Start();
  const std::vector<int16_t> block = Tone(2500, 2, 44100);
  Encode(rig, block, 0);
  EXPECT_EQ(av_audio_fifo_size(rig.Ost->SampleFifo.get()), 452);
  EXPECT_EQ(rig.Ost->NextOutputPts, 2048);
  EXPECT_NE(rig.Ost->SampleConverter, nullptr);
  EXPECT_EQ(rig.Ost->Resampler, nullptr);
  // Sync off: the position comes from the clock, less what waits in the FIFO.
  Encode(rig, block, 2500 * 1000000LL / 44100);
  EXPECT_EQ(rig.Ost->NextOutputPts, 4096);
  EXPECT_EQ(av_audio_fifo_size(rig.Ost->SampleFifo.get()), 904);
  rig.Engine.FlushEncoder(rig.File(), *rig.Ost);
  EXPECT_EQ(rig.Ost->NextOutputPts, 5000);
  EXPECT_EQ(av_audio_fifo_size(rig.Ost->SampleFifo.get()), 0);
  rig.Finish();

  const std::vector<paths_test::TPacketLine> packets = rig.Packets();
  // 5000 samples plus the encoder's priming need six frames.
  ASSERT_EQ(packets.size(), 6u);
  int64_t bytes = 0;
  for (size_t i = 0; i < packets.size(); ++i) {
    EXPECT_EQ(packets[i].Pts, -rig.Encoder->initial_padding + 1024 * static_cast<int64_t>(i)) << i;
    bytes += packets[i].Size;
  }
  EXPECT_EQ(rig.Engine.AudioBytes, bytes);
}

TEST(AudioPath, FailuresEndTheTaskWithTheirMessage) {
  {
    // 100 channels is beyond what the resampler takes.
    TPathRig rig("s16le", "audio_bad_resample.raw");
    SetAudio(rig.Decoder.get(), 8000, 100, AV_SAMPLE_FMT_S16);
    rig.AddEncoder("pcm_s16le", [](AVCodecContext* c) { SetAudio(c, 44100, 2, AV_SAMPLE_FMT_S16); });
    rig.Start();
    try {
      Encode(rig, std::vector<int16_t>(800, 1), 0);
      ADD_FAILURE() << "no exception";
    } catch (const engine::FFMpegException& e) {
      EXPECT_STREQ(e.what(), "Can not resample 100 channels @ 8000 Hz to 2 channels @ 44100 Hz");
    }
  }
  {
    // An encoder that refuses the frame: the run ends instead of the audio silently vanishing.
    TPathRig rig("s16le", "audio_bad_encoder.raw");
    SetAudio(rig.Decoder.get(), 8000, 1, AV_SAMPLE_FMT_S16);
    rig.AddEncoder("pcm_s16le", [](AVCodecContext* c) { SetAudio(c, 8000, 1, AV_SAMPLE_FMT_S16); }, false);
    try {
      Encode(rig, std::vector<int16_t>(800, 1), 0);
      ADD_FAILURE() << "no exception";
    } catch (const engine::FFMpegException& e) {
      EXPECT_EQ(std::string(e.what()), "Audio encoding failed for " + rig.Path);
    }
    EXPECT_EQ(rig.Engine.AudioBytes, 0);
  }
}
