#include "platform/linux/pulse/pulse_system_audio_source.h"

#include <cstring>

namespace kestrano {

PulseSystemAudioSource::PulseSystemAudioSource(std::shared_ptr<HostClock> clock,
                                               PulseDefaultDeviceCapture::NoticeHandler notice)
    : clock_(std::move(clock)), notice_(std::move(notice)) {}

PulseSystemAudioSource::~PulseSystemAudioSource() {
  stop();
}

std::optional<Error> PulseSystemAudioSource::start(double sampleRate, std::uint32_t channelCount,
                                                   BufferHandler onBuffer, FailureHandler) {
  MutexLock lock(mutex_);
  if (capture_) {
    return pulseError(PulseErrorCode::alreadyStarted, "system audio is already being captured");
  }
  if (!isSupportedAudioLayout(sampleRate, channelCount)) {
    return pulseError(PulseErrorCode::unsupportedLayout,
                      "cannot capture system audio at " + std::to_string(sampleRate) + " Hz with " +
                          std::to_string(channelCount) + " channels");
  }
  const auto rate = static_cast<std::uint32_t>(sampleRate);
  const AudioFormat format(rate, channelCount, true);
  std::optional<Error> error;
  // A monitor has data at once; nothing to wait for.
  capture_ = PulseDefaultDeviceCapture::start(
      {DefaultDevice::outputMonitor, rate, channelCount, "system audio"}, clock_,
      [format, handler = std::move(onBuffer)](const float* data, std::uint32_t frames,
                                              MediaTime time) {
        if (!handler) {
          return;
        }
        PcmBuffer buffer(format, frames);
        std::memcpy(buffer.data(0), data, sizeof(float) * frames * format.channelCount());
        buffer.setFrameLength(frames);
        handler(std::move(buffer), time);
      },
      notice_, std::chrono::milliseconds(0), error);
  return error;
}

void PulseSystemAudioSource::stop() {
  MutexLock lock(mutex_);
  capture_.reset();  // joins its threads: no handler runs after this
}

}  // namespace kestrano
