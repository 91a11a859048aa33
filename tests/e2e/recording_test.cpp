// Whole recordings through the built binary, driven as a host drives it, on a
// private desktop that shows av_sync_scene (a moving picture, and a flash with
// a beep on each sound device every second). One row per way a recording
// starts, ends or loses a part of the machine.
#include <signal.h>
#include <string.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <numbers>
#include <optional>
#include <thread>

#include "tests/support/media_probe.h"
#include "tests/support/private_desktop.h"
#include "tests/support/recorder_process.h"
#include "tests/support/stall_watch.h"
#include "tests/support/temporary_folder.h"

namespace kestrano::testing {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

struct Range {
  double lo = 0, hi = 1e9;
};

struct Row {
  std::string name;
  // The smallest desktop that shows a row: the frame is 1280 wide whatever its size.
  std::string size = "640x360";
  std::function<void(PrivateDesktop&, TemporaryFolder&)> incident{};  // 2 s into the recording
  double seconds = 3;  // from "OK" to the host's ending
  // How the host ends it; empty: "stop", answered "DONE <size> <path>".
  std::function<void(RecorderProcess&)> ending{};
  // Where the captured video, the system audio and the microphone end on the
  // file's timeline; unset: with the recording.
  std::vector<Range> ends{};
  bool killed = false;      // SIGKILL: no clean exit, a torn tail is allowed
  bool serverDied = false;  // one "stream stop err" line on standard error
  int notices = 0;          // other lines there (sound missing, back)
  bool fileGone = false;    // "DONE 0 <path>" and nothing left
  // The sound server; empty: as the environment says (scripts/desktop.sh).
  // PipeWire's test microphone is mono (see the microphone's backend test).
  std::string sound{};
  // The host's controls from "OK" on: each command after its pause in
  // seconds, each answered "OK", with a status before and after it, whose
  // times say where a resume or a mark landed in the file.
  std::vector<std::pair<double, std::string>> controls{};
};

// Where "OK" and the controls landed on the file's timeline, as status told.
struct Landings {
  // The file begins before "OK": the capture runs while the microphone
  // starts. The row's times count from "OK".
  double ok = 0;
  double ended = 0;             // from "OK" to the host's ending, which a busy machine delays
  std::vector<double> resumes;  // while paused, status stands at the resume point
  struct Mark {
    double notBefore, notAfter;
    std::string title;
  };
  std::vector<Mark> marks;
};

// When a flash began, from the first picture that shows it: the scene's
// block says how many of the scene's 1/30 s ticks have passed since, and a
// picture is taken on average half a tick after the tick it shows. (Half a
// capture interval before the picture instead is off by up to a third of
// the sync bound, by an amount that changes at every resume.)
constexpr double kSceneBlockStep = 20;  // the scene's pixels per tick
double flashStart(const DecodedFrame& picture, double sceneWidth) {
  EXPECT_GE(picture.greyAt, 0) << "no block at " << picture.seconds << " s";
  const double ticks = std::round(picture.greyAt * sceneWidth / kSceneBlockStep);
  return picture.seconds - (ticks + 0.5) / 30;
}

void PrintTo(const Row& row, std::ostream* os) {
  *os << row.name;
}

// A finished or cut-off recording: three tracks, the first monitor's shape,
// key frames at most 30 frames (2 s) apart, at most 15 frames a second, each
// track ending where the row says (earlier by as long as the machine stood
// still), a beep a second in each sound track of its own tone only, and the
// sound in step with the picture.
void expectRecording(const Row& row, const std::string& path, const Landings& landed,
                     double stoodStill) {
  auto streams = probeStreams(path);
  // Marks add the chapter list, which no player shows as a track.
  ASSERT_EQ(streams.size(), landed.marks.empty() ? 3u : 4u);
  // The recording's time 0 on the file's timeline: where its first picture
  // is. A cut-off file has no edit list: every track's times carry the
  // encoders' delay (the same for all).
  const double zero = streams[0].packets.front().seconds;
  // The resumes on the file's timeline, where the decoded sound and pictures are.
  std::vector<double> resumesInFile;
  for (double resume : landed.resumes) {
    resumesInFile.push_back(resume + zero);
  }
  const auto chapters = probeChapters(path);
  ASSERT_EQ(chapters.size(), landed.marks.size());
  for (size_t i = 0; i < chapters.size(); ++i) {
    EXPECT_EQ(chapters[i].second, landed.marks[i].title);
    EXPECT_GE(chapters[i].first - zero, landed.marks[i].notBefore - 0.001) << chapters[i].second;
    EXPECT_LE(chapters[i].first - zero, landed.marks[i].notAfter + 0.001) << chapters[i].second;
  }
  for (double resume : landed.resumes) {
    // The first picture after a resume is a key frame (pictures sit on a
    // 1/180 s grid, and status counts whole milliseconds).
    // The last picture before the pause may sit up to 4 ms past that time
    // too; then either it is a key frame or the first picture after it is.
    const auto& packets = streams[0].packets;
    auto at = [&](double t) {
      return std::find_if(packets.begin(), packets.end(),
                          [&](const auto& p) { return p.seconds - zero >= t; });
    };
    const auto near = at(resume - 0.004), after = at(resume + 0.004);
    ASSERT_NE(near, packets.end());
    const bool keyNear = std::any_of(near, after, [](const auto& p) { return p.key; });
    EXPECT_TRUE(keyNear || (after != packets.end() && after->key))
        << "at " << near->seconds - zero << " s after the resume at " << resume;
  }
  // 683x384 scales to 719 rows, stored with one repeated row: 4:2:0 needs an even height.
  EXPECT_EQ(videoShape(streams[0]), "h2641280x720");
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
  // writer only repeats the last one to the sound's end.
  const auto frames = decodeVideo(path);
  ASSERT_FALSE(frames.empty());
  std::vector<double> ends{frames[0].seconds}, flashes;
  for (size_t i = 1; i < frames.size() && frames[i].seconds - frames[i - 1].seconds < 1; ++i) {
    ends[0] = frames[i].seconds;
    if (frames[i].meanLuma > 40 && frames[i - 1].meanLuma <= 40) {
      flashes.push_back(flashStart(frames[i], std::stod(row.size)));
    }
  }
  EXPECT_LE(
      std::count_if(frames.begin(), frames.end(), [&](auto& f) { return f.seconds <= ends[0]; }),
      15 * (ends[0] - frames[0].seconds) + 2);
  for (int track : {0, 1}) {
    SCOPED_TRACE(track == 0 ? "system audio" : "microphone");
    const auto audio = decodeAudio(path, track);
    ends.push_back(audio.startSeconds + static_cast<double>(audio.mono.size()) / audio.sampleRate);
    // The first second may hold the sources' start-up.
    const auto onsets = beeps(audio);
    EXPECT_GE(static_cast<double>(onsets.size()), std::floor(ends.back() - audio.startSeconds) - 1);
    std::vector<std::pair<double, double>> offsets;  // flash time, beep minus flash
    for (double beep : onsets) {
      // A beep the file's end cuts short leaves too short a window to tell tones apart.
      // So does a pause, at either end of the beep (the file goes on at the resume).
      const bool cut = std::any_of(resumesInFile.begin(), resumesInFile.end(),
                                   [&](double at) { return std::fabs(at - beep) < 0.15; });
      if (beep + 0.15 <= ends.back() && !cut) {
        EXPECT_GT(tone(audio, track == 0 ? 440 : 1000, beep), 0.03) << "at " << beep << " s";
        EXPECT_LT(tone(audio, track == 0 ? 1000 : 440, beep), 0.01) << "at " << beep << " s";
      }
      // Each flash against the beep nearest to it; the median, since a busy
      // machine can clip a beep's start.
      for (double flash : flashes) {
        if (std::fabs(beep - flash) < 0.5) {
          offsets.emplace_back(flash, beep - flash);
        }
      }
    }
    // In step before the first pause and after each resume: the median of
    // each stretch's flashes.
    std::vector<double> starts{0};
    starts.insert(starts.end(), resumesInFile.begin(), resumesInFile.end());
    for (size_t part = 0; part < starts.size(); ++part) {
      const double end = part + 1 < starts.size() ? starts[part + 1] : 1e9;
      std::vector<double> inPart;
      for (auto [flash, offset] : offsets) {
        if (flash >= starts[part] && flash < end) {
          inPart.push_back(offset);
        }
      }
      ASSERT_FALSE(inPart.empty()) << "no flash after " << starts[part] << " s";
      std::nth_element(inPart.begin(), inPart.begin() + inPart.size() / 2, inPart.end());
      std::printf("%zu flashes from %.3f s, audio minus video %+.3f s\n", inPart.size(),
                  starts[part], inPart[inPart.size() / 2]);
      EXPECT_LT(std::fabs(inPart[inPart.size() / 2]), 0.1) << "from " << starts[part] << " s";
    }
  }
  for (size_t i = 0; i < 3; ++i) {
    // A recording ends within moments of the host ending it.
    const Range range = row.ends.empty() ? Range{row.seconds - 1, landed.ended + 0.4} : row.ends[i];
    EXPECT_GE(ends[i], landed.ok + range.lo - stoodStill) << "track " << i;
    EXPECT_LE(ends[i], landed.ok + range.hi) << "track " << i;
  }
}

class Recording : public ::testing::TestWithParam<Row> {};

TEST_P(Recording, EndsAsTheRowSays) {
  const Row& row = GetParam();
  TemporaryFolder folder;
  PrivateDesktop desktop(
      {.size = row.size, .micChannels = row.sound == "pipewire" ? 1 : 2, .sound = row.sound});
  const std::string path = folder.path("take.mp4");
  RecorderProcess scene(KESTRANO_AV_SCENE, desktop.environment());
  ASSERT_EQ(scene.readLine(30s), "ready") << scene.standardError();
  RecorderProcess recorder(KESTRANO_BINARY, desktop.environment());
  recorder.send("start " + path);
  ASSERT_EQ(recorder.readLine(30s), "OK") << recorder.standardError();
  const auto started = std::chrono::steady_clock::now();
  const StallWatch still;
  struct stat recording {};
  ::stat(path.c_str(), &recording);
  Landings landed;
  landed.ok = recorder.mediaSeconds();
  for (const auto& [after, command] : row.controls) {
    std::this_thread::sleep_for(std::chrono::duration<double>(after));
    const double before = recorder.mediaSeconds();
    recorder.send(command);
    ASSERT_EQ(recorder.readLine(10s), "OK") << command;
    if (command == "resume") {
      landed.resumes.push_back(before);
    } else if (command.starts_with("mark ")) {
      landed.marks.push_back({before, recorder.mediaSeconds(), command.substr(5)});
    }
  }
  if (row.incident) {
    std::this_thread::sleep_for(2s);
    row.incident(desktop, folder);
  }
  while (row.serverDied && recorder.standardError().empty()) {
    ASSERT_LT(std::chrono::steady_clock::now(), started + 20s) << "no word of the stopped stream";
    std::this_thread::sleep_for(50ms);
  }
  std::this_thread::sleep_until(started + std::chrono::duration<double>(row.seconds));
  landed.ended = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const double stoodStill = still.seconds();
  if (stoodStill > 0) {
    std::printf("the machine stood still for %.3f s (longest %.3f s)\n", stoodStill,
                still.longestSeconds());
  }

  if (row.ending) {
    row.ending(recorder);
    EXPECT_EQ(recorder.wait(60s), row.killed ? -1 : 0) << recorder.standardError();
  } else {
    recorder.send("stop");
    const auto done = recorder.readLine(60s).value_or("no reply");  // 60 s would be a hang
    // The size is the file's once the process is gone.
    EXPECT_EQ(recorder.wait(30s), 0);
    std::error_code gone;
    const auto size = fs::file_size(path, gone);
    EXPECT_EQ(done, "DONE " + std::to_string(gone ? 0 : size) + " " + path);
    EXPECT_EQ(static_cast<bool>(gone), row.fileGone);
    // Finished in place: the same file, now an ordinary MP4.
    struct stat finished {};
    EXPECT_TRUE(gone ||
                (::stat(path.c_str(), &finished) == 0 && finished.st_ino == recording.st_ino &&
                 topLevelBoxes(path) == std::vector<std::string>{"ftyp", "mdat", "moov"}));
  }
  EXPECT_EQ(recorder.readRest(1s), "");  // no reply without a command
  const std::string errors = recorder.standardError();
  EXPECT_EQ(errors.rfind("stream stop err: ", 0), row.serverDied ? 0 : std::string::npos) << errors;
  EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), (row.serverDied ? 1 : 0) + row.notices)
      << errors;
  // A removed folder is not brought back; nothing but the recording is left
  // beside it (no half-made copy).
  if (row.fileGone) {
    EXPECT_FALSE(fs::exists(folder.dir()));
    return;
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(folder.dir()), {}), 1);
  if (!row.killed) {
    EXPECT_EQ(decodeErrors(path), "");  // what a user's first check shows
  }
  expectRecording(row, path, landed, stoodStill);
}

