// What the host may do to a running recording besides "stop": signal the
// recorder, stop reading its replies, or kill it outright.
#include <signal.h>
#include <string.h>

#include <cstdio>
#include <filesystem>
#include <thread>

#include "tests/e2e/e2e_fixture.h"
#include "tests/support/media_probe.h"

namespace kestrano::testing {
namespace {

// Long enough for every source to have delivered well past its start-up.
constexpr auto kRecording = 4s;

double videoSeconds(const std::string& path) {
  const auto frames = decodeVideo(path);
  return frames.size() < 2 ? 0 : frames.back().seconds - frames.front().seconds;
}

double audioSeconds(const std::string& path, int audioIndex) {
  const DecodedAudio audio = decodeAudio(path, audioIndex);
  return audio.sampleRate == 0 ? 0 : static_cast<double>(audio.mono.size()) / audio.sampleRate;
}

// A file finished as "stop" finishes it: three tracks, decodes cleanly.
void expectFinishedFile(const std::string& path) {
  ASSERT_TRUE(std::filesystem::exists(path));
  const auto streams = probeStreams(path);
  ASSERT_EQ(streams.size(), 3u);
  EXPECT_EQ(decodeErrors(path), "");
  EXPECT_GT(videoSeconds(path), 2.5);
  EXPECT_GT(audioSeconds(path, 0), 2.5);
  EXPECT_GT(audioSeconds(path, 1), 2.5);
}

class SignalledRecording : public EndToEnd, public ::testing::WithParamInterface<int> {};

TEST_P(SignalledRecording, IsFinishedAndTheProcessExitsCleanlyWithoutAnotherWord) {
  startDesktop({}, /*scene=*/true);
  auto recorder = launch();
  const std::string path = scratch("signalled.mp4");
  recorder->send("start " + path);
  ASSERT_EQ(recorder->readLine(30s), "OK") << recorder->standardError();
  std::this_thread::sleep_for(kRecording);

  recorder->signal(GetParam());
  EXPECT_EQ(recorder->readRest(60s), "");
  EXPECT_EQ(recorder->wait(60s), 0) << recorder->standardError();
  expectFinishedFile(path);
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, SignalledRecording, ::testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

TEST_F(EndToEnd, AHostThatStoppedReadingStillGetsItsRecordingFinished) {
  startDesktop({}, /*scene=*/true);
  auto recorder = launch();
  const std::string path = scratch("unread.mp4");
  recorder->send("start " + path);
  ASSERT_EQ(recorder->readLine(30s), "OK") << recorder->standardError();
  std::this_thread::sleep_for(kRecording);

  recorder->closeOutput();
  recorder->send("bogus");  // its reply hits the closed pipe: the host is gone
  EXPECT_EQ(recorder->wait(60s), 0) << recorder->standardError();
  expectFinishedFile(path);
}

TEST_F(EndToEnd, AKilledRecorderLeavesAFileWithAllButTheLastSeconds) {
  startDesktop({}, /*scene=*/true);
  auto recorder = launch();
  const std::string path = scratch("killed.mp4");
  recorder->send("start " + path);
  ASSERT_EQ(recorder->readLine(30s), "OK") << recorder->standardError();
  std::this_thread::sleep_for(5s);

  recorder->signal(SIGKILL);
  EXPECT_EQ(recorder->wait(30s), -1);
  ASSERT_TRUE(std::filesystem::exists(path));
  ASSERT_EQ(probeStreams(path).size(), 3u);  // libavformat opens it
  // Fragments close about every second; the sources start within one.
  const double video = videoSeconds(path);
  const double system = audioSeconds(path, 0);
  const double mic = audioSeconds(path, 1);
  std::printf("kept after SIGKILL at 5 s: video %.2f s, system %.2f s, microphone %.2f s\n", video,
              system, mic);
  EXPECT_GE(video, 3.0);
  EXPECT_GE(system, 3.0);
  EXPECT_GE(mic, 3.0);
}

}  // namespace
}  // namespace kestrano::testing
