// Parts of the machine failing in the middle of a recording: the X server,
// the sound server, the disk, the output folder. Whatever breaks, "stop"
// answers, and what was recorded before is kept in a file that plays.
#include <signal.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "tests/e2e/e2e_fixture.h"

namespace kestrano::testing {
namespace {

constexpr const char* kStopLine = "stream stop err: ";

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

// Where the captured pictures stop: the frame before the first long pause
// (after it the writer only repeats the last picture so the video lasts as
// long as the sound).
double capturedVideoEnd(const std::vector<DecodedFrame>& frames) {
  for (std::size_t i = 1; i < frames.size(); ++i) {
    if (frames[i].seconds - frames[i - 1].seconds > 1.0) {
      return frames[i - 1].seconds;
    }
  }
  return frames.empty() ? 0 : frames.back().seconds;
}

// Where a track's audio ends on the file's timeline.
double endOf(const DecodedAudio& audio) {
  return audio.startSeconds + audio.lengthSeconds();
}

// A tmpfs of `kilobytes` mounted over `folder` for the test's lifetime.
class SmallDisk {
 public:
  SmallDisk(const std::string& folder, int kilobytes) : folder_(folder) {
    std::filesystem::create_directories(folder);
    std::string options = "size=" + std::to_string(kilobytes) + "k";
    if (::mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str()) != 0) {
      error_ = std::strerror(errno);
    }
  }
  ~SmallDisk() {
    if (error_.empty()) {
      ::umount2(folder_.c_str(), MNT_DETACH);
    }
  }
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;
  // Empty when mounted.
  const std::string& error() const { return error_; }

