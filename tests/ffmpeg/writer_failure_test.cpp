// Failures that need a separate process: a file that cannot grow, and a
// recorder killed in the middle of a recording.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/ffmpeg/writer_test_support.h"

namespace kestrano::testing {
namespace {

constexpr std::int64_t kSession = 1'000'000'000;

// Feeds `seconds` of all three tracks in time order, as fast as the inputs
// take it.
void feed(ThreeTrackWriter& w, double seconds) {
  auto frames = static_cast<int>(seconds * 15);
  std::int64_t audioAt = 0;
  for (int i = 0; i < frames; ++i) {
    appendWhenReady(*w.video, i420Frame(1280, 720, kSession + i * 66'666'666LL, i));
    for (; audioAt < (i + 1) * 3200; audioAt += 1024) {
      std::int64_t ns = kSession + audioAt * 1'000'000'000 / 48000;
      appendWhenReady(*w.systemAudio, sineBuffer(audioAt, 1024, 440, ns));
      appendWhenReady(*w.mic, sineBuffer(audioAt, 1024, 997, ns));
    }
  }
}

int waitForChild(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

TEST(WriterFailure, AFileThatCannotGrowFailsTheWriterAndKeepsWhatWasWritten) {
  TemporaryFolder folder;
  std::string path = folder.path("full.mp4");
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The file may not grow past 200 kB; writes beyond fail with EFBIG.
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{200'000, 200'000};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    ThreeTrackWriter w = makeStartedWriter(path, kSession);
    auto frames = 0;
    std::int64_t audioAt = 0;
    while (w.writer->status() == WriterStatus::writing && frames < 15 * 60) {
      w.video->appendSampleBuffer(i420Frame(1280, 720, kSession + frames * 66'666'666LL, frames));
      for (; audioAt < (frames + 1) * 3200; audioAt += 1024) {
        w.systemAudio->appendSampleBuffer(
            sineBuffer(audioAt, 1024, 440, kSession + audioAt * 1'000'000'000 / 48000));
      }
      ++frames;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (w.writer->status() != WriterStatus::failed) {
      ::_exit(1);
    }
    auto error = w.writer->error();
    if (!error || error->description.find(path) == std::string::npos ||
        error->description.find("File too large") == std::string::npos) {
      ::_exit(2);
    }
    if (w.video->isReadyForMoreMediaData() ||
        w.video->appendSampleBuffer(i420Frame(1280, 720, kSession + 99'000'000'000, 0))) {
      ::_exit(3);
    }
    if (!finish(*w.writer) || w.writer->status() != WriterStatus::failed) {
      ::_exit(4);
    }
    ::_exit(0);
  }
  ASSERT_EQ(waitForChild(child), 0);
  // What reached the disk is still a file that opens.
  EXPECT_EQ(probeStreams(path).size(), 3u);
}

TEST(WriterFailure, AKilledRecorderLeavesAReadableFile) {
  TemporaryFolder folder;
  std::string path = folder.path("killed.mp4");
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ThreeTrackWriter w = makeStartedWriter(path, kSession);
    feed(w, 6.0);
    // Let the encoder threads take what was queued, then die without
    // finishing anything.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    ::_exit(0);
  }
  ASSERT_EQ(waitForChild(child), 0);
  auto streams = probeStreams(path);
  ASSERT_EQ(streams.size(), 3u);
  // All but the last ~2 s of the 6 s are there.
  EXPECT_GE(streams[0].packets.size(), 4u * 15);
  EXPECT_GE(streams[1].packets.size(), 4u * 48000 / 1024);
  EXPECT_GE(streams[2].packets.size(), 4u * 48000 / 1024);
  EXPECT_EQ(decodeErrors(path), "");
}

}  // namespace
}  // namespace kestrano::testing
