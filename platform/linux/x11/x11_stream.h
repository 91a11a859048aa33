#pragma once

#include <condition_variable>
#include <memory>
#include <optional>
#include <thread>

#include "platform/host_clock.h"
#include "platform/linux/capture/output_registry.h"
#include "platform/linux/capture/sample_delivery.h"
#include "platform/linux/capture/system_audio_feed.h"
#include "platform/mutex.h"
#include "platform/screen_capture.h"
#include "platform/unique_fd.h"

namespace kestrano::x11 {

class ScreenFrameSource;

// A capture stream of one X11 monitor and, when configured, the system
// audio. A capture thread of its own ticks at the minimum frame interval;
// samples go to the outputs' queues; the stream captures once (start, then
// stop). Make it with std::make_shared: queued deliveries hold it weakly.
class X11Stream final : public Stream, public std::enable_shared_from_this<X11Stream> {
 public:
  X11Stream(const ContentFilter& filter, const StreamConfiguration& configuration,
            std::weak_ptr<StreamDelegate> delegate, std::shared_ptr<HostClock> clock,
            SystemAudioSourceFactory makeSystemAudioSource);
  // Stops capture as stopCapture does, if it still runs. Samples still
  // queued are then dropped.
  ~X11Stream() override;

  // Refuses as OutputRegistry::add does.
  std::optional<Error> addStreamOutput(std::weak_ptr<StreamOutput> output, StreamOutputType type,
                                       std::shared_ptr<SerialQueue> sampleHandlerQueue) override
      EXCLUDES(mutex_);
  // Fails when there is no output, the configuration is out of range, the X
  // server cannot be reached or the system audio does not start. With system
  // audio, completes (and starts the video) only once the audio has delivered
  // its first buffer, or after a bound if it stays silent.
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
  void captureLoop(std::unique_ptr<ScreenFrameSource> source,
                   std::shared_ptr<SampleDelivery> delivery) EXCLUDES(mutex_);
  // Records the first failure of a starting or running capture and wakes
  // the capture thread, which ends capture and tells the delegate. Any
  // thread.
  void fail(Error error) EXCLUDES(mutex_);

  const ContentFilter filter_;
  const StreamConfiguration configuration_;
  const std::weak_ptr<StreamDelegate> delegate_;
  const std::shared_ptr<HostClock> clock_;
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
  // A duplicate of the capture connection's socket, for cutting it when the
  // capture thread does not end; taken with the thread.
  UniqueFd xSocket_ GUARDED_BY(mutex_);
};

}  // namespace kestrano::x11
