#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "recorder/recorder.h"
#include "tests/fake/fake_platform.h"

namespace kestrano::testing {

// Samples and buffers as the fakes deliver them.
inline MediaTime at(std::int64_t value, std::int32_t timescale = 1000) {
  return MediaTime::make(value, timescale);
}

inline std::shared_ptr<MediaSample> screenSample(MediaTime time,
                                                 std::optional<AttachmentArray> attachments) {
  return MediaSample::makeVideo(std::nullopt, SampleTimingInfo{at(1, 15), time, time},
                                std::move(attachments));
}

// A screen frame with the given status in its first attachment dictionary.
inline std::shared_ptr<MediaSample> screenFrame(MediaTime time,
                                                PropertyValue status = std::int64_t{0}) {
  return screenSample(time, AttachmentArray{PropertyDictionary{{kFrameInfoStatusKey, status}}});
}

inline std::shared_ptr<MediaSample> systemAudio(MediaTime time, std::uint32_t frames = 480) {
  PcmBuffer pcm(AudioFormat::standard(48000, 2), frames);
  pcm.setFrameLength(frames);
  return MediaSample::makeAudio(std::move(pcm), SampleTimingInfo{at(1, 48000), time, time});
}

// A microphone buffer whose first channel counts up from `first`.
inline PcmBuffer micBuffer(const AudioFormat& format, std::uint32_t frames, float first = 1.0f) {
  PcmBuffer buffer(format, frames);
  buffer.setFrameLength(frames);
  for (std::uint32_t f = 0; f < frames && buffer.bufferCount() > 0; ++f) {
    buffer.data(0)[format.isInterleaved() ? f * format.channelCount() : f] = first + f;
  }
  return buffer;
}

// Polls until `condition` holds or the (generous) timeout passes.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

class RecorderTest : public ::testing::Test {
 protected:
  fake::FakePlatform fake;
  std::shared_ptr<Recorder> recorder;

  void makeRecorder() { recorder = std::make_shared<Recorder>(fake.platform()); }

  // A recorder that has started successfully.
  void startRecording(const std::string& path = "/rec/out.mp4") {
    makeRecorder();
    ASSERT_EQ(recorder->start(path), std::nullopt);
  }

  std::shared_ptr<fake::FakeStream> stream() const { return fake.capture->stream(); }
  std::shared_ptr<fake::FakeAssetWriter> writer() const { return fake.writers->writer(); }
  std::shared_ptr<fake::FakeWriterInput> input(std::size_t index) const {
    auto inputs = fake.writers->inputsMade();
    return index < inputs.size() ? inputs[index] : nullptr;
  }
  std::shared_ptr<fake::FakeWriterInput> videoInput() const { return input(0); }
  std::shared_ptr<fake::FakeWriterInput> systemAudioInput() const { return input(1); }
  std::shared_ptr<fake::FakeWriterInput> micInput() const { return input(2); }

  // Delivers one stream sample and waits until the recorder has handled it.
  void deliver(std::shared_ptr<MediaSample> sample, StreamOutputType type) {
    ASSERT_TRUE(stream()->deliverSample(std::move(sample), type));
    stream()->drainQueue();
  }
  // Delivers one microphone buffer on the tap thread and waits for it.
  void deliverMic(PcmBuffer buffer) {
    fake.audio->node()->deliverBuffer(std::move(buffer));
    fake.audio->node()->drainTapThread();
  }
};

}  // namespace kestrano::testing