// Two pauses of lengths that are no whole number of the scene's seconds, so
// a track that kept running, or a gap at a resume, moves its beeps off the
// flashes; marks before, during and after them. Each stretch between them
// holds two flashes at least: the scene leaves out one it would draw late.
const std::vector<std::pair<double, std::string>> kPausesAndMarks = {
    {2.2, "mark Anfang \xC3\xA4"},
    {0.3, "pause"},
    {1.4, "mark während der Pause"},
    {0.1, "resume"},
    {2.6, "pause"},
    {0.7, "resume"},
    {2.3, "mark Schluss"}};

Row signalled(int sig) {
  return {.name = sigabbrev_np(sig), .ending = [sig](RecorderProcess& r) { r.signal(sig); }};
}

INSTANTIATE_TEST_SUITE_P(
    EndToEnd, Recording,
    ::testing::Values(
        Row{.name = "Stop", .seconds = 4}, Row{.name = "OddHeight", .size = "683x384"},
        Row{.name = "StopOnPipeWire", .seconds = 4, .sound = "pipewire"},
        Row{.name = "EndOfInput", .ending = [](RecorderProcess& r) { r.closeInput(); }},
        signalled(SIGTERM), signalled(SIGINT), signalled(SIGHUP),
        // Its reply hits the closed pipe: the host is gone.
        Row{.name = "StoppedReading",
            .ending =
                [](RecorderProcess& r) {
                  r.closeOutput();
                  r.send("bogus");
                }},
        // Fragments close about every second: all but the last seconds stay.
        Row{.name = "KILL",
            .seconds = 4,
            .ending = [](RecorderProcess& r) { r.signal(SIGKILL); },
            .ends = {{1.5, 4.6}, {1.5, 4.6}, {1.5, 4.6}},
            .killed = true},
        // The capture stream carries the system audio: both end; the
        // microphone goes on.
        Row{.name = "XServerDies",
            .incident = [](PrivateDesktop& d, TemporaryFolder&) { d.killX(); },
            .seconds = 4,
            .ends = {{1.2, 3}, {1.2, 3.5}, {3.5}},
            .serverDied = true},
        // The picture goes on without the sound server, and stop finishes
        // the file while it is gone; each sound source says once that it is.
        Row{.name = "SoundServerGoneAtStop",
            .incident = [](PrivateDesktop& d, TemporaryFolder&) { d.killPulse(); },
            .ends = {{2, 3.6}, {1.2, 3}, {1.2, 3}},
            .notices = 2},
        // The capture is stuck in a request the server never answers: stop
        // cuts it loose, and says nothing, since it was asked for. The
        // desktop's end kills the stopped server.
        Row{.name = "XServerStopsAnswering",
            .incident =
                [](PrivateDesktop& d, TemporaryFolder&) {
                  pid_t x = 0;
                  std::ifstream(d.directory() + "/x.pid") >> x;
                  ::kill(x, SIGSTOP);
                },
            .seconds = 4,
            .ends = {{1.2, 3}, {3.5}, {3.5}}},
        // 11 s from OK: 2.2 s of pauses (and the status round trips) left out.
        Row{.name = "PausedTwiceWithMarks",
            .seconds = 11,
            .ends = {{7.6, 9.4}, {7.6, 9.4}, {7.6, 9.4}},
            .controls = kPausesAndMarks},
        Row{.name = "KilledWithMarks",
            .seconds = 11,
            .ending = [](RecorderProcess& r) { r.signal(SIGKILL); },
            .ends = {{6.5, 9.4}, {6.5, 9.4}, {6.5, 9.4}},
            .killed = true,
            .controls = kPausesAndMarks},
        Row{.name = "OutputFolderRemoved",
            .incident = [](PrivateDesktop&, TemporaryFolder& f) { fs::remove_all(f.dir()); },
            .fileGone = true}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace kestrano::testing
