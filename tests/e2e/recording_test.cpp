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
using Seconds = std::chrono::duration<double>;

constexpr double kSpeakerHz = 440;      // the scene's beeps on the speaker
constexpr double kMicrophoneHz = 1000;  // and on the virtual microphone
constexpr const char* kStreamStopped = "stream stop err: ";

struct Take;
struct Range {
  double lo = 0, hi = 1e9;
};

// The smallest desktop that shows a row: the frame is 1280 wide whatever its size.
PrivateDesktop::Options small(std::string size = "640x360", std::string monitors = "") {
  PrivateDesktop::Options options;
  options.size = std::move(size);
  options.monitors = std::move(monitors);
  return options;
}

struct Row {
  std::string name;
  PrivateDesktop::Options desktop = small();
  std::string file = "take.mp4";
  // A start answered by one "ERR" line that names this; empty: "OK".
  std::string refusal;
  std::vector<std::string> environment;
  std::function<void(Take&)> before;    // before "start"
  std::function<void(Take&)> incident;  // 2 s into the recording
  double seconds = 3;                   // from "OK" to the host's ending
  // How the host ends it; empty: "stop", answered "DONE <size> <path>".
  std::function<void(RecorderProcess&)> ending;
  int height = 720;
  // Where each track's media ends on the file's timeline.
  Range video{2, 3.6}, system{2, 3.6}, mic{2, 3.6};
  bool killed = false;      // SIGKILL: no clean exit, a torn tail is allowed
  bool serverDied = false;  // one "stream stop err" line on standard error
  bool fileGone = false;    // "DONE 0 <path>" and nothing left
};
void PrintTo(const Row& row, std::ostream* os) {
  *os << row.name;
}

// One recording's world; torn down in reverse: the processes first, then the
// X server let go on, the small disk unmounted, the desktop stopped.
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

pid_t xServer(const Take& take) {
  pid_t pid = 0;
  std::ifstream(take.desktop.directory() + "/x.pid") >> pid;
  return pid;
}

// Where the captured pictures stop: the frame before the first long pause
// (after it the writer only repeats the last picture to the sound's end).
double capturedEnd(const std::vector<DecodedFrame>& frames, size_t* count) {
  size_t i = 1;
  while (i < frames.size() && frames[i].seconds - frames[i - 1].seconds < 1.0) {
    ++i;
  }
  *count = i;
  return frames[i - 1].seconds;
}

