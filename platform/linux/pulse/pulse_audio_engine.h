#pragma once

#include <memory>
#include <mutex>
#include <optional>

#include "platform/audio_engine.h"
#include "platform/host_clock.h"
#include "platform/linux/pulse/pulse_client.h"
#include "platform/linux/pulse/pulse_record_stream.h"

namespace kestrano {

// The default source of the sound server (the microphone). Its tap gets
// buffers of exactly the tap's size, non-interleaved, on the engine's
// mainloop thread.
class PulseInputNode final : public AudioInputNode {
 public:
  explicit PulseInputNode(std::shared_ptr<HostClock> clock) : clock_(std::move(clock)) {}

  AudioFormat outputFormatForBus(int bus) override;
  void installTapOnBus(int bus, std::uint32_t bufferSize, const AudioFormat& format,
                       TapBlock block) override;
  void removeTapOnBus(int bus) override;

  // The tap's format, when a tap is installed.
  std::optional<AudioFormat> tapFormat();
  // From the record stream (mainloop thread): cuts interleaved audio in the
  // stream's format into tap buffers.
  void deliver(const float* interleaved, std::uint32_t frames, std::uint32_t channels, double rate,
               MediaTime firstFrame);
  // Forgets a half-filled buffer (the stream restarts).
  void resetPending();

 private:
  const std::shared_ptr<HostClock> clock_;
  // Guards everything below. deliver() holds it while the block runs, so
  // removeTapOnBus() returns only once a running call has finished.
  std::mutex tapMutex_;
  TapBlock block_;
  std::uint32_t bufferSize_ = 0;
  AudioFormat format_;
  std::optional<PcmBuffer> pending_;  // the tap buffer being filled
  MediaTime pendingTime_;             // host time of its first frame
  std::int64_t sampleTime_ = 0;       // frames delivered since the tap went in
};

// An AudioEngine on PulseAudio: one connection and one record stream on the
// default source while it runs.
class PulseAudioEngine final : public AudioEngine {
 public:
  explicit PulseAudioEngine(std::shared_ptr<HostClock> clock);
  ~PulseAudioEngine() override;

  std::shared_ptr<AudioInputNode> inputNode() override { return node_; }
  std::optional<Error> startAndReturnError() override;
  void stop() override;

 private:
  const std::shared_ptr<HostClock> clock_;
  const std::shared_ptr<PulseInputNode> node_;
  std::mutex mutex_;  // guards client_ and stream_ (start and stop from any thread)
  std::unique_ptr<PulseClient> client_;
  std::unique_ptr<PulseRecordStream> stream_;
};

}  // namespace kestrano
