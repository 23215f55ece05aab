// Runs in order: binding is process-wide, so the unbound checks come before anything binds.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "AVProbe.h"
#include "Modules.h"
#include "ffmpeg.h"

namespace fs = std::filesystem;

namespace {

void ExpectProbeLibrariesUnbound() {
  EXPECT_FALSE(AVCodecHlpr::LibBound());
  EXPECT_FALSE(AVFormatHlpr::LibBound());
  EXPECT_FALSE(AVUtilHlpr::LibBound());
  EXPECT_FALSE(SwScaleHlpr::LibBound());
}

std::string RequireMessage() {
  try {
    TAVProbe::RequireProbeLibraries();
  } catch (const EProbeLibrariesException& e) {
    return e.what();
  }
  return "";
}

TEST(ProbeUnbound, OpenAndAttachRaiseAndChangeNothing) {
  TAVProbe probe;
  EXPECT_THROW(probe.OpenMedia("any.3gp", ""), EProbeLibrariesException);
  EXPECT_THROW(probe.AttachMedia(nullptr), EProbeLibrariesException);
  EXPECT_EQ(probe.StreamCount(), -1);
  EXPECT_EQ(probe.LastError(), "");
}

TEST(ProbeUnbound, FailedBindingUnloadsAllFourAndKeepsLoaderText) {
  // avcodec binds here, then avformat is missing: avcodec must be unloaded again.
  fs::path dir = fs::path(QV_TEST_BUILD_DIR) / "only_avcodec";
  fs::create_directories(dir);
  std::string avcodecName = "libavcodec.so." + std::to_string(LIBAVCODEC_VERSION_MAJOR);
  // LeakSanitizer cannot scan a library once it is unmapped and would report what its
  // dependencies allocated at load time; this reference keeps it mapped after CloseLib.
  ASSERT_NE(dlopen((std::string(QV_LIB_DIR) + "/" + avcodecName).c_str(), RTLD_NOW), nullptr);
  fs::remove(dir / avcodecName);
  fs::create_symlink(fs::path(QV_LIB_DIR) / avcodecName, dir / avcodecName);

  TAVProbe probe;
  EXPECT_FALSE(probe.BindProbeLibraries(dir.string(), true));
  std::string expected = "Load libraray " + AVFormatHlpr::LibFileName() + " error: ";
  EXPECT_EQ(probe.LastError().rfind(expected, 0), 0u) << probe.LastError();
  EXPECT_NE(probe.LastError().find("cannot open shared object file"), std::string::npos);
  ExpectProbeLibrariesUnbound();
}

TEST(ProbeUnbound, RequireNamesFirstUnboundLibraryInOrder) {
  std::string error;
  EXPECT_EQ(RequireMessage(), "LibAVCodec not loaded.");
  ASSERT_TRUE(AVCodecHlpr::BindLib(error, QV_LIB_DIR, true)) << error;
  EXPECT_EQ(RequireMessage(), "LibAVFormat not loaded.");
  ASSERT_TRUE(AVFormatHlpr::BindLib(error, QV_LIB_DIR, true)) << error;
  EXPECT_EQ(RequireMessage(), "LibAVUtil not loaded.");
  ASSERT_TRUE(AVUtilHlpr::BindLib(error, QV_LIB_DIR, true)) << error;
  EXPECT_EQ(RequireMessage(), "LibSwScale not loaded.");
  ASSERT_TRUE(SwScaleHlpr::BindLib(error, QV_LIB_DIR, true)) << error;
  EXPECT_EQ(RequireMessage(), "");
}

TEST(ProbeUnbound, BindingWhenAlreadyBoundTouchesNoFiles) {
  TAVProbe probe;
  EXPECT_TRUE(probe.BindProbeLibraries("/nonexistent-folder", true));
  EXPECT_EQ(probe.LastError(), "");
}

}  // namespace
