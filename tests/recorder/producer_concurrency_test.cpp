#include <gtest/gtest.h>

#include <thread>

#include "tests/recorder/recorder_fixture.h"

namespace kestrano::testing {
namespace {

// Stream samples on the sample queue and microphone buffers on the tap thread
// race from the moment the start returns; the microphone track must never get
// a sample before the writer's session started, and stop() must leave no
// sample appended to a finished input. Completions alternate between
// synchronous and another thread, so whole recordings run both ways.
TEST(ProducerConcurrency, MicrophoneNeverRunsAheadOfTheSession) {
  constexpr int kIterations = 200;         // enough races to expose a missing ordering
  constexpr int kSamplesPerProducer = 20;  // each side keeps producing past the session start
  const AudioFormat micFormat = AudioFormat::standard(48000, 2);

  for (int i = 0; i < kIterations; ++i) {
    SCOPED_TRACE(i);
    Rig rig;
    rig.fake.audio->microphoneFormat = micFormat;
    // A slow session start gives an early flag time to be seen.
    rig.fake.writer->sessionStartDuration = std::chrono::microseconds(500);
    rig.fake.delivery.setMode(i % 2 == 0 ? fake::Delivery::synchronous
                                         : fake::Delivery::otherThread);
    ASSERT_EQ(rig.start(), std::nullopt);
    auto stream = rig.stream();
    auto node = rig.fake.audio;

    std::thread streamProducer([&] {
      for (int s = 0; s < kSamplesPerProducer; ++s) {
        stream->deliverSample(s % 2 == 0 ? screenFrame(at(s)) : systemAudio(at(s)),
                              s % 2 == 0 ? StreamOutputType::screen : StreamOutputType::audio);
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
      const std::size_t before = rig.appended(kMicrophone).size();
      rig.deliverMic(micBuffer(micFormat, 1024));
      ASSERT_EQ(rig.appended(kMicrophone).size(), before + 1);
    }
    EXPECT_EQ(rig.recorder->stop(), 4242);
    node->drainTapThread();

    for (const auto& appended : rig.appended(kMicrophone)) {
      ASSERT_TRUE(appended.sessionWasStarted);
    }
    for (Track track : {kVideo, kSystemAudio, kMicrophone}) {
      EXPECT_EQ(rig.input(track).state().refused, 0) << rig.input(track).label;
    }
  }
}

}  // namespace
}  // namespace kestrano::testing
