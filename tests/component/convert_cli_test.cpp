// `convert` as a process: result lines, exit codes, output names, usage errors, Ctrl-C.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "TestMedia.h"
#include "fixture_names.h"

extern char** environ;

namespace fs = std::filesystem;
namespace fx = qv::fixtures;
using namespace std::chrono_literals;

namespace {

using testmedia::Fixture;
using testmedia::LongClip;

fs::path Scratch(const std::string& name) { return testmedia::Scratch("convert_cli", name); }

std::string ReadFile(const fs::path& file) {
  std::ifstream in(file);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class TProcess {
 public:
  TProcess(const std::vector<std::string>& args, const fs::path& dir) : Out(dir / "stdout.txt"), Err(dir / "stderr.txt") {
    std::vector<std::string> all = {QV_BIN_DIR "/quorvendale-cli", "convert"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, Out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, Err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (posix_spawn(&Pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) Pid = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  // Exit status, or -1 when it did not end by itself within the limit (then it is killed).
  int Wait(std::chrono::seconds limit = 180s) {
    auto until = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (Pid > 0) {
      pid_t done = waitpid(Pid, &status, WNOHANG);
      if (done == Pid) {
        Pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      if (std::chrono::steady_clock::now() > until) {
        kill(Pid, SIGKILL);
        waitpid(Pid, &status, 0);
        Pid = -1;
        return -1;
      }
      std::this_thread::sleep_for(10ms);
    }
    return -1;
  }
  void Interrupt() { kill(Pid, SIGINT); }
  std::string Stdout() const { return ReadFile(Out); }
  std::string Stderr() const { return ReadFile(Err); }
  ~TProcess() {
    if (Pid > 0) {
      kill(Pid, SIGKILL);
      waitpid(Pid, nullptr, 0);
    }
  }

 private:
  fs::path Out, Err;
  pid_t Pid = -1;
};

struct TResult {
  int Exit;
  std::set<std::string> Lines;
  std::string Out, Err;
};

TResult Convert(const std::vector<std::string>& args, const fs::path& dir) {
  TProcess process(args, dir);
  TResult result;
  result.Exit = process.Wait();
  result.Out = process.Stdout();
  std::istringstream out(result.Out);
  for (std::string line; std::getline(out, line);) result.Lines.insert(line);
  result.Err = process.Stderr();
  return result;
}

// Decodable container; counts its video streams.
bool Playable(const std::string& file, int& videoStreams) {
  AVFormatContext* context = nullptr;
  if (avformat_open_input(&context, file.c_str(), nullptr, nullptr) < 0) return false;
  bool ok = avformat_find_stream_info(context, nullptr) >= 0 && context->nb_streams > 0;
  videoStreams = 0;
  for (unsigned i = 0; i < context->nb_streams; ++i)
    if (context->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) ++videoStreams;
  avformat_close_input(&context);
  return ok;
}


}  // namespace

TEST(ConvertCommand, BatchWritesUniqueNamesAndOneResultPerFile) {
  fs::path dir = Scratch("batch");
  fs::path out = dir / "out/a/b";  // created with its parents
  const std::string h263 = Fixture(fx::kH263Aac), mpeg4 = Fixture(fx::kMpeg4Aac),
                    memo = Fixture(fx::kAudioOnly), text = Fixture(fx::kText), missing = (dir / "missing.3gp").string();
  TResult r = Convert({"-q", "-j", "2", "-o", out.string(), h263, text, mpeg4, memo, missing, mpeg4}, dir);
  EXPECT_EQ(r.Exit, 1) << r.Err;
  const std::string mp4Out = (out / "mpeg4_aac (AVI Video).avi").string();
  const std::string mp4Again = (out / "mpeg4_aac (AVI Video [1]).avi").string();
  const std::string memoOut = (out / "audio_only (AVI Video).avi").string();
  EXPECT_TRUE(r.Lines.count("Done\t" + h263 + "\t" + (out / "h263_aac (AVI Video).avi").string())) << r.Err;
  EXPECT_TRUE(r.Lines.count("Done\t" + mpeg4 + "\t" + mp4Out));
  EXPECT_TRUE(r.Lines.count("Done\t" + mpeg4 + "\t" + mp4Again)) << "the same source twice gets two names";
  EXPECT_TRUE(r.Lines.count("Done\t" + memo + "\t" + memoOut)) << "audio-only sources convert";
  EXPECT_EQ(r.Lines.size(), 6u);
  int skipped = 0;
  for (const auto& line : r.Lines)
    if (line.rfind("Skipped\t" + text + "\t", 0) == 0 || line.rfind("Skipped\t" + missing + "\t", 0) == 0) ++skipped;
  EXPECT_EQ(skipped, 2);
  EXPECT_FALSE(fs::exists(out / "text (AVI Video).avi"));
  int video = -1;
  ASSERT_TRUE(Playable(memoOut, video));
  EXPECT_EQ(video, 0);
  ASSERT_TRUE(Playable(mp4Out, video));
  EXPECT_EQ(video, 1);

  // A second run never overwrites: the next free number, and the first file is left alone.
  auto before = fs::last_write_time(mp4Out);
  auto size = fs::file_size(mp4Out);
  TResult again = Convert({"-q", "-o", out.string(), mpeg4}, dir);
  EXPECT_EQ(again.Exit, 0) << again.Err;
  EXPECT_EQ(again.Lines, (std::set<std::string>{"Done\t" + mpeg4 + "\t" + (out / "mpeg4_aac (AVI Video [2]).avi").string()}));
  EXPECT_EQ(fs::last_write_time(mp4Out), before);
  EXPECT_EQ(fs::file_size(mp4Out), size);
}

TEST(ConvertCommand, WithoutOutputFolderWritesBesideTheSourceOnTheMainThread) {
  fs::path dir = Scratch("beside");
  fs::copy_file(Fixture(fx::kH263Aac), dir / "clip.3gp");
  fs::copy_file(Fixture(fx::kVideoOnly), dir / "silent.3gp");
  TResult r = Convert({"--jobs=0", (dir / "clip.3gp").string(), (dir / "silent.3gp").string()}, dir);
  EXPECT_EQ(r.Exit, 0) << r.Err;
  EXPECT_EQ(r.Lines, (std::set<std::string>{
                         "Done\t" + (dir / "clip.3gp").string() + "\t" + (dir / "clip (AVI Video).avi").string(),
                         "Done\t" + (dir / "silent.3gp").string() + "\t" + (dir / "silent (AVI Video).avi").string()}));
  // Not a terminal: only occasional plain progress lines.
  std::istringstream err(r.Err);
  int lines = 0;
  for (std::string line; std::getline(err, line);) ++lines;
  EXPECT_LE(lines, 6) << r.Err;
}

TEST(ConvertCommand, RejectedOptionsFailTheFileWithTheEngineMessage) {
  fs::path dir = Scratch("failed");
  const std::string source = Fixture(fx::kH263Aac);
  TResult r = Convert({"-q", "-o", dir.string(), "--set", "threads=4", source}, dir);
  EXPECT_EQ(r.Exit, 1);
  EXPECT_EQ(r.Lines, (std::set<std::string>{"Failed\t" + source + "\tTODO: option - threads"}));
  EXPECT_FALSE(fs::exists(dir / "h263_aac (AVI Video).avi")) << "no empty output left behind";

  TResult odd = Convert({"-q", "-o", dir.string(), "--field", "FrameSize=175x144", source}, dir);
  EXPECT_EQ(odd.Exit, 1);
  EXPECT_EQ(odd.Lines, (std::set<std::string>{"Failed\t" + source + "\tFrame size must be a multiple of 2"}));
}

TEST(ConvertCommand, UsageErrorsNameTheirCause) {
  fs::path dir = Scratch("usage");
  const std::string source = Fixture(fx::kH263Aac);
  struct TCase {
    std::vector<std::string> Args;
    const char* Mentions;
  };
  const TCase cases[] = {
      {{}, "no FILE"},
      {{"--field", "Bogus=1", source}, "Bogus"},
      {{"--field", "AudioRate=fast", source}, "AudioRate"},
      {{"--input-field", "FrameSize=1x1", source}, "FrameSize"},
      {{"--field", "NoVideo", source}, "NAME=VALUE"},
      {{"-j", "two", source}, "two"},
      {{"--log-level", "loud", source}, "loud"},
      {{"--frobnicate", source}, "--frobnicate"},
      {{"-o"}, "-o"},
  };
  for (const auto& c : cases) {
    TResult r = Convert(c.Args, dir);
    EXPECT_EQ(r.Exit, 2) << c.Mentions;
    EXPECT_TRUE(r.Lines.empty());
    EXPECT_NE(r.Err.find(c.Mentions), std::string::npos) << r.Err;
  }
  EXPECT_FALSE(fs::exists(fs::path(source).replace_filename("h263_aac (AVI Video).avi")));

  TResult help = Convert({"--help"}, dir);
  EXPECT_EQ(help.Exit, 0);
  for (const char* word : {"--output", "--jobs", "--set", "--input-set", "--field", "--input-field",
                           "--log-level", "Done<TAB>", "Skipped<TAB>", "130"})
    EXPECT_NE(help.Out.find(word), std::string::npos) << word;
}

TEST(ConvertCommand, InterruptFinishesTheRunningFileAndCancelsTheRest) {
  fs::path dir = Scratch("interrupt");
  const std::string first = Fixture(fx::kH263Aac), running = LongClip(), last = Fixture(fx::kMpeg4Aac);
  TProcess process({"--log-level", "error", "-o", dir.string(), first, running, last}, dir);
  // Wait until the long clip reports progress (plain lines, since stderr is a file).
  const std::string mark = running + ": ";
  auto until = std::chrono::steady_clock::now() + 120s;
  while (process.Stderr().find(mark) == std::string::npos && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(20ms);
  ASSERT_NE(process.Stderr().find(mark), std::string::npos) << process.Stderr();
  process.Interrupt();
  EXPECT_EQ(process.Wait(), 130) << process.Stderr();
  std::istringstream out(process.Stdout());
  std::set<std::string> lines;
  for (std::string line; std::getline(out, line);) lines.insert(line);
  const std::string runningOut = (dir / (fs::path(running).stem().string() + " (AVI Video).avi")).string();
  EXPECT_EQ(lines, (std::set<std::string>{"Done\t" + first + "\t" + (dir / "h263_aac (AVI Video).avi").string(),
                                          "Canceled\t" + running, "Canceled\t" + last}));
  EXPECT_FALSE(fs::exists(dir / "mpeg4_aac (AVI Video).avi")) << "the unstarted file leaves nothing";
  int video = -1;
  EXPECT_TRUE(Playable(runningOut, video)) << "the stopped output is complete";
  EXPECT_EQ(video, 1);
}

TEST(ConvertCommand, InterruptWhileFilesAreExaminedStillReportsEveryFile) {
  fs::path dir = Scratch("interrupt_early");
  // A pipe holds the examination of the first file until the test has interrupted.
  const std::string pipe = (dir / "held.3gp").string();
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  const std::string second = Fixture(fx::kH263Aac), third = Fixture(fx::kMpeg4Aac);
  TProcess process({"-q", "-o", dir.string(), pipe, second, third}, dir);
  int writer = open(pipe.c_str(), O_WRONLY);  // returns once the command opened the pipe
  ASSERT_GE(writer, 0);
  process.Interrupt();
  std::this_thread::sleep_for(300ms);
  close(writer);
  EXPECT_EQ(process.Wait(), 130) << process.Stderr();
  std::istringstream out(process.Stdout());
  std::vector<std::string> lines;
  for (std::string line; std::getline(out, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 3u) << process.Stdout();
  EXPECT_EQ(lines[0].rfind("Skipped\t" + pipe + "\t", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1], "Canceled\t" + second);
  EXPECT_EQ(lines[2], "Canceled\t" + third);
}

TEST(ConvertCommand, LiveProgressLinesFitTheTerminal) {
  fs::path dir = Scratch("terminal");
  // A long name with two-byte characters: its bar must not wrap, or the redraw leaves debris.
  const fs::path source = dir / "Urlaubsvideo vom Strand mit der ganzen Familie, Teil zwei (Ü).3gp";
  fs::copy_file(Fixture(fx::kH263Aac), source);
  int master = -1, slave = -1;
  winsize size{};
  size.ws_col = 60;
  size.ws_row = 24;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, &size), 0);
  std::vector<std::string> all = {QV_BIN_DIR "/quorvendale-cli", "convert", "-o", dir.string(), source.string()};
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, (dir / "stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, slave, STDERR_FILENO);
  posix_spawn_file_actions_addclose(&actions, master);
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(slave);
  std::string screen;
  char buffer[4096];
  for (ssize_t n; (n = read(master, buffer, sizeof(buffer))) > 0;) screen.append(buffer, n);
  close(master);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << screen;

  // Visible text of each line: escape sequences out, characters counted, not bytes.
  int bars = 0;
  std::istringstream lines(screen);
  for (std::string line; std::getline(lines, line);) {
    size_t columns = 0;
    for (size_t i = 0; i < line.size(); ++i) {
      if (line[i] == '\x1b' && i + 1 < line.size() && line[i + 1] == '[') {
        i += 2;
        while (i < line.size() && !std::isalpha(static_cast<unsigned char>(line[i]))) ++i;
        continue;
      }
      if (line[i] != '\r' && (static_cast<unsigned char>(line[i]) & 0xC0) != 0x80) ++columns;
    }
    if (line.find("fps") != std::string::npos) ++bars;
    EXPECT_LT(columns, size.ws_col) << line;
  }
  EXPECT_GT(bars, 0) << screen;
}
