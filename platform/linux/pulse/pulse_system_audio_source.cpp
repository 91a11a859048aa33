#include "platform/linux/pulse/pulse_system_audio_source.h"

#include <cstring>

namespace kestrano {

PulseSystemAudioSource::PulseSystemAudioSource(std::shared_ptr<HostClock> clock)
    : clock_(std::move(clock)) {}

PulseSystemAudioSource::~PulseSystemAudioSource() {
  stop();
}

std::optional<Error> PulseSystemAudioSource::start(double sampleRate, std::uint32_t channelCount,
                                                   BufferHandler onBuffer,
                                                   FailureHandler onFailure) {
  MutexLock lock(mutex_);
  if (client_) {
    return pulseError(PulseErrorCode::alreadyStarted, "system audio is already being captured");
  }
  if (!isSupportedAudioLayout(sampleRate, channelCount)) {
    return pulseError(PulseErrorCode::unsupportedLayout,
                      "cannot capture system audio at " + std::to_string(sampleRate) + " Hz with " +
                          std::to_string(channelCount) + " channels");
  }
  onFailure_ = std::move(onFailure);
  // Runs on the mainloop thread with its lock held; both the connection and
  // the stream route through here, only the first report goes out.
  auto fail = [this](const Error& e) {
    if (onFailure_) {
      auto handler = std::move(onFailure_);
      onFailure_ = nullptr;
      handler(e);
    }
  };
  std::optional<Error> error;
  client_ = PulseClient::create("system audio", fail, error);
  if (!client_) {
    return error;
  }
  const auto rate = static_cast<std::uint32_t>(sampleRate);
  const AudioFormat format(rate, channelCount, true);
  PulseRecordStream::Options options{"@DEFAULT_MONITOR@", rate, channelCount};
  stream_ = PulseRecordStream::create(
      *client_, options, clock_,
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
      fail, error);
  if (!stream_) {
    client_.reset();
    onFailure_ = nullptr;
    return error;
  }
  std::uint32_t index = 0;
  {
    PulseClient::Lock lock(*client_);
    index = stream_->index();
  }
  follower_ = std::make_unique<PulseDefaultMonitorFollower>(*client_, index);
  return std::nullopt;
}

void PulseSystemAudioSource::stop() {
  MutexLock lock(mutex_);
  if (!client_) {
    return;
  }
  // The thread goes first: after this no handler runs.
  client_->stop();
  stream_.reset();
  client_.reset();
  follower_.reset();
  onFailure_ = nullptr;
}

}  // namespace kestrano
