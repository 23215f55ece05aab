// An engine prepared on the bound libraries, with its log lines collected.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "FFmpeg.h"

// The bit rate a codec context starts with (the libraries' own default).
inline int64_t DefaultBitRate() {
  engine::CodecContextPtr fresh(lib::avcodec.avcodec_alloc_context3(nullptr));
  return fresh->bit_rate;
}

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    E.Prepare();
    E.LogCallback = [this](engine::TCustomFFmpeg*, int level, const std::string& text) {
      Logs.emplace_back(level, text);
    };
  }

  // The message an option is refused with, or "" when it is accepted.
  std::string ErrorOf(const std::string& name, const std::string& value) {
    try {
      E.ApplyOption(name, value);
    } catch (const engine::FFMpegException& ex) {
      return ex.what();
    }
    return {};
  }

  std::vector<std::string> LogTexts() const {
    std::vector<std::string> texts;
    for (const auto& [level, text] : Logs) texts.push_back(text);
    return texts;
  }

  engine::TFFmpeg E;
  std::vector<std::pair<int, std::string>> Logs;
};
