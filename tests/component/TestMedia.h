// Paths the component and command-line tests share: generated media and scratch folders.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "fixture_names.h"

namespace testmedia {

inline std::string Fixture(std::string_view name) {
  return std::string(QV_FIXTURE_DIR) + "/" + std::string(name);
}

// A two-minute clip, long enough that a run can be caught while it converts; written once by the
// test fixture "long_media" before any test that needs it.
inline std::string LongClip() {
  return (std::filesystem::path(QV_LONG_MEDIA_DIR) / qv::fixtures::long_mpeg4_aac(120)).string();
}

// An empty folder of the build tree for one test of one suite.
inline std::filesystem::path Scratch(std::string_view suite, const std::string& name) {
  std::filesystem::path dir = std::filesystem::path(QV_TEST_BUILD_DIR) / suite / name;
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

}  // namespace testmedia
