#pragma once

#include <memory>
#include <optional>

#include "platform/audio_engine.h"
#include "platform/host_clock.h"
#include "platform/linux/pulse/pulse_client.h"
#include "platform/linux/pulse/pulse_record_stream.h"
#include "platform/mutex.h"

namespace kestrano {

// The default source of the sound server (the microphone). Its tap gets
// buffers of exactly the tap's size, non-interleaved, on the engine's
// mainloop thread. The recorder stamps microphone buffers itself, so the tap
// gets no capture time (an empty AudioTime).
class PulseInputNode final : public AudioInputNode {
 public:
  AudioFormat outputFormatForBus(int bus) override;
  void installTapOnBus(int bus, std::uint32_t bufferSize, const AudioFormat& format,
                       TapBlock block) override;
  void removeTapOnBus(int bus) override;

  // The tap's format, when a tap is installed.
  std::optional<AudioFormat> tapFormat();
  // From the record stream (mainloop thread): cuts interleaved audio in the
  // stream's format into tap buffers.
  void deliver(const float* interleaved, std::uint32_t frames, std::uint32_t channels, double rate);
  // Forgets a half-filled buffer (the stream restarts).
  void resetPending();

 private:
  // deliver() holds it while the block runs, so removeTapOnBus() returns only
  // once a running call has finished.
  Mutex tapMutex_;
  TapBlock block_ GUARDED_BY(tapMutex_);
  std::uint32_t bufferSize_ GUARDED_BY(tapMutex_) = 0;
  AudioFormat format_ GUARDED_BY(tapMutex_);
  std::optional<PcmBuffer> pending_ GUARDED_BY(tapMutex_);  // the tap buffer being filled
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
  Mutex mutex_;  // start and stop may come from any thread
  std::unique_ptr<PulseClient> client_ GUARDED_BY(mutex_);
  std::unique_ptr<PulseRecordStream> stream_ GUARDED_BY(mutex_);
};

}  // namespace kestrano
