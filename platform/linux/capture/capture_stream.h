#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "platform/host_clock.h"
#include "platform/linux/capture/capture_errors.h"
#include "platform/linux/capture/frame_ticker.h"
#include "platform/linux/capture/output_registry.h"
#include "platform/linux/capture/sample_delivery.h"
#include "platform/linux/capture/system_audio_feed.h"
#include "platform/media_sample.h"
#include "platform/mutex.h"
#include "platform/screen_capture.h"

namespace kestrano {

// Joins a capture thread at stop; any thread but that one.
class CaptureThreadJoiner {
 public:
  virtual ~CaptureThreadJoiner() = default;
  virtual void join(std::thread thread) = 0;
};

// A backend's screen samples, ticked by the capture thread only.
class FrameSource {
 public:
  virtual ~FrameSource() = default;

  // When `mayDeliver`, the sample due (or nothing), spaced and stamped as
  // `pace` says. An error when capture cannot go on.
  virtual std::shared_ptr<MediaSample> tick(bool mayDeliver, FrameTicker& pace,
                                            std::optional<Error>& error) = 0;

  // Asked once by the starter, before the capture thread runs, for how a stop
  // ends that thread. Null, without `error`, when a plain join is bounded;
  // with `error`, the start gives up.
  virtual std::unique_ptr<CaptureThreadJoiner> watchForStop(std::optional<Error>& error) {
    (void)error;
    return nullptr;
  }
};

// What a backend adds to the shared capture stream. Called by the starter
// and the capture thread, never both at once: the thread starts after the
// start's last call.
class CaptureBackend {
 public:
  virtual ~CaptureBackend() = default;

  // Each backend reports in its own error domain.
  virtual Error error(CaptureErrorCode code, std::string description) const = 0;
  // Why the start cannot go on, asked after the stream's own checks.
  virtual std::optional<Error> refuseStart() const { return std::nullopt; }
  // Nothing, with `error` set, when the frames cannot be had. `fail` ends
  // capture from any thread.
  virtual std::unique_ptr<FrameSource> openSource(const StreamConfiguration& configuration,
                                                  std::shared_ptr<HostClock> clock,
                                                  std::function<void(Error)> fail,
                                                  std::optional<Error>& error) = 0;
  // Asked by the capture thread before each tick; an error ends capture.
  virtual std::optional<Error> checkTick() { return std::nullopt; }
};

// A capture stream of one screen and, when configured, the system audio. A
// capture thread of its own ticks at the minimum frame interval; samples go
// to the outputs' queues; the stream captures once (start, then stop). Make
// it with std::make_shared: queued deliveries hold it weakly.
class CaptureStream final : public Stream, public std::enable_shared_from_this<CaptureStream> {
 public:
  CaptureStream(std::unique_ptr<CaptureBackend> backend, const StreamConfiguration& configuration,
                std::weak_ptr<StreamDelegate> delegate, std::shared_ptr<HostClock> clock,
                SystemAudioSourceFactory makeSystemAudioSource);
  // Stops capture as stopCapture does, if it still runs, then lets the
  // backend go. Samples still queued are then dropped.
  ~CaptureStream() override;

  // Refuses as OutputRegistry::add does.
  std::optional<Error> addStreamOutput(std::weak_ptr<StreamOutput> output, StreamOutputType type,
                                       std::shared_ptr<SerialQueue> sampleHandlerQueue) override
      EXCLUDES(mutex_);
  // Fails when there is no output, the configuration is out of range, the
  // backend refuses or cannot open its frames, or the system audio does not
  // start. With system audio, completes (and starts the video) only once the
  // audio has delivered its first buffer, or after a bound if it stays silent.
  void startCapture(ErrorCompletion completion) override EXCLUDES(mutex_);
  // Completes after every sample handed to a queue has been delivered, on one
  // of the output queues. A stream that was never started completes at once
  // with an error; a stream that failed by itself completes without one.
  void stopCapture(ErrorCompletion completion) override EXCLUDES(mutex_);

 private:
  enum class State { idle, starting, running, failed, stopping, stopped };

  // The one way capture ends on request: from running or failed, the
  // capture thread joined and the audio stopped, so nothing reaches a queue
  // after it returns. Why not, when there is nothing to stop.
  std::optional<Error> stop() EXCLUDES(mutex_);
  // Undoes a start that cannot complete.
  void abandonStart() EXCLUDES(mutex_);
  void captureLoop(std::unique_ptr<FrameSource> source, std::shared_ptr<SampleDelivery> delivery)
      EXCLUDES(mutex_);
  // Records the first failure of a starting or running capture and wakes
  // the capture thread, which ends capture and tells the delegate. Any
  // thread.
  void fail(Error error) EXCLUDES(mutex_);
  // The pieces both backends share report in the capture's first domain; a
  // host reads each error in the backend's own.
  Error own(Error error) const;

  const StreamConfiguration configuration_;
  const std::weak_ptr<StreamDelegate> delegate_;
  const std::shared_ptr<HostClock> clock_;
  // Outlives the capture thread: the destructor stops capture first.
  const std::unique_ptr<CaptureBackend> backend_;
  SystemAudioFeed audio_;

  Mutex mutex_;
  std::condition_variable wake_;  // wakes the capture thread early (stop or failure)
  State state_ GUARDED_BY(mutex_) = State::idle;
  std::optional<Error> failure_ GUARDED_BY(mutex_);
  OutputRegistry outputs_ GUARDED_BY(mutex_);
  // Made by a start that gets past its checks.
  std::shared_ptr<SampleDelivery> delivery_ GUARDED_BY(mutex_);
  // Started by startCapture; taken and joined by the one caller that moves
  // the state to stopping.
  std::thread captureThread_ GUARDED_BY(mutex_);
  // How that thread is joined; null: a plain join. Taken with the thread.
  std::unique_ptr<CaptureThreadJoiner> joiner_ GUARDED_BY(mutex_);
};

}  // namespace kestrano
