#include "platform/linux/x11/x11_stream.h"

#include <unistd.h>

#include <chrono>
#include <exception>
#include <utility>
#include <vector>

#include "platform/linux/x11/capture_errors.h"
#include "platform/linux/x11/screen_frame_source.h"
#include "platform/linux/x11/socket_watchdog.h"
#include "platform/serial_queue.h"

namespace kestrano::x11 {
namespace {

// Audio buffers waiting in a queue whose handler has stalled: about four
// seconds of 20 ms buffers. Beyond that they are dropped rather than piled
// up without bound; a working handler never comes near.
constexpr std::int64_t kMaxAudioBuffersInFlight = 200;

// How long startCapture waits for the system audio's first buffer. A fresh
// PulseAudio record stream delivers within 0.1-0.3 s here, over a second on a
// loaded machine; past this bound the video starts anyway, and the audio
// track simply begins late, as it would without the wait.
constexpr std::chrono::seconds kFirstAudioWait{2};

// How long a stop waits for the capture thread to finish its tick before it
// takes the X server for stalled and cuts the connection. A healthy tick
// (grab, scale) takes tens of milliseconds even on a loaded machine.
constexpr std::chrono::seconds kCaptureStopGrace{2};

// Bounds that catch nonsense rather than limit real devices.
constexpr std::int64_t kMaxSampleRate = 768000;
constexpr std::int64_t kMaxChannels = 32;

std::size_t slot(StreamOutputType type) {
  return type == StreamOutputType::screen ? 0 : 1;
}

std::optional<Error> checkConfiguration(const StreamConfiguration& c) {
  auto invalid = [](const std::string& text) {
    return captureError(CaptureErrorCode::invalidConfiguration, text);
  };
  if (!c.minimumFrameInterval.valid || c.minimumFrameInterval.value <= 0) {
    return invalid("the minimum frame interval must be a positive time");
  }
  if (c.queueDepth < 1) {
    return invalid("the queue depth must be at least 1, not " + std::to_string(c.queueDepth));
  }
  if (c.capturesAudio && (c.sampleRate <= 0 || c.sampleRate > kMaxSampleRate ||
                          c.channelCount <= 0 || c.channelCount > kMaxChannels)) {
    return invalid("system audio of " + std::to_string(c.sampleRate) + " Hz and " +
                   std::to_string(c.channelCount) + " channels cannot be captured");
  }
  return std::nullopt;
}

}  // namespace

X11Stream::X11Stream(const ContentFilter& filter, const StreamConfiguration& configuration,
                     std::weak_ptr<StreamDelegate> delegate, std::shared_ptr<HostClock> clock,
                     SystemAudioSourceFactory makeSystemAudioSource)
    : filter_(filter),
      configuration_(configuration),
      delegate_(std::move(delegate)),
      clock_(std::move(clock)),
      makeSystemAudioSource_(std::move(makeSystemAudioSource)) {}

X11Stream::~X11Stream() {
  {
    std::lock_guard lock(mutex_);
    state_ = State::stopped;
  }
  accepting_.store(false, std::memory_order_release);
  wake_.notify_all();
  joinCaptureThread();
  stopAudio();
}

std::optional<Error> X11Stream::addStreamOutput(std::weak_ptr<StreamOutput> output,
                                                StreamOutputType type,
                                                std::shared_ptr<SerialQueue> sampleHandlerQueue) {
  auto refuse = [](const std::string& text) {
    return captureError(CaptureErrorCode::invalidOutput, text);
  };
  if (type != StreamOutputType::screen && type != StreamOutputType::audio) {
    return refuse("output type " + std::to_string(static_cast<std::int64_t>(type)) +
                  " is neither screen (0) nor audio (1)");
  }
  if (output.expired()) {
    return refuse("the output no longer exists");
  }
  if (!sampleHandlerQueue) {
    return refuse("an output needs a sample handler queue");
  }
  std::lock_guard lock(mutex_);
  if (state_ != State::idle) {
    return refuse("outputs can only be added before capture starts");
  }
  if (outputs_[slot(type)]) {
    return refuse(std::string("the stream already has an output for ") +
                  (type == StreamOutputType::screen ? "screen" : "audio") + " samples");
  }
  outputs_[slot(type)] = Output{std::move(output), std::move(sampleHandlerQueue)};
  return std::nullopt;
}

void X11Stream::startCapture(ErrorCompletion completion) {
  {
    std::unique_lock lock(mutex_);
    std::optional<Error> refused;
    if (state_ != State::idle) {
      refused = captureError(CaptureErrorCode::wrongState, "capture was already started");
    } else if (!outputs_[0] && !outputs_[1]) {
      refused = captureError(CaptureErrorCode::invalidOutput, "the stream has no output");
    } else {
      refused = checkConfiguration(configuration_);
    }
    if (refused) {
      lock.unlock();
      completion(std::move(refused));
      return;
    }
    state_ = State::starting;
  }
  auto giveUp = [&](Error error) {
    accepting_.store(false, std::memory_order_release);
    stopAudio();
    {
      std::lock_guard lock(mutex_);
      state_ = State::idle;
      failure_.reset();
    }
    completion(std::move(error));
  };

  std::optional<Error> error;
  std::unique_ptr<ScreenFrameSource> source =
      ScreenFrameSource::open(filter_.display, configuration_, clock_, error);
  if (!source) {
    giveUp(std::move(*error));
    return;
  }
  accepting_.store(true, std::memory_order_release);

  // The recorder plays no sound, so excludesCurrentProcessAudio holds as it
  // is. If it ever did, the monitor of the output device could not leave it
  // out: that needs capturing each other application's stream on its own.
  std::unique_ptr<SystemAudioSource> audio;
  if (configuration_.capturesAudio && makeSystemAudioSource_) {
    audio = makeSystemAudioSource_();
  }
  if (audio) {
    std::optional<Error> refused = audio->start(
        static_cast<double>(configuration_.sampleRate),
        static_cast<std::uint32_t>(configuration_.channelCount),
        [this](PcmBuffer buffer, MediaTime time) { onAudioBuffer(std::move(buffer), time); },
        [this](Error e) {
          fail(captureError(CaptureErrorCode::audioFailed,
                            "the system audio capture failed: " + e.description));
        });
    {
      std::lock_guard lock(audioMutex_);
      audioSource_ = std::move(audio);
    }
    if (refused) {
      giveUp(captureError(CaptureErrorCode::audioFailed,
                          "the system audio cannot be captured: " + refused->description));
      return;
    }
    waitForFirstAudio();
  }

  // A socket of the stream's own, so a cut at stop never hits a number the
  // capture thread has closed and something else reused.
  xSocket_.reset(::dup(source->socket()));
  if (xSocket_.get() < 0) {
    giveUp(captureError(CaptureErrorCode::wrongState, "the X connection cannot be watched"));
    return;
  }
  try {
    std::lock_guard lock(mutex_);
    captureThread_ =
        std::thread([this, s = std::move(source)]() mutable { captureLoop(std::move(s)); });
    state_ = State::running;
  } catch (const std::exception& e) {
    xSocket_.reset();
    giveUp(captureError(CaptureErrorCode::wrongState,
                        std::string("the capture thread cannot start: ") + e.what()));
    return;
  }
  completion(std::nullopt);
}

void X11Stream::stopCapture(ErrorCompletion completion) {
  {
    std::unique_lock lock(mutex_);
    if (state_ != State::running && state_ != State::failed) {
      const char* why = state_ == State::stopped    ? "capture has already been stopped"
                        : state_ == State::stopping ? "capture is already stopping"
                                                    : "capture is not running";
      lock.unlock();
      completion(captureError(CaptureErrorCode::wrongState, why));
      return;
    }
    state_ = State::stopping;
  }
  accepting_.store(false, std::memory_order_release);
  wake_.notify_all();
  joinCaptureThread();
  stopAudio();
  {
    std::lock_guard lock(mutex_);
    state_ = State::stopped;
  }
  // Nothing reaches a queue from here on: the capture thread is gone and the
  // audio source has stopped calling.
  completeBehindQueues(std::move(completion));
}

void X11Stream::captureLoop(std::unique_ptr<ScreenFrameSource> owned) {
  std::unique_ptr<ScreenFrameSource> source = std::move(owned);
  const std::chrono::nanoseconds interval(configuration_.minimumFrameInterval.nanoseconds());
  auto next = std::chrono::steady_clock::now();
  Error failure;
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      wake_.wait_until(lock, next,
                       [this] { return state_ != State::running || failure_.has_value(); });
      if (state_ != State::running) {
        return;  // stopping: the stopper finishes the rest
      }
      if (failure_) {
        failure = *failure_;
        state_ = State::failed;
        break;
      }
    }
    // A steady cadence, so the average is the asked rate; ticks missed while
    // the thread was held up are skipped, never made up in a burst.
    auto now = std::chrono::steady_clock::now();
    next += interval;
    if (next <= now) {
      next += (now - next) / interval * interval + interval;
    }
    bool mayDeliver = outputs_[0].has_value() &&
                      inFlight_->frames.load(std::memory_order_acquire) < configuration_.queueDepth;
    std::optional<Error> error;
    std::shared_ptr<MediaSample> sample;
    try {
      sample = source->tick(mayDeliver, error);
    } catch (const std::exception& e) {  // a frame that cannot be allocated
      error = captureError(CaptureErrorCode::wrongState,
                           std::string("a frame cannot be made: ") + e.what());
    }
    if (error) {
      fail(std::move(*error));
    } else if (sample) {
      deliver(std::move(sample), StreamOutputType::screen);
    }
  }

  // Failed by itself: end video and audio, then tell the delegate once, on an
  // output queue behind the samples already there (never on this thread, so
  // the delegate may stop or release the stream).
  accepting_.store(false, std::memory_order_release);
  source.reset();
  stopAudio();
  const Output& output = outputs_[0] ? *outputs_[0] : *outputs_[1];
  output.queue->async([self = weak_from_this(), delegate = delegate_, failure] {
    auto stream = self.lock();
    auto told = delegate.lock();
    if (stream && told) {
      told->streamDidStopWithError(*stream, failure);
    }
  });
}

