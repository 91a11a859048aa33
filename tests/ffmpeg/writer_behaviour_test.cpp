// The writer's contract without reading files back in detail: errors,
// readiness, refusals, threads and the completion.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "platform/linux/ffmpeg/ffmpeg_writer_factory.h"
#include "tests/ffmpeg/writer_test_support.h"

namespace kestrano::testing {
namespace {

constexpr std::int64_t kSession = 1'000'000'000;
constexpr std::int64_t kMs = 1'000'000;

TEST(WriterBehaviour, MakeWriterRefusesWhatItCannotWrite) {
  TemporaryFolder folder;
  auto factory = makeFfmpegWriterFactory();
  std::optional<Error> error;

  std::string file = folder.path("old.mp4");
  std::ofstream(file) << "old";
  EXPECT_FALSE(factory->makeWriter(file, FileType::mpeg4, error));
  ASSERT_TRUE(error);
  EXPECT_NE(error->description.find(file), std::string::npos) << error->description;

  error.reset();
  std::string dir = folder.path("dir.mp4");
  ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
  EXPECT_FALSE(factory->makeWriter(dir, FileType::mpeg4, error));
  ASSERT_TRUE(error);
  EXPECT_NE(error->description.find(dir), std::string::npos);
  EXPECT_NE(error->description.find("folder"), std::string::npos) << error->description;

  error.reset();
  EXPECT_FALSE(factory->makeWriter("relative.mp4", FileType::mpeg4, error));
  EXPECT_TRUE(error);

  // The system would end the path at the NUL and write "cut" instead.
  error.reset();
  EXPECT_FALSE(factory->makeWriter(folder.path("cut") + std::string(1, '\0') + ".mp4",
                                   FileType::mpeg4, error));
  ASSERT_TRUE(error);
  EXPECT_NE(error->description.find("NUL"), std::string::npos) << error->description;

  error.reset();
  EXPECT_FALSE(factory->makeWriter(folder.path("x.mp4"), static_cast<FileType>(7), error));
  EXPECT_TRUE(error);
}

TEST(WriterBehaviour, StartWritingNamesThePathAndTheSystemsReason) {
  TemporaryFolder folder;
  auto factory = makeFfmpegWriterFactory();
  std::optional<Error> error;
  std::string missing = folder.path("no-such-folder/rec.mp4");
  auto writer = factory->makeWriter(missing, FileType::mpeg4, error);
  ASSERT_TRUE(writer);
  writer->addInput(factory->makeInput(MediaType::video, videoSettings()));
  EXPECT_FALSE(writer->startWriting());
  EXPECT_EQ(writer->status(), WriterStatus::failed);
  ASSERT_TRUE(writer->error());
  EXPECT_NE(writer->error()->description.find(missing), std::string::npos);
  EXPECT_NE(writer->error()->description.find("No such file or directory"), std::string::npos)
      << writer->error()->description;

  // A folder that appears at the path after the writer was made.
  std::string late = folder.path("late.mp4");
  writer = factory->makeWriter(late, FileType::mpeg4, error);
  ASSERT_TRUE(writer);
  writer->addInput(factory->makeInput(MediaType::video, videoSettings()));
  ASSERT_EQ(::mkdir(late.c_str(), 0700), 0);
  EXPECT_FALSE(writer->startWriting());
  ASSERT_TRUE(writer->error());
  EXPECT_NE(writer->error()->description.find("Is a directory"), std::string::npos)
      << writer->error()->description;
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
  EXPECT_EQ(static_cast<int>(writer->status()), 0);
  EXPECT_FALSE(video->isReadyForMoreMediaData());  // not writing yet
  EXPECT_FALSE(video->appendSampleBuffer(i420Frame(1280, 720, kSession, 0)));

  ASSERT_TRUE(writer->startWriting());
  EXPECT_EQ(static_cast<int>(writer->status()), 1);
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
  EXPECT_EQ(static_cast<int>(writer->status()), 2);
  EXPECT_FALSE(audio->isReadyForMoreMediaData());
  EXPECT_FALSE(audio->appendSampleBuffer(sineBuffer(0, 1024, 440, kSession)));
}

TEST(WriterBehaviour, AppendsFromTwoThreadsAtOnce) {
  TemporaryFolder folder;
  std::string path = folder.path("threads.mp4");
  ThreeTrackWriter w = makeStartedWriter(path);
  ASSERT_TRUE(w.writer);
  w.writer->startSessionAtSourceTime(MediaTime::make(kSession, kNanosecondTimescale));
  const std::int64_t audioFrames = 3 * 48000;
  // The sample queue's thread: screen frames and system audio interleaved.
  std::thread stream([&] {
    std::int64_t audioAt = 0;
    for (int i = 0; i < 45; ++i) {
      appendWhenReady(*w.video, i420Frame(1280, 720, kSession + i * 66'666'666LL, i));
      for (; audioAt < (i + 1) * 3200 && audioAt < audioFrames; audioAt += 1024) {
        appendWhenReady(*w.systemAudio,
                        sineBuffer(audioAt, 1024, 440, kSession + audioAt * 1'000'000'000 / 48000));
      }
    }
  });
  // The microphone's thread.
  std::thread mic([&] {
    for (std::int64_t at = 0; at < audioFrames; at += 480) {
      appendWhenReady(*w.mic, sineBuffer(at, 480, 997, kSession + at * 1'000'000'000 / 48000));
    }
  });
  stream.join();
  mic.join();
  for (auto* input : {&w.video, &w.systemAudio, &w.mic}) {
    (*input)->markAsFinished();
  }
  ASSERT_TRUE(finish(*w.writer));
  ProbedFile f = probe(path);
  ASSERT_EQ(f.streams.size(), 3u);
  EXPECT_GE(f.streams[0].packets.size(), 45u);
  EXPECT_NEAR(f.streams[1].durationSeconds, 3.0, 0.05);
  EXPECT_NEAR(f.streams[2].durationSeconds, 3.0, 0.05);
}

TEST(WriterBehaviour, FinishingWithoutMediaCompletesOnce) {
  TemporaryFolder folder;
  // Started, but no session and no sample: a playable file with empty tracks.
  std::string path = folder.path("empty.mp4");
  ThreeTrackWriter w = makeStartedWriter(path);
  ASSERT_TRUE(w.writer);
  ASSERT_TRUE(finish(*w.writer));
  EXPECT_EQ(w.writer->status(), WriterStatus::completed);
  ProbedFile f = probe(path);
  ASSERT_TRUE(f.opened) << f.openError;
  EXPECT_EQ(f.streams.size(), 3u);

  // Never started: the completion still runs once, and no file appears.
  auto factory = makeFfmpegWriterFactory();
  std::optional<Error> error;
  std::string never = folder.path("never.mp4");
  auto writer = factory->makeWriter(never, FileType::mpeg4, error);
  ASSERT_TRUE(finish(*writer));
  struct stat info {};
  EXPECT_NE(::stat(never.c_str(), &info), 0);
}

}  // namespace
}  // namespace kestrano::testing
