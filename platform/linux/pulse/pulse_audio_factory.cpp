#include "platform/linux/pulse/pulse_audio_factory.h"

#include "platform/linux/pulse/pulse_audio_engine.h"
#include "platform/linux/resample/swr_audio_converter.h"

namespace kestrano {
namespace {

class PulseAudioFactory final : public AudioFactory {
 public:
  explicit PulseAudioFactory(std::shared_ptr<HostClock> clock) : clock_(std::move(clock)) {}

  std::shared_ptr<AudioEngine> makeEngine() override {
    return std::make_shared<PulseAudioEngine>(clock_);
  }
  std::shared_ptr<AudioConverter> makeConverter(const AudioFormat& from,
                                                const AudioFormat& to) override {
    return makeSwrAudioConverter(from, to);
  }

 private:
  const std::shared_ptr<HostClock> clock_;
};

}  // namespace

std::shared_ptr<AudioFactory> makePulseAudioFactory(std::shared_ptr<HostClock> clock) {
  return std::make_shared<PulseAudioFactory>(std::move(clock));
}

}  // namespace kestrano
