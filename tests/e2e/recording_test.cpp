// Whole recordings through the built binary, driven as a host drives it, on a
// private desktop that shows av_sync_scene (a moving picture, and a flash with
// a beep on each sound device every second). One row per way a recording
// starts, ends or loses a part of the machine.
#include <signal.h>
#include <string.h>
#include <sys/mount.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "tests/support/media_probe.h"
#include "tests/support/private_desktop.h"
#include "tests/support/recorder_process.h"
#include "tests/support/temporary_folder.h"

namespace kestrano::testing {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

struct Take;
struct Range {
  double lo = 0, hi = 1e9;
};

struct Row {
  std::string name;
  PrivateDesktop::Options desktop;
  std::string file = "take.mp4";
  std::string refusal;  // a start answered by one "ERR" line that names this
  std::vector<std::string> environment;
  std::function<void(Take&)> before;    // before "start"
  std::function<void(Take&)> incident;  // 2 s into the recording
  double seconds = 3;                   // from "OK" to the host's ending
  // How the host ends it; empty: "stop", answered "DONE <size> <path>".
  std::function<void(RecorderProcess&)> ending;
  int height = 720;
  // Where the captured video, the system audio and the microphone end on the
  // file's timeline; unset: with the recording.
  std::vector<Range> ends;
  bool killed = false;      // SIGKILL: no clean exit, a torn tail is allowed
  bool serverDied = false;  // one "stream stop err" line on standard error
  bool fileGone = false;    // "DONE 0 <path>" and nothing left
};
void PrintTo(const Row& row, std::ostream* os) {
  *os << row.name;
}

// One recording's world, torn down in reverse: the processes first, then
// what the row changed (a stopped X server, a small disk), then the desktop.
struct Take {
  explicit Take(const Row& row) : desktop(row.desktop), path(folder.path(row.file)) {}
  ~Take() {
    recorder.reset();
    scene.reset();
    for (auto undo = undos.rbegin(); undo != undos.rend(); ++undo) {
      (*undo)();
    }
  }
  TemporaryFolder folder;
  PrivateDesktop desktop;
  std::string path;
  std::vector<std::function<void()>> undos;
  std::unique_ptr<RecorderProcess> scene, recorder;
};

// Beep onsets: a sample above a quarter of the beep's level after 0.3 s of quiet.
std::vector<double> beeps(const DecodedAudio& audio) {
  std::vector<double> onsets;
  double lastLoud = -1;
  for (size_t i = 0; i < audio.mono.size(); ++i) {
    double t = audio.startSeconds + static_cast<double>(i) / audio.sampleRate;
    if (std::fabs(audio.mono[i]) > 0.12) {
      if (t - lastLoud > 0.3) {
        onsets.push_back(t);
      }
      lastLoud = t;
    }
  }
  return onsets;
}

// The loudest 0.2 s of `hz` in the second from `from`.
double loudest(const DecodedAudio& audio, double hz, double from) {
  double most = 0;
  for (double t = from; t < from + 0.85; t += 0.1) {
    most = std::max(most, toneAmplitude(audio, hz, t, 0.2));
  }
  return most;
}

// A finished or cut-off recording: three tracks, the first monitor's shape,
// key frames at most 30 frames (2 s) apart, at most 15 frames a second, each
// track ending where the row says, each beep in its own track only, and the
// sound in step with the picture.
void expectRecording(const Row& row, const std::string& path) {
  auto streams = probeStreams(path);
  ASSERT_EQ(streams.size(), 3u);
  EXPECT_EQ(streams[0].codec + " " + std::to_string(streams[0].width) + "x" +
                std::to_string(streams[0].height),
            "h264 1280x" + std::to_string(row.height));
  for (int i : {1, 2}) {
    EXPECT_EQ(streams[i].codec + std::to_string(streams[i].sampleRate) + "/" +
                  std::to_string(streams[i].channels),
              "aac48000/2");
  }
  int sinceKey = 0;
  for (const auto& packet : streams[0].packets) {
    sinceKey = packet.key ? 0 : sinceKey + 1;
    EXPECT_LE(sinceKey, 30) << "at " << packet.seconds << " s";
  }
  // The captured pictures end before the first long pause: after it the
  // writer only repeats the last one to the sound's end. A flash begins on
  // average half a 1/15 s tick before the first frame that shows the band.
  const auto frames = decodeVideo(path);
  ASSERT_FALSE(frames.empty());
  std::vector<double> ends{frames[0].seconds}, flashes;
  for (size_t i = 1; i < frames.size() && frames[i].seconds - frames[i - 1].seconds < 1; ++i) {
    ends[0] = frames[i].seconds;
    if (frames[i].meanLuma > 40 && frames[i - 1].meanLuma <= 40) {
      flashes.push_back(frames[i].seconds - 1.0 / 30);
    }
  }
  EXPECT_LE(
      std::count_if(frames.begin(), frames.end(), [&](auto& f) { return f.seconds <= ends[0]; }),
      15 * (ends[0] - frames[0].seconds) + 2);
  for (int track : {0, 1}) {
    SCOPED_TRACE(track == 0 ? "system audio" : "microphone");
    const auto audio = decodeAudio(path, track);
    ends.push_back(audio.startSeconds + audio.lengthSeconds());
    // Every whole second holds one 0.2 s beep; the first may hold the
    // sources' start-up.
    for (double t = audio.startSeconds + 1; t + 1 <= ends.back(); t += 1) {
      EXPECT_GT(loudest(audio, track == 0 ? 440 : 1000, t), 0.03) << "at " << t << " s";
      EXPECT_LT(loudest(audio, track == 0 ? 1000 : 440, t), 0.01) << "at " << t << " s";
    }
    // Each flash against the beep nearest to it; the median, since a busy
    // machine can clip a beep's start.
    std::vector<double> offsets;
    for (double flash : flashes) {
      for (double beep : beeps(audio)) {
        if (std::fabs(beep - flash) < 0.5) {
          offsets.push_back(beep - flash);
        }
      }
    }
    ASSERT_FALSE(offsets.empty());
    std::nth_element(offsets.begin(), offsets.begin() + offsets.size() / 2, offsets.end());
    std::printf("%zu flashes, audio minus video %+.3f s\n", offsets.size(),
                offsets[offsets.size() / 2]);
    EXPECT_LT(std::fabs(offsets[offsets.size() / 2]), 0.1);
  }
  for (size_t i = 0; i < 3; ++i) {
    const Range full{row.seconds - 1, row.seconds + 0.6};
    const Range& range = row.ends.empty() ? full : row.ends[i];
    EXPECT_GE(ends[i], range.lo) << "track " << i;
    EXPECT_LE(ends[i], range.hi) << "track " << i;
  }
}

class Recording : public ::testing::TestWithParam<Row> {};

TEST_P(Recording, EndsAsTheRowSays) {
  const Row& row = GetParam();
  Take take(row);
  auto env = take.desktop.environment();
  if (row.desktop.x && row.refusal.empty()) {
    take.scene = std::make_unique<RecorderProcess>(KESTRANO_AV_SCENE, env);
    ASSERT_EQ(take.scene->readLine(30s), "ready") << take.scene->standardError();
  }
  env.insert(env.end(), row.environment.begin(), row.environment.end());
  take.recorder = std::make_unique<RecorderProcess>(KESTRANO_BINARY, env);
  RecorderProcess& recorder = *take.recorder;
  if (row.before) {
    row.before(take);
    if (IsSkipped()) {
      return;
    }
  }
  recorder.send("start " + take.path);
  if (!row.refusal.empty()) {
    recorder.send("stop");  // never read: a failed start ends the process
    auto reply = recorder.readLine(30s).value_or("");
    EXPECT_EQ(reply.rfind("ERR ", 0), 0u) << reply;
    EXPECT_NE(reply.find(row.refusal), std::string::npos) << reply;
    EXPECT_EQ(recorder.wait(30s), 0);
    EXPECT_EQ(recorder.readRest(1s), "");
    EXPECT_FALSE(fs::exists(take.path));
    return;
  }
  ASSERT_EQ(recorder.readLine(30s), "OK") << recorder.standardError();
  const auto started = std::chrono::steady_clock::now();
  if (row.incident) {
    std::this_thread::sleep_for(2s);
    row.incident(take);
  }
  while (row.serverDied && recorder.standardError().empty()) {
    ASSERT_LT(std::chrono::steady_clock::now(), started + 20s) << "no word of the stopped stream";
    std::this_thread::sleep_for(50ms);
  }
  std::this_thread::sleep_until(started + std::chrono::duration<double>(row.seconds));

  if (row.ending) {
    row.ending(recorder);
    EXPECT_EQ(recorder.wait(60s), row.killed ? -1 : 0) << recorder.standardError();
  } else {
    recorder.send("stop");
    const auto done = recorder.readLine(60s).value_or("no reply");  // 60 s would be a hang
    // The size is the file's once the process is gone.
    EXPECT_EQ(recorder.wait(30s), 0);
    std::error_code gone;
    const auto size = fs::file_size(take.path, gone);
    EXPECT_EQ(done, "DONE " + std::to_string(gone ? 0 : size) + " " + take.path);
    EXPECT_EQ(static_cast<bool>(gone), row.fileGone);
  }
  EXPECT_EQ(recorder.readRest(1s), "");  // no reply without a command
  const std::string errors = recorder.standardError();
  EXPECT_EQ(errors.rfind("stream stop err: ", 0), row.serverDied ? 0 : std::string::npos) << errors;
  EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), row.serverDied ? 1 : 0) << errors;
  // A removed folder is not brought back; nothing but the recording is left
  // beside it (no half-made copy).
  const fs::path folder = fs::path(take.path).parent_path();
  if (row.fileGone) {
    EXPECT_FALSE(fs::exists(folder));
    return;
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
  if (!row.killed) {
    EXPECT_EQ(decodeErrors(take.path), "");  // what a user's first check shows
  }
  expectRecording(row, take.path);
}

