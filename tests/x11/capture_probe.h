#pragma once

#include <xcb/xcb.h>

#include <chrono>
#include <condition_variable>
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

// Only guards against hangs on a shared, noisy machine.
inline constexpr std::chrono::seconds kPatience{15};

struct Delivered {
  std::shared_ptr<MediaSample> sample;
  StreamOutputType type;
  std::int64_t status = -1;  // a screen sample's frame status
  std::int64_t nanos = 0;    // its presentation time
};

// What a stream told: every sample and every stop with an error.
// `beforeEach` runs first inside the handler, e.g. to hold it up.
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
  Log log() const EXCLUDES(mutex_);

 private:
  mutable Mutex mutex_;
  std::condition_variable changed_;
  Log log_ GUARDED_BY(mutex_);
};

// A private X server without sound, which this process's X clients use.
std::unique_ptr<PrivateDesktop> privateScreen(const std::string& size,
                                              const std::string& monitors = "");

// The displays of the X server DISPLAY names, or the error.
std::vector<Display> listDisplays(std::optional<Error>& error);

// Calls an operation with a completion and returns what the completion got.
std::optional<Error> callAndWait(const std::function<void(ErrorCompletion)>& operation);

// A stream of the display at `index`, configured as the recorder does, with
// one collector as its outputs and delegate; audio when `makeAudio` is given.
struct CaptureRig {
  CaptureRig(std::size_t index, std::int64_t width = 1280, std::int64_t height = 720,
             std::function<std::unique_ptr<SystemAudioSource>()> makeAudio = nullptr);
  ~CaptureRig();
  std::optional<Error> start();
  std::optional<Error> stop();

  std::shared_ptr<HostClock> clock;
  std::shared_ptr<SerialQueue> queue;
  std::shared_ptr<Collector> collector;
  std::shared_ptr<Stream> stream;
};

struct Rgb {
  std::uint8_t r = 0, g = 0, b = 0;
};

// Draws on the X server DISPLAY names through a connection of its own:
// override-redirect windows of plain colours, and the pointer.
class XScene {
 public:
  XScene();  // throws std::runtime_error when the server cannot be reached
  ~XScene();
  XScene(const XScene&) = delete;
  XScene& operator=(const XScene&) = delete;

  // A new window on top covering the rectangle.
  xcb_window_t addWindow(int x, int y, int width, int height, Rgb colour);
  void fill(xcb_window_t window, int x, int y, int width, int height, Rgb colour);
  void warpPointer(int rootX, int rootY);
  // Returns once the server has carried out everything asked so far.
  void sync();

 private:
  xcb_connection_t* c_;
  xcb_screen_t* screen_;
  xcb_gcontext_t gc_;
};

}  // namespace kestrano::testing
