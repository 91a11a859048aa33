// The writer's contract without reading files back in detail: errors,
// readiness, refusals, threads and the completion.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "platform/linux/ffmpeg/ffmpeg_writer_factory.h"
#include "tests/ffmpeg/writer_test_support.h"

namespace kestrano::testing {
namespace {

constexpr std::int64_t kSession = 1'000'000'000;
constexpr std::int64_t kMs = 1'000'000;

void expectMentions(const Error& error, const std::vector<std::string>& words) {
  for (const auto& word : words) {
    EXPECT_NE(error.description.find(word), std::string::npos) << error.description;
  }
}

TEST(WriterBehaviour, RefusesWhatItCannotWriteNamingThePathAndTheReason) {
  TemporaryFolder folder;
  auto factory = makeFfmpegWriterFactory();
  std::ofstream(folder.path("old.mp4")) << "old";
  ASSERT_EQ(::mkdir(folder.path("dir.mp4").c_str(), 0700), 0);
  struct Case {
    std::string path;
    FileType type;
    std::vector<std::string> mentions;
  };
  for (const Case& c : std::vector<Case>{
           {folder.path("old.mp4"), FileType::mpeg4, {folder.path("old.mp4")}},
           {folder.path("dir.mp4"), FileType::mpeg4, {folder.path("dir.mp4"), "folder"}},
           {"relative.mp4", FileType::mpeg4, {}},
           // The system would end the path at the NUL and write "cut" instead.
           {folder.path("cut") + std::string(1, '\0') + ".mp4", FileType::mpeg4, {"NUL"}},
           {folder.path("x.mp4"), static_cast<FileType>(7), {}},
       }) {
    std::optional<Error> error;
    EXPECT_FALSE(factory->makeWriter(c.path, c.type, error)) << c.path;
    ASSERT_TRUE(error) << c.path;
    expectMentions(*error, c.mentions);
  }

  // Places that go wrong only when the file is opened: a missing folder, and
  // a folder that appears at the path after the writer was made.
  struct Late {
    std::string path;
    std::function<void()> meanwhile;
    std::string reason;
  };
  for (const Late& c : std::vector<Late>{
           {folder.path("no-such-folder/rec.mp4"), [] {}, "No such file or directory"},
           {folder.path("late.mp4"), [&] { ::mkdir(folder.path("late.mp4").c_str(), 0700); },
            "Is a directory"},
       }) {
    std::optional<Error> error;
    auto writer = factory->makeWriter(c.path, FileType::mpeg4, error);
    ASSERT_TRUE(writer) << c.path;
    writer->addInput(factory->makeInput(MediaType::video, videoSettings()));
    c.meanwhile();
    EXPECT_FALSE(writer->startWriting());
    EXPECT_EQ(writer->status(), WriterStatus::failed);
    ASSERT_TRUE(writer->error());
    expectMentions(*writer->error(), {c.path, c.reason});
  }
}

TEST(WriterBehaviour, ReadinessAndRefusals) {
  TemporaryFolder folder;
  auto factory = makeFfmpegWriterFactory();
  std::optional<Error> error;
  auto writer = factory->makeWriter(folder.path("r.mp4"), FileType::mpeg4, error);
  auto video = factory->makeInput(MediaType::video, videoSettings());
  auto audio = factory->makeInput(MediaType::audio, audioSettings());
  writer->addInput(video);
  writer->addInput(audio);
  EXPECT_EQ(writer->status(), WriterStatus::unknown);
  EXPECT_FALSE(video->isReadyForMoreMediaData());  // not writing yet
  EXPECT_FALSE(video->appendSampleBuffer(i420Frame(1280, 720, kSession, 0)));

  ASSERT_TRUE(writer->startWriting());
  EXPECT_EQ(writer->status(), WriterStatus::writing);
  EXPECT_TRUE(video->isReadyForMoreMediaData());
  // Before the session starts nothing can be placed.
  EXPECT_FALSE(video->appendSampleBuffer(i420Frame(1280, 720, kSession, 0)));
  writer->startSessionAtSourceTime(MediaTime::make(kSession, kNanosecondTimescale));

  // Samples the input cannot take are refused: idle frames, wrong media.
  EXPECT_FALSE(video->appendSampleBuffer(MediaSample::makeVideo(
      std::nullopt, {MediaTime::invalid(), MediaTime::make(kSession, kNanosecondTimescale), {}},
      std::nullopt)));
  EXPECT_FALSE(audio->appendSampleBuffer(i420Frame(1280, 720, kSession, 0)));
  PcmBuffer mono(AudioFormat(44100, 1, false), 512);
  mono.setFrameLength(512);
  EXPECT_FALSE(audio->appendSampleBuffer(MediaSample::makeAudio(
      std::move(mono), {MediaTime::make(1, 44100), MediaTime::make(kSession, kNanosecondTimescale),
                        MediaTime::invalid()})));

  // Flooding the video input fills its queue faster than x264 can drain it:
  // it reports not ready and refuses, and recovers once the encoder catches up.
  std::vector<std::shared_ptr<MediaSample>> frames;
  for (int i = 0; i < 40; ++i) {
    frames.push_back(i420Frame(1280, 720, kSession + i * 66 * kMs, i));
  }
  bool sawFull = false;
  for (auto& f : frames) {
    if (!video->isReadyForMoreMediaData()) {
      sawFull = true;
      EXPECT_FALSE(video->appendSampleBuffer(f));
      break;
    }
    EXPECT_TRUE(video->appendSampleBuffer(f));
  }
  EXPECT_TRUE(sawFull);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!video->isReadyForMoreMediaData() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_TRUE(video->isReadyForMoreMediaData());

  video->markAsFinished();
  EXPECT_FALSE(video->isReadyForMoreMediaData());
  EXPECT_FALSE(video->appendSampleBuffer(i420Frame(1280, 720, kSession + 5000 * kMs, 1)));
  EXPECT_TRUE(audio->isReadyForMoreMediaData());  // the other input is unaffected

  ASSERT_TRUE(finish(*writer));
  EXPECT_EQ(writer->status(), WriterStatus::completed);
  EXPECT_FALSE(audio->isReadyForMoreMediaData());
  EXPECT_FALSE(audio->appendSampleBuffer(sineBuffer(0, 1024, 440, kSession)));
}

TEST(WriterBehaviour, AppendsFromTwoThreadsAtOnce) {
  TemporaryFolder folder;
  std::string path = folder.path("threads.mp4");
  ThreeTrackWriter w = makeStartedWriter(path, kSession);
  const std::int64_t audioFrames = 3 * 48000;
  auto ns = [](std::int64_t sample) { return kSession + sample * 1'000'000'000 / 48000; };
  // The screen stream's thread: frames and system audio interleaved.
  std::thread stream([&] {
    std::int64_t audioAt = 0;
    for (int i = 0; i < 45; ++i) {
      appendWhenReady(*w.video, i420Frame(1280, 720, kSession + i * 66'666'666LL, i));
      for (; audioAt < (i + 1) * 3200 && audioAt < audioFrames; audioAt += 1024) {
        appendWhenReady(*w.systemAudio, sineBuffer(audioAt, 1024, 440, ns(audioAt)));
      }
    }
  });
  // The microphone's thread.
  std::thread mic([&] {
    for (std::int64_t at = 0; at < audioFrames; at += 480) {
      appendWhenReady(*w.mic, sineBuffer(at, 480, 997, ns(at)));
    }
  });
  stream.join();
  mic.join();
  ASSERT_TRUE(w.finishAll());
  auto streams = probeStreams(path);
  ASSERT_EQ(streams.size(), 3u);
  EXPECT_GE(streams[0].packets.size(), 45u);
  EXPECT_NEAR(streams[1].durationSeconds, 3.0, 0.05);
  EXPECT_NEAR(streams[2].durationSeconds, 3.0, 0.05);
}

TEST(WriterBehaviour, FinishingWithoutMediaCompletesOnce) {
  TemporaryFolder folder;
  // Started, but no session and no sample: a playable file with empty tracks.
  std::string path = folder.path("empty.mp4");
  ThreeTrackWriter w = makeStartedWriter(path, std::nullopt);
  ASSERT_TRUE(finish(*w.writer));
  EXPECT_EQ(w.writer->status(), WriterStatus::completed);
  EXPECT_EQ(probeStreams(path).size(), 3u);

  // Never started: the completion still runs once, and no file appears.
  auto factory = makeFfmpegWriterFactory();
  std::optional<Error> error;
  std::string never = folder.path("never.mp4");
  auto writer = factory->makeWriter(never, FileType::mpeg4, error);
  ASSERT_TRUE(finish(*writer));
  EXPECT_FALSE(std::filesystem::exists(never));
}

// What a folder holds, by name.
std::vector<std::string> namesIn(const TemporaryFolder& folder) {
  std::vector<std::string> names;
  for (const auto& entry :
       std::filesystem::directory_iterator(std::filesystem::path(folder.path("")))) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

bool isOrdinaryMp4(const std::string& path) {
  auto boxes = topLevelBoxes(path);
  return std::find(boxes.begin(), boxes.end(), "moov") != boxes.end() &&
         std::find(boxes.begin(), boxes.end(), "moof") == boxes.end();
}

void appendFrames(ThreeTrackWriter& w, int count) {
  for (int i = 0; i < count; ++i) {
    ASSERT_TRUE(appendWhenReady(*w.video, i420Frame(1280, 720, kSession + i * 66'666'666LL, i)));
  }
}

// A second recording started on the path of one still running (a second
// recorder, or a host starting the next take before the last has finished):
// the start removes the first file by name. Whichever ends first, the
// second recording stays whole at the path, and the first one says that it
// is not there.
TEST(WriterBehaviour, ARecordingNeverReplacesAnotherAtItsPath) {
  enum class End { firstFinishesFirst, secondFinishesFirst, firstIsCancelled };
  for (End end : {End::firstFinishesFirst, End::secondFinishesFirst, End::firstIsCancelled}) {
    SCOPED_TRACE(static_cast<int>(end));
    TemporaryFolder folder;
    std::string path = folder.path("take.mp4");
    ThreeTrackWriter first = makeStartedWriter(path, kSession);
    appendFrames(first, 5);
    ASSERT_EQ(::unlink(path.c_str()), 0);
    ThreeTrackWriter second = makeStartedWriter(path, kSession);
    appendFrames(second, 45);
    // Until the second's first fragment is in its file (bounded).
    for (int i = 0; i < 2000 && std::filesystem::file_size(path) < 10'000; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (end == End::firstIsCancelled) {
      first.writer->cancelWriting();
      EXPECT_EQ(first.writer->status(), WriterStatus::cancelled);
    }
    if (end == End::secondFinishesFirst) {
      ASSERT_TRUE(second.finishAll());
    }
    ASSERT_TRUE(first.finishAll());
    if (end != End::secondFinishesFirst) {
      ASSERT_TRUE(second.finishAll());
    }
    EXPECT_FALSE(first.writer->outputIsAtURL());
    if (end != End::firstIsCancelled) {
      EXPECT_EQ(first.writer->status(), WriterStatus::failed);
      auto error = first.writer->error();
      EXPECT_TRUE(error && error->description.find(path) != std::string::npos);
    }
    EXPECT_EQ(second.writer->status(), WriterStatus::completed);
    EXPECT_TRUE(second.writer->outputIsAtURL());
    EXPECT_TRUE(isOrdinaryMp4(path));
    EXPECT_EQ(probeStreams(path)[0].packets.size(), 46u);  // 45 frames and the repeat
    EXPECT_EQ(namesIn(folder), std::vector<std::string>{"take.mp4"});
  }
}

// The finish works in the file's folder under a short temporary name, so a
// name as long as the system allows still finishes; cancelling leaves
// nothing.
TEST(WriterBehaviour, ALongestNameFinishesToAnOrdinaryMp4AndCancellingLeavesNothing) {
  for (bool cancel : {false, true}) {
    SCOPED_TRACE(cancel);
    TemporaryFolder folder;
    std::string name = std::string(250, 'n') + ".mp4";
    std::string path = folder.path(name);
    ThreeTrackWriter w = makeStartedWriter(path, kSession);
    appendFrames(w, 5);
    if (cancel) {
      w.writer->cancelWriting();
      EXPECT_EQ(w.writer->status(), WriterStatus::cancelled);
      EXPECT_FALSE(w.video->isReadyForMoreMediaData());
    }
    ASSERT_TRUE(w.finishAll());
    if (cancel) {
      EXPECT_TRUE(namesIn(folder).empty());
      EXPECT_FALSE(w.writer->outputIsAtURL());
    } else {
      EXPECT_EQ(w.writer->status(), WriterStatus::completed);
      EXPECT_TRUE(w.writer->outputIsAtURL());
      EXPECT_TRUE(isOrdinaryMp4(path));
      EXPECT_EQ(namesIn(folder), std::vector<std::string>{name});
    }
  }
}

}  // namespace
}  // namespace kestrano::testing
