#pragma once

#include <memory>
#include <mutex>
#include <optional>

#include "platform/linux/system_audio_source.h"

namespace kestrano::testing {

// A system audio source without a sound server, driven by the test: `emit`
// and `fail` call the handlers the stream gave, as the source's thread would.
class FakeSystemAudioSource final : public SystemAudioSource {
 public:
  struct Control {
    std::mutex mutex;                 // guards everything below
    std::optional<Error> startError;  // start refuses with it
    int starts = 0;
    int stops = 0;
    BufferHandler onBuffer;  // set while started
    FailureHandler onFailure;

    void emit(std::uint32_t frames, MediaTime at) {
      std::lock_guard lock(mutex);
      if (onBuffer) {
        PcmBuffer buffer(AudioFormat::standard(48000, 2), frames);
        buffer.setFrameLength(frames);
        onBuffer(std::move(buffer), at);
      }
    }
    void fail(Error error) {
      std::lock_guard lock(mutex);
      if (onFailure) {
        onFailure(std::move(error));
      }
    }
  };

  explicit FakeSystemAudioSource(std::shared_ptr<Control> control) : control_(std::move(control)) {}

  std::optional<Error> start(double, std::uint32_t, BufferHandler onBuffer,
                             FailureHandler onFailure) override {
    std::lock_guard lock(control_->mutex);
    ++control_->starts;
    if (!control_->startError) {
      control_->onBuffer = std::move(onBuffer);
      control_->onFailure = std::move(onFailure);
    }
    return control_->startError;
  }
  void stop() override {
    std::lock_guard lock(control_->mutex);
    control_->stops += control_->onBuffer ? 1 : 0;
    control_->onBuffer = nullptr;
    control_->onFailure = nullptr;
  }

 private:
  const std::shared_ptr<Control> control_;
};

}  // namespace kestrano::testing
