#include <gtest/gtest.h>

#include <thread>

#include "tests/recorder/recorder_fixture.h"

namespace kestrano::testing {
namespace {

// Stream samples on the sample queue and microphone buffers on the tap thread
// race from the moment the start returns; the microphone track must never get
// a sample before the writer's session started, and stop() must leave no
// sample appended to a finished input.
TEST(ProducerConcurrency, MicrophoneNeverRunsAheadOfTheSession) {
  constexpr int kIterations = 200;         // enough races to expose a missing ordering
  constexpr int kSamplesPerProducer = 20;  // each side keeps producing past the session start
  const AudioFormat micFormat = AudioFormat::standard(48000, 2);

  for (int i = 0; i < kIterations; ++i) {
    fake::FakePlatform fake;
    fake.audio->microphoneFormat = micFormat;
    // A slow session start gives an early flag time to be seen.
    fake.writers->writerScript.sessionStartDuration = std::chrono::microseconds(500);
    fake.delivery->setMode(i % 2 == 0 ? fake::Delivery::synchronous : fake::Delivery::otherThread);
    auto recorder = std::make_shared<Recorder>(fake.platform());
    ASSERT_EQ(recorder->start("/rec/out.mp4"), std::nullopt);
    auto stream = fake.capture->stream();
    auto node = fake.audio->node();

    std::thread streamProducer([&] {
      for (int s = 0; s < kSamplesPerProducer; ++s) {
        if (s % 2 == 0) {
          stream->deliverSample(screenFrame(at(s)), StreamOutputType::screen);
        } else {
          stream->deliverSample(systemAudio(at(s)), StreamOutputType::audio);
        }
      }
    });
    for (int s = 0; s < kSamplesPerProducer; ++s) {
      node->deliverBuffer(micBuffer(micFormat, 1024));
    }
    streamProducer.join();
    // Half of the iterations stop while samples are still queued.
    if (i % 4 < 2) {
      stream->drainQueue();
      node->drainTapThread();
      // The session has started by now: this buffer must get through.
      std::size_t before = fake.writers->inputsMade()[2]->appendedCount();
      node->deliverBuffer(micBuffer(micFormat, 1024));
      node->drainTapThread();
      ASSERT_EQ(fake.writers->inputsMade()[2]->appendedCount(), before + 1);
    }
    EXPECT_EQ(recorder->stop(), 4242);
    node->drainTapThread();

    auto inputs = fake.writers->inputsMade();
    ASSERT_EQ(inputs.size(), 3u);
    for (const auto& appended : inputs[2]->appended()) {
      ASSERT_TRUE(appended.sessionWasStarted) << "iteration " << i;
    }
    for (const auto& input : inputs) {
      EXPECT_EQ(input->refusedCount(), 0) << input->label() << ", iteration " << i;
    }
  }
}

}  // namespace
}  // namespace kestrano::testing