PrivateDesktop::Options desktop(std::string size, std::string monitors = "") {
  PrivateDesktop::Options options;
  options.size = std::move(size);
  options.monitors = std::move(monitors);
  return options;
}
// The smallest desktop that shows a row: the frame is 1280 wide whatever its size.
Row row(
    std::string name, const std::function<void(Row&)>& fill = [](Row&) {}) {
  Row row;
  row.name = std::move(name);
  row.desktop = desktop("640x360");
  fill(row);
  return row;
}
Row endedBy(std::string name, std::function<void(RecorderProcess&)> ending) {
  return row(std::move(name), [&](Row& r) { r.ending = std::move(ending); });
}
Row signalled(int sig) {
  return endedBy(sigabbrev_np(sig), [sig](RecorderProcess& r) { r.signal(sig); });
}

INSTANTIATE_TEST_SUITE_P(
    EndToEnd, Recording,
    ::testing::Values(
        row("Stop", [](Row& r) { r.seconds = 4; }),
        // 719 rows, stored with one repeated row: 4:2:0 needs an even height.
        row("OddHeight", [](Row& r) { r.desktop = desktop("683x384"); }),
        // The first monitor's shape: 960 rows; the second's would give 720.
        row("TwoMonitors",
            [](Row& r) {
              r.desktop = desktop("960x360", "320x240+0+0,640x360+320+0");
              r.height = 960;
            }),
        endedBy("EndOfInput", [](RecorderProcess& r) { r.closeInput(); }), signalled(SIGTERM),
        signalled(SIGINT), signalled(SIGHUP),
        // Its reply hits the closed pipe: the host is gone.
        endedBy("StoppedReading",
                [](RecorderProcess& r) {
                  r.closeOutput();
                  r.send("bogus");
                }),
        // Fragments close about every second: all but the last seconds stay.
        [] {
          Row r = signalled(SIGKILL);
          r.seconds = 4;
          r.killed = true;
          r.ends = {{1.5, 4.6}, {1.5, 4.6}, {1.5, 4.6}};
          return r;
        }(),
        // The capture stream carries the system audio: both end; the
        // microphone goes on.
        row("XServerDies",
            [](Row& r) {
              r.incident = [](Take& t) { t.desktop.killX(); };
              r.seconds = 4;
              r.ends = {{1.2, 3}, {1.2, 3.5}, {3.5}};
              r.serverDied = true;
            }),
        // The microphone comes from the same server: everything stops.
        row("SoundServerDies",
            [](Row& r) {
              r.incident = [](Take& t) { t.desktop.killPulse(); };
              r.ends = {{1.2, 3}, {1.2, 3}, {1.2, 3}};
              r.serverDied = true;
            }),
        // The capture is stuck in a request the server never answers: stop
        // cuts it loose, and says nothing, since it was asked for.
        row("XServerStopsAnswering",
            [](Row& r) {
              r.incident = [](Take& t) {
                pid_t x = 0;
                std::ifstream(t.desktop.directory() + "/x.pid") >> x;
                ::kill(x, SIGSTOP);
                t.undos.push_back([x] { ::kill(x, SIGCONT); });
              };
              r.seconds = 4;
              r.ends = {{1.2, 3}, {3.5}, {3.5}};
            }),
        // Room for about two seconds: the writer fails, "stop" still answers,
        // and the file plays to its last whole fragment.
        row("DiskFull",
            [](Row& r) {
              r.file = "disk/take.mp4";
              r.before = [](Take& t) {
                std::string dir = t.folder.path("disk");
                fs::create_directory(dir);
                if (::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=32k") != 0) {
                  GTEST_SKIP() << "cannot mount a small tmpfs here: " << strerror(errno);
                }
                t.undos.push_back([dir] { ::umount2(dir.c_str(), MNT_DETACH); });
              };
              r.seconds = 5;
              r.ends = {{1, 4}, {1, 4}, {1, 4}};
            }),
        row("OutputFolderRemoved",
            [](Row& r) {
              r.file = "gone/take.mp4";
              r.before = [](Take& t) { fs::create_directory(t.folder.path("gone")); };
              r.incident = [](Take& t) { fs::remove_all(t.folder.path("gone")); };
              r.fileGone = true;
            }),
        row("UnreachableXServer",
            [](Row& r) {
              r.desktop.x = false;
              r.refusal = ":250";
              r.environment = {"DISPLAY=:250"};
            }),
        row("UnwritablePath", [](Row& r) { r.file = r.refusal = "missing/take.mp4"; })),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace kestrano::testing
