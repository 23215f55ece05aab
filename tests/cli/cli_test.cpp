// Runs the built quorvendale-cli and checks its output, streams and exit codes.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "fixture_names.h"

namespace fs = std::filesystem;
namespace fx = qv::fixtures;

namespace {

std::string Fixture(std::string_view name) {
  return std::string(QV_FIXTURE_DIR) + "/" + std::string(name);
}

std::string Quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

struct TRun {
  int Exit = -1;
  std::string Out;
  std::string Err;
};

TRun RunCli(const std::vector<std::string>& args,
            const std::string& exe = QV_BIN_DIR "/quorvendale-cli") {
  fs::path errFile = fs::path(QV_TEST_BUILD_DIR) / "stderr.txt";
  std::string command = Quote(exe);
  for (const std::string& arg : args) command += " " + Quote(arg);
  command += " 2>" + Quote(errFile.string());
  TRun run;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return run;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.Out.append(buffer, n);
  int status = pclose(pipe);
  run.Exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::ifstream err(errFile);
  run.Err.assign(std::istreambuf_iterator<char>(err), {});
  return run;
}

std::vector<std::string> Split(const std::string& text, const std::string& separator) {
  std::vector<std::string> parts;
  size_t start = 0, at;
  while ((at = text.find(separator, start)) != std::string::npos) {
    parts.push_back(text.substr(start, at - start));
    start = at + separator.size();
  }
  parts.push_back(text.substr(start));
  return parts;
}

bool HasLine(const std::string& block, const std::string& line) {
  return ("\n" + block + "\n").find("\n" + line + "\n") != std::string::npos;
}

// Just enough JSON to check that the output parses and to read values back.
struct TJson {
  enum EKind { jkNull, jkBool, jkNumber, jkString, jkArray, jkObject } Kind = jkNull;
  double Number = 0;
  std::string Text;
  std::vector<TJson> Items;
  std::vector<std::string> Names;

  const TJson& operator[](const std::string& name) const {
    for (size_t i = 0; i < Names.size(); ++i)
      if (Names[i] == name) return Items[i];
    throw std::runtime_error("no member " + name);
  }
  const TJson& operator[](size_t index) const { return Items.at(index); }
};

class TJsonParser {
 public:
  explicit TJsonParser(const std::string& text) : Text(text) {}
  TJson ParseDocument() {
    TJson value = Value();
    Space();
    if (At != Text.size()) Fail("trailing text");
    return value;
  }

 private:
  [[noreturn]] void Fail(const std::string& why) {
    throw std::runtime_error(why + " at " + std::to_string(At));
  }
  void Space() {
    while (At < Text.size() && std::isspace(static_cast<unsigned char>(Text[At]))) ++At;
  }
  bool Take(char c) {
    Space();
    if (At < Text.size() && Text[At] == c) return ++At, true;
    return false;
  }
  void Expect(char c) {
    if (!Take(c)) Fail(std::string("expected ") + c);
  }
  bool Word(const char* word) {
    size_t length = std::strlen(word);
    if (Text.compare(At, length, word) != 0) return false;
    At += length;
    return true;
  }
  std::string String() {
    Expect('"');
    std::string out;
    while (At < Text.size() && Text[At] != '"') {
      unsigned char c = static_cast<unsigned char>(Text[At++]);
      if (c < 0x20) Fail("raw control character");
      if (c != '\\') {
        out += static_cast<char>(c);
        continue;
      }
      if (At >= Text.size()) Fail("bad escape");
      char e = Text[At++];
      const std::string simple = "\"\\/bfnrt", meaning = "\"\\/\b\f\n\r\t";
      if (auto p = simple.find(e); p != std::string::npos) {
        out += meaning[p];
      } else if (e == 'u' && At + 4 <= Text.size()) {
        unsigned code = std::stoul(Text.substr(At, 4), nullptr, 16);
        At += 4;
        if (code > 0x7F) Fail("only ASCII escapes expected");
        out += static_cast<char>(code);
      } else {
        Fail("bad escape");
      }
    }
    Expect('"');
    return out;
  }
  TJson Value() {
    Space();
    TJson v;
    if (At >= Text.size()) Fail("missing value");
    char c = Text[At];
    if (c == '{') {
      v.Kind = TJson::jkObject;
      ++At;
      if (!Take('}')) {
        do {
          Space();
          v.Names.push_back(String());
          Expect(':');
          v.Items.push_back(Value());
        } while (Take(','));
        Expect('}');
      }
    } else if (c == '[') {
      v.Kind = TJson::jkArray;
      ++At;
      if (!Take(']')) {
        do {
          v.Items.push_back(Value());
        } while (Take(','));
        Expect(']');
      }
    } else if (c == '"') {
      v.Kind = TJson::jkString;
      v.Text = String();
    } else if (Word("null")) {
      v.Kind = TJson::jkNull;
    } else if (Word("true") || Word("false")) {
      v.Kind = TJson::jkBool;
    } else {
      size_t end = At;
      while (end < Text.size() && std::strchr("-+.eE0123456789", Text[end])) ++end;
      if (end == At) Fail("unexpected character");
      v.Kind = TJson::jkNumber;
      v.Number = std::stod(Text.substr(At, end - At));
      At = end;
    }
    return v;
  }

