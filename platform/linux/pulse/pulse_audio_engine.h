#pragma once

#include <memory>
#include <optional>

#include "platform/audio_engine.h"
#include "platform/host_clock.h"
#include "platform/linux/pulse/pulse_default_device_capture.h"
#include "platform/mutex.h"

namespace kestrano {

// The default source of the sound server (the microphone). Its tap gets
// buffers of exactly the tap's size, non-interleaved, on the engine's
// mainloop thread, each with the host-clock time its first frame was
// captured (AudioTime::hostTime). On a machine without a
// microphone its format is the microphone track's own, and the tap gets
// nothing until one appears.
class PulseInputNode final : public AudioInputNode {
 public:
  AudioFormat outputFormatForBus(int bus) override;
  void installTapOnBus(int bus, std::uint32_t bufferSize, const AudioFormat& format,
                       TapBlock block) override;
  void removeTapOnBus(int bus) override;

  // The tap's format, when a tap is installed.
  std::optional<AudioFormat> tapFormat();
  // From the record stream (mainloop thread): cuts interleaved audio in the
  // stream's format, its first frame captured at `firstFrame`, into tap buffers.
  void deliver(const float* interleaved, std::uint32_t frames, std::uint32_t channels, double rate,
               MediaTime firstFrame);
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
  MediaTime pendingStart_ GUARDED_BY(tapMutex_);            // when its first frame was captured
};

// An AudioEngine on a PulseAudio-protocol server: while it runs, a record
// stream on whatever source is the default, through device changes and
// server restarts. `notice` gets a line when there is no microphone, or no
// server, and when it is back.
class PulseAudioEngine final : public AudioEngine {
 public:
  PulseAudioEngine(std::shared_ptr<HostClock> clock,
                   PulseDefaultDeviceCapture::NoticeHandler notice);
  ~PulseAudioEngine() override;

  std::shared_ptr<AudioInputNode> inputNode() override { return node_; }
  std::optional<Error> startAndReturnError() override;
  void stop() override;

 private:
  const std::shared_ptr<HostClock> clock_;
  const PulseDefaultDeviceCapture::NoticeHandler notice_;
  const std::shared_ptr<PulseInputNode> node_;
  Mutex mutex_;  // start and stop may come from any thread
  std::unique_ptr<PulseDefaultDeviceCapture> capture_ GUARDED_BY(mutex_);
};

}  // namespace kestrano
