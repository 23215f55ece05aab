// Converts generated clips with the engine and with the bare loop, each in a child process so
// that its peak memory is its own, and prints wall time, times-realtime and peak memory.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "EngineConvert.h"
#include "Floor.h"

namespace fs = std::filesystem;

namespace {

struct Measure {
  double Seconds = 0;
  long PeakKiB = 0;
  bool Ok = false;
};

Measure InChild(const std::function<std::string()>& work) {
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    std::string error = work();
    if (!error.empty()) std::fprintf(stderr, "%s\n", error.c_str());
    std::_Exit(error.empty() ? 0 : 1);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  Measure m;
  m.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  m.PeakKiB = usage.ru_maxrss;
  m.Ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return m;
}

std::string Here() { return fs::canonical("/proc/self/exe").parent_path().string(); }

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> lengths;
  for (int i = 1; i < argc; ++i) lengths.push_back(std::atoi(argv[i]));
  if (lengths.empty()) lengths = {60};
  fs::path media = fs::path(Here()).parent_path() / "bench-media";
  fs::create_directories(media);
  std::printf("%-28s %-7s %9s %9s %10s\n", "clip", "runner", "wall s", "x real", "peak MiB");
  int failures = 0;
  for (int seconds : lengths) {
    std::string make = Here() + "/qv-make-fixtures --long " + std::to_string(seconds) + " " +
                       media.string() + " >/dev/null";
    if (std::system(make.c_str()) != 0) {
      std::fprintf(stderr, "qv-bench: could not generate %d s clips in %s\n", seconds,
                   media.c_str());
      return 1;
    }
    for (const char* kind : {"mpeg4_aac", "h263_aac"}) {
      std::string clip = "long_" + std::string(kind) + "_" + std::to_string(seconds) + "s";
      std::string source = (media / (clip + ".3gp")).string();
      for (const char* runner : {"engine", "floor"}) {
        std::string target = (media / (clip + "." + runner + ".avi")).string();
        fs::remove(target);
        bool engine = std::string(runner) == "engine";
        Measure m = InChild([&] {
          return engine ? bench::ConvertWithEngine(Here() + "/lib", source, target)
                        : bench::ConvertFloor(source, target);
        });
        if (!m.Ok) ++failures;
        std::printf("%-28s %-7s %9.2f %9.1f %10.1f%s\n", clip.c_str(), runner, m.Seconds,
                    seconds / m.Seconds, m.PeakKiB / 1024.0, m.Ok ? "" : "  FAILED");
        fs::remove(target);
      }
    }
  }
  return failures ? 1 : 0;
}