  const std::string& Text;
  size_t At = 0;
};

TJson ParseJson(const std::string& text) { return TJsonParser(text).ParseDocument(); }

TEST(CliProbe, PrintsKeyLinesPerFileAndStream) {
  std::string h263 = Fixture(fx::kH263Aac), audio = Fixture(fx::kAudioOnly),
              wav = Fixture(fx::kToneWav);
  TRun run = RunCli({"probe", h263, audio, wav});
  EXPECT_EQ(run.Exit, 0);
  EXPECT_EQ(run.Err, "");
  std::vector<std::string> blocks = Split(run.Out, "\n\n");
  ASSERT_EQ(blocks.size(), 3u) << run.Out;

  for (const std::string& line : {"file: " + h263,
                                  std::string("format: mov,mp4,m4a,3gp,3g2,mj2"),
                                  std::string("duration_us: 3000000"),
                                  std::string("streams: 2"),
                                  std::string("audio_streams: 1"),
                                  std::string("video_streams: 1"),
                                  std::string("subtitle_streams: 0"),
                                  std::string("stream.0.type: video"),
                                  std::string("stream.0.codec: h263"),
                                  std::string("stream.0.width: 176"),
                                  std::string("stream.0.height: 144"),
                                  std::string("stream.0.display_aspect: 1.3333"),
                                  std::string("stream.0.pixel_format: yuv420p"),
                                  std::string("stream.0.frame_rate: 15/1"),
                                  std::string("stream.1.type: audio"),
                                  std::string("stream.1.codec: aac"),
                                  std::string("stream.1.channels: 1"),
                                  std::string("stream.1.sample_rate: 8000"),
                                  std::string("stream.1.start_us: 0"),
                                  std::string("stream.1.duration_us: 3000000"),
                                  std::string("stream.1.language: und")})
    EXPECT_TRUE(HasLine(blocks[0], line)) << line << "\n" << blocks[0];

  EXPECT_TRUE(HasLine(blocks[1], "file: " + audio));
  EXPECT_TRUE(HasLine(blocks[1], "video_streams: 0"));
  EXPECT_EQ(blocks[1].find("stream.1."), std::string::npos);

  // WAV states neither a start time nor a language.
  EXPECT_TRUE(HasLine(blocks[2], "stream.0.start_us: unknown"));
  EXPECT_TRUE(HasLine(blocks[2], "stream.0.language: unknown"));
  EXPECT_TRUE(HasLine(blocks[2], "stream.0.sample_format: s16"));

  for (const std::string& block : blocks) {
    for (const std::string& line : Split(block, "\n")) {
      if (!line.empty()) {
        EXPECT_NE(line.find(": "), std::string::npos) << line;
      }
    }
  }
}

TEST(CliProbe, FailedFilesReportOnStderrAndOthersStillPrint) {
  std::string good = Fixture(fx::kMpeg4Aac), missing = Fixture("no-such-clip.3gp"),
              truncated = Fixture(fx::kTruncated);
  TRun run = RunCli({"probe", missing, good, truncated});
  EXPECT_EQ(run.Exit, 1);
  EXPECT_EQ(run.Out.rfind("file: " + good + "\n", 0), 0u) << run.Out;
  EXPECT_EQ(run.Out.find("\n\n"), std::string::npos);
  // Only our lines: the libraries' own messages are silenced.
  std::vector<std::string> lines = Split(run.Err, "\n");
  ASSERT_EQ(lines.size(), 3u) << run.Err;
  EXPECT_EQ(lines[0], "error: " + missing + ": no such file or directory");
  EXPECT_EQ(lines[1].rfind("error: " + truncated + ": ", 0), 0u) << lines[1];
  EXPECT_EQ(lines[2], "");

  TRun verbose = RunCli({"probe", "--verbose", truncated});
  EXPECT_EQ(verbose.Exit, 1);
  EXPECT_GT(Split(verbose.Err, "\n").size(), 2u) << verbose.Err;
}

TEST(CliProbe, JsonObjectPerFileParses) {
  // A name that needs escaping in JSON.
  fs::path odd = fs::path(QV_TEST_BUILD_DIR) / "quote\"back\\slash\ttab.3gp";
  fs::remove(odd);
  fs::create_symlink(Fixture(fx::kH263Aac), odd);
  TRun run = RunCli({"probe", "--json", odd.string(), Fixture(fx::kToneWav)});
  EXPECT_EQ(run.Exit, 0) << run.Err;
  std::vector<std::string> lines = Split(run.Out, "\n");
  ASSERT_EQ(lines.size(), 3u) << run.Out;
  EXPECT_EQ(lines[2], "");

  TJson clip = ParseJson(lines[0]);
  EXPECT_EQ(clip["file"].Text, odd.string());
  EXPECT_EQ(clip["format"].Text, "mov,mp4,m4a,3gp,3g2,mj2");
  EXPECT_EQ(clip["streams"].Number, 2);
  ASSERT_EQ(clip["stream"].Items.size(), 2u);
  EXPECT_EQ(clip["stream"][0]["type"].Text, "video");
  EXPECT_EQ(clip["stream"][0]["width"].Number, 176);
  EXPECT_EQ(clip["stream"][0]["frame_rate"].Text, "15/1");
  EXPECT_EQ(clip["stream"][1]["sample_rate"].Number, 8000);
  EXPECT_EQ(clip["stream"][1]["language"].Text, "und");

  TJson tone = ParseJson(lines[1]);
  EXPECT_EQ(tone["stream"][0]["start_us"].Kind, TJson::jkNull);
  EXPECT_EQ(tone["stream"][0]["channels"].Number, 2);
}

TEST(CliProbe, UsageErrorsExitTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"probe"},
      {"probe", "--bogus", Fixture(fx::kH263Aac)},
      {"bogus"},
      {"--bogus"},
      {"probe", "--json"},
      {"probe", "--format"},
  };
  for (const auto& args : cases) {
    TRun run = RunCli(args);
    std::string shown = args.empty() ? "(none)" : args.back();
    EXPECT_EQ(run.Exit, 2) << shown;
    EXPECT_EQ(run.Out, "") << shown;
    EXPECT_EQ(run.Err.rfind("error: ", 0), 0u) << shown << ": " << run.Err;
  }
}

