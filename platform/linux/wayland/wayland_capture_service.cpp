#include "platform/linux/wayland/wayland_capture_service.h"

#include <sys/eventfd.h>

#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/linux/wayland/portal_session.h"
#include "platform/linux/wayland/restore_token_store.h"
#include "platform/linux/wayland/wayland_errors.h"
#include "platform/linux/wayland/wayland_stream.h"
#include "platform/mutex.h"
#include "platform/unique_fd.h"

namespace kestrano {
namespace {

using wayland::PortalSession;
using wayland::waylandError;

class WaylandCaptureService final : public ScreenCaptureService {
 public:
  WaylandCaptureService(std::shared_ptr<HostClock> clock, SystemAudioSourceFactory makeAudio)
      : clock_(std::move(clock)),
        makeAudio_(std::move(makeAudio)),
        cancel_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

  // Ends a wait at the picker, then joins the portal thread.
  ~WaylandCaptureService() override {
    if (cancel_.get() >= 0) {
      ::eventfd_write(cancel_.get(), 1);
    }
    std::thread portal;
    {
      MutexLock lock(mutex_);
      portal = std::move(portalThread_);
    }
    if (portal.joinable()) {
      portal.join();
    }
  }

  // The portal may wait on the user, so the session starts on a thread of
  // the service's own and the completion runs there.
  void getShareableContent(ContentCompletion completion) override {
    std::thread finished;
    {
      MutexLock lock(mutex_);
      if (!listing_) {
        finished = std::move(portalThread_);
      }
    }
    // Past its last use of the lock; only its completion may still run.
    if (finished.joinable()) {
      finished.join();
    }
    std::optional<Error> refused;
    {
      MutexLock lock(mutex_);
      if (listing_ || portalThread_.joinable()) {
        refused =
            waylandError(CaptureErrorCode::wrongState, "the displays are already being listed");
      } else {
        try {
          portalThread_ = std::thread([this, completion] { list(completion); });
          listing_ = true;
        } catch (const std::system_error& e) {
          refused = waylandError(CaptureErrorCode::threadStartFailed,
                                 std::string("the portal thread cannot start: ") + e.what());
        }
      }
    }
    if (refused) {
      completion(std::nullopt, std::move(refused));
    }
  }

  // The portal shows the user a picker unless a kept token is honoured.
  bool listingWaitsForUser() const override { return true; }

  std::shared_ptr<Stream> makeStream(const ContentFilter&, const StreamConfiguration& configuration,
                                     std::weak_ptr<StreamDelegate> delegate) override {
    std::unique_ptr<PortalSession> session;
    {
      MutexLock lock(mutex_);
      session = std::move(session_);
    }
    return wayland::makeWaylandStream(std::move(session), configuration, std::move(delegate),
                                      clock_, makeAudio_);
  }

 private:
  void list(const ContentCompletion& completion) EXCLUDES(mutex_) {
    std::optional<Error> error;
    std::unique_ptr<PortalSession> session =
        PortalSession::start(wayland::RestoreTokenStore::forEnvironment(), cancel_.get(), error);
    if (!session) {
      completion(std::nullopt, std::move(error));
      return;
    }
    const wayland::PortalStream& s = session->stream();
    if (s.width <= 0 || s.height <= 0) {
      completion(std::nullopt, waylandError(CaptureErrorCode::unsupportedScreen,
                                            "the portal did not give the monitor's size"));
      return;
    }
    Display display;
    display.displayID = s.nodeId;
    display.width = s.width;
    display.height = s.height;
    {
      MutexLock lock(mutex_);
      session_ = std::move(session);
    }
    completion(ShareableContent{{display}}, std::nullopt);
  }

  const std::shared_ptr<HostClock> clock_;
  const SystemAudioSourceFactory makeAudio_;
  const UniqueFd cancel_;  // readable: the service is going, stop waiting at the portal

  Mutex mutex_;
  std::thread portalThread_ GUARDED_BY(mutex_);
  bool listing_ GUARDED_BY(mutex_) = false;  // the portal thread is at the portal
  // The session of the last listing, until a stream takes it.
  std::unique_ptr<PortalSession> session_ GUARDED_BY(mutex_);
};

}  // namespace

std::shared_ptr<ScreenCaptureService> makeWaylandCaptureService(
    std::shared_ptr<HostClock> clock,
    std::function<std::unique_ptr<SystemAudioSource>()> makeSystemAudioSource) {
  return std::make_shared<WaylandCaptureService>(std::move(clock),
                                                 std::move(makeSystemAudioSource));
}

}  // namespace kestrano
