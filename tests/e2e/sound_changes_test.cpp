// Whole recordings through the built binary while the sound devices change
// under them, on each sound server users run: the default output and input
// switched, a microphone unplugged, the server killed and started again, no
// microphone at all until one is plugged in, and the recorder held still as a
// busy machine does. The devices play endless tones, a different one each, so
// a track shows which device it recorded when; the picture is a still screen.
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <iostream>
#include <numbers>
#include <optional>
#include <sstream>
#include <thread>

#include "tests/support/media_probe.h"
#include "tests/support/private_desktop.h"
#include "tests/support/recorder_process.h"
#include "tests/support/sound_listener.h"
#include "tests/support/temporary_folder.h"

namespace kestrano::testing {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// The tones: system audio, the first microphone, and what replaces each.
constexpr double kSpeaker = 440, kPhones = 660, kMic = 1000, kHeadset = 1500;

struct Row {
  std::string name;
  std::string server;  // "pulseaudio" or "pipewire"
  bool mic = true;     // a microphone "mic" (playing kMic) when the recording starts
  std::function<void(PrivateDesktop&)> prepare{};                   // more devices, before "start"
  std::function<void(PrivateDesktop&, RecorderProcess&)> change{};  // 2 s after "OK"
  double seconds = 6;                                               // from "OK" to "stop", at least
  // The new sound is in the tracks this long after the change is done (the
  // commands that make it take their time on a busy machine). PipeWire's
  // session manager goes on relinking its graph after the command returns:
  // on PipeWire 1.4 a microphone's stream delivered 64 and 194 zero samples
  // 0.46 s after it began on the new device (seen where the recorder reads
  // the stream), so there the new sound is judged from a second on.
  double settle = 0.5;
  // Per track (system audio, microphone): the tone before and after; 0: silence.
  double before[2] = {kSpeaker, kMic}, after[2] = {kSpeaker, kMic};
  std::string notice = "";  // a line standard error holds once
  // The server moves what plays to the new default output, as desktops do:
  // after the change the old tone may sound there too.
  bool playbackMoves = false;
  bool unbroken = false;  // the devices stay: each tone runs on across the change
};
void PrintTo(const Row& row, std::ostream* os) {
  *os << row.name << "/" << row.server;
}

// Runs a pactl command on the desktop's sound server.
void pactl(const PrivateDesktop& d, const std::string& arguments) {
  ASSERT_EQ(std::system((d.environmentAssignments() + "pactl " + arguments).c_str()), 0)
      << arguments;
}

// pipewire-pulse 0.3.65's remapped source (the test microphone) sometimes
// keeps a stereo device's right channel silent: mono there.
int micChannels(const std::string& server) {
  return server == "pipewire" ? 1 : 2;
}
void playMicTone(PrivateDesktop& d, const std::string& server) {
  ASSERT_TRUE(d.sound(
      "tone", "micsink " + std::to_string(int(kMic)) + " " + std::to_string(micChannels(server))));
}

// A second microphone "headset" playing kHeadset, at a rate of its own where
// the server can serve one (see the microphone's backend test).
void plugHeadset(PrivateDesktop& d, const std::string& server) {
  ASSERT_TRUE(d.sound("add-mic", "--name headset --channels 1 --rate " +
                                     std::string(server == "pipewire" ? "48000" : "16000")));
  ASSERT_TRUE(d.sound("tone", "headsetsink " + std::to_string(int(kHeadset)) + " 1"));
}

// How much of a track was judged, and how much of that was not, as the
// server had broken the sound there.
struct Judged {
  int windows = 0;
  int excused = 0;
};

// Over [from, to): the track holds `hz` (0: silence) at the tones' level and
// nothing of `other`, and a tone runs on in phase, so nothing in it was
// repeated, dropped or moved. Not judged where the server itself broke the
// source's sound (`serverBreaks`, on the file's timeline, read beside the
// recorder): within half a second, as the two timelines are only that close.
// Nor, where `cyclesDrop` (PipeWire), at one or two windows across which the
// tone moved on by exactly one dropped cycle, which no reader beside can see.
void expectTone(const DecodedAudio& audio, double hz, double other, double from, double to,
                const std::vector<double>& serverBreaks, bool cyclesDrop, Judged& judged) {
  SCOPED_TRACE(::testing::Message() << hz << " Hz from " << from << " s to " << to << " s");
  ASSERT_LT(from, to);
  struct Fault {
    double at;
    std::string what;
    bool toneOnly;  // only its level or phase
  };
  std::vector<Fault> faults;                  // since the last sound window
  std::optional<std::complex<double>> sound;  // the last sound window's tone
  // Judges the faulty windows since the last sound one, given the step from
  // it to the sound window after them (none: the stretch ended first).
  const auto judge = [&](std::optional<double> step) {
    const bool cycleDropped =
        cyclesDrop && sound && step && faults.size() <= 2 &&
        std::all_of(faults.begin(), faults.end(), [](const Fault& f) { return f.toneOnly; }) &&
        movedOnByOneCycle(*step, hz, 0.1);
    for (const Fault& f : faults) {
      if (cycleDropped || serverBrokeWithin(serverBreaks, f.at - 0.75, f.at + 0.65)) {
        ++judged.excused;
        std::cout << f.what << "at " << f.at << " s: the server "
                  << (cycleDropped ? "dropped a cycle of this stream there\n"
                                   : "broke the sound there\n");
      } else {
        ADD_FAILURE() << f.what << "at " << f.at << " s";
      }
    }
    faults.clear();
  };
  // A window's tone at the tones' level; the other tone heard in one.
  const auto levelRight = [](std::complex<double> c) { return std::abs(std::abs(c) - 0.5) <= 0.1; };
  const auto otherHeardAt = [&](double t) {
    return other > 0 && other != hz && tone(audio, other, t) >= 0.02;
  };
  std::complex<double> last;
  for (double t = from; t + 0.15 <= to; t += 0.25, ++judged.windows) {
    const auto here = toneComponent(audio, hz, t);
    std::ostringstream fault;
    if (hz > 0) {
      if (!levelRight(here)) {
        fault << "level " << std::abs(here) << " ";
      }
      if (t > from && std::abs(std::arg(here / last)) >= 0.2) {
        fault << "the tone jumps by " << std::abs(std::arg(here / last)) << " rad ";
      }
    } else if (std::abs(here) + tone(audio, kMic, t) + tone(audio, kSpeaker, t) >= 0.01) {
      fault << "not silent ";
    }
    const bool toneFault = hz > 0 && !fault.str().empty();
    const bool otherHeard = otherHeardAt(t);
    if (otherHeard) {
      fault << other << " Hz ";
    }
    last = here;
    if (!fault.str().empty()) {
      faults.push_back({t, fault.str(), toneFault && !otherHeard});
      continue;
    }
    if (!faults.empty()) {
      judge(sound ? std::optional(std::arg(here / *sound)) : std::nullopt);
    }
    sound = here;
  }
  // Faulty windows at the stretch's end: the tone in its last 0.15 s, past
  // them and whole, gives the step across them, or a cycle dropped in the
  // last window could not be told from sound damaged in place.
  std::optional<double> step;
  const double tail = to - 0.15;
  if (cyclesDrop && sound && !faults.empty() && tail >= faults.back().at + 0.15) {
    const auto here = toneComponent(audio, hz, tail);
    if (levelRight(here) && !otherHeardAt(tail)) {
      step = std::arg(here / *sound);
    }
  }
  judge(step);
}

// One take of the row, start to stop, judged. `judgeable` says whether the
// server left enough of each track's sound whole to judge it.
void recordAndJudge(const Row& row, bool& judgeable) {
  TemporaryFolder folder;
  PrivateDesktop desktop({.size = "640x360",
                          .micChannels = micChannels(row.server),
                          .mic = row.mic,
                          .sound = row.server});
  ASSERT_TRUE(desktop.sound("tone", "speaker " + std::to_string(int(kSpeaker))));
  if (row.mic) {
    playMicTone(desktop, row.server);
  }
  if (row.prepare) {
    row.prepare(desktop);
  }
  // A reader beside the recorder on each source a track may record, and
  // again on any that came (back) with the change.
  std::vector<std::pair<int, SoundListener>> listeners;
  const auto listen = [&] {
    const std::string sources =
        PrivateDesktop::run(desktop.environmentAssignments() + "pactl list short sources");
    for (const auto& [track, source] : std::vector<std::pair<int, std::string>>{
             {0, "speaker.monitor"}, {0, "phones.monitor"}, {1, "mic"}, {1, "headset"}}) {
      if (sources.find("\t" + source + "\t") != std::string::npos &&
          std::none_of(listeners.begin(), listeners.end(), [&](const auto& l) {
            return l.second.source() == source && l.second.reading();
          })) {
        listeners.emplace_back(
            track, SoundListener(desktop, source,
                                 folder.path(std::to_string(listeners.size()) + source + ".f32")));
      }
    }
  };
  listen();
  const std::string path = folder.path("take.mp4");
  RecorderProcess recorder(KESTRANO_BINARY, desktop.environment());
  recorder.send("start " + path);
  ASSERT_EQ(recorder.readLine(30s), "OK") << recorder.standardError();
  const auto started = std::chrono::steady_clock::now();
  // The file begins before "OK" (the capture runs while the microphone
  // starts): times below are on its timeline.
  const double ok = recorder.mediaSeconds();
  const auto fileStart = started - std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                       std::chrono::duration<double>(ok));
  const auto fileTime = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - fileStart).count();
  };
  std::this_thread::sleep_until(started + 2s);
  const double changeAt = fileTime();
  row.change(desktop, recorder);
  const double changeDone = fileTime();
  listen();
  // A change that took long still leaves a second of the new sound to check.
  const double settle = row.server == "pipewire" ? std::max(row.settle, 1.0) : row.settle;
  const double seconds = std::max(row.seconds, changeDone - ok + settle + 1.5);
  std::this_thread::sleep_until(started + std::chrono::duration<double>(seconds));
  const double stopped = fileTime();
  recorder.send("stop");
  const std::string done = recorder.readLine(60s).value_or("no reply");
  EXPECT_EQ(recorder.wait(30s), 0);
  EXPECT_EQ(done, "DONE " + std::to_string(fs::file_size(path)) + " " + path);
  const std::string errors = recorder.standardError();
  EXPECT_EQ(errors.find("stream stop err"), std::string::npos) << errors;
  if (!row.notice.empty()) {
    const auto first = errors.find(row.notice);
    EXPECT_NE(first, std::string::npos) << errors;
    EXPECT_EQ(errors.find(row.notice, first + 1), std::string::npos) << errors;
  }

  EXPECT_EQ(decodeErrors(path), "");
  // The picture goes on to the end whatever the sound did. (A still screen's
  // last picture is stored once more at the end; the track's own length says
  // how long it shows.)
  const auto streams = probeStreams(path);
  ASSERT_EQ(streams.size(), 3u);
  EXPECT_GE(streams[0].startSeconds + streams[0].durationSeconds, stopped - 1);
  std::vector<double> serverBreaks[2];
  for (const auto& [track, listener] : listeners) {
    for (double at : listener.breaks({kSpeaker, kPhones, kMic, kHeadset}, fileStart)) {
      serverBreaks[track].push_back(at);
    }
  }
  for (int track : {0, 1}) {
    SCOPED_TRACE(track == 0 ? "system audio" : "microphone");
    const auto audio = decodeAudio(path, track);
    const double end =
        audio.startSeconds + static_cast<double>(audio.mono.size()) / audio.sampleRate;
    // A gap held as silence keeps the length; sound moved later by it would not.
    EXPECT_GE(end, stopped - 1);
    EXPECT_LE(end, stopped + 0.4);  // a recording ends within moments of its stop
    const double before = row.before[track], after = row.after[track];
    const bool cyclesDrop = row.server == "pipewire";
    // The tone's first 0.5 s may hold the sources' start-up.
    Judged judged;
    expectTone(audio, before, after, audio.startSeconds + 0.5,
               row.unbroken ? end - 0.2 : changeAt - 0.15, serverBreaks[track], cyclesDrop, judged);
    if (!row.unbroken) {
      expectTone(audio, after, row.playbackMoves ? 0 : before, changeDone + settle, end - 0.2,
                 serverBreaks[track], cyclesDrop, judged);
    }
    // Over the whole track: a single break the reader beside saw in a
    // stretch as short as the first (about 1.8 s, seven windows) spoils two or
    // three of them, and the take still holds enough to judge.
    judgeable = judgeable && judged.excused * 4 <= judged.windows;
  }
  if (!judgeable) {
    // Whether the server kept its cycles in real time: one that does not
    // has to win every cycle's CPU from the rest of a busy machine. Read
    // from each thread's scheduling policy (SCHED_FIFO 1, SCHED_RR 2).
    std::cout << "threads in real time: "
              << PrivateDesktop::run("cd " + desktop.directory() +
                                     R"( && for p in pipewire pulse; do
                  [ -f $p.pid ] && echo -n "$p $(sed 's/.*) //' /proc/$(cat $p.pid)/task/*/stat |
                    awk '$39 == 1 || $39 == 2' | wc -l) "; done)")
              << "\n";
  }
  if (::testing::Test::HasFailure()) {
    // Where the tones played at the end: a tone missing from a track may be
    // a tone player the server stopped feeding, not the recorder's fault.
    // And the defaults as a new client sees them, to tell a server that had
    // none from a recorder that did not follow.
    std::cout << "recorder: " << errors
              << PrivateDesktop::run("export " + desktop.environmentAssignments() +
                                     "XDG_RUNTIME_DIR=" + desktop.directory() +
                                     "/run; pactl info | grep Default; pactl list short sinks; "
                                     "pactl list short sink-inputs; "
                                     "pw-link -l 2>/dev/null");
  }
}

