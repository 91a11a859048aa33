#pragma once

#include <gtest/gtest.h>

#include "recorder/recorder.h"
#include "tests/fake/fake_platform.h"

namespace kestrano::testing {

using Calls = std::vector<std::string>;
using Times = std::vector<std::int64_t>;  // milliseconds

inline MediaTime at(std::int64_t milliseconds) {
  return MediaTime::make(milliseconds, 1000);
}

// Attachments with `value` as the frame status of the first dictionary.
inline AttachmentArray status(PropertyValue value) {
  return AttachmentArray{PropertyDictionary{{kFrameInfoStatusKey, value}}};
}

inline std::shared_ptr<MediaSample> screenFrame(
    MediaTime time, std::optional<AttachmentArray> attachments = status(std::int64_t{0})) {
  return MediaSample::makeVideo(std::nullopt, SampleTimingInfo{MediaTime::make(1, 15), time, time},
                                std::move(attachments));
}

inline std::shared_ptr<MediaSample> systemAudio(MediaTime time) {
  PcmBuffer pcm(AudioFormat::standard(48000, 2), 480);
  pcm.setFrameLength(480);
  return MediaSample::makeAudio(std::move(pcm),
                                SampleTimingInfo{MediaTime::make(1, 48000), time, time});
}

// A microphone buffer whose first sample is `first`.
inline PcmBuffer micBuffer(const AudioFormat& format, std::uint32_t frames, float first = 1.0f) {
  PcmBuffer buffer(format, frames);
  buffer.setFrameLength(frames);
  buffer.data(0)[0] = first;
  return buffer;
}

// The file's tracks in the order the writer was given them.
enum Track : std::size_t { kVideo = 0, kSystemAudio = 1, kMicrophone = 2 };

// A recorder over a fresh fake platform, with an earlier recording at the
// path it records to by default.
struct Rig {
  explicit Rig(StartDeadlines deadlines = {})
      : recorder(std::make_shared<Recorder>(fake->platform(), deadlines)) {
    fake->files["/rec/out.mp4"] = 7;
  }
  std::shared_ptr<fake::FakePlatform> fake = std::make_shared<fake::FakePlatform>();
  std::shared_ptr<Recorder> recorder;

  std::optional<Error> start(const std::string& path = "/rec/out.mp4") {
    return recorder->start(path);
  }
  Calls takeCalls() {
    return fake->locked([&] { return std::exchange(fake->calls, {}); });
  }
  std::vector<std::pair<std::shared_ptr<MediaSample>, bool>> appended(Track track) const {
    return fake->locked([&] { return fake->tracks.at(track)->appended; });
  }
  Times times(Track track) const {
    Times result;
    for (const auto& appended : appended(track)) {
      result.push_back(appended.first->presentationTimeStamp().value);
    }
    return result;
  }
  // Delivers one stream sample and waits until the recorder has handled it.
  void deliver(std::shared_ptr<MediaSample> sample,
               StreamOutputType type = StreamOutputType::screen) {
    ASSERT_TRUE(fake->deliverSample(std::move(sample), type));
    fake->drainQueue();
  }
  // Delivers one microphone buffer on the tap thread and waits for it.
  void deliverMic(PcmBuffer buffer) {
    fake->deliverBuffer(std::move(buffer));
    fake->drainTapThread();
  }
};

}  // namespace kestrano::testing
