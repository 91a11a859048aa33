// What the host may do to a running recording besides "stop": close its
// input, signal the recorder, stop reading its replies, or kill it outright.
#include <signal.h>
#include <string.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <thread>

#include "tests/e2e/e2e_fixture.h"

namespace kestrano::testing {
namespace {

// Long enough for every source to have delivered well past its start-up.
constexpr auto kRecording = 4s;

struct HostEnding {
  std::string name;
  std::function<void(RecorderProcess&)> end;
};
void PrintTo(const HostEnding& e, std::ostream* os) {
  *os << e.name;
}

class HostEndedRecording : public EndToEnd, public ::testing::WithParamInterface<HostEnding> {};

TEST_P(HostEndedRecording, IsFinishedAndTheProcessExitsCleanlyWithoutAnotherWord) {
  startDesktop({}, /*scene=*/true);
  auto recorder = launch();
  const std::string path = scratch("ended.mp4");
  ASSERT_TRUE(startRecording(*recorder, path));
  std::this_thread::sleep_for(kRecording);

  GetParam().end(*recorder);
  EXPECT_EQ(recorder->wait(60s), 0) << recorder->standardError();
  EXPECT_EQ(recorder->readRest(1s), "");  // no reply without a command
  expectFinishedFile(path, 2.5);
}

HostEnding bySignal(int sig) {
  return {sigabbrev_np(sig), [sig](RecorderProcess& r) { r.signal(sig); }};
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, HostEndedRecording,
                         ::testing::Values(HostEnding{"EndOfInput",
                                                      [](RecorderProcess& r) { r.closeInput(); }},
                                           bySignal(SIGTERM), bySignal(SIGINT), bySignal(SIGHUP),
                                           // Its reply hits the closed pipe: the host is gone.
                                           HostEnding{"StoppedReading",
                                                      [](RecorderProcess& r) {
                                                        r.closeOutput();
                                                        r.send("bogus");
                                                      }}),
                         [](const auto& info) { return info.param.name; });

TEST_F(EndToEnd, AKilledRecorderLeavesAFileWithAllButTheLastSeconds) {
  startDesktop({}, /*scene=*/true);
  auto recorder = launch();
  const std::string path = scratch("killed.mp4");
  ASSERT_TRUE(startRecording(*recorder, path));
  std::this_thread::sleep_for(5s);

  recorder->signal(SIGKILL);
  EXPECT_EQ(recorder->wait(30s), -1);
  ASSERT_TRUE(std::filesystem::exists(path));
  ASSERT_EQ(probeStreams(path).size(), 3u);  // libavformat opens it
  // Fragments close about every second; the sources start within one.
  const auto frames = decodeVideo(path);
  ASSERT_FALSE(frames.empty());
  const double video = frames.back().seconds - frames.front().seconds;
  const double system = decodeAudio(path, 0).lengthSeconds();
  const double mic = decodeAudio(path, 1).lengthSeconds();
  std::printf("kept after SIGKILL at 5 s: video %.2f s, system %.2f s, microphone %.2f s\n", video,
              system, mic);
  EXPECT_GE(video, 3.0);
  EXPECT_GE(system, 3.0);
  EXPECT_GE(mic, 3.0);
}

}  // namespace
}  // namespace kestrano::testing
