#include "ConvertCommand.h"

#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "AVProbe.h"
#include "JobRules.h"
#include "LibraryLoader.h"
#include "MainLoop.h"
#include "OrvAVConverter.h"

namespace cli {

namespace {

using namespace component;
using Clock = std::chrono::steady_clock;

constexpr int kExitDone = 0;
constexpr int kExitNotAllDone = 1;
constexpr int kExitUsageError = 2;
constexpr int kExitInterrupted = 130;

const char kHelp[] =
    "Usage: quorvendale-cli convert [OPTIONS] FILE...\n"
    "\n"
    "Converts each FILE to an AVI file (MS-MPEG4 v2 video at 1,200,000 bit/s, 16-bit PCM audio,\n"
    "2 channels at 44100 Hz). A source without video, or with an audio extension, gives an AVI\n"
    "holding only audio. Files the media libraries cannot open are skipped.\n"
    "\n"
    "Output names: the source's name with \" (AVI Video)\" before the extension .avi, numbered\n"
    "\" (AVI Video [1])\", \" (AVI Video [2])\", ... when the name is taken. Nothing is ever overwritten.\n"
    "\n"
    "Options:\n"
    "  -o, --output DIR         write the outputs into DIR (created with its parents); without it\n"
    "                           each output goes beside its source\n"
    "  -j, --jobs N             convert N files at once (default 1); 0 converts them one after\n"
    "                           another on the main thread\n"
    "      --set NAME=VALUE     add an engine option line to every output (repeatable), e.g.\n"
    "                           --set t=10 or --set aspect=16:9; a NAME alone sets a flag\n"
    "                           option. The record's fields (the AVI parameters among them)\n"
    "                           are applied after these lines: change those with --field\n"
    "      --input-set NAME=VALUE   the same for every input\n"
    "      --field NAME=VALUE   set a field of the output record by its name (repeatable), after\n"
    "                           the AVI parameters and the source's facts, so it overrides them;\n"
    "                           e.g. --field VideoCodec=mpeg4, --field FrameSize=320x240,\n"
    "                           --field NoAudio=1\n"
    "      --input-field NAME=VALUE the same for the input record, e.g. --input-field StartMs=5000\n"
    "      --log-level LEVEL    quiet, error, info, debug or all (default quiet): print log lines\n"
    "                           on stderr as \"[task] text\"\n"
    "  -q, --quiet              no progress display\n"
    "  -h, --help               show this help\n"
    "\n"
    "Progress goes to stderr: a live line per running file on a terminal (percentage, frames per\n"
    "second, speed), otherwise a line at 25, 50 and 75 percent.\n"
    "\n"
    "Results go to stdout, one tab-separated line per file:\n"
    "  Done<TAB>SOURCE<TAB>OUTPUT\n"
    "  Failed<TAB>SOURCE<TAB>MESSAGE\n"
    "  Canceled<TAB>SOURCE\n"
    "  Skipped<TAB>SOURCE<TAB>REASON\n"
    "\n"
    "Ctrl-C cancels: files being converted are finished early and stay playable, the others are\n"
    "Canceled. A second Ctrl-C exits at once.\n"
    "\n"
    "Exit status: 0 when every file is Done, 1 otherwise, 2 for a usage error, 130 after Ctrl-C.\n";

int Usage(const std::string& message) {
  std::fprintf(stderr, "quorvendale-cli convert: %s\nTry 'quorvendale-cli convert --help'.\n",
               message.c_str());
  return kExitUsageError;
}

struct TSettings {
  std::string OutputDir;
  bool HasOutputDir = false;
  int Jobs = 1;
  std::vector<std::string> Sets, InputSets;
  std::vector<std::pair<std::string, std::string>> Fields, InputFields;
  TLogLevel LogLevel = llQuiet;
  bool Quiet = false;
  std::vector<std::string> Files;
};

bool SplitAssignment(const std::string& text, std::pair<std::string, std::string>& out) {
  size_t eq = text.find('=');
  if (eq == std::string::npos || eq == 0) return false;
  out = {text.substr(0, eq), text.substr(eq + 1)};
  return true;
}

// Returns -1 when parsing went through, else the exit status.
int ParseArguments(const std::vector<std::string>& args, TSettings& s) {
  bool optionsDone = false;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    if (optionsDone || arg.empty() || arg[0] != '-' || arg == "-") {
      s.Files.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsDone = true;
      continue;
    }
    if (arg == "-h" || arg == "--help") {
      std::fputs(kHelp, stdout);
      return kExitDone;
    }
    if (arg == "-q" || arg == "--quiet") {
      s.Quiet = true;
      continue;
    }
    std::string name = arg, value;
    bool inlineValue = false;
    if (arg.rfind("--", 0) == 0 && arg.find('=') != std::string::npos) {
      name = arg.substr(0, arg.find('='));
      value = arg.substr(arg.find('=') + 1);
      inlineValue = true;
    }
    static const std::set<std::string> kWithValue = {
        "-o", "--output", "-j", "--jobs", "--set", "--input-set",
        "--field", "--input-field", "--log-level"};
    if (!kWithValue.count(name)) return Usage("unknown option '" + arg + "'");
    if (!inlineValue) {
      if (i + 1 >= args.size()) return Usage("option '" + name + "' needs a value");
      value = args[++i];
    }
    if (name == "-o" || name == "--output") {
      if (value.empty()) return Usage("option '" + name + "' needs a folder");
      s.OutputDir = value;
      s.HasOutputDir = true;
    } else if (name == "-j" || name == "--jobs") {
      size_t used = 0;
      int n = -1;
      try {
        n = std::stoi(value, &used);
      } catch (const std::exception&) {
        used = 0;
      }
      if (used != value.size() || n < 0 || n > 64)
        return Usage("option '" + name + "' needs a whole number from 0 to 64, not '" + value + "'");
      s.Jobs = n;
    } else if (name == "--set" || name == "--input-set") {
      if (value.empty() || value.find_first_of("\r\n") != std::string::npos)
        return Usage("option '" + name + "' needs one NAME=VALUE option line");
      (name == "--set" ? s.Sets : s.InputSets).push_back(value);
    } else if (name == "--field" || name == "--input-field") {
      std::pair<std::string, std::string> field;
      if (!SplitAssignment(value, field)) return Usage("option '" + name + "' needs NAME=VALUE");
      // Checked now against a scratch record so a bad name never reaches a conversion.
      std::string error;
      bool ok = name == "--field" ? [&] {
        TOutputOptions scratch;
        return SetOutputField(scratch, field.first, field.second, error);
      }()
                                  : [&] {
                                      TInputOptions scratch;
                                      return SetInputField(scratch, field.first, field.second, error);
                                    }();
      if (!ok) return Usage(name + ": " + error);
      (name == "--field" ? s.Fields : s.InputFields).push_back(field);
    } else if (name == "--log-level") {
      static const std::map<std::string, TLogLevel> kLevels = {
          {"quiet", llQuiet}, {"error", llError}, {"info", llInfo}, {"debug", llDebug}, {"all", llAll}};
      auto it = kLevels.find(value);
      if (it == kLevels.end())
        return Usage("option '--log-level' needs quiet, error, info, debug or all, not '" + value + "'");
      s.LogLevel = it->second;
    }
  }
  if (s.Files.empty()) return Usage("no FILE given");
  return -1;
}

std::string JoinLines(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += (text.empty() ? "" : "\n") + line;
  return text;
}

std::string OneLine(std::string text) {
  for (char& c : text)
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  return text;
}

struct TJob {
  std::string Source;
  std::string Output;
  TFFmpeg* Task = nullptr;
  bool Reported = false;
  // Progress.
  int Percent = -1;
  int NextPlainMark = 25;
  int Fps = 0;
  double Speed = 0;
  bool Started = false;
  Clock::time_point FirstTime;
  int32_t FirstMs = 0;
};

// Result lines on stdout and progress on stderr; every call is made under one mutex.
class TReporter {
 public:
  TReporter(bool quiet) : Quiet(quiet), Live(!quiet && isatty(STDERR_FILENO)) {}

