#include "tests/x11/fake_system_audio_source.h"

#include <chrono>

namespace kestrano::testing {

std::optional<Error> FakeSystemAudioSource::start(double sampleRate, std::uint32_t channelCount,
                                                  BufferHandler onBuffer,
                                                  FailureHandler onFailure) {
  control_->starts++;
  if (control_->startError) {
    return control_->startError;
  }
  control_->startedRate = sampleRate;
  control_->startedChannels = channelCount;
  std::lock_guard lock(threadMutex_);
  thread_ = std::thread(
      [this, sampleRate, channelCount, onBuffer = std::move(onBuffer),
       onFailure = std::move(onFailure)] { run(sampleRate, channelCount, onBuffer, onFailure); });
  return std::nullopt;
}

void FakeSystemAudioSource::stop() {
  stopping_ = true;
  std::lock_guard lock(threadMutex_);
  if (thread_.joinable()) {
    thread_.join();
    control_->stops++;
  }
}

void FakeSystemAudioSource::run(double sampleRate, std::uint32_t channelCount,
                                BufferHandler onBuffer, FailureHandler onFailure) {
  while (!stopping_) {
    if (control_->failNow) {
      onFailure(Error{"FakeAudio", 9, "the sound server went away"});
      return;
    }
    PcmBuffer buffer(AudioFormat::standard(sampleRate, channelCount), kFramesPerBuffer);
    buffer.setFrameLength(kFramesPerBuffer);
    for (std::uint32_t i = 0; i < kFramesPerBuffer; ++i) {
      buffer.data(0)[i] = static_cast<float>(i) / kFramesPerBuffer;
    }
    onBuffer(std::move(buffer), clock_->now());
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace kestrano::testing
