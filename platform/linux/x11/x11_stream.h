#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/host_clock.h"
#include "platform/linux/system_audio_source.h"
#include "platform/screen_capture.h"
#include "platform/unique_fd.h"

namespace kestrano::x11 {

class ScreenFrameSource;

using SystemAudioSourceFactory = std::function<std::unique_ptr<SystemAudioSource>()>;

// A capture stream of one X11 monitor and, when configured, the system
// audio. A capture thread of its own ticks at the minimum frame interval;
// samples go to the outputs' queues; the stream captures once (start, then
// stop). Make it with std::make_shared: queued deliveries hold it weakly.
//
// addStreamOutput refuses: an expired output, a null queue, a type other
// than screen or audio, a second output of the same type, and any call once
// capture has been started.
class X11Stream final : public Stream, public std::enable_shared_from_this<X11Stream> {
 public:
  X11Stream(const ContentFilter& filter, const StreamConfiguration& configuration,
            std::weak_ptr<StreamDelegate> delegate, std::shared_ptr<HostClock> clock,
            SystemAudioSourceFactory makeSystemAudioSource);
  // Stops capture (threads joined, audio stopped) if it still runs. Samples
  // still queued are then dropped.
  ~X11Stream() override;

  std::optional<Error> addStreamOutput(std::weak_ptr<StreamOutput> output, StreamOutputType type,
                                       std::shared_ptr<SerialQueue> sampleHandlerQueue) override;
  // Fails when there is no output, the configuration is out of range, the X
  // server cannot be reached or the system audio does not start. With system
  // audio, completes (and starts the video) only once the audio has delivered
  // its first buffer, or after a bound if it stays silent, so the recording
  // does not begin with seconds of video over a still-empty audio track.
  void startCapture(ErrorCompletion completion) override;
  // Completes after every sample handed to a queue has been delivered, on one
  // of the output queues. A stream that was never started completes at once
  // with an error; a stream that failed by itself completes without one.
  void stopCapture(ErrorCompletion completion) override;

 private:
  enum class State { idle, starting, running, failed, stopping, stopped };
  struct Output {
    std::weak_ptr<StreamOutput> output;
    std::shared_ptr<SerialQueue> queue;
  };
  // Counts of samples handed to the queues and not yet returned by the
  // handler; shared with the queued tasks, which may outlive the stream.
  struct InFlight {
    std::atomic<std::int64_t> frames{0};
    std::atomic<std::int64_t> audioBuffers{0};
  };

  void captureLoop(std::unique_ptr<ScreenFrameSource> source);
  // Records the first failure of a running capture and wakes the capture
  // thread, which ends capture and tells the delegate. Any thread.
  void fail(Error error);
  void deliver(std::shared_ptr<MediaSample> sample, StreamOutputType type);
  void onAudioBuffer(PcmBuffer buffer, MediaTime presentationTime);
  // Waits, bounded, until the audio source has delivered or capture failed.
  void waitForFirstAudio();
  void stopAudio();
  // The completion, posted behind everything queued on every output queue.
  void completeBehindQueues(ErrorCompletion completion);
  // Any thread but the capture thread: gives the capture thread a moment to
  // end, then cuts its X connection if it has not (the server stalled in the
  // middle of a request), so a stop never hangs.
  void joinCaptureThread();

  const ContentFilter filter_;
  const StreamConfiguration configuration_;
  const std::weak_ptr<StreamDelegate> delegate_;
  const std::shared_ptr<HostClock> clock_;
  const SystemAudioSourceFactory makeSystemAudioSource_;
  const std::shared_ptr<InFlight> inFlight_ = std::make_shared<InFlight>();

  mutable std::mutex mutex_;      // guards state_ and failure_, and outputs_ while idle
  std::condition_variable wake_;  // wakes the capture thread early (stop or failure)
  State state_ = State::idle;
  // By output type. Written under mutex_ only while idle; immutable once
  // capture starts, when the capture and audio threads read it without lock.
  std::optional<Output> outputs_[2];
  std::optional<Error> failure_;
  // Wakes startCapture when the first audio buffer has come (audioFlowing_).
  std::condition_variable audioStarted_;

  // Set (release) while samples may be handed to the queues; the audio
  // thread reads it (acquire) before each buffer.
  std::atomic<bool> accepting_{false};
  // Set (release) by the audio thread at its first buffer, then announced
  // under mutex_; startCapture reads it (acquire) under mutex_.
  std::atomic<bool> audioFlowing_{false};

  std::mutex audioMutex_;  // guards audioSource_; never held while taking mutex_
  std::unique_ptr<SystemAudioSource> audioSource_;

  // A duplicate of the capture connection's socket, for cutting it. Set by
  // startCapture before the capture thread starts; taken by the one caller
  // that joins it.
  UniqueFd xSocket_;

  // Started under mutex_ by startCapture; joined by the one caller that moves
  // the state to stopping or stopped.
  std::thread captureThread_;
};

}  // namespace kestrano::x11
