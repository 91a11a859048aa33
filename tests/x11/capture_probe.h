#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/host_clock.h"
#include "platform/linux/system_audio_source.h"
#include "platform/mutex.h"
#include "platform/screen_capture.h"
#include "tests/support/private_desktop.h"

namespace kestrano::testing {

// Generous bound for waiting on a shared, noisy machine.
inline constexpr std::chrono::seconds kPatience{15};

struct Delivered {
  std::shared_ptr<MediaSample> sample;
  StreamOutputType type;
  std::int64_t status = -1;  // a screen sample's frame status
  std::int64_t nanos = 0;    // its presentation time
};

// What a stream told: every sample (an optional hook runs first inside the
// handler, e.g. to hold it up) and every stop with an error.
class Collector final : public StreamOutput, public StreamDelegate {
 public:
  struct Log {
    std::vector<Delivered> samples;
    std::vector<Error> errors;
    std::vector<Delivered> frames(FrameStatus status) const;
    std::vector<Delivered> audio() const;
  };
  std::function<void()> beforeEach;

  void streamDidOutputSampleBuffer(Stream&, std::shared_ptr<MediaSample> sample,
                                   StreamOutputType type) override;
  void streamDidStopWithError(Stream&, const Error& error) override;
  // False when `ready` does not come to hold in time.
  bool waitUntil(const std::function<bool(const Log&)>& ready) EXCLUDES(mutex_);
  bool waitForSamples(std::size_t count = 1);
  bool waitForError();
  Log log() const EXCLUDES(mutex_);

 private:
  mutable Mutex mutex_;
  std::condition_variable changed_;
  Log log_ GUARDED_BY(mutex_);
};

// A private X server without sound, which this process's X clients use.
struct PrivateScreen {
  explicit PrivateScreen(const std::string& size = "1920x1080", const std::string& monitors = "");
  PrivateDesktop desktop;
};

// Runs an operation that takes a completion and returns what the completion
// got; fails the test when it does not come in time.
std::optional<Error> callAndWait(const std::function<void(ErrorCompletion)>& operation);

StreamConfiguration recorderConfiguration(std::int64_t width, std::int64_t height,
                                          bool capturesAudio = false);

// A stream of the display at `index` in the list of the X server that
// DISPLAY names, with one collector as its outputs and delegate.
struct CaptureRig {
  CaptureRig(std::size_t index, const StreamConfiguration& configuration,
             std::function<std::unique_ptr<SystemAudioSource>()> makeAudio = nullptr);
  ~CaptureRig();
  std::optional<Error> start();
  std::optional<Error> stop();

  std::shared_ptr<HostClock> clock;
  std::shared_ptr<SerialQueue> queue;
  std::shared_ptr<Collector> collector;
  std::shared_ptr<Stream> stream;
};

struct Yuv {
  int y, u, v;
};
Yuv yuvAt(const VideoFrame& frame, int x, int y);
// What BT.601 limited range (libswscale's default) makes of an RGB colour.
Yuv expectedYuv(int r, int g, int b);

}  // namespace kestrano::testing