  void Result(const std::string& line) {
    std::lock_guard lock(Mutex);
    ClearBlock();
    std::fprintf(stdout, "%s\n", line.c_str());
    std::fflush(stdout);
    DrawBlock();
  }
  void LogLine(const std::string& line) {
    std::lock_guard lock(Mutex);
    ClearBlock();
    std::fprintf(stderr, "%s\n", line.c_str());
    DrawBlock();
  }
  void Progress(TJob& job, int32_t currentMs, int32_t totalMs, int32_t fps) {
    std::lock_guard lock(Mutex);
    if (Quiet) return;
    auto now = Clock::now();
    if (!job.Started) {
      job.Started = true;
      job.FirstTime = now;
      job.FirstMs = currentMs;
      if (Live) Active.push_back(&job);
    }
    job.Percent = totalMs > 0 ? static_cast<int>(std::min<int64_t>(100, int64_t{currentMs} * 100 / totalMs)) : -1;
    job.Fps = fps;
    double seconds = std::chrono::duration<double>(now - job.FirstTime).count();
    if (seconds > 0.2) job.Speed = (currentMs - job.FirstMs) / 1000.0 / seconds;
    if (!Live) {
      // Occasional plain lines: at most three per file.
      if (job.Percent >= job.NextPlainMark && job.NextPlainMark < 100) {
        std::fprintf(stderr, "%s: %d%%\n", job.Source.c_str(), job.Percent);
        while (job.NextPlainMark <= job.Percent) job.NextPlainMark += 25;
      }
      return;
    }
    if (now - LastDraw < std::chrono::milliseconds(100)) return;
    ClearBlock();
    DrawBlock();
  }
  void Finished(TJob& job) {
    std::lock_guard lock(Mutex);
    if (!Live) return;
    ClearBlock();
    std::erase(Active, &job);
    DrawBlock();
  }

