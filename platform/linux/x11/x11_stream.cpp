#include "platform/linux/x11/x11_stream.h"

#include <unistd.h>

#include <chrono>
#include <exception>
#include <system_error>
#include <utility>

#include "platform/linux/capture/capture_errors.h"
#include "platform/linux/capture/configuration_check.h"
#include "platform/linux/capture/frame_ticker.h"
#include "platform/linux/x11/screen_frame_source.h"
#include "platform/linux/x11/socket_watchdog.h"

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

}  // namespace

X11Stream::X11Stream(const ContentFilter& filter, const StreamConfiguration& configuration,
                     std::weak_ptr<StreamDelegate> delegate, std::shared_ptr<HostClock> clock,
                     SystemAudioSourceFactory makeSystemAudioSource)
    : filter_(filter),
      configuration_(configuration),
      delegate_(std::move(delegate)),
      clock_(std::move(clock)),
      audio_(std::move(makeSystemAudioSource)) {}

X11Stream::~X11Stream() {
  stop();
}

std::optional<Error> X11Stream::addStreamOutput(std::weak_ptr<StreamOutput> output,
                                                StreamOutputType type,
                                                std::shared_ptr<SerialQueue> sampleHandlerQueue) {
  MutexLock lock(mutex_);
  return outputs_.add(std::move(output), type, std::move(sampleHandlerQueue));
}

void X11Stream::startCapture(ErrorCompletion completion) {
  std::optional<Error> refused;
  std::shared_ptr<SampleDelivery> delivery;
  {
    MutexLock lock(mutex_);
    if (state_ != State::idle) {
      refused = captureError(CaptureErrorCode::wrongState, "capture was already started");
    } else if (outputs_.empty()) {
      refused = captureError(CaptureErrorCode::invalidOutput, "the stream has no output");
    } else {
      refused = checkConfiguration(configuration_);
    }
    if (!refused) {
      state_ = State::starting;
      outputs_.close();
      delivery_ = std::make_shared<SampleDelivery>(weak_from_this(), delegate_, outputs_,
                                                   configuration_.queueDepth);
      delivery = delivery_;
    }
  }
  if (refused) {
    completion(std::move(refused));
    return;
  }
  auto giveUp = [&](Error error) {
    abandonStart();
    completion(std::move(error));
  };

  std::optional<Error> error;
  std::unique_ptr<ScreenFrameSource> source =
      ScreenFrameSource::create(filter_.display, configuration_, clock_, error);
  if (!source) {
    giveUp(std::move(*error));
    return;
  }

  // The recorder plays no sound, so excludesCurrentProcessAudio holds as it
  // is. If it ever did, the monitor of the output device could not leave it
  // out: that needs capturing each other application's stream on its own.
  if (configuration_.capturesAudio) {
    std::optional<Error> audioRefused = audio_.start(
        configuration_,
        [delivery](PcmBuffer buffer, MediaTime time) {
          return delivery->deliverAudio(std::move(buffer), time);
        },
        [this](Error e) { fail(std::move(e)); });
    if (audioRefused) {
      giveUp(std::move(*audioRefused));
      return;
    }
    audio_.waitForFirstBuffer();
  }

  // A socket of the stream's own, so a cut at stop never hits a number the
  // capture thread has closed and something else reused.
  UniqueFd xSocket(::dup(source->socket()));
  if (xSocket.get() < 0) {
    giveUp(captureError(CaptureErrorCode::outOfResources, "the X connection cannot be watched"));
    return;
  }
  std::optional<Error> threadRefused;
  {
    MutexLock lock(mutex_);
    try {
      captureThread_ = std::thread([this, s = std::move(source), delivery]() mutable {
        captureLoop(std::move(s), std::move(delivery));
      });
      xSocket_ = std::move(xSocket);
      state_ = State::running;
    } catch (const std::system_error& e) {
      threadRefused = captureError(CaptureErrorCode::threadStartFailed,
                                   std::string("the capture thread cannot start: ") + e.what());
    }
  }
  if (threadRefused) {
    giveUp(std::move(*threadRefused));
    return;
  }
  completion(std::nullopt);
}

void X11Stream::abandonStart() {
  audio_.stop();
  MutexLock lock(mutex_);
  state_ = State::idle;
  failure_.reset();
  outputs_.reopen();
  delivery_.reset();
}

void X11Stream::stopCapture(ErrorCompletion completion) {
  if (std::optional<Error> refused = stop()) {
    completion(std::move(refused));
    return;
  }
  std::shared_ptr<SampleDelivery> delivery;
  {
    MutexLock lock(mutex_);
    delivery = delivery_;
  }
  // Nothing reaches a queue from here on: the capture thread is gone and the
  // audio source has stopped calling.
  delivery->completeBehindQueues(std::move(completion));
}

std::optional<Error> X11Stream::stop() {
  std::thread thread;
  UniqueFd xSocket;
  {
    MutexLock lock(mutex_);
    if (state_ != State::running && state_ != State::failed) {
      const char* why = state_ == State::stopped    ? "capture has already been stopped"
                        : state_ == State::stopping ? "capture is already stopping"
                                                    : "capture is not running";
      return captureError(CaptureErrorCode::wrongState, why);
    }
    state_ = State::stopping;
    thread = std::move(captureThread_);
    xSocket = std::move(xSocket_);
  }
  audio_.close();
  wake_.notify_all();
  joinCaptureThread(std::move(thread), std::move(xSocket));
  audio_.stop();
  MutexLock lock(mutex_);
  state_ = State::stopped;
  return std::nullopt;
}

void X11Stream::captureLoop(std::unique_ptr<ScreenFrameSource> owned,
                            std::shared_ptr<SampleDelivery> delivery) {
  std::unique_ptr<ScreenFrameSource> source = std::move(owned);
  FrameTicker pace(std::chrono::nanoseconds(configuration_.minimumFrameInterval.nanoseconds()),
                   FrameTicker::Clock::now());
  Error failure;
  for (;;) {
    {
      MutexLock lock(mutex_);
      while (state_ == State::running && !failure_) {
        if (!lock.waitUntil(wake_, pace.due())) {
          break;
        }
      }
      if (state_ != State::running) {
        return;  // stopping: the stopper finishes the rest
      }
      if (failure_) {
        failure = *failure_;
        state_ = State::failed;
        break;
      }
    }
    pace.ticked(FrameTicker::Clock::now());
    std::optional<Error> error;
    std::shared_ptr<MediaSample> sample = source->tick(delivery->screenHasRoom(), pace, error);
    if (error) {
      fail(std::move(*error));
    } else if (sample) {
      delivery->deliverFrame(std::move(sample));
    }
  }

  // Failed by itself: end video and audio, then tell the delegate.
  audio_.close();
  source.reset();
  audio_.stop();
  delivery->reportFailure(failure);
}

void X11Stream::fail(Error error) {
  {
    MutexLock lock(mutex_);
    if ((state_ != State::starting && state_ != State::running) || failure_) {
      return;
    }
    failure_ = std::move(error);
  }
  wake_.notify_all();
}

}  // namespace kestrano::x11
