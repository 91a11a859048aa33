// A long recording as a host makes it: the demo scene (moving picture, two
// tones) on a private desktop, KestranoRecorder driven through pipes, its
// resident memory read every second. A queue that grows (frames or audio
// piling up faster than they are encoded) shows as memory that climbs from
// the first minute to the last, as a slow "stop" (the backlog drains first)
// and as tracks shorter than the recording.
//
//   soak_bench [seconds, default 600] [output file, default a temporary one]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/media_probe.h"
#include "tests/support/private_desktop.h"
#include "tests/support/recorder_process.h"

namespace {

using namespace std::chrono_literals;
using kestrano::testing::PrivateDesktop;
using kestrano::testing::RecorderProcess;

// Memory that climbs by more than this from the first minute to the last is
// a leak or a growing queue: the encoders' own buffers settle within seconds.
constexpr double kAllowedGrowthMiB = 16.0;
// A drained pipeline stops within a few seconds (flush, remux of the file);
// much longer means a backlog had built up.
constexpr double kAllowedStopSeconds = 20.0;

// VmRSS of a process in MiB, or a negative value when it cannot be read.
double residentMiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) {
      return std::strtod(line.c_str() + 6, nullptr) / 1024.0;  // the value is in kB
    }
  }
  return -1;
}

double average(const std::vector<double>& v, std::size_t from, std::size_t to) {
  to = std::min(to, v.size());
  if (from >= to) {
    return 0;
  }
  return std::accumulate(v.begin() + static_cast<long>(from), v.begin() + static_cast<long>(to),
                         0.0) /
         static_cast<double>(to - from);
}

std::string scriptPath(const std::string& name) {
  return std::string(KESTRANO_SOURCE_DIR) + "/scripts/" + name;
}

int run(int seconds, std::string path) {
  PrivateDesktop desktop;
  std::string scene = scriptPath("demo-scene.sh");
  if (std::system(
          (desktop.environmentAssignments() + scene + " start " + desktop.directory()).c_str()) !=
      0) {
    std::fprintf(stderr, "soak: the demo scene did not start\n");
    return 1;
  }
  struct SceneStop {
    std::string command;
    ~SceneStop() { (void)std::system(command.c_str()); }
  } sceneStop{scene + " stop " + desktop.directory()};

  std::vector<std::string> env{"DISPLAY=" + desktop.display(),
                               "PULSE_SERVER=" + desktop.pulseServer(),
                               "PULSE_CLIENTCONFIG=" + desktop.directory() + "/client.conf"};
  RecorderProcess recorder(KESTRANO_BINARY, env);
  recorder.send("start " + path);
  auto reply = recorder.readLine(30s);
  if (reply != "OK") {
    std::fprintf(stderr, "soak: start gave \"%s\"; %s\n", reply.value_or("nothing").c_str(),
                 recorder.standardError().c_str());
    return 1;
  }

  std::vector<double> rss;
  auto begin = std::chrono::steady_clock::now();
  for (int s = 1; s <= seconds; ++s) {
    std::this_thread::sleep_until(begin + std::chrono::seconds(s));
    double mib = residentMiB(recorder.pid());
    if (mib < 0) {
      std::fprintf(stderr, "soak: the recorder is gone after %d s\n", s);
      return 1;
    }
    rss.push_back(mib);
    if (s % 60 == 0) {
      std::printf("%4d s  VmRSS %.1f MiB\n", s, mib);
      std::fflush(stdout);
    }
  }
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();

  auto stopAt = std::chrono::steady_clock::now();
  recorder.send("stop");
  auto done = recorder.readLine(120s);
  double stopSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - stopAt).count();
  recorder.wait(30s);
  if (!done || done->rfind("DONE ", 0) != 0) {
    std::fprintf(stderr, "soak: stop gave \"%s\"\n", done.value_or("nothing").c_str());
    return 1;
  }

  std::vector<double> sorted = rss;
  std::sort(sorted.begin(), sorted.end());
  double firstMinute = average(rss, 0, 60);
  double lastMinute = average(rss, rss.size() >= 60 ? rss.size() - 60 : 0, rss.size());
  std::printf("recorded %.0f s; %s\n", wall, done->c_str());
  std::printf("VmRSS MiB: min %.1f  median %.1f  max %.1f\n", sorted.front(),
              sorted[sorted.size() / 2], sorted.back());
  std::printf("VmRSS MiB: first-minute average %.1f  last-minute average %.1f  (%+.1f)\n",
              firstMinute, lastMinute, lastMinute - firstMinute);
  std::printf("stop took %.2f s\n", stopSeconds);

  bool ok = lastMinute - firstMinute <= kAllowedGrowthMiB && stopSeconds <= kAllowedStopSeconds;
  for (const auto& stream : kestrano::testing::probeStreams(path)) {
    std::printf("%s track: %.1f s\n", stream.type.c_str(), stream.durationSeconds);
    // Every track covers the recording but for its start-up and the stop.
    ok = ok && stream.durationSeconds >= wall - 3.0;
  }
  std::printf("%s\n", ok ? "no growth: memory flat, stop prompt, tracks complete"
                         : "GROWTH OR LOSS: see the figures above");
  return ok ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = argc > 1 ? std::atoi(argv[1]) : 600;
  if (seconds < 60) {
    std::fprintf(stderr, "usage: soak_bench [seconds >= 60] [output file]\n");
    return 1;
  }
  std::string path = argc > 2 ? argv[2]
                              : (std::filesystem::temp_directory_path() /
                                 ("kestrano-soak-" + std::to_string(::getpid()) + ".mp4"))
                                    .string();
  try {
    int rc = run(seconds, path);
    if (argc <= 2) {
      std::filesystem::remove(path);
    }
    return rc;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "soak: %s\n", e.what());
    return 1;
  }
}
