#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "LibrarySet.h"
#include "Modules.h"

namespace fs = std::filesystem;
using namespace libbind;

namespace {

std::string CurrentDir() { return fs::current_path().string(); }

void ExpectNothingBound() {
  EXPECT_FALSE(LibrarySetBound());
  EXPECT_FALSE(AVCodecHlpr::LibBound());
  EXPECT_FALSE(AVFilterHlpr::LibBound());
  EXPECT_FALSE(AVFormatHlpr::LibBound());
  EXPECT_FALSE(AVUtilHlpr::LibBound());
  EXPECT_FALSE(SwScaleHlpr::LibBound());
  EXPECT_FALSE(SwResampleHlpr::LibBound());
}

// Binding state is process-wide, so the failures run before the successful binding.
TEST(LibrarySet, FolderWithoutLibrariesNamesVersionedFileAndOsReason) {
  fs::path empty = fs::path(QV_TEST_BUILD_DIR) / "emptylib";
  fs::create_directories(empty);
  std::string before = CurrentDir();
  EXPECT_FALSE(BindLibrarySet(empty.string(), true));
  std::string expected = "Load libraray " + AVCodecHlpr::LibFileName() + " error: ";
  EXPECT_EQ(LibrarySetError().rfind(expected, 0), 0u) << LibrarySetError();
  EXPECT_NE(LibrarySetError().find("cannot open shared object file"), std::string::npos);
  EXPECT_NE(AVCodecHlpr::LibFileName().find("libavcodec.so."), std::string::npos);
  EXPECT_EQ(CurrentDir(), before);
  ExpectNothingBound();
}

TEST(LibrarySet, PlainNamesWhenNotVersioned) {
  std::string error;
  EXPECT_FALSE(AVUtilHlpr::BindLib(error, "/nonexistent-folder", false));
  EXPECT_EQ(error.rfind("Load libraray libavutil.so error: ", 0), 0u) << error;
  EXPECT_EQ(AVUtilHlpr::LibFileName(), "libavutil.so");
}

TEST(LibrarySet, MissingFunctionReportsFirstOfTableAndUnloadsAll) {
  std::string before = CurrentDir();
  EXPECT_FALSE(BindLibrarySet(std::string(QV_TEST_BUILD_DIR) + "/fakelib", true));
  std::string expected = "Load function avcodec_find_decoder_by_name@" +
                         AVCodecHlpr::LibFileName() + " error: ";
  EXPECT_EQ(LibrarySetError().rfind(expected, 0), 0u) << LibrarySetError();
  EXPECT_NE(LibrarySetError().find("undefined symbol"), std::string::npos);
  EXPECT_EQ(CurrentDir(), before);
  ExpectNothingBound();
}

TEST(LibrarySet, BindsOnceThenAnswersWithoutTouchingFiles) {
  std::string before = CurrentDir();
  ASSERT_TRUE(BindLibrarySet(QV_LIB_DIR, true)) << LibrarySetError();
  EXPECT_TRUE(LibrarySetError().empty());
  EXPECT_TRUE(AVCodecHlpr::LibBound());
  EXPECT_TRUE(SwResampleHlpr::LibBound());
  EXPECT_EQ(LibraryLogLevel(), lib::avutil.av_log_get_level());
  EXPECT_NE(lib::avcodec.avcodec_find_encoder_by_name("msmpeg4v2"), nullptr);
  EXPECT_TRUE(BindLibrarySet("/nonexistent-folder", true));
  EXPECT_EQ(CurrentDir(), before);

  // A module already bound answers true at once, also for another folder.
  std::string error = "untouched";
  EXPECT_TRUE(AVFormatHlpr::BindLib(error, "/nonexistent-folder", true));
  EXPECT_EQ(error, "untouched");
}

}  // namespace