 private:
  void ClearBlock() {
    if (!Live || Drawn == 0) return;
    std::fprintf(stderr, "\x1b[%dA", Drawn);
    for (int i = 0; i < Drawn; ++i) std::fputs("\x1b[2K\n", stderr);
    std::fprintf(stderr, "\x1b[%dA", Drawn);
    Drawn = 0;
  }
  // A line that wraps takes two rows, and ClearBlock would leave the second behind: the name is
  // shortened (from the front, keeping the distinctive end) to fit the terminal's width.
  static std::string FitName(const std::string& name, size_t room) {
    std::vector<size_t> starts;  // byte offset of each character
    for (size_t i = 0; i < name.size(); ++i)
      if ((static_cast<unsigned char>(name[i]) & 0xC0) != 0x80) starts.push_back(i);
    if (starts.size() <= room) return name;
    if (room <= 3) return std::string(room, '.');
    return "..." + name.substr(starts[starts.size() - (room - 3)]);
  }
  void DrawBlock() {
    if (!Live) return;
    winsize size{};
    const size_t columns = ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
    for (TJob* job : Active) {
      constexpr int kWidth = 20;
      int filled = job->Percent < 0 ? 0 : job->Percent * kWidth / 100;
      std::string bar(filled, '#');
      bar.resize(kWidth, '.');
      char head[64], tail[64];
      if (job->Percent < 0)
        std::snprintf(head, sizeof(head), "  --%% [%s] ", bar.c_str());
      else
        std::snprintf(head, sizeof(head), "%4d%% [%s] ", job->Percent, bar.c_str());
      std::snprintf(tail, sizeof(tail), "  %d fps  %.1fx", job->Fps, job->Speed);
      const size_t used = std::strlen(head) + std::strlen(tail) + 1;  // the last column stays free
      std::string name = std::filesystem::path(job->Source).filename().string();
      name = FitName(name, columns > used ? columns - used : 0);
      std::fprintf(stderr, "\x1b[2K%s%s%s\n", head, name.c_str(), tail);
    }
    Drawn = static_cast<int>(Active.size());
    LastDraw = Clock::now();
    std::fflush(stderr);
  }

