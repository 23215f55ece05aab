// The generic store: library options kept in holder objects and handed to real contexts later.
#include "EngineFixture.h"

namespace {

int64_t IntOption(void* holder, const char* name, int searchFlags = 0) {
  int64_t v = -1;
  EXPECT_GE(lib::avutil.av_opt_get_int(holder, name, searchFlags, &v), 0) << name;
  return v;
}

}  // namespace

TEST_F(EngineTest, GenericOptionsReachTheFirstHolderThatKnowsThem) {
  void* video = E.CodecDefaults[AVMEDIA_TYPE_VIDEO].get();
  void* audio = E.CodecDefaults[AVMEDIA_TYPE_AUDIO].get();
  void* subtitle = E.CodecDefaults[AVMEDIA_TYPE_SUBTITLE].get();

  EXPECT_TRUE(E.ApplyGenericOption("b", "300000"));  // every kind whose mask the option carries
  EXPECT_EQ(IntOption(video, "b"), 300000);
  EXPECT_EQ(IntOption(audio, "b"), 300000);
  EXPECT_EQ(IntOption(subtitle, "b"), DefaultBitRate());

  E.ApplyOption("vb", "1000000");  // first-letter rule: "b" of one kind only
  E.ApplyOption("ab", "96000");  // today an audio-only alias of "b"
  EXPECT_EQ(IntOption(video, "b"), 1000000);
  EXPECT_EQ(IntOption(audio, "b"), 96000);

  EXPECT_TRUE(E.ApplyGenericOption("gop", "18"));  // today's "g"
  EXPECT_EQ(E.CodecDefaults[AVMEDIA_TYPE_VIDEO]->gop_size, 18);
  EXPECT_TRUE(E.ApplyGenericOption("packetsize", "2324"));
  EXPECT_EQ(E.FormatDefaults->packet_size, 2324u);
  EXPECT_TRUE(E.ApplyGenericOption("sws_flags", "bilinear"));
  EXPECT_EQ(IntOption(E.ScalerDefaults.get(), "sws_flags"), SWS_BILINEAR);
  EXPECT_TRUE(E.ApplyGenericOption(" muxrate ", "1411200"));  // a muxer's own option

  EXPECT_EQ(E.GenericOptionNames,
            (std::vector<std::string>{"b", "b", "ab", "g", "packetsize", "sws_flags", "muxrate"}));
}

TEST_F(EngineTest, RefusedGenericOptionsLeaveNoTrace) {
  struct TCase {
    const char* Name;
    const char* Value;
  } cases[] = {{"b", ""}, {"b", "  "}, {" ", "1"}, {"", "1"}, {"B", "1"},
               {"no_such_option", "1"}, {"b", "abc"}, {"xb", "1"}};
  for (const TCase& c : cases) EXPECT_FALSE(E.ApplyGenericOption(c.Name, c.Value)) << c.Name;
  EXPECT_TRUE(E.GenericOptionNames.empty());
  EXPECT_EQ(E.CodecDefaults[AVMEDIA_TYPE_VIDEO]->bit_rate, DefaultBitRate());
  EXPECT_EQ(E.FormatPrivateOptions, nullptr);
}

TEST_F(EngineTest, DebugFlagsRaiseTheLogLevel) {
  const int before = lib::avutil.av_log_get_level();
  E.ApplyOption("v", "0");
  EXPECT_TRUE(E.ApplyGenericOption("debug", "pict"));
  EXPECT_EQ(E.Verbose, 2);
  EXPECT_EQ(lib::avutil.av_log_get_level(), AV_LOG_DEBUG);
  lib::avutil.av_log_set_level(before);
}

TEST_F(EngineTest, StoredCodecOptionsPassTheFlagFilter) {
  E.ApplyOption("vb", "777000");
  E.ApplyGenericOption("g", "30");
  E.ApplyGenericOption("flags", "+qscale");
  struct TCase {
    int Flags;
    int64_t BitRate;  // 0: the context's own default
    int Gop;
  } cases[] = {
      {AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_VIDEO_PARAM, 777000, 30},
      {AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_AUDIO_PARAM, 777000, 12},  // "g" is video only
      {AV_OPT_FLAG_DECODING_PARAM | AV_OPT_FLAG_VIDEO_PARAM, 0, 12},  // neither decodes
      {AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_SUBTITLE_PARAM, 0, 12},
  };
  const int64_t none = DefaultBitRate();
  for (TCase& c : cases) {
    if (c.BitRate == 0) c.BitRate = none;
    engine::CodecContextPtr target(lib::avcodec.avcodec_alloc_context3(nullptr));
    E.ApplyCodecOptions(target.get(), E.CodecDefaults[AVMEDIA_TYPE_VIDEO].get(), c.Flags);
    EXPECT_EQ(target->bit_rate, c.BitRate) << c.Flags;
    EXPECT_EQ(target->gop_size, c.Gop) << c.Flags;
  }
  engine::CodecContextPtr target(lib::avcodec.avcodec_alloc_context3(nullptr));
  E.ApplyCodecOptions(target.get(), E.CodecDefaults[AVMEDIA_TYPE_VIDEO].get(),
                      AV_OPT_FLAG_ENCODING_PARAM);
  EXPECT_TRUE(target->flags & AV_CODEC_FLAG_QSCALE);
}

TEST_F(EngineTest, MuxerOptionsReachTheOutputsMuxer) {
  E.ApplyGenericOption("packetsize", "2048");
  E.ApplyGenericOption("muxrate", "10080000");
  AVFormatContext* raw = nullptr;
  ASSERT_GE(lib::avformat.avformat_alloc_output_context2(&raw, nullptr, "dvd", nullptr), 0);
  engine::FormatContextPtr output(raw);
  E.ApplyCodecOptions(output.get(), E.FormatDefaults.get(), AV_OPT_FLAG_ENCODING_PARAM);
  EXPECT_EQ(output->packet_size, 2048u);
  EXPECT_EQ(IntOption(output.get(), "muxrate", AV_OPT_SEARCH_CHILDREN), 10080000);
  // A muxer that lacks the option is simply not given it.
  raw = nullptr;
  ASSERT_GE(lib::avformat.avformat_alloc_output_context2(&raw, nullptr, "avi", nullptr), 0);
  engine::FormatContextPtr avi(raw);
  E.ApplyCodecOptions(avi.get(), E.FormatDefaults.get(), AV_OPT_FLAG_ENCODING_PARAM);
  EXPECT_EQ(avi->packet_size, 2048u);
}
