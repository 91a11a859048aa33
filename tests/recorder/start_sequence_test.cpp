#include <gtest/gtest.h>

#include <vector>

#include "tests/recorder/recorder_fixture.h"

namespace kestrano::testing {
namespace {

using Calls = std::vector<std::string>;

const Calls kSuccessfulStart = {
    "fs.remove /rec/out.mp4",   "capture.getShareableContent",
    "writer.make /rec/out.mp4", "input.make video#0",
    "input.realTime video#0",   "writer.addInput video#0",
    "input.make audio#1",       "input.realTime audio#1",
    "writer.addInput audio#1",  "input.make audio#2",
    "input.realTime audio#2",   "writer.addInput audio#2",
    "writer.startWriting",      "capture.makeStream",
    "stream.addOutput 0",       "stream.addOutput 1",
    "stream.startCapture",      "engine.make",
    "node.outputFormat 0",      "converter.make",
    "node.installTap 0 1024",   "engine.start",
};

// The start's calls up to and including `last`.
Calls startCallsThrough(const std::string& last) {
  Calls calls;
  for (const auto& c : kSuccessfulStart) {
    calls.push_back(c);
    if (c == last) {
      break;
    }
  }
  return calls;
}

// What stop() does after a start that got as far as storing the writer.
const Calls kFinishWriterOnly = {
    "input.markAsFinished video#0", "input.markAsFinished audio#1", "input.markAsFinished audio#2",
    "writer.finishWriting",         "writer.finishCompletion",      "fs.attributes /rec/out.mp4",
};

Calls withStreamStop(Calls calls) {
  calls.insert(calls.begin(), {"stream.stopCapture", "stream.stopCompletion"});
  return calls;
}

TEST_F(RecorderTest, SuccessfulStartRunsItsStepsInOrder) {
  fake.fileSystem->addFile("/rec/out.mp4");
  startRecording();

  EXPECT_EQ(fake.log->entries(), kSuccessfulStart);
  EXPECT_FALSE(fake.fileSystem->hasFile("/rec/out.mp4"));

  // The recorder is the delegate and the output of both types on one queue.
  auto s = stream();
  ASSERT_NE(s, nullptr);
  EXPECT_TRUE(s->isDelegate(recorder.get()));
  EXPECT_TRUE(s->outputIs(StreamOutputType::screen, recorder.get()));
  EXPECT_TRUE(s->outputIs(StreamOutputType::audio, recorder.get()));
  ASSERT_NE(s->queueFor(StreamOutputType::screen), nullptr);
  EXPECT_EQ(s->queueFor(StreamOutputType::screen), s->queueFor(StreamOutputType::audio));

  // The tap takes the microphone's own format; the converter goes from it to
  // 48000 Hz stereo in the standard layout.
  EXPECT_EQ(fake.audio->node()->tapFormat(), fake.audio->microphoneFormat);
  auto formats = fake.audio->converterFormats();
  ASSERT_TRUE(formats);
  EXPECT_EQ(formats->first, fake.audio->microphoneFormat);
  EXPECT_EQ(formats->second, AudioFormat::standard(48000, 2));
  EXPECT_TRUE(fake.audio->engine()->running());
}

TEST_F(RecorderTest, RelativePathIsResolvedOnceForRemovalAndWriter) {
  startRecording("takes/one.mp4");
  EXPECT_TRUE(fake.log->contains("fs.remove /cwd/takes/one.mp4"));
  EXPECT_TRUE(fake.log->contains("writer.make /cwd/takes/one.mp4"));
}

TEST_F(RecorderTest, RecordsFirstDisplayWithFixedSettings) {
  fake.capture->displays = {Display{7, 0, 0, 1366, 768}, Display{8, 1366, 0, 1920, 1080}};
  startRecording();

  const auto& filter = stream()->filter();
  EXPECT_EQ(filter.display.displayID, 7u);
  EXPECT_TRUE(filter.excludedWindows.empty());

  const StreamConfiguration& c = stream()->configuration();
  EXPECT_EQ(c.width, 1280);
  EXPECT_EQ(c.height, 719);
  EXPECT_EQ(c.minimumFrameInterval, MediaTime::make(1, 15));
  EXPECT_EQ(c.queueDepth, 5);
  EXPECT_TRUE(c.showsCursor);
  EXPECT_TRUE(c.capturesAudio);
  EXPECT_EQ(c.sampleRate, 48000);
  EXPECT_EQ(c.channelCount, 2);
  EXPECT_TRUE(c.excludesCurrentProcessAudio);

  ASSERT_EQ(fake.writers->inputsMade().size(), 3u);
  const auto& video = std::get<VideoOutputSettings>(videoInput()->settings());
  EXPECT_EQ(videoInput()->mediaType(), MediaType::video);
  EXPECT_EQ(video.codec, VideoCodec::h264);
  EXPECT_EQ(video.width, 1280);
  EXPECT_EQ(video.height, 719);
  EXPECT_EQ(video.compression.averageBitRate, 500000);
  EXPECT_EQ(video.compression.profileLevel, H264ProfileLevel::highAutoLevel);
  EXPECT_EQ(video.compression.maxKeyFrameInterval, 30);

  for (const auto& audioInput : {systemAudioInput(), micInput()}) {
    EXPECT_EQ(audioInput->mediaType(), MediaType::audio);
    const auto& audio = std::get<AudioOutputSettings>(audioInput->settings());
    EXPECT_EQ(audio.formatID, 0x61616320u);
    EXPECT_EQ(audio.sampleRate, 48000);
    EXPECT_EQ(audio.numberOfChannels, 2);
    EXPECT_EQ(audio.encoderBitRate, 96000);
  }
  for (const auto& in : fake.writers->inputsMade()) {
    EXPECT_TRUE(in->expectsRealTime()) << in->label();
  }
  // Added to the writer in the order made: video, system audio, microphone.
  EXPECT_EQ(writer()->inputs(), fake.writers->inputsMade());
}

// One row of the start failure table: how to make the step fail, the error
// expected, the last call the start makes, and what a later stop() finds set.
struct FailureRow {
  const char* name;
  std::function<void(fake::FakePlatform&)> script;
  Error expected;
  std::string lastCall;
  Calls stopCalls;  // the calls stop() makes afterwards
};

const Error kPlatformError{"fake.platform", -42, "the platform said no"};

std::vector<FailureRow> failureRows() {
  return {
      {"ContentError",
       [](auto& f) { f.capture->contentError = kPlatformError; },
       kPlatformError,
       "capture.getShareableContent",
       {}},
      {"NoDisplay",
       [](auto& f) { f.capture->displays.clear(); },
       Error{"rec", 1, "No display"},
       "capture.getShareableContent",
       {}},
      {"DisplayWithoutSize",
       [](auto& f) {
         f.capture->displays = {Display{1, 0, 0, 0, 1080}};
       },
       Error{"rec", 4, "display has no size"},
       "capture.getShareableContent",
       {}},
      {"WriterCannotBeMade",
       [](auto& f) { f.writers->makeWriterError = kPlatformError; },
       kPlatformError,
       "writer.make /rec/out.mp4",
       {}},
      {"StartWritingFailsWithError",
       [](auto& f) {
         f.writers->writerScript = {false, kPlatformError};
       },
       kPlatformError,
       "writer.startWriting",
       {}},
      {"StartWritingFailsWithoutError",
       [](auto& f) {
         f.writers->writerScript = {false, std::nullopt};
       },
       Error{"rec", 2, "writer start failed"},
       "writer.startWriting",
       {}},
      {"StreamCannotBeMade", [](auto& f) { f.capture->noStream = true; },
       Error{"rec", 5, "capture stream could not be made"}, "capture.makeStream",
       kFinishWriterOnly},
      {"AddScreenOutputFails",
       [](auto& f) { f.capture->streamScript.addScreenOutputError = kPlatformError; },
       kPlatformError, "stream.addOutput 0", kFinishWriterOnly},
      {"AddAudioOutputFails",
       [](auto& f) { f.capture->streamScript.addAudioOutputError = kPlatformError; },
       kPlatformError, "stream.addOutput 1", kFinishWriterOnly},
      {"CaptureStartFails", [](auto& f) { f.capture->streamScript.startError = kPlatformError; },
       kPlatformError, "stream.startCapture", withStreamStop(kFinishWriterOnly)},
      {"EngineCannotBeMade", [](auto& f) { f.audio->noEngine = true; },
       Error{"rec", 5, "audio engine could not be made"}, "engine.make",
       withStreamStop(kFinishWriterOnly)},
      {"EngineStartFails", [](auto& f) { f.audio->engineStartError = kPlatformError; },
       kPlatformError, "engine.start", withStreamStop(kFinishWriterOnly)},
  };
}

TEST_F(RecorderTest, EveryFailingStepReportsItsErrorAndLeavesWhatItSet) {
  for (const FailureRow& row : failureRows()) {
    SCOPED_TRACE(row.name);
    fake::FakePlatform f;
    f.fileSystem->addFile("/rec/out.mp4");
    row.script(f);
    auto r = std::make_shared<Recorder>(f.platform());

    std::optional<Error> error = r->start("/rec/out.mp4");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, row.expected.domain);
    EXPECT_EQ(error->code, row.expected.code);
    EXPECT_EQ(error->description, row.expected.description);
    EXPECT_EQ(f.log->entries(), startCallsThrough(row.lastCall));
    // The earlier file is gone whatever failed later.
    EXPECT_FALSE(f.fileSystem->hasFile("/rec/out.mp4"));

    // Nothing was torn down: stop() finds exactly the fields the start set.
    f.log->clear();
    std::int64_t size = r->stop();
    EXPECT_EQ(f.log->entries(), row.stopCalls);
    EXPECT_EQ(size, row.stopCalls.empty() ? 0 : 4242);
  }
}

TEST_F(RecorderTest, EngineFailureLeavesCaptureAndWriterRunning) {
  fake.audio->engineStartError = kPlatformError;
  makeRecorder();
  ASSERT_TRUE(recorder->start("/rec/out.mp4"));

  EXPECT_EQ(writer()->status(), WriterStatus::writing);
  deliver(screenFrame(at(10)), StreamOutputType::screen);
  EXPECT_EQ(videoInput()->appendedCount(), 1u);
  // The engine never ran, so no microphone buffer arrives.
  EXPECT_FALSE(fake.audio->engine()->running());
}

TEST_F(RecorderTest, MissingConverterDoesNotFailTheStart) {
  fake.audio->noConverter = true;
  startRecording();
  EXPECT_TRUE(fake.log->contains("node.installTap 0 1024"));
  EXPECT_TRUE(fake.audio->engine()->running());
}

TEST_F(RecorderTest, SecondStartIsRefusedAndTouchesNothing) {
  startRecording();
  fake.fileSystem->addFile("/rec/other.mp4");
  fake.log->clear();

  std::optional<Error> error = recorder->start("/rec/other.mp4");
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain, "rec");
  EXPECT_EQ(error->code, 3);
  EXPECT_EQ(error->description, "recording already in progress");
  EXPECT_TRUE(fake.log->entries().empty());
  EXPECT_TRUE(fake.fileSystem->hasFile("/rec/other.mp4"));

  // The first recording still runs and stops as usual.
  deliver(screenFrame(at(5)), StreamOutputType::screen);
  EXPECT_EQ(videoInput()->appendedCount(), 1u);
  EXPECT_EQ(recorder->stop(), 4242);
}

}  // namespace
}  // namespace kestrano::testing
