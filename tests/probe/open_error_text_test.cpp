#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "OpenErrorText.h"
#include "ffmpeg.h"

namespace {

const std::string kImageName =
    "f: Incorrect image filename syntax.\r\nUse '%d' to specify the image number:\r\n"
    "  for img1.jpg, img2.jpg, ..., use 'img%d.jpg';\r\n"
    "  for img001.jpg, img002.jpg, ..., use 'img%03d.jpg'.";
const std::string kIoError =
    "f: I/O error occurred\r\nUsually that means that input file is truncated and/or corrupted.";

TEST(OpenErrorText, MapsHistoricAndCurrentCodes) {
  struct TCase {
    int Code;
    std::string Expected;
  } cases[] = {
      {-42, "f: Unknown format"},
      {AVERROR_DEMUXER_NOT_FOUND, "f: Unknown format"},
      {-33, kImageName},
      {-22, "f: Error while parsing header"},
      {AVERROR_INVALIDDATA, "f: Error while parsing header"},
      {-12, "f: memory allocation error occurred"},
      {AVERROR(ENOMEM), "f: memory allocation error occurred"},
      {-5, kIoError},
      {AVERROR(ENOENT), "f: no such file or directory"},
      {AVERROR(EACCES), "f: Error while opening file"},
      {AVERROR_EOF, "f: Error while opening file"},
      {0, "f: Error while opening file"},
      {-1, "f: Error while opening file"},
  };
  for (const TCase& c : cases) EXPECT_EQ(OpenErrorText("f", c.Code), c.Expected) << c.Code;
}

TEST(OpenErrorText, PrefixIsTakenLiterally) {
  EXPECT_EQ(OpenErrorText("100%s %d.3gp", -2), "100%s %d.3gp: no such file or directory");
  EXPECT_EQ(OpenErrorText("", -42), ": Unknown format");
}

}  // namespace
