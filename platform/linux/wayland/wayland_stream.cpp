#include "platform/linux/wayland/wayland_stream.h"

#include <chrono>
#include <system_error>
#include <utility>

#include "platform/linux/capture/configuration_check.h"
#include "platform/linux/capture/frame_ticker.h"
#include "platform/linux/wayland/wayland_errors.h"
#include "platform/linux/wayland/wayland_frame_source.h"

namespace kestrano::wayland {

WaylandStream::WaylandStream(std::unique_ptr<PortalSession> session,
                             const StreamConfiguration& configuration,
                             std::weak_ptr<StreamDelegate> delegate,
                             std::shared_ptr<HostClock> clock,
                             SystemAudioSourceFactory makeSystemAudioSource)
    : configuration_(configuration),
      delegate_(std::move(delegate)),
      clock_(std::move(clock)),
      session_(std::move(session)),
      audio_(std::move(makeSystemAudioSource)) {}

WaylandStream::~WaylandStream() {
  stop();
}

std::optional<Error> WaylandStream::addStreamOutput(
    std::weak_ptr<StreamOutput> output, StreamOutputType type,
    std::shared_ptr<SerialQueue> sampleHandlerQueue) {
  MutexLock lock(mutex_);
  return outputs_.add(std::move(output), type, std::move(sampleHandlerQueue));
}

void WaylandStream::startCapture(ErrorCompletion completion) {
  std::optional<Error> refused;
  std::shared_ptr<SampleDelivery> delivery;
  {
    MutexLock lock(mutex_);
    if (state_ != State::idle) {
      refused = waylandError(CaptureErrorCode::wrongState, "capture was already started");
    } else if (outputs_.empty()) {
      refused = waylandError(CaptureErrorCode::invalidOutput, "the stream has no output");
    } else if (!session_) {
      refused = waylandError(CaptureErrorCode::cannotConnect,
                             "no screen-cast session: the displays were not listed first");
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
  std::unique_ptr<WaylandFrameSource> source = WaylandFrameSource::create(
      session_->stream(), configuration_, clock_, [this](Error e) { fail(std::move(e)); }, error);
  if (!source) {
    giveUp(std::move(*error));
    return;
  }
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

  std::optional<Error> threadRefused;
  {
    MutexLock lock(mutex_);
    try {
      captureThread_ = std::thread([this, s = std::move(source), delivery]() mutable {
        captureLoop(std::move(s), std::move(delivery));
      });
      state_ = State::running;
    } catch (const std::system_error& e) {
      threadRefused = waylandError(CaptureErrorCode::threadStartFailed,
                                   std::string("the capture thread cannot start: ") + e.what());
    }
  }
  if (threadRefused) {
    giveUp(std::move(*threadRefused));
    return;
  }
  completion(std::nullopt);
}

void WaylandStream::abandonStart() {
  audio_.stop();
  MutexLock lock(mutex_);
  state_ = State::idle;
  failure_.reset();
  outputs_.reopen();
  delivery_.reset();
}

void WaylandStream::stopCapture(ErrorCompletion completion) {
  if (std::optional<Error> refused = stop()) {
    completion(std::move(refused));
    return;
  }
  std::shared_ptr<SampleDelivery> delivery;
  {
    MutexLock lock(mutex_);
    delivery = delivery_;
  }
  // Nothing reaches a queue from here on: the capture thread is gone (and
  // PipeWire's with it) and the audio source has stopped calling.
  delivery->completeBehindQueues(std::move(completion));
}

std::optional<Error> WaylandStream::stop() {
  std::thread thread;
  {
    MutexLock lock(mutex_);
    if (state_ != State::running && state_ != State::failed) {
      const char* why = state_ == State::stopped    ? "capture has already been stopped"
                        : state_ == State::stopping ? "capture is already stopping"
                                                    : "capture is not running";
      return waylandError(CaptureErrorCode::wrongState, why);
    }
    state_ = State::stopping;
    thread = std::move(captureThread_);
  }
  audio_.close();
  wake_.notify_all();
  // Bounded: the capture thread never waits on the compositor, and its
  // PipeWire thread only on short locks.
  if (thread.joinable()) {
    thread.join();
  }
  audio_.stop();
  MutexLock lock(mutex_);
  state_ = State::stopped;
  return std::nullopt;
}

void WaylandStream::captureLoop(std::unique_ptr<WaylandFrameSource> owned,
                                std::shared_ptr<SampleDelivery> delivery) {
  std::unique_ptr<WaylandFrameSource> source = std::move(owned);
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
    // The portal closes the session when the compositor or the user ends it.
    if (std::optional<Error> closed = session_->checkOpen()) {
      fail(std::move(*closed));
      continue;
    }
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

void WaylandStream::fail(Error error) {
  {
    MutexLock lock(mutex_);
    if ((state_ != State::starting && state_ != State::running) || failure_) {
      return;
    }
    failure_ = std::move(error);
  }
  wake_.notify_all();
}

}  // namespace kestrano::wayland
