#include "platform/linux/pulse/pulse_audio_factory.h"

#include "platform/linux/pulse/pulse_audio_engine.h"
#include "platform/linux/resample/swr_audio_converter.h"

namespace kestrano {
namespace {

class PulseAudioFactory final : public AudioFactory {
 public:
  PulseAudioFactory(std::shared_ptr<HostClock> clock,
                    PulseDefaultDeviceCapture::NoticeHandler notice)
      : clock_(std::move(clock)), notice_(std::move(notice)) {}

  std::shared_ptr<AudioEngine> makeEngine() override {
    return std::make_shared<PulseAudioEngine>(clock_, notice_);
  }
  std::shared_ptr<AudioConverter> makeConverter(const AudioFormat& from,
                                                const AudioFormat& to) override {
    return makeSwrAudioConverter(from, to);
  }

 private:
  const std::shared_ptr<HostClock> clock_;
  const PulseDefaultDeviceCapture::NoticeHandler notice_;
};

}  // namespace

std::shared_ptr<AudioFactory> makePulseAudioFactory(
    std::shared_ptr<HostClock> clock, PulseDefaultDeviceCapture::NoticeHandler notice) {
  return std::make_shared<PulseAudioFactory>(std::move(clock), std::move(notice));
}

}  // namespace kestrano
