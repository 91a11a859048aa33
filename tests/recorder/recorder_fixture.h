#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "recorder/recorder.h"
#include "tests/fake/fake_platform.h"

namespace kestrano::testing {

using Calls = std::vector<std::string>;

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

inline std::shared_ptr<MediaSample> systemAudio(MediaTime time) {
  PcmBuffer pcm(AudioFormat::standard(48000, 2), 480);
  pcm.setFrameLength(480);
  return MediaSample::makeAudio(std::move(pcm), SampleTimingInfo{at(1, 48000), time, time});
}

// A microphone buffer whose first sample is `first`.
inline PcmBuffer micBuffer(const AudioFormat& format, std::uint32_t frames, float first = 1.0f) {
  PcmBuffer buffer(format, frames);
  buffer.setFrameLength(frames);
  buffer.data(0)[0] = first;
  return buffer;
}

// Writer inputs in the order the recorder makes them.
enum Track : std::size_t { kVideo = 0, kSystemAudio = 1, kMicrophone = 2 };

// A recorder over a fresh fake platform, and ways to drive it.
struct Rig {
  fake::FakePlatform fake;
  std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>(fake.platform());

  std::optional<Error> start(const std::string& path = "/rec/out.mp4") {
    return recorder->start(path);
  }
  std::shared_ptr<fake::FakeScreenCapture> stream() const { return fake.capture; }
  std::shared_ptr<fake::FakeMediaWriter> writer() const { return fake.writer; }
  fake::FakeWriterInput& input(Track track) const { return *fake.writer->state().inputs.at(track); }
  std::vector<fake::FakeWriterInput::Appended> appended(Track track) const {
    return input(track).state().appended;
  }

  // Delivers one stream sample and waits until the recorder has handled it.
  void deliver(std::shared_ptr<MediaSample> sample,
               StreamOutputType type = StreamOutputType::screen) {
    ASSERT_TRUE(stream()->deliverSample(std::move(sample), type));
    stream()->drainQueue();
  }
  // Delivers one microphone buffer on the tap thread and waits for it.
  void deliverMic(PcmBuffer buffer) {
    fake.audio->deliverBuffer(std::move(buffer));
    fake.audio->drainTapThread();
  }
};

}  // namespace kestrano::testing
