#pragma once

#include <memory>

#include "platform/host_clock.h"
#include "platform/linux/pulse/pulse_default_device_capture.h"
#include "platform/linux/system_audio_source.h"
#include "platform/mutex.h"

namespace kestrano {

// System audio from a PulseAudio-protocol server (PulseAudio, or PipeWire's
// pipewire-pulse): the monitor of whatever sink is the default, delivering
// the stream's interleaved 32-bit float chunks on the connection's mainloop
// thread. It follows the default output and outlives the server's restarts,
// so it never fails once started; `notice` gets a line when the sound is
// missing and when it is back.
class PulseSystemAudioSource final : public SystemAudioSource {
 public:
  PulseSystemAudioSource(std::shared_ptr<HostClock> clock,
                         PulseDefaultDeviceCapture::NoticeHandler notice);
  ~PulseSystemAudioSource() override;

  std::optional<Error> start(double sampleRate, std::uint32_t channelCount, BufferHandler onBuffer,
                             FailureHandler onFailure) override;
  void stop() override;

 private:
  const std::shared_ptr<HostClock> clock_;
  const PulseDefaultDeviceCapture::NoticeHandler notice_;
  Mutex mutex_;  // start and stop may race from any thread
  std::unique_ptr<PulseDefaultDeviceCapture> capture_ GUARDED_BY(mutex_);
};

}  // namespace kestrano
