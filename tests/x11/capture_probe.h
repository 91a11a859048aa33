#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/host_clock.h"
#include "platform/linux/system_audio_source.h"
#include "platform/screen_capture.h"

namespace kestrano::testing {

// Generous bounds for waiting on a shared, noisy machine.
inline constexpr std::chrono::seconds kPatience{15};

struct Delivered {
  std::shared_ptr<MediaSample> sample;
  StreamOutputType type;
  std::chrono::steady_clock::time_point at;
};

// An output that keeps every sample it is handed; `beforeEach` (optional)
// runs inside the handler first, e.g. to hold it up.
class SampleLog final : public StreamOutput {
 public:
  std::function<void()> beforeEach;

  void streamDidOutputSampleBuffer(Stream& stream, std::shared_ptr<MediaSample> sample,
                                   StreamOutputType type) override;
  // Waits until `ready` holds for the samples so far; false on timeout.
  bool waitUntil(const std::function<bool(const std::vector<Delivered>&)>& ready,
                 std::chrono::milliseconds timeout = kPatience);
  std::vector<Delivered> snapshot() const;
  std::size_t count() const;

 private:
  mutable std::mutex mutex_;  // guards samples_
  std::condition_variable changed_;
  std::vector<Delivered> samples_;
};

class DelegateLog final : public StreamDelegate {
 public:
  void streamDidStopWithError(Stream& stream, const Error& error) override;
  bool waitForCall(std::chrono::milliseconds timeout = kPatience);
  std::vector<Error> errors() const;

 private:
  mutable std::mutex mutex_;  // guards errors_
  std::condition_variable changed_;
  std::vector<Error> errors_;
};

// The status in a screen sample's first attachment dictionary, if any.
std::optional<std::int64_t> frameStatus(const MediaSample& sample);
std::vector<Delivered> screenFrames(const std::vector<Delivered>& all, FrameStatus status);

// Calls a completion-taking operation and waits for the completion. The
// outer optional is empty when the completion did not come in time.
std::optional<std::optional<Error>> callAndWait(
    const std::function<void(ErrorCompletion)>& operation,
    std::chrono::milliseconds timeout = kPatience);

// The configuration the recorder uses, at the given frame size.
StreamConfiguration recorderConfiguration(std::int64_t width, std::int64_t height,
                                          bool capturesAudio = false);

// One service, stream, output log and delegate log, on the X server that
// DISPLAY names; the stream captures the listed display at `index`.
class CaptureRig {
 public:
  CaptureRig(std::size_t index, const StreamConfiguration& configuration,
             std::function<std::unique_ptr<SystemAudioSource>()> makeAudio = nullptr);
  ~CaptureRig();

  // The completion's error; fails the test when no completion comes.
  std::optional<Error> start();
  std::optional<Error> stop();

  std::shared_ptr<HostClock> clock;
  Display display;
  std::shared_ptr<SerialQueue> queue;
  std::shared_ptr<SampleLog> log;
  std::shared_ptr<DelegateLog> delegate;
  std::shared_ptr<Stream> stream;
};

struct Yuv {
  int y = 0;
  int u = 0;
  int v = 0;
};
// The I420 values at a pixel of a frame.
Yuv yuvAt(const VideoFrame& frame, int x, int y);
// What BT.601 limited range (libswscale's default) makes of an RGB colour.
Yuv expectedYuv(int r, int g, int b);

}  // namespace kestrano::testing
