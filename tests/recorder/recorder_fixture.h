#pragma once

#include <gtest/gtest.h>

#include "recorder/recorder.h"
#include "tests/fake/fake_platform.h"

namespace kestrano::testing {

using Times = std::vector<std::int64_t>;  // milliseconds

// Samples at a time in milliseconds; a frame with its status (1: idle).
inline std::shared_ptr<MediaSample> screenFrame(std::int64_t ms, std::int64_t frameStatus = 0) {
  const MediaTime time = MediaTime::make(ms, 1000);
  return MediaSample::makeVideo(
      std::nullopt, SampleTimingInfo{MediaTime::make(1, 15), time, time},
      AttachmentArray{PropertyDictionary{{kFrameInfoStatusKey, PropertyValue{frameStatus}}}});
}

inline std::shared_ptr<MediaSample> systemAudio(std::int64_t ms) {
  const MediaTime time = MediaTime::make(ms, 1000);
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
  // The steps logged since the last call, joined by ", ".
  std::string takeCalls() {
    std::string joined;
    for (const auto& call : fake->locked([&] { return std::exchange(fake->calls, {}); })) {
      joined += (joined.empty() ? "" : ", ") + call;
    }
    return joined;
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
  void deliver(std::shared_ptr<MediaSample> sample) {
    fake->deliverSample(sample, StreamOutputType::screen);
  }
};

}  // namespace kestrano::testing
