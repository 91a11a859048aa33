#include "platform/linux/wayland/wayland_stream.h"

#include <utility>

#include "platform/linux/capture/capture_stream.h"
#include "platform/linux/wayland/wayland_errors.h"
#include "platform/linux/wayland/wayland_frame_source.h"

namespace kestrano::wayland {
namespace {

// The stop joins the capture thread plainly (the source's default): that
// thread never waits on the compositor, and its PipeWire thread only on
// short locks.
class WaylandBackend final : public CaptureBackend {
 public:
  explicit WaylandBackend(std::unique_ptr<PortalSession> session) : session_(std::move(session)) {}

  Error error(CaptureErrorCode code, std::string description) const override {
    return waylandError(code, std::move(description));
  }

  std::optional<Error> refuseStart() const override {
    if (!session_) {
      return waylandError(CaptureErrorCode::cannotConnect,
                          "no screen-cast session: the displays were not listed first");
    }
    return std::nullopt;
  }

  std::unique_ptr<FrameSource> openSource(const StreamConfiguration& configuration,
                                          std::shared_ptr<HostClock> clock,
                                          std::function<void(Error)> fail,
                                          std::optional<Error>& error) override {
    return WaylandFrameSource::create(session_->stream(), configuration, std::move(clock),
                                      std::move(fail), error);
  }

  // The portal closes the session when the compositor or the user ends it.
  std::optional<Error> checkTick() override { return session_->checkOpen(); }

 private:
  // Used by the starter, then only by the capture thread (handed over with
  // its start), then by the destructor once that thread is joined.
  const std::unique_ptr<PortalSession> session_;
};

}  // namespace

std::shared_ptr<Stream> makeWaylandStream(std::unique_ptr<PortalSession> session,
                                          const StreamConfiguration& configuration,
                                          std::weak_ptr<StreamDelegate> delegate,
                                          std::shared_ptr<HostClock> clock,
                                          SystemAudioSourceFactory makeSystemAudioSource) {
  return std::make_shared<CaptureStream>(std::make_unique<WaylandBackend>(std::move(session)),
                                         configuration, std::move(delegate), std::move(clock),
                                         std::move(makeSystemAudioSource));
}

}  // namespace kestrano::wayland