void X11Stream::fail(Error error) {
  {
    std::lock_guard lock(mutex_);
    if ((state_ != State::starting && state_ != State::running) || failure_) {
      return;
    }
    failure_ = std::move(error);
  }
  wake_.notify_all();
  audioStarted_.notify_all();
}

void X11Stream::deliver(std::shared_ptr<MediaSample> sample, StreamOutputType type) {
  const std::optional<Output>& output = outputs_[slot(type)];
  if (!output) {
    return;
  }
  std::atomic<std::int64_t>& count =
      type == StreamOutputType::screen ? inFlight_->frames : inFlight_->audioBuffers;
  count.fetch_add(1, std::memory_order_acq_rel);
  output->queue->async([self = weak_from_this(), target = output->output, inFlight = inFlight_,
                        sample = std::move(sample), type] {
    struct Release {  // the handler has returned the sample, however it left
      std::atomic<std::int64_t>& count;
      ~Release() { count.fetch_sub(1, std::memory_order_acq_rel); }
    } release{type == StreamOutputType::screen ? inFlight->frames : inFlight->audioBuffers};
    auto stream = self.lock();
    auto out = target.lock();
    if (stream && out) {
      out->streamDidOutputSampleBuffer(*stream, sample, type);
    }
  });
}

void X11Stream::waitForFirstAudio() {
  std::unique_lock lock(mutex_);
  // On failure capture goes on starting: the capture thread reports it as a
  // stopped stream, as for any failure once started.
  audioStarted_.wait_for(lock, kFirstAudioWait, [this] {
    return audioFlowing_.load(std::memory_order_acquire) || failure_.has_value() ||
           state_ != State::starting;
  });
}

