// Whole recordings through the built binary on a private Wayland desktop, run
// as the desktop's user in that session's environment only, as a host on a
// Wayland desktop starts it: the picture comes through the portal and
// PipeWire, the sound from the session's pipewire-pulse. One row per way the
// portal answers or the session changes under a recording.
#include <pwd.h>
#include <signal.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>
#include <thread>

#include "tests/support/media_probe.h"
#include "tests/support/recorder_process.h"
#include "tests/support/stall_watch.h"
#include "tests/wayland/wayland_desktop.h"

namespace kestrano::testing {
namespace {

using namespace std::chrono_literals;
using wayland::WaylandDesktop;
namespace fs = std::filesystem;

struct Row {
  std::string name;
  std::string portal = "pick";  // the picker's answer (scripts/wayland-desktop.sh)
  bool client = true;           // an animated window on the screen
  std::string reply = "OK";     // to "start"; the beginning of it for an "ERR"
  std::function<void(WaylandDesktop&, RecorderProcess&)> incident{};  // 2 s after the reply
  double seconds = 4;                                                 // from the reply to "stop"
  double videoEnds = 0;  // where the capture (and the system audio) ends at most; 0: at stop
  std::string standardError = "";  // its beginning
  bool again = false;              // a second process records after the first
  std::string portalLog = "pick Meta-0\n";
  std::string keptToken = "";  // in the user's state folder before the first start
};
void PrintTo(const Row& row, std::ostream* os) {
  *os << row.name;
}

// What runs a command as the desktop's user.
std::vector<std::string> asUser(const WaylandDesktop& d) {
  const passwd* user = ::getpwnam(d["KESTRANO_WAYLAND_USER"].c_str());
  if (user == nullptr) {
    throw std::runtime_error("no desktop user");
  }
  return {"setpriv", "--reuid=" + std::to_string(user->pw_uid),
          "--regid=" + std::to_string(user->pw_gid), "--clear-groups"};
}

// The desktop user's recorder, with nothing from this process's environment.
std::unique_ptr<RecorderProcess> startRecorder(const WaylandDesktop& d) {
  std::vector<std::string> environment{"-i", "HOME=" + d.dir() + "/home"};
  for (const char* name :
       {"XDG_RUNTIME_DIR", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "PULSE_SERVER"}) {
    environment.push_back(std::string(name) + "=" + d[name]);
  }
  return std::make_unique<RecorderProcess>(KESTRANO_BINARY, environment, asUser(d));
}

// The picture is the compositor's monitor at the recorder's size, moving when
// its content does; each sound track holds its own device's beeps. Each
// track ends earlier by as long as the machine stood still.
void expectRecording(const Row& row, const std::string& path, double stoodStill) {
  auto streams = probeStreams(path);
  ASSERT_EQ(streams.size(), 3u);
  // The 640x360 monitor, scaled to the recorder's 1280 columns.
  EXPECT_EQ(videoShape(streams[0]), "h2641280x720");
  EXPECT_EQ(decodeErrors(path), "");
  const auto frames = decodeVideo(path);
  ASSERT_FALSE(frames.empty());
  // The captured pictures end where the writer's repeat of the last one starts.
  double end = frames[0].seconds;
  std::set<std::uint64_t> pictures;
  for (size_t i = 0; i < frames.size(); ++i) {
    if (i > 0 && frames[i].seconds - frames[i - 1].seconds >= 1) {
      break;
    }
    end = frames[i].seconds;
    pictures.insert(frames[i].hash);
    EXPECT_GT(frames[i].meanLuma, 1) << "a black picture at " << frames[i].seconds << " s";
  }
  EXPECT_LE(static_cast<double>(frames.size()),
            15 * (frames.back().seconds - frames[0].seconds) + 2);
  // Without new pictures the last one lasts to the end of the capture: the
  // track's own length says so (its last picture's repeat may be cut by the
  // track's end).
  const double videoEnds = row.videoEnds > 0 ? row.videoEnds : row.seconds;
  EXPECT_GE(streams[0].startSeconds + streams[0].durationSeconds, videoEnds - 1 - stoodStill);
  EXPECT_LE(end, videoEnds + 1);
  // A moving window changes most frames; a still screen shows one picture.
  // Counted up to the first pause of a second or more, read as the capture's
  // end: where that was tells a stalled capture from a client that stopped
  // drawing.
  EXPECT_EQ(pictures.size() >= 10, row.client)
      << pictures.size() << " distinct pictures up to " << end << " s, of " << frames.size()
      << " frames from " << frames[0].seconds << " s to " << frames.back().seconds << " s";
  for (int track : {0, 1}) {
    SCOPED_TRACE(track == 0 ? "system audio" : "microphone");
    const auto audio = decodeAudio(path, track);
    const double seconds = static_cast<double>(audio.mono.size()) / audio.sampleRate;
    if (track == 0 && row.videoEnds > 0) {  // it ends with the capture
      EXPECT_LE(seconds, row.videoEnds);
    } else {
      EXPECT_GE(seconds, row.seconds - 1 - stoodStill);
    }
    const auto onsets = beeps(audio);
    EXPECT_GE(static_cast<double>(onsets.size()), std::floor(seconds) - 1);
    for (double beep : onsets) {
      if (beep + 0.15 <= audio.startSeconds + seconds) {
        EXPECT_GT(tone(audio, track == 0 ? 440 : 1000, beep), 0.03) << "at " << beep << " s";
        EXPECT_LT(tone(audio, track == 0 ? 1000 : 440, beep), 0.01) << "at " << beep << " s";
      }
    }
  }
}

class WaylandRecording : public ::testing::TestWithParam<Row> {};

TEST_P(WaylandRecording, EndsAsTheRowSays) {
  const Row& row = GetParam();
  WaylandDesktop desktop(row.portal, row.client ? " --client" : "", true);
  ASSERT_NE(desktop.dir(), "");
  RecorderProcess scene(KESTRANO_AV_SCENE, {"-i", "PULSE_SERVER=" + desktop["PULSE_SERVER"]});
  ASSERT_EQ(scene.readLine(30s), "ready") << scene.standardError();
  const std::string path = desktop.dir() + "/home/take.mp4";
  if (!row.keptToken.empty()) {
    std::string command;
    for (const auto& word : asUser(desktop)) {
      command += word + " ";
    }
    const std::string state = desktop.dir() + "/home/.local/state/kestrano-recorder";
    ASSERT_EQ(std::system((command + "sh -c 'mkdir -p " + state + " && printf %s " + row.keptToken +
                           " > " + state + "/portal-restore-token'")
                              .c_str()),
              0);
  }
  for (int take = 0; take < (row.again ? 2 : 1); ++take) {
    SCOPED_TRACE(::testing::Message() << "take " << take + 1);
    auto recorder = startRecorder(desktop);
    recorder->send("start " + path);
    if (row.portal == "hold") {  // a signal while the picker is open
      for (int i = 0; i < 600 && desktop.file("portal.log").empty(); ++i) {
        std::this_thread::sleep_for(50ms);
      }
      recorder->signal(SIGTERM);
    }
    // The picker may stay open: a user takes their time.
    const std::string reply = recorder->readLine(60s).value_or("no reply");
    EXPECT_EQ(reply.substr(0, row.reply.size()), row.reply) << recorder->standardError();
    const auto started = std::chrono::steady_clock::now();
    const StallWatch still;
    if (row.incident) {
      std::this_thread::sleep_until(started + 2s);
      row.incident(desktop, *recorder);
    }
    double stoodStill = 0;
    if (reply == "OK") {
      std::this_thread::sleep_until(started + std::chrono::duration<double>(row.seconds));
      stoodStill = still.seconds();
      recorder->send("stop");
      const std::string done = recorder->readLine(60s).value_or("no reply");
      EXPECT_EQ(done, "DONE " + std::to_string(fs::file_size(path)) + " " + path);
    }
    recorder->closeInput();
    EXPECT_EQ(recorder->wait(30s), 0);
    EXPECT_EQ(recorder->readRest(1s), "");
    const std::string errors = recorder->standardError();
    EXPECT_EQ(errors.substr(0, row.standardError.size()), row.standardError);
    EXPECT_LE(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
    if (reply != "OK") {
      EXPECT_FALSE(fs::exists(path));
      break;
    }
    expectRecording(row, path, stoodStill);
  }
  EXPECT_EQ(desktop.file("portal.log"), row.portalLog);
}

INSTANTIATE_TEST_SUITE_P(
    Wayland, WaylandRecording,
    ::testing::Values(
        // The user answers the picker after the recorder's own deadlines;
        // the next recording is not asked again.
        Row{.name = "PickedSlowlyThenRestored",
            .portal = "slow",
            .again = true,
            .portalLog = "slow\nrestore Meta-0\n"},
        Row{.name = "StillScreen", .client = false},
        // The capture carries the system audio: both end; the microphone goes on.
        Row{.name = "CompositorDies",
            .incident = [](WaylandDesktop& d, RecorderProcess&) { d.kill("mutter"); },
            .videoEnds = 3,
            .standardError = "stream stop err: "},
        Row{.name = "PickerRefused",
            .portal = "refuse",
            .reply = "ERR the screen share was refused at the portal's picker",
            .portalLog = "refuse\n"},
        // The portal refuses a kept token it cannot read: the user is asked
        // once, and the new token is kept for the next recording.
        Row{.name = "KeptTokenMalformed",
            .again = true,
            .portalLog = "pick Meta-0\nrestore Meta-0\n",
            .keptToken = "not-a-token"},
        Row{.name = "NoScreenCast",
            .portal = "no-screencast",
            .reply = "ERR the desktop's portal offers no screen cast",
            .portalLog = ""},
        Row{.name = "NoPortal",
            .portal = "",
            .reply = "ERR no xdg-desktop-portal runs on the session bus",
            .portalLog = ""},
        // SIGTERM while the picker is open ends the process like any command.
        Row{.name = "SignalledAtThePicker",
            .portal = "hold",
            .reply = "ERR the start was abandoned",
            .portalLog = "hold\n"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace kestrano::testing