TEST(CliProbe, HelpAndVersion) {
  TRun version = RunCli({"--version"});
  EXPECT_EQ(version.Exit, 0);
  EXPECT_EQ(version.Out, "quorvendale-cli 0.1.0\n");

  TRun help = RunCli({"--help"});
  EXPECT_EQ(help.Exit, 0);
  EXPECT_NE(help.Out.find("probe"), std::string::npos);

  TRun probeHelp = RunCli({"probe", "--help"});
  EXPECT_EQ(probeHelp.Exit, 0);
  EXPECT_NE(probeHelp.Out.find("stream.N.codec"), std::string::npos);
  EXPECT_NE(probeHelp.Out.find("--json"), std::string::npos);
}

TEST(CliProbe, MissingLibrariesExitOne) {
  fs::path dir = fs::path(QV_TEST_BUILD_DIR) / "nolibs";
  fs::create_directories(dir);
  fs::copy_file(QV_BIN_DIR "/quorvendale-cli", dir / "quorvendale-cli",
                fs::copy_options::overwrite_existing);
  TRun run = RunCli({"probe", Fixture(fx::kH263Aac)}, (dir / "quorvendale-cli").string());
  EXPECT_EQ(run.Exit, 1);
  EXPECT_EQ(run.Out, "");
  EXPECT_EQ(run.Err.rfind("error: Load libraray libavcodec.so.", 0), 0u) << run.Err;
}

}  // namespace
