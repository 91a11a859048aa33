#include "platform/linux/x11/x11_stream.h"

#include <unistd.h>

#include <chrono>
#include <thread>
#include <utility>

#include "platform/linux/capture/capture_errors.h"
#include "platform/linux/capture/capture_stream.h"
#include "platform/linux/x11/screen_frame_source.h"
#include "platform/linux/x11/socket_watchdog.h"
#include "platform/unique_fd.h"

namespace kestrano::x11 {
namespace {

// How long a stop waits for the capture thread to finish its tick before it
// takes the X server for stalled and cuts the connection. A healthy tick
// (grab, scale) takes tens of milliseconds even on a loaded machine.
constexpr std::chrono::seconds kCaptureStopGrace{2};

// Joins the capture thread; any thread but that one. A thread stuck waiting
// on a server that stopped answering is given a moment, then its connection
// (`xSocket`) is cut: xcb fails the request and marks the connection broken,
// and the thread sees the stop, so a stop never hangs. (Without a watchdog
// thread, the join is unbounded.)
void joinCaptureThread(std::thread thread, UniqueFd xSocket) {
  if (!thread.joinable()) {
    return;
  }
  std::unique_ptr<SocketWatchdog> watchdog =
      SocketWatchdog::start(std::move(xSocket), SocketWatchdog::Clock::now() + kCaptureStopGrace);
  thread.join();
}

// Holds a duplicate of the capture connection's socket, for cutting it when
// the capture thread does not end.
class WatchedJoin final : public CaptureThreadJoiner {
 public:
  explicit WatchedJoin(UniqueFd xSocket) : xSocket_(std::move(xSocket)) {}
  void join(std::thread thread) override {
    joinCaptureThread(std::move(thread), std::move(xSocket_));
  }

 private:
  UniqueFd xSocket_;
};

class WatchedScreen final : public FrameSource {
 public:
  explicit WatchedScreen(std::unique_ptr<ScreenFrameSource> screen) : screen_(std::move(screen)) {}

  std::shared_ptr<MediaSample> tick(bool mayDeliver, FrameTicker& pace,
                                    std::optional<Error>& error) override {
    return screen_->tick(mayDeliver, pace, error);
  }

  std::unique_ptr<CaptureThreadJoiner> watchForStop(std::optional<Error>& error) override {
    // A socket of the stream's own, so a cut at stop never hits a number the
    // capture thread has closed and something else reused.
    UniqueFd xSocket(::dup(screen_->socket()));
    if (xSocket.get() < 0) {
      error = captureError(CaptureErrorCode::outOfResources, "the X connection cannot be watched");
      return nullptr;
    }
    return std::make_unique<WatchedJoin>(std::move(xSocket));
  }

 private:
  std::unique_ptr<ScreenFrameSource> screen_;
};

class X11Backend final : public CaptureBackend {
 public:
  explicit X11Backend(const ContentFilter& filter) : filter_(filter) {}

  Error error(CaptureErrorCode code, std::string description) const override {
    return captureError(code, std::move(description));
  }

  std::unique_ptr<FrameSource> openSource(const StreamConfiguration& configuration,
                                          std::shared_ptr<HostClock> clock,
                                          std::function<void(Error)>,
                                          std::optional<Error>& error) override {
    std::unique_ptr<ScreenFrameSource> screen =
        ScreenFrameSource::create(filter_.display, configuration, std::move(clock), error);
    if (!screen) {
      return nullptr;
    }
    return std::make_unique<WatchedScreen>(std::move(screen));
  }

 private:
  const ContentFilter filter_;
};

}  // namespace

std::shared_ptr<Stream> makeX11Stream(const ContentFilter& filter,
                                      const StreamConfiguration& configuration,
                                      std::weak_ptr<StreamDelegate> delegate,
                                      std::shared_ptr<HostClock> clock,
                                      SystemAudioSourceFactory makeSystemAudioSource) {
  return std::make_shared<CaptureStream>(std::make_unique<X11Backend>(filter), configuration,
                                         std::move(delegate), std::move(clock),
                                         std::move(makeSystemAudioSource));
}

}  // namespace kestrano::x11
