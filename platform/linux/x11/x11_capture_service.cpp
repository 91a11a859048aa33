#include "platform/linux/x11/x11_capture_service.h"

#include "platform/linux/x11/monitor_list.h"
#include "platform/linux/x11/x11_stream.h"
#include "platform/linux/x11/x_connection.h"

namespace kestrano {
namespace {

class X11CaptureService final : public ScreenCaptureService {
 public:
  X11CaptureService(std::shared_ptr<HostClock> clock, SystemAudioSourceFactory makeAudio)
      : clock_(std::move(clock)), makeAudio_(std::move(makeAudio)) {}

  // Asks the server synchronously: the completion runs before this returns.
  void getShareableContent(ContentCompletion completion) override {
    std::optional<Error> error;
    std::unique_ptr<x11::XConnection> x = x11::XConnection::create(error);
    if (!x) {
      completion(std::nullopt, std::move(error));
      return;
    }
    std::optional<std::vector<Display>> displays = x11::listMonitors(*x, error);
    x.reset();
    if (!displays) {
      completion(std::nullopt, std::move(error));
      return;
    }
    completion(ShareableContent{std::move(*displays)}, std::nullopt);
  }

  std::shared_ptr<Stream> makeStream(const ContentFilter& filter,
                                     const StreamConfiguration& configuration,
                                     std::weak_ptr<StreamDelegate> delegate) override {
    return x11::makeX11Stream(filter, configuration, std::move(delegate), clock_, makeAudio_);
  }

 private:
  const std::shared_ptr<HostClock> clock_;
  const SystemAudioSourceFactory makeAudio_;
};

}  // namespace

std::shared_ptr<ScreenCaptureService> makeX11CaptureService(
    std::shared_ptr<HostClock> clock,
    std::function<std::unique_ptr<SystemAudioSource>()> makeSystemAudioSource) {
  return std::make_shared<X11CaptureService>(std::move(clock), std::move(makeSystemAudioSource));
}

}  // namespace kestrano