  std::mutex Mutex;
  bool Quiet;
  bool Live;
  std::vector<TJob*> Active;
  int Drawn = 0;
  Clock::time_point LastDraw{};
};

// Ctrl-C: the first cancels the run, the second ends the process at once.
class TInterruptWatch {
 public:
  explicit TInterruptWatch(std::function<void()> onFirst) : OnFirst(std::move(onFirst)) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &set, &Previous);  // inherited by every thread made from now on
    Watcher = std::thread([this, set] {
      for (int count = 0;;) {
        int signal = 0;
        if (sigwait(&set, &signal) != 0 || signal == SIGUSR2) return;
        if (++count == 1) {
          OnFirst();
        } else {
          static const char kMessage[] = "quorvendale-cli convert: interrupted\n";
          ssize_t ignored = write(STDERR_FILENO, kMessage, sizeof(kMessage) - 1);
          (void)ignored;
          _exit(kExitInterrupted);
        }
      }
    });
  }
  ~TInterruptWatch() {
    pthread_kill(Watcher.native_handle(), SIGUSR2);
    Watcher.join();
    pthread_sigmask(SIG_SETMASK, &Previous, nullptr);
  }

 private:
  std::function<void()> OnFirst;
  sigset_t Previous;
  std::thread Watcher;
};

}  // namespace

