#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/host_clock.h"
#include "platform/linux/system_audio_source.h"

namespace kestrano::testing {

// What a test sets up and watches of the fake sources it hands out.
struct FakeAudioControl {
  std::optional<Error> startError;  // set before start: start refuses with it
  std::atomic<int> starts{0};
  std::atomic<int> stops{0};
  std::atomic<bool> failNow{false};  // the source then reports a failure once
  double startedRate = 0;
  std::uint32_t startedChannels = 0;
};

// A system audio source without a sound server: 10 ms buffers of a ramp,
// stamped on the clock, from a thread of its own.
class FakeSystemAudioSource final : public SystemAudioSource {
 public:
  static constexpr std::uint32_t kFramesPerBuffer = 480;

  FakeSystemAudioSource(std::shared_ptr<FakeAudioControl> control, std::shared_ptr<HostClock> clock)
      : control_(std::move(control)), clock_(std::move(clock)) {}
  ~FakeSystemAudioSource() override { stop(); }

  std::optional<Error> start(double sampleRate, std::uint32_t channelCount, BufferHandler onBuffer,
                             FailureHandler onFailure) override;
  void stop() override;

 private:
  void run(double sampleRate, std::uint32_t channelCount, BufferHandler onBuffer,
           FailureHandler onFailure);

  const std::shared_ptr<FakeAudioControl> control_;
  const std::shared_ptr<HostClock> clock_;
  std::atomic<bool> stopping_{false};
  std::mutex threadMutex_;  // guards thread_
  std::thread thread_;
};

}  // namespace kestrano::testing
