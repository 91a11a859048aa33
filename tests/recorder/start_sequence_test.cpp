#include <gtest/gtest.h>

#include <functional>
#include <tuple>

#include "tests/recorder/recorder_fixture.h"

namespace kestrano::testing {
namespace {

const Calls kSuccessfulStart = {"fs.remove /rec/out.mp4",
                                "capture.getShareableContent",
                                "writer.make /rec/out.mp4",
                                "input.make video#0",
                                "input.realTime video#0 yes",
                                "writer.addInput video#0",
                                "input.make audio#1",
                                "input.realTime audio#1 yes",
                                "writer.addInput audio#1",
                                "input.make audio#2",
                                "input.realTime audio#2 yes",
                                "writer.addInput audio#2",
                                "writer.startWriting",
                                "capture.makeStream",
                                "stream.addOutput 0",
                                "stream.addOutput 1",
                                "stream.startCapture",
                                "engine.make",
                                "node.outputFormat 0",
                                "converter.make 44100Hz 1ch planar to 48000Hz 2ch planar",
                                "node.installTap 0 1024 44100Hz 1ch planar",
                                "engine.start"};

// The start's calls up to and including the first that begins with `last`.
Calls startCallsThrough(const std::string& last) {
  Calls calls;
  for (const auto& c : kSuccessfulStart) {
    calls.push_back(c);
    if (c.rfind(last, 0) == 0) {
      break;
    }
  }
  return calls;
}

// What stop() does after a start that got as far as storing the writer.
const Calls kFinishWriter = {
    "input.markAsFinished video#0", "input.markAsFinished audio#1", "input.markAsFinished audio#2",
    "writer.finishWriting",         "writer.finishCompletion",      "fs.attributes /rec/out.mp4",
};

std::string text(const std::optional<Error>& error) {
  return error ? error->generalDescription() : "no error";
}

TEST(StartSequence, RecordsTheFirstDisplayWithFixedSettingsInAFixedOrder) {
  Rig rig;
  rig.fake.capture->displays = {Display{7, 0, 0, 1366, 768}, Display{8, 1366, 0, 1920, 1080}};
  // Nothing at the path to remove is no reason to stop.
  rig.fake.fileSystem->removeError = Error{"posix", 2, "No such file or directory"};
  ASSERT_EQ(rig.start(), std::nullopt);
  EXPECT_EQ(rig.fake.log.entries(), kSuccessfulStart);

  auto stream = rig.stream();
  EXPECT_EQ(stream->state().filter->display.displayID, 7u);
  EXPECT_TRUE(stream->state().filter->excludedWindows.empty());
  const StreamConfiguration c = stream->state().configuration;
  EXPECT_EQ(
      std::tuple(c.width, c.height, c.minimumFrameInterval, c.queueDepth, c.showsCursor,
                 c.capturesAudio, c.sampleRate, c.channelCount, c.excludesCurrentProcessAudio),
      std::tuple(1280, 719, at(1, 15), 5, true, true, 48000, 2, true));

  const auto& v = std::get<VideoOutputSettings>(rig.input(kVideo).settings);
  EXPECT_EQ(rig.input(kVideo).type, MediaType::video);
  EXPECT_EQ(std::tuple(v.codec, v.width, v.height, v.compression.averageBitRate,
                       v.compression.profileLevel, v.compression.maxKeyFrameInterval),
            std::tuple(VideoCodec::h264, 1280, 719, 500000, H264ProfileLevel::highAutoLevel, 30));
  for (Track track : {kSystemAudio, kMicrophone}) {
    const auto& a = std::get<AudioOutputSettings>(rig.input(track).settings);
    EXPECT_EQ(rig.input(track).type, MediaType::audio);
    EXPECT_EQ(std::tuple(a.formatID, a.sampleRate, a.numberOfChannels, a.encoderBitRate),
              std::tuple(0x61616320u, 48000, 2, 96000));
  }

  // The recorder is the delegate and the output of both types, on one queue.
  const StreamOutput* self = rig.recorder.get();
  auto screen = stream->output(StreamOutputType::screen);
  auto audio = stream->output(StreamOutputType::audio);
  EXPECT_EQ(stream->state().delegate.lock().get(),
            static_cast<const StreamDelegate*>(rig.recorder.get()));
  EXPECT_EQ(screen.output.lock().get(), self);
  EXPECT_EQ(audio.output.lock().get(), self);
  ASSERT_NE(screen.queue, nullptr);
  EXPECT_EQ(screen.queue, audio.queue);
}

TEST(StartSequence, ResolvesARelativePathOnceAndRefusesASecondStart) {
  Rig rig;
  ASSERT_EQ(rig.start("takes/one.mp4"), std::nullopt);
  EXPECT_TRUE(rig.fake.log.contains("fs.remove /cwd/takes/one.mp4"));
  EXPECT_TRUE(rig.fake.log.contains("writer.make /cwd/takes/one.mp4"));
  rig.fake.log.clear();

  EXPECT_EQ(text(rig.start("/rec/other.mp4")),
            text(Error{"rec", 3, "recording already in progress"}));
  EXPECT_TRUE(rig.fake.log.entries().empty());
  // The first recording still runs and stops as usual.
  rig.deliver(screenFrame(at(5)));
  EXPECT_EQ(rig.appended(kVideo).size(), 1u);
  EXPECT_EQ(rig.recorder->stop(), 4242);
  EXPECT_TRUE(rig.fake.log.contains("fs.attributes /cwd/takes/one.mp4"));
}

// One row of the start failure table: how to make the step fail, the error
// expected, the last call the start makes, and what it then undoes.
struct FailureRow {
  const char* name;
  std::function<void(fake::FakePlatform&)> script;
  Error expected;
  std::string lastCall;
  Calls cleanupCalls;
};

TEST(StartSequence, EveryFailingStepReportsItsErrorAndLeavesNothingRunningOrOnDisk) {
  const Error no{"fake.platform", -42, "the platform said no"};
  const Calls none,
      cancel = {"writer.cancelWriting"},
      stopAndCancel = {"stream.stopCapture", "stream.stopCompletion", "writer.cancelWriting"};
  const std::vector<FailureRow> rows = {
      {"PathIsNotAFile",
       [](auto& f) { f.fileSystem->removeError = notRegularFileError("/rec/out.mp4"); },
       Error{"file", 1, "/rec/out.mp4 is not a regular file"}, "fs.remove", none},
      {"ContentError", [&](auto& f) { f.capture->contentError = no; }, no, "capture.get", none},
      {"NoDisplay", [](auto& f) { f.capture->displays.clear(); }, Error{"rec", 1, "No display"},
       "capture.get", none},
      {"DisplayWithoutSize",
       [](auto& f) {
         f.capture->displays = {Display{1, 0, 0, 0, 1080}};
       },
       Error{"rec", 4, "display has no size"}, "capture.get", none},
      {"WriterCannotBeMade", [&](auto& f) { f.writer->makeWriterError = no; }, no, "writer.make",
       none},
      {"StartWritingFailsWithError",
       [&](auto& f) {
         f.writer->startWritingSucceeds = false;
         f.writer->startWritingError = no;
       },
       no, "writer.startWriting", none},
      {"StartWritingFailsWithoutError", [](auto& f) { f.writer->startWritingSucceeds = false; },
       Error{"rec", 2, "writer start failed"}, "writer.startWriting", none},
      {"StreamCannotBeMade", [](auto& f) { f.capture->noStream = true; },
       Error{"rec", 5, "capture stream could not be made"}, "capture.makeStream", cancel},
      {"AddScreenOutputFails", [&](auto& f) { f.capture->addScreenOutputError = no; }, no,
       "stream.addOutput 0", cancel},
      {"AddAudioOutputFails", [&](auto& f) { f.capture->addAudioOutputError = no; }, no,
       "stream.addOutput 1", cancel},
      {"CaptureStartFails", [&](auto& f) { f.capture->startError = no; }, no, "stream.startCapture",
       cancel},
      {"EngineCannotBeMade", [](auto& f) { f.audio->noEngine = true; },
       Error{"rec", 5, "audio engine could not be made"}, "engine.make", stopAndCancel},
      {"EngineStartFails", [&](auto& f) { f.audio->engineStartError = no; }, no, "engine.start",
       stopAndCancel},
  };
  // stop() after a cancelled writer: nothing to halt, and no size to report.
  const Calls finishCancelled(kFinishWriter.begin(), kFinishWriter.end() - 1);
  for (const FailureRow& row : rows) {
    SCOPED_TRACE(row.name);
    Rig rig;
    row.script(rig.fake);
    EXPECT_EQ(text(rig.start()), text(row.expected));
    // The earlier file went first, whatever failed later; a capture that was
    // started is stopped before the writer is cancelled.
    Calls expected = startCallsThrough(row.lastCall);
    expected.insert(expected.end(), row.cleanupCalls.begin(), row.cleanupCalls.end());
    EXPECT_EQ(rig.fake.log.entries(), expected);
    if (!row.cleanupCalls.empty()) {
      EXPECT_EQ(rig.fake.writer->status(), WriterStatus::cancelled);
    }

    rig.fake.log.clear();
    EXPECT_EQ(rig.recorder->stop(), 0);
    EXPECT_EQ(rig.fake.log.entries(), row.cleanupCalls.empty() ? none : finishCancelled);
  }
}

}  // namespace
}  // namespace kestrano::testing
