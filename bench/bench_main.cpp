// Converts generated clips with the engine and with the bare loop, each in a child process so
// that its peak memory is its own, and prints wall time, CPU time, times-realtime and peak memory
// (each the median of several runs).
//
// Times cover the conversion only. The engine's libraries are bound in its child before the
// clock starts: the application binds them once per process, not per conversion (the binding
// cost is printed on its own line). Peak memory is the child's whole peak, bound libraries and all.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "EngineConvert.h"
#include "Floor.h"
#include "LibrarySet.h"

namespace fs = std::filesystem;

namespace {

struct Measure {
  double Seconds = 0;
  double CpuSeconds = 0;
  long PeakKiB = 0;
  bool Ok = false;
};

double SecondsOf(const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; }

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return SecondsOf(usage.ru_utime) + SecondsOf(usage.ru_stime);
}

// Runs `prepare` (untimed), then `work` (timed) in a child; the child sends its times back.
Measure InChild(const std::function<std::string()>& prepare,
                const std::function<std::string()>& work) {
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) return {};
  pid_t pid = fork();
  if (pid == 0) {
    close(pipeEnds[0]);
    std::string error = prepare();
    double times[2] = {0, 0};
    if (error.empty()) {
      const double cpu = CpuSeconds();
      const auto start = std::chrono::steady_clock::now();
      error = work();
      times[0] = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      times[1] = CpuSeconds() - cpu;
    }
    if (!error.empty()) std::fprintf(stderr, "%s\n", error.c_str());
    const bool sent = write(pipeEnds[1], times, sizeof times) == static_cast<ssize_t>(sizeof times);
    std::_Exit(error.empty() && sent ? 0 : 1);
  }
  close(pipeEnds[1]);
  double times[2] = {0, 0};
  const bool received = pid > 0 && read(pipeEnds[0], times, sizeof times) == static_cast<ssize_t>(sizeof times);
  close(pipeEnds[0]);
  int status = 0;
  rusage usage{};
  if (pid > 0) wait4(pid, &status, 0, &usage);
  Measure m;
  m.Seconds = times[0];
  m.CpuSeconds = times[1];
  m.PeakKiB = usage.ru_maxrss;
  m.Ok = received && pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return m;
}

// Median of each figure on its own: a run slowed by another process does not drag the others.
Measure Median(std::vector<Measure> runs) {
  Measure m;
  m.Ok = std::all_of(runs.begin(), runs.end(), [](const Measure& r) { return r.Ok; });
  auto median = [&](auto field) {
    std::vector<double> values;
    for (const Measure& r : runs) values.push_back(static_cast<double>(r.*field));
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
  };
  m.Seconds = median(&Measure::Seconds);
  m.CpuSeconds = median(&Measure::CpuSeconds);
  m.PeakKiB = static_cast<long>(median(&Measure::PeakKiB));
  return m;
}

std::string Here() { return fs::canonical("/proc/self/exe").parent_path().string(); }

int Usage() {
  std::fprintf(stderr,
               "usage: qv-bench [--runs N] [SECONDS...]\n"
               "       qv-bench --once engine|floor SOURCE TARGET\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  // One conversion in this process, for profilers that do not follow forks well.
  if (argc == 5 && std::string(argv[1]) == "--once") {
    const std::string runner = argv[2];
    std::string error = runner == "engine" ? bench::ConvertWithEngine(Here() + "/lib", argv[3], argv[4])
                        : runner == "floor" ? bench::ConvertFloor(argv[3], argv[4])
                                            : "unknown runner " + runner;
    if (!error.empty()) std::fprintf(stderr, "%s\n", error.c_str());
    return error.empty() ? 0 : 1;
  }
  int runs = 5;
  std::vector<int> lengths;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
      runs = std::atoi(argv[++i]);
    } else if (std::atoi(argv[i]) > 0) {
      lengths.push_back(std::atoi(argv[i]));
    } else {
      return Usage();
    }
  }
  if (runs < 1) return Usage();
  if (lengths.empty()) lengths = {60};

  const std::string libDir = Here() + "/lib";
  const Measure binding = InChild([] { return std::string(); }, [&] {
    return libbind::BindLibrarySet(libDir, true) ? std::string() : libbind::LibrarySetError();
  });
  if (!binding.Ok) return 1;
  std::printf(
      "engine's library binding (once per process, not in the times below): %.0f ms, "
      "peak %.1f MiB\n",
      binding.Seconds * 1000, binding.PeakKiB / 1024.0);
  const Measure idle = InChild([] { return std::string(); }, [] { return std::string(); });
  std::printf("child that does nothing: peak %.1f MiB\n", idle.PeakKiB / 1024.0);

  fs::path media = fs::path(Here()).parent_path() / "bench-media";
  fs::create_directories(media);
  std::printf("median of %d runs\n", runs);
  std::printf("%-28s %-7s %9s %9s %9s %10s\n", "clip", "runner", "wall s", "cpu s", "x real",
              "peak MiB");
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
      // Engine and floor runs alternate so that a busy spell on the machine hits both alike.
      const char* runners[2] = {"engine", "floor"};
      std::vector<Measure> all[2];
      for (int run = 0; run < runs; ++run) {
        for (int r = 0; r < 2; ++r) {
          const bool engine = r == 0;
          const std::string target = (media / (clip + "." + runners[r] + ".avi")).string();
          fs::remove(target);
          all[r].push_back(InChild(
              [&] {
                if (!engine || libbind::BindLibrarySet(libDir, true)) return std::string();
                return libbind::LibrarySetError();
              },
              [&] {
                return engine ? bench::ConvertWithEngine(libDir, source, target)
                              : bench::ConvertFloor(source, target);
              }));
          fs::remove(target);
        }
      }
      for (int r = 0; r < 2; ++r) {
        const Measure m = Median(all[r]);
        if (!m.Ok) ++failures;
        std::printf("%-28s %-7s %9.2f %9.2f %9.1f %10.1f%s\n", clip.c_str(), runners[r], m.Seconds,
                    m.CpuSeconds, seconds / m.Seconds, m.PeakKiB / 1024.0, m.Ok ? "" : "  FAILED");
      }
      std::fflush(stdout);
    }
  }
  return failures ? 1 : 0;
}
