#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/mutex.h"
#include "platform/platform.h"
#include "recorder/completion_wait.h"
#include "recorder/level_meter.h"
#include "recorder/pause_timeline.h"
#include "recorder/recording_control.h"

namespace kestrano {

// How long the start waits for each platform completion before it fails.
// Both bounds sit well above what a working machine takes (a local X server
// lists its monitors in milliseconds; the capture start opens the screen and
// waits at most 2 s for the system audio's first buffer) and above the
// backend's own bounds, so that its more precise errors come first when they
// apply; yet short enough that a host's user sees an error before giving up.
// A listing that waits for the user's consent has no deadline.
inline constexpr std::chrono::seconds kShareableContentDeadline{10};
inline constexpr std::chrono::seconds kCaptureStartDeadline{10};

struct StartDeadlines {
  std::chrono::milliseconds shareableContent = kShareableContentDeadline;
  std::chrono::milliseconds captureStart = kCaptureStartDeadline;
};

// The recording engine: owns the capture stream, the file writer with its
// three inputs, the microphone engine, the session flag and the serial sample
// queue. Create it with std::make_shared: the microphone tap and the stream
// reach it through weak references.
class Recorder final : public RecordingControl,
                       public StreamOutput,
                       public StreamDelegate,
                       public std::enable_shared_from_this<Recorder> {
 public:
  explicit Recorder(Platform platform, StartDeadlines deadlines = {});
  ~Recorder() override;

  std::optional<Error> start(const std::string& path) override;
  std::int64_t stop() override;
  void cancelStart() override { startCancellation_.cancel(); }
  RecordingStatus status() override;
  std::optional<Error> pause() override;
  std::optional<Error> resume() override;
  std::optional<Error> mark(const std::string& title) override;

  void streamDidOutputSampleBuffer(Stream& stream, std::shared_ptr<MediaSample> sample,
                                   StreamOutputType type) override;
  void streamDidStopWithError(Stream& stream, const Error& error) override;

 private:
  struct MicrophoneTap;  // what the tap block captures
  void handleMicrophoneBuffer(const MicrophoneTap& tap, const PcmBuffer& buffer,
                              const AudioTime& when);
  bool recording() const;
  // A sample as the file's timeline takes it: retimed past the pauses before
  // it, sound cut where a pause begins or ends, or nothing when it lies in a
  // pause. `shift` says how far it moved.
  std::shared_ptr<MediaSample> cutPauses(std::shared_ptr<MediaSample> sample, bool instant,
                                         std::int64_t& shift) EXCLUDES(controlsMutex_);

  const Platform platform_;  // immutable
  const StartDeadlines deadlines_;
  // Watched by every wait of start(); cancelStart() may come from any thread.
  WaitCancellation startCancellation_;

  // Written only by start() and stop() on the control thread (the thread
  // that runs the command: the loop runs one at a time and joins each before
  // the next, which orders one's writes before the next's reads). start() stores
  // the writer and inputs before the stream or the engine exists, and nothing
  // changes them afterwards, so the producers (sample queue, tap thread) only
  // read them; handing work to those threads orders the stores before the
  // reads. stream_ and audioEngine_ are touched by the control thread alone.
  std::shared_ptr<Stream> stream_;
  std::shared_ptr<AssetWriter> assetWriter_;
  std::shared_ptr<AssetWriterInput> videoInput_;
  std::shared_ptr<AssetWriterInput> systemAudioInput_;
  std::shared_ptr<AssetWriterInput> micInput_;
  std::shared_ptr<AssetWriterInput> chapterInput_;
  std::shared_ptr<AudioEngine> audioEngine_;
  // Set (release) only after the writer's session has started, and after
  // sessionStartNs_ (its time on the file's clock, relaxed); the microphone
  // path and status() read it with acquire ordering.
  std::atomic<bool> sessionStarted_{false};
  std::atomic<std::int64_t> sessionStartNs_{0};

  // The pauses: changed by pause() and resume() on the control thread, read
  // for every sample on the sample queue and the tap thread.
  mutable Mutex controlsMutex_;
  PauseTimeline timeline_ GUARDED_BY(controlsMutex_);
  // How far the last picture handed to the writer was moved: a picture moved
  // further follows a pause and must be a key frame. Sample queue only.
  std::int64_t lastPictureShift_ = 0;
  // Each sound source's level as it comes in, also while paused.
  LevelMeter systemAudioLevel_;
  LevelMeter microphoneLevel_;
  const std::shared_ptr<SerialQueue> queue_;
};

}  // namespace kestrano