 private:
  std::string folder_;
  std::string error_;
};

// Holds the private X server still (SIGSTOP) for the test's lifetime: it
// keeps its connections open but answers nothing.
class FrozenX {
 public:
  explicit FrozenX(const PrivateDesktop& desktop) {
    std::ifstream(desktop.directory() + "/x.pid") >> pid_;
    if (pid_ > 0) {
      ::kill(pid_, SIGSTOP);
    }
  }
  ~FrozenX() {
    if (pid_ > 0) {
      ::kill(pid_, SIGCONT);
    }
  }
  FrozenX(const FrozenX&) = delete;
  FrozenX& operator=(const FrozenX&) = delete;
  bool frozen() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
};

class FailingParts : public EndToEnd {
 protected:
  // Records the scene for 3 s, kills a server, waits for the recorder's
  // diagnostic, records `after` more and stops. The recorder must have said
  // that one line and nothing else; the file must play. Its path.
  std::string recordThroughServerDeath(void (PrivateDesktop::*kill)() const,
                                       std::chrono::seconds after) {
    startDesktop({}, /*scene=*/true);
    auto recorder = launch();
    std::string path = scratch("server-dies.mp4");
    EXPECT_TRUE(startRecording(*recorder, path));
    std::this_thread::sleep_for(3s);
    (desktop_.get()->*kill)();
    EXPECT_TRUE(waitUntil(
        [&] { return recorder->standardError().find(kStopLine) != std::string::npos; }, 15s))
        << "no stop line; stderr: " << recorder->standardError();
    std::this_thread::sleep_for(after);

    EXPECT_GT(stopRecording(*recorder, path), 0);
    std::string errors = recorder->standardError();
    EXPECT_EQ(errors.rfind(kStopLine, 0), 0u) << errors;
    EXPECT_EQ(errors.find('\n'), errors.size() - 1) << errors;  // one line
    EXPECT_EQ(recorder->readRest(1s), "");
    EXPECT_EQ(probeStreams(path).size(), 3u);
    return path;
  }
};

TEST_F(FailingParts, TheXServerDyingEndsTheVideoWhileTheMicrophoneGoesOn) {
  std::string path = recordThroughServerDeath(&PrivateDesktop::killX, 3s);
  auto frames = decodeVideo(path);
  ASSERT_FALSE(frames.empty());
  double videoEnd = capturedVideoEnd(frames);
  auto system = decodeAudio(path, 0);
  auto mic = decodeAudio(path, 1);
  // The video holds what came before the server died (~3 s), no more.
  EXPECT_GT(videoEnd - frames.front().seconds, 2.0);
  EXPECT_LT(videoEnd, 5.0);
  // The capture stream carried the system audio: it ends with the video.
  EXPECT_LT(endOf(system), videoEnd + 1.0);
  // The microphone kept recording for the 3 s after the server died.
  EXPECT_GT(endOf(mic), videoEnd + 2.0);
  EXPECT_GT(toneAmplitude(mic, kMicrophoneHz, endOf(mic) - 1.5, 1.0), 0.03);
}

TEST_F(FailingParts, TheSoundServerDyingEndsTheStreamAndKeepsWhatWasRecorded) {
  std::string path = recordThroughServerDeath(&PrivateDesktop::killPulse, 2s);
  auto frames = decodeVideo(path);
  ASSERT_FALSE(frames.empty());
  // System audio is part of the capture stream, so the whole stream ends:
  // the video stops with it.
  EXPECT_GT(capturedVideoEnd(frames) - frames.front().seconds, 2.0);
  EXPECT_LT(capturedVideoEnd(frames), 4.5);
  auto system = decodeAudio(path, 0);
  auto mic = decodeAudio(path, 1);
  EXPECT_GT(system.lengthSeconds(), 2.0);
  EXPECT_GT(toneAmplitude(system, kSpeakerHz, endOf(system) - 1.0, 0.5), 0.03);
  // The microphone came from the same server: its track just stops.
  EXPECT_GT(mic.lengthSeconds(), 1.5);
  EXPECT_LT(endOf(mic), 5.0);
}

TEST_F(FailingParts, AnXServerThatStopsAnsweringDoesNotHangStop) {
  startDesktop({}, /*scene=*/true);
  auto recorder = launch();
  std::string path = scratch("x-stalls.mp4");
  ASSERT_TRUE(startRecording(*recorder, path));
  std::this_thread::sleep_for(2s);
  FrozenX frozen(*desktop_);
  ASSERT_TRUE(frozen.frozen());
  std::this_thread::sleep_for(2s);

  // The capture thread is stuck in a request the server never answers; the
  // stop cuts it loose (60 s would be a hang).
  ASSERT_GT(stopRecording(*recorder, path), 0);
  // Stopped on request, not by itself: no diagnostic.
  EXPECT_EQ(recorder->standardError(), "");
  EXPECT_GT(decodeAudio(path, 1).lengthSeconds(), 3.0);
}

TEST_F(FailingParts, AFullDiskFailsTheWriterAndKeepsThePlayablePart) {
  startDesktop({}, /*scene=*/true);
  std::string folder = scratch("disk");
  // Room for about three seconds of recording (~90 kB a second).
  SmallDisk disk(folder, 300);
  if (!disk.error().empty()) {
    GTEST_SKIP() << "cannot mount a small tmpfs here: " << disk.error();
  }
  auto recorder = launch();
  std::string path = folder + "/full.mp4";
  // Until well after the disk is full; the recorder keeps answering.
  long long size = recordFor(*recorder, path, 7.0);
  // A failing writer is not a stopped stream: nothing on standard error.
  EXPECT_EQ(recorder->standardError(), "");
  ASSERT_GT(size, 0);
  EXPECT_LE(size, 300 * 1024);
  // Nothing but the recording is left in the folder (no half-made copy).
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder),
                          std::filesystem::directory_iterator()),
            1);
  expectFinishedFile(path, 1.0);
}

TEST_F(FailingParts, RemovingTheOutputFolderStillEndsWithDone) {
  startDesktop({}, /*scene=*/true);
  std::string folder = scratch("gone");
  std::filesystem::create_directories(folder);
  auto recorder = launch();
  std::string path = folder + "/meeting.mp4";
  ASSERT_TRUE(startRecording(*recorder, path));
  std::this_thread::sleep_for(2s);
  std::filesystem::remove_all(folder);
  std::this_thread::sleep_for(2s);

  // The recording went with its folder: nothing is left to measure.
  EXPECT_EQ(stopRecording(*recorder, path), 0);
  EXPECT_EQ(recorder->standardError(), "");
  // The recorder does not bring back a folder the user removed.
  EXPECT_FALSE(std::filesystem::exists(folder));
}

}  // namespace
}  // namespace kestrano::testing