void X11Stream::onAudioBuffer(PcmBuffer buffer, MediaTime presentationTime) {
  if (!accepting_.load(std::memory_order_acquire) || !outputs_[1] ||
      inFlight_->audioBuffers.load(std::memory_order_acquire) >= kMaxAudioBuffersInFlight) {
    return;
  }
  if (!audioFlowing_.load(std::memory_order_acquire)) {
    {
      // Under the lock, so the waiter cannot miss it between test and sleep.
      std::lock_guard lock(mutex_);
      audioFlowing_.store(true, std::memory_order_release);
    }
    audioStarted_.notify_all();
  }
  auto rate = static_cast<std::int32_t>(buffer.format().sampleRate());
  MediaTime duration =
      rate > 0 ? MediaTime::make(buffer.frameLength(), rate) : MediaTime::invalid();
  deliver(MediaSample::makeAudio(std::move(buffer), SampleTimingInfo{duration, presentationTime,
                                                                     MediaTime::invalid()}),
          StreamOutputType::audio);
}

void X11Stream::stopAudio() {
  std::lock_guard lock(audioMutex_);
  if (audioSource_) {
    audioSource_->stop();
    audioSource_.reset();
  }
}

void X11Stream::completeBehindQueues(ErrorCompletion completion) {
  std::vector<std::shared_ptr<SerialQueue>> queues;
  for (const auto& output : outputs_) {
    if (output && (queues.empty() || queues.front() != output->queue)) {
      queues.push_back(output->queue);
    }
  }
  struct Barrier {
    std::atomic<std::size_t> remaining;
    ErrorCompletion completion;
  };
  auto barrier = std::make_shared<Barrier>(queues.size(), std::move(completion));
  for (const auto& queue : queues) {
    queue->async([barrier] {
      if (barrier->remaining.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        barrier->completion(std::nullopt);
      }
    });
  }
}

void X11Stream::joinCaptureThread() {
  // Only the one caller that moved the state to stopping or stopped gets here
  // with a running thread; the capture thread never calls it.
  if (!captureThread_.joinable()) {
    return;
  }
  // A thread stuck waiting on a server that stopped answering: the cut makes
  // xcb fail the request and mark the connection broken, and the thread sees
  // the stop. (Without a watchdog thread, the join is unbounded.)
  std::unique_ptr<SocketWatchdog> watchdog =
      SocketWatchdog::start(std::move(xSocket_), SocketWatchdog::Clock::now() + kCaptureStopGrace);
  captureThread_.join();
}

}  // namespace kestrano::x11