// Onsets of the flashes (mean brightness crossing 40 of 255 as the band turns white; the picture is
// grabbed at the next 1/15 s tick, half a tick late on average) and of the
// beeps (a 2 ms envelope above a quarter of the beep's level after 0.3 s of
// quiet).
std::vector<double> flashes(const std::vector<DecodedFrame>& frames) {
  std::vector<double> onsets;
  for (size_t i = 1; i < frames.size(); ++i) {
    if (frames[i].meanLuma > 40 && frames[i - 1].meanLuma <= 40) {
      onsets.push_back(frames[i].seconds - 1.0 / 30);
    }
  }
  return onsets;
}
std::vector<double> beeps(const DecodedAudio& audio) {
  std::vector<double> onsets;
  const size_t window = static_cast<size_t>(audio.sampleRate / 500);
  double lastLoud = -1;
  for (size_t at = 0; at + window <= audio.mono.size(); at += window) {
    double t = audio.startSeconds + static_cast<double>(at) / audio.sampleRate;
    auto loud = [](float a, float b) { return std::fabs(a) < std::fabs(b); };
    if (std::fabs(*std::max_element(&audio.mono[at], &audio.mono[at] + window, loud)) > 0.12) {
      if (lastLoud < 0 || t - lastLoud > 0.3) {
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
    EXPECT_EQ(streams[i].codec + " " + std::to_string(streams[i].sampleRate) + " Hz " +
                  std::to_string(streams[i].channels),
              "aac 48000 Hz 2");
  }
  int sinceKey = 0;
  for (const auto& packet : streams[0].packets) {
    sinceKey = packet.key ? 0 : sinceKey + 1;
    EXPECT_LE(sinceKey, 30) << "at " << packet.seconds << " s";
  }
  const auto frames = decodeVideo(path);
  ASSERT_FALSE(frames.empty());
  size_t captured = 0;
  const double videoEnd = capturedEnd(frames, &captured);
  EXPECT_LE(static_cast<double>(captured), 15 * (videoEnd - frames[0].seconds) + 2);
  EXPECT_GE(videoEnd, row.video.lo);
  EXPECT_LE(videoEnd, row.video.hi);
  const auto flashOnsets = flashes(frames);
  for (int track : {0, 1}) {
    SCOPED_TRACE(track == 0 ? "system audio" : "microphone");
    const auto audio = decodeAudio(path, track);
    const double end = audio.startSeconds + audio.lengthSeconds();
    const Range& range = track == 0 ? row.system : row.mic;
    EXPECT_GE(end, range.lo);
    EXPECT_LE(end, range.hi);
    const double own = track == 0 ? kSpeakerHz : kMicrophoneHz;
    const double other = track == 0 ? kMicrophoneHz : kSpeakerHz;
    // Every whole second holds one 0.2 s beep; the first may hold the
    // sources' start-up.
    for (double t = audio.startSeconds + 1; t + 1 <= end; t += 1) {
      EXPECT_GT(loudest(audio, own, t), 0.03) << "at " << t << " s";
      EXPECT_LT(loudest(audio, other, t), 0.01) << "at " << t << " s";
    }
    // Each flash against the beep nearest to it; the median, since a busy
    // machine can clip a beep's start.
    std::vector<double> offsets;
    for (double flash : flashOnsets) {
      for (double beep : beeps(audio)) {
        if (std::fabs(beep - flash) < 0.5) {
          offsets.push_back(beep - flash);
        }
      }
    }
    ASSERT_FALSE(offsets.empty());
    std::nth_element(offsets.begin(), offsets.begin() + offsets.size() / 2, offsets.end());
    const double offset = offsets[offsets.size() / 2];
    std::printf("%zu flashes, audio minus video %+.0f ms\n", offsets.size(), 1000 * offset);
    EXPECT_LT(std::fabs(offset), 0.1);
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
  if (row.serverDied) {
    for (auto deadline = started + 20s; recorder.standardError().empty();) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "no word of the stopped stream";
      std::this_thread::sleep_for(50ms);
    }
  }
  std::this_thread::sleep_until(started + Seconds(row.seconds));

  if (row.ending) {
    row.ending(recorder);
    EXPECT_EQ(recorder.wait(60s), row.killed ? -1 : 0) << recorder.standardError();
  } else {
    recorder.send("stop");
    const auto done = recorder.readLine(60s).value_or("no reply");
    // 60 s would be a hang. The size is the file's after the process is gone.
    EXPECT_EQ(recorder.wait(30s), 0);
    std::error_code gone;
    const auto size = fs::file_size(take.path, gone);
    EXPECT_EQ(done, "DONE " + std::to_string(gone ? 0 : size) + " " + take.path);
    EXPECT_EQ(static_cast<bool>(gone), row.fileGone);
  }
  EXPECT_EQ(recorder.readRest(1s), "");  // no reply without a command
  const std::string errors = recorder.standardError();
  if (row.serverDied) {
    EXPECT_EQ(errors.rfind(kStreamStopped, 0), 0u) << errors;
    EXPECT_EQ(errors.find('\n'), errors.size() - 1) << errors;  // one line
  } else {
    EXPECT_EQ(errors, "");
  }
  if (row.fileGone) {
    EXPECT_FALSE(fs::exists(fs::path(take.path).parent_path()));  // not brought back
    return;
  }
  // Nothing but the recording is left beside it (no half-made copy).
  const fs::path folder = fs::path(take.path).parent_path();
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
  if (!row.killed) {
    EXPECT_EQ(decodeErrors(take.path), "");  // what a user's first check shows
  }
  expectRecording(row, take.path);
}

Row row(std::string name, const std::function<void(Row&)>& fill) {
  Row row;
  row.name = std::move(name);
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
        row("Stop",
            [](Row& r) {
              r.seconds = 4;
              r.video = r.system = r.mic = {3, 4.6};
            }),
        // 719 rows, stored with one repeated row: 4:2:0 needs an even height.
        row("OddHeight", [](Row& r) { r.desktop = small("683x384"); }),
        // The first monitor's shape: 960 rows; the second's would give 720.
        row("TwoMonitors",
            [](Row& r) {
              r.desktop = small("960x360", "320x240+0+0,640x360+320+0");
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
          r.video = r.system = r.mic = {1.5, 4.6};
          return r;
        }(),
        // The capture stream carries the system audio: both end; the
        // microphone goes on.
        row("XServerDies",
            [](Row& r) {
              r.incident = [](Take& t) { t.desktop.killX(); };
              r.seconds = 4;
              r.video = {1.2, 3};
              r.system = {1.2, 3.5};
              r.mic = {3.5};
              r.serverDied = true;
            }),
        // The microphone comes from the same server: everything stops.
        row("SoundServerDies",
            [](Row& r) {
              r.incident = [](Take& t) { t.desktop.killPulse(); };
              r.video = r.system = r.mic = {1.2, 3};
              r.serverDied = true;
            }),
        // The capture is stuck in a request the server never answers: stop
        // cuts it loose, and says nothing, since it was asked for.
        row("XServerStopsAnswering",
            [](Row& r) {
              r.incident = [](Take& t) {
                pid_t x = xServer(t);
                ::kill(x, SIGSTOP);
                t.undos.push_back([x] { ::kill(x, SIGCONT); });
              };
              r.seconds = 4;
              r.video = {1.2, 3};
              r.system = r.mic = {3.5};
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
              r.video = r.system = r.mic = {1, 4};
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
