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

// Anonymous memory that climbs by more than this from the middle minute to
// the last is a leak or a growing queue. The first minutes are left out: the
// allocator and the encoders reach their high-water marks in steps (measured:
// +15 MiB once, between the first and the second minute), then stay.
constexpr double kAllowedGrowthMiB = 8.0;
// A drained pipeline stops within a few seconds (flush, remux of the file);
// much longer means a backlog had built up.
constexpr double kAllowedStopSeconds = 20.0;

// One "Name:  <kB> kB" line of /proc/PID/status in MiB, or a negative value
// when it cannot be read. VmRSS is everything resident; RssAnon leaves out
// library and shared-memory pages, which fault in over time but hold no
// samples: a queue that grows shows there.
double statusMiB(pid_t pid, const std::string& name) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(name + ":", 0) == 0) {
      return std::strtod(line.c_str() + name.size() + 1, nullptr) / 1024.0;
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
  std::vector<double> anon;
  auto begin = std::chrono::steady_clock::now();
  for (int s = 1; s <= seconds; ++s) {
    std::this_thread::sleep_until(begin + std::chrono::seconds(s));
    double mib = statusMiB(recorder.pid(), "VmRSS");
    double anonMib = statusMiB(recorder.pid(), "RssAnon");
    if (mib < 0 || anonMib < 0) {
      std::fprintf(stderr, "soak: the recorder is gone after %d s\n", s);
      return 1;
    }
    rss.push_back(mib);
    anon.push_back(anonMib);
    if (s % 60 == 0) {
      std::printf("%4d s  VmRSS %.1f MiB  RssAnon %.1f MiB\n", s, mib, anonMib);
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
  const std::size_t lastFrom = rss.size() >= 60 ? rss.size() - 60 : 0;
  double firstMinute = average(rss, 0, 60);
  double lastMinute = average(rss, lastFrom, rss.size());
  const std::size_t middleFrom = anon.size() / 2 >= 30 ? anon.size() / 2 - 30 : 0;
  double anonFirst = average(anon, 0, 60);
  double anonMiddle = average(anon, middleFrom, middleFrom + 60);
  double anonLast = average(anon, lastFrom, anon.size());
  std::printf("recorded %.0f s; %s\n", wall, done->c_str());
  std::printf("VmRSS MiB: min %.1f  median %.1f  max %.1f\n", sorted.front(),
              sorted[sorted.size() / 2], sorted.back());
  std::printf("VmRSS MiB: first-minute average %.1f  last-minute average %.1f  (%+.1f)\n",
              firstMinute, lastMinute, lastMinute - firstMinute);
  std::printf("RssAnon MiB: first-minute %.1f  middle-minute %.1f  last-minute %.1f averages\n",
              anonFirst, anonMiddle, anonLast);
  std::printf("stop took %.2f s\n", stopSeconds);

  bool ok = anonLast - anonMiddle <= kAllowedGrowthMiB && stopSeconds <= kAllowedStopSeconds;
  for (const auto& stream : kestrano::testing::probeStreams(path)) {
    std::printf("%s track: %.1f s\n", stream.type.c_str(), stream.durationSeconds);
    // Every track covers the recording but for its start-up and the stop.
    ok = ok && stream.durationSeconds >= wall - 3.0;
  }
  std::printf("%s\n", ok ? "no growth: memory flat since mid-run, stop prompt, tracks complete"
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