class SoundChange : public ::testing::TestWithParam<Row> {};

// A take the server broke too much of (a busy machine starves its tone
// players or the sink now and then) says nothing about the recorder: it is
// taken again, a few times at most. A fault where the server broke nothing
// fails the test at once.
TEST_P(SoundChange, TracksFollowAndKeepTheirPlace) {
  for (int take = 1;; ++take) {
    bool judgeable = true;
    recordAndJudge(GetParam(), judgeable);
    if (HasFailure() || judgeable) {
      return;
    }
    ASSERT_LT(take, 3) << "the server broke too much of every take to judge one";
    std::cout << "the server broke too much of take " << take << " to judge it: once more\n";
  }
}

std::vector<Row> rows() {
  std::vector<Row> out;
  for (std::string server : {"pulseaudio", "pipewire"}) {
    // Both defaults at once, each to a device of its own. pipewire-pulse
    // now and then leaves one connection with the old default and no event
    // (one switch in 150 when idle, two in 26 takes beside a CI run); the
    // recorder's fresh look follows such a switch within about two seconds.
    out.push_back({.name = "DefaultsSwitched",
                   .server = server,
                   .prepare =
                       [server](PrivateDesktop& d) {
                         ASSERT_TRUE(d.sound("add-sink", "phones"));
                         ASSERT_TRUE(d.sound("tone", "phones " + std::to_string(int(kPhones))));
                         plugHeadset(d, server);
                         pactl(d, "set-default-source mic");
                       },
                   .change =
                       [](PrivateDesktop& d, RecorderProcess&) {
                         pactl(d, "set-default-sink phones");
                         pactl(d, "set-default-source headset");
                       },
                   .settle = server == "pipewire" ? 2.5 : 0.5,
                   .after = {kPhones, kHeadset},
                   .playbackMoves = true});
    // The headset is the default until it goes; then the server picks "mic".
    out.push_back(
        {.name = "HeadsetUnplugged",
         .server = server,
         .prepare = [server](PrivateDesktop& d) { plugHeadset(d, server); },
         .change =
             [](PrivateDesktop& d, RecorderProcess&) {
               pactl(d, "unload-module $(" + d.environmentAssignments() +
                            "pactl list short modules | awk '/source_name=headset /{print $1}')");
             },
         .before = {kSpeaker, kHeadset}});
    // Killed, and back after a second; the recorder finds it within its
    // back-off (at most 2 s), the tones start again once it is there.
    out.push_back({.name = "ServerRestarted",
                   .server = server,
                   .change =
                       [server](PrivateDesktop& d, RecorderProcess&) {
                         ASSERT_TRUE(d.sound("kill-sound"));
                         std::this_thread::sleep_for(1s);
                         ASSERT_TRUE(d.sound("start-sound"));
                         ASSERT_TRUE(d.sound("tone", "speaker " + std::to_string(int(kSpeaker))));
                         playMicTone(d, server);
                       },
                   .seconds = 10,
                   .settle = 2.5,
                   .notice = "microphone: lost the sound server"});
    out.push_back(
        {.name = "NoMicrophoneThenOne",
         .server = server,
         .mic = false,
         .change =
             [server](PrivateDesktop& d, RecorderProcess&) {
               ASSERT_TRUE(d.sound("add-mic", "--channels " + std::to_string(micChannels(server))));
               playMicTone(d, server);
             },
         .before = {kSpeaker, 0},
         .notice = "microphone: none found"});
    // Held still for longer than any device buffers, as a busy machine may
    // hold it: what the server kept for it meanwhile arrives at once, and
    // goes where it was recorded, not where it arrived.
    out.push_back({.name = "RecorderStalled",
                   .server = server,
                   .change =
                       [](PrivateDesktop&, RecorderProcess& r) {
                         r.signal(SIGSTOP);
                         std::this_thread::sleep_for(400ms);
                         r.signal(SIGCONT);
                       },
                   .unbroken = true});
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(Sound, SoundChange, ::testing::ValuesIn(rows()), [](const auto& info) {
  return info.param.name + "_" + info.param.server;
});

}  // namespace
}  // namespace kestrano::testing