int RunConvert(const std::vector<std::string>& args) {
  TSettings settings;
  if (int status = ParseArguments(args, settings); status >= 0) return status;

  TOrvAVConverter converter;
  if (!converter.BindLibraries(libbind::ExecutableLibDir(), true)) {
    std::fprintf(stderr, "quorvendale-cli convert: Error: Lib cannot be loaded. %s\n",
                 converter.LastFailure().c_str());
    return kExitNotAllDone;
  }
  converter.SetLogLevel(settings.LogLevel);
  if (settings.HasOutputDir) {
    std::string error;
    if (!jobrules::MakeOutputFolder(settings.OutputDir, error)) {
      std::fprintf(stderr, "quorvendale-cli convert: %s\n", error.c_str());
      return kExitNotAllDone;
    }
  }

  TReporter reporter(settings.Quiet);
  TMainLoop loop;
  std::mutex runMutex;
  bool interrupted = false, runStarted = false;
  std::atomic<bool> allDone{true};
  TInterruptWatch watch([&] {
    std::lock_guard lock(runMutex);
    interrupted = true;
    if (runStarted) converter.CancelTasks();
  });

  std::vector<std::unique_ptr<TJob>> jobs;
  auto report = [&](TJob& job, const std::string& line) {
    job.Reported = true;
    if (line.rfind("Done\t", 0) != 0) allDone = false;
    reporter.Result(line);
  };

  // Build the tasks: each source tied to its own task by identity.
  std::set<std::string> reserved;
  const std::string extension = jobrules::OutputExtension(jobrules::kAviLabel);
  const std::string formatName = jobrules::FormatName(jobrules::kAviLabel);
  for (const std::string& source : settings.Files) {
    auto job = std::make_unique<TJob>();
    job->Source = source;
    TJob& j = *jobs.emplace_back(std::move(job));
    {
      // Still listed, so it gets its Canceled line.
      std::lock_guard lock(runMutex);
      if (interrupted) continue;
    }
    if (!converter.Probe().OpenMedia(source)) {
      report(j, "Skipped\t" + source + "\t" + OneLine(converter.Probe().LastError()));
      continue;
    }
    TInputOptions input;
    input.FileName = source;
    input.ExtraOptions = JoinLines(settings.InputSets);
    std::string error;
    for (const auto& [name, value] : settings.InputFields) SetInputField(input, name, value, error);
    int32_t index = converter.AddSourceTask(source, &input);
    converter.Probe().CloseMedia();
    if (index < 0) {
      report(j, "Failed\t" + source + "\t" + OneLine(converter.LastFailure()));
      continue;
    }
    TFFmpeg* task = converter.TaskEngine(index);
    std::string base = jobrules::BaseFileName(source, !settings.HasOutputDir, settings.OutputDir);
    std::string output = jobrules::UniqueOutputName(base, extension, formatName, [&](const std::string& name) {
      return reserved.count(name) || jobrules::FileExists(name);
    });
    TOutputOptions record = jobrules::TargetRecord(
        jobrules::kAviLabel, task->Probe().MediaFileName(), jobrules::ReadSourceFacts(task->Probe()));
    record.ExtraOptions = JoinLines(settings.Sets);
    for (const auto& [name, value] : settings.Fields) SetOutputField(record, name, value, error);
    if (!converter.SetTaskTarget(index, output, &record)) {
      report(j, "Failed\t" + source + "\t" + OneLine(converter.LastFailure()));
      converter.DropTask(task->TaskIndex());
      continue;
    }
    reserved.insert(output);
    j.Output = output;
    j.Task = task;
  }

  auto jobOf = [&](int32_t index) -> TJob* {
    TFFmpeg* task = converter.TaskEngine(index);
    for (auto& job : jobs)
      if (job->Task == task) return job.get();
    return nullptr;
  };
  converter.OnProgress = [&](TCustomOrvAVConverter*, int32_t index, int32_t, int32_t fps,
                             int32_t currentMs, float, float, int64_t, int32_t totalMs) {
    if (TJob* job = jobOf(index)) reporter.Progress(*job, currentMs, totalMs, fps);
  };
  converter.OnTerminate = [&](TCustomOrvAVConverter*, int32_t index, bool finished, bool exception,
                              const std::string& message) {
    if (index < 0) {
      loop.Quit();
      return;
    }
    TJob* job = jobOf(index);
    if (!job) return;
    reporter.Finished(*job);
    if (exception) {
      // A failed conversion leaves no half-written file behind.
      std::error_code ec;
      std::filesystem::remove(job->Output, ec);
      report(*job, "Failed\t" + job->Source + "\t" + OneLine(message.empty() ? "conversion failed" : message));
    } else if (finished) {
      report(*job, "Done\t" + job->Source + "\t" + job->Output);
    } else {
      report(*job, "Canceled\t" + job->Source);
    }
  };
  if (settings.LogLevel != llQuiet) {
    const TLogLevel shown = settings.LogLevel;
    converter.OnLog = [&reporter, shown](TCustomOrvAVConverter*, int32_t index, TLogLevel level,
                                         const std::string& text) {
      if (level <= shown) reporter.LogLine("[" + std::to_string(index) + "] " + text);
    };
  }
  converter.PostDelayed = [&loop](int ms, std::function<void()> action) {
    loop.PostDelayed(ms, std::move(action));
  };

  bool run = false;
  {
    std::lock_guard lock(runMutex);
    if (!interrupted && converter.TaskTotal() > 0) {
      runStarted = true;
      run = true;
      converter.RunTasks(settings.Jobs);
    }
  }
  if (run) loop.Run();

  bool wasInterrupted;
  {
    std::lock_guard lock(runMutex);
    wasInterrupted = interrupted;
    runStarted = false;
  }
  for (auto& job : jobs)
    if (!job->Reported) report(*job, "Canceled\t" + job->Source);
  converter.OnProgress = nullptr;
  converter.OnTerminate = nullptr;
  converter.OnLog = nullptr;
  converter.DropAllTasks();
  if (wasInterrupted) return kExitInterrupted;
  return allDone ? kExitDone : kExitNotAllDone;
}

}  // namespace cli
