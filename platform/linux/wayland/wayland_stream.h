#pragma once

#include <condition_variable>
#include <memory>
#include <optional>
#include <thread>

#include "platform/host_clock.h"
#include "platform/linux/capture/output_registry.h"
#include "platform/linux/capture/sample_delivery.h"
#include "platform/linux/capture/system_audio_feed.h"
#include "platform/linux/wayland/portal_session.h"
#include "platform/mutex.h"
#include "platform/screen_capture.h"

namespace kestrano::wayland {

class WaylandFrameSource;

// A capture stream of the monitor a portal session hands over and, when
// configured, the system audio. A capture thread of its own ticks at the
// minimum frame interval and watches the portal session; samples go to the
// outputs' queues; the stream captures once (start, then stop). Make it
// with std::make_shared: queued deliveries hold it weakly.
class WaylandStream final : public Stream, public std::enable_shared_from_this<WaylandStream> {
 public:
  // `session`: the portal session the content was listed from; null when
  // there was none, and then the start fails.
  WaylandStream(std::unique_ptr<PortalSession> session, const StreamConfiguration& configuration,
                std::weak_ptr<StreamDelegate> delegate, std::shared_ptr<HostClock> clock,
                SystemAudioSourceFactory makeSystemAudioSource);
  // Stops capture as stopCapture does, if it still runs, and closes the
  // portal session.
  ~WaylandStream() override;

  // Refuses as OutputRegistry::add does.
  std::optional<Error> addStreamOutput(std::weak_ptr<StreamOutput> output, StreamOutputType type,
                                       std::shared_ptr<SerialQueue> sampleHandlerQueue) override
      EXCLUDES(mutex_);
  // Fails when there is no output or portal session, the configuration is
  // out of range, PipeWire refuses the stream or the system audio does not
  // start. With system audio, completes once it has delivered its first
  // buffer, or after a bound.
  void startCapture(ErrorCompletion completion) override EXCLUDES(mutex_);
  // Completes after every sample handed to a queue has been delivered. A
  // stream never started completes at once with an error; one that failed
  // by itself (session closed, PipeWire stream lost) completes without one.
  void stopCapture(ErrorCompletion completion) override EXCLUDES(mutex_);

 private:
  enum class State { idle, starting, running, failed, stopping, stopped };

  std::optional<Error> stop() EXCLUDES(mutex_);
  void abandonStart() EXCLUDES(mutex_);
  void captureLoop(std::unique_ptr<WaylandFrameSource> source,
                   std::shared_ptr<SampleDelivery> delivery) EXCLUDES(mutex_);
  // Records the first failure of a starting or running capture and wakes
  // the capture thread, which ends capture and tells the delegate. Any
  // thread.
  void fail(Error error) EXCLUDES(mutex_);

  const StreamConfiguration configuration_;
  const std::weak_ptr<StreamDelegate> delegate_;
  const std::shared_ptr<HostClock> clock_;
  // Used by the starter, then only by the capture thread (handed over with
  // its start), then by the destructor once that thread is joined.
  const std::unique_ptr<PortalSession> session_;
  SystemAudioFeed audio_;

  Mutex mutex_;
  std::condition_variable wake_;  // wakes the capture thread early (stop or failure)
  State state_ GUARDED_BY(mutex_) = State::idle;
  std::optional<Error> failure_ GUARDED_BY(mutex_);
  OutputRegistry outputs_ GUARDED_BY(mutex_);
  std::shared_ptr<SampleDelivery> delivery_ GUARDED_BY(mutex_);
  // Taken and joined by the one caller that moves the state to stopping.
  std::thread captureThread_ GUARDED_BY(mutex_);
};

}  // namespace kestrano::wayland
