#include "platform/linux/capture/capture_stream.h"

#include <chrono>
#include <system_error>
#include <utility>

#include "platform/linux/capture/configuration_check.h"

namespace kestrano {

CaptureStream::CaptureStream(std::unique_ptr<CaptureBackend> backend,
                             const StreamConfiguration& configuration,
                             std::weak_ptr<StreamDelegate> delegate,
                             std::shared_ptr<HostClock> clock,
                             SystemAudioSourceFactory makeSystemAudioSource)
    : configuration_(configuration),
      delegate_(std::move(delegate)),
      clock_(std::move(clock)),
      backend_(std::move(backend)),
      audio_(std::move(makeSystemAudioSource)) {}

CaptureStream::~CaptureStream() {
  stop();
}

std::optional<Error> CaptureStream::addStreamOutput(
    std::weak_ptr<StreamOutput> output, StreamOutputType type,
    std::shared_ptr<SerialQueue> sampleHandlerQueue) {
  MutexLock lock(mutex_);
  std::optional<Error> refused =
      outputs_.add(std::move(output), type, std::move(sampleHandlerQueue));
  return refused ? std::optional(own(std::move(*refused))) : std::nullopt;
}

void CaptureStream::startCapture(ErrorCompletion completion) {
  std::optional<Error> refused;
  std::shared_ptr<SampleDelivery> delivery;
  {
    MutexLock lock(mutex_);
    if (state_ != State::idle) {
      refused = backend_->error(CaptureErrorCode::wrongState, "capture was already started");
    } else if (outputs_.empty()) {
      refused = backend_->error(CaptureErrorCode::invalidOutput, "the stream has no output");
    } else if (std::optional<Error> backendRefused = backend_->refuseStart()) {
      refused = std::move(backendRefused);
    } else if (std::optional<Error> outOfRange = checkConfiguration(configuration_)) {
      refused = own(std::move(*outOfRange));
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
    completion(own(std::move(error)));
  };

  std::optional<Error> error;
  std::unique_ptr<FrameSource> source = backend_->openSource(
      configuration_, clock_, [this](Error e) { fail(std::move(e)); }, error);
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

  std::optional<Error> unwatched;
  std::unique_ptr<CaptureThreadJoiner> joiner = source->watchForStop(unwatched);
  if (unwatched) {
    giveUp(std::move(*unwatched));
    return;
  }
  std::optional<Error> threadRefused;
  {
    MutexLock lock(mutex_);
    try {
      captureThread_ = std::thread([this, s = std::move(source), delivery]() mutable {
        captureLoop(std::move(s), std::move(delivery));
      });
      joiner_ = std::move(joiner);
      state_ = State::running;
    } catch (const std::system_error& e) {
      threadRefused = backend_->error(CaptureErrorCode::threadStartFailed,
                                      std::string("the capture thread cannot start: ") + e.what());
    }
  }
  if (threadRefused) {
    giveUp(std::move(*threadRefused));
    return;
  }
  completion(std::nullopt);
}

void CaptureStream::abandonStart() {
  audio_.stop();
  MutexLock lock(mutex_);
  state_ = State::idle;
  failure_.reset();
  outputs_.reopen();
  delivery_.reset();
}

void CaptureStream::stopCapture(ErrorCompletion completion) {
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
  // any thread of the backend's with it) and the audio source has stopped
  // calling.
  delivery->completeBehindQueues(std::move(completion));
}

std::optional<Error> CaptureStream::stop() {
  std::thread thread;
  std::unique_ptr<CaptureThreadJoiner> joiner;
  {
    MutexLock lock(mutex_);
    if (state_ != State::running && state_ != State::failed) {
      const char* why = state_ == State::stopped    ? "capture has already been stopped"
                        : state_ == State::stopping ? "capture is already stopping"
                                                    : "capture is not running";
      return backend_->error(CaptureErrorCode::wrongState, why);
    }
    state_ = State::stopping;
    thread = std::move(captureThread_);
    joiner = std::move(joiner_);
  }
  audio_.close();
  wake_.notify_all();
  if (joiner) {
    joiner->join(std::move(thread));
  } else if (thread.joinable()) {
    thread.join();
  }
  audio_.stop();
  MutexLock lock(mutex_);
  state_ = State::stopped;
  return std::nullopt;
}

void CaptureStream::captureLoop(std::unique_ptr<FrameSource> owned,
                                std::shared_ptr<SampleDelivery> delivery) {
  std::unique_ptr<FrameSource> source = std::move(owned);
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
    if (std::optional<Error> ended = backend_->checkTick()) {
      fail(std::move(*ended));
      continue;
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

void CaptureStream::fail(Error error) {
  {
    MutexLock lock(mutex_);
    if ((state_ != State::starting && state_ != State::running) || failure_) {
      return;
    }
    failure_ = own(std::move(error));
  }
  wake_.notify_all();
}

Error CaptureStream::own(Error error) const {
  if (error.domain != kCaptureErrorDomain) {
    return error;
  }
  return backend_->error(static_cast<CaptureErrorCode>(error.code), std::move(error.description));
}

}  // namespace kestrano
