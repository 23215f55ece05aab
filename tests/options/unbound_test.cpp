#include <gtest/gtest.h>

#include "FFmpeg.h"

// Without the libraries an engine holds its defaults and nothing else.
TEST(UnboundEngine, PrepareAndResetChangeNothing) {
  engine::TFFmpeg e;
  e.AudioChannels = 6;
  e.Title = "kept";
  e.Terminated = true;
  e.Prepare();
  e.Reset();
  EXPECT_EQ(e.AudioChannels, 6);
  EXPECT_EQ(e.Title, "kept");
  EXPECT_TRUE(e.Terminated);
  EXPECT_EQ(e.CodecDefaults[0], nullptr);
  EXPECT_EQ(e.FormatDefaults, nullptr);
  EXPECT_FALSE(e.ApplyGenericOption("b", "1000"));
}
