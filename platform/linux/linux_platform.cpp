#include <memory>

#include "platform/linux/monotonic_clock.h"
#include "platform/linux/posix_file_system.h"
#include "platform/linux/posix_standard_error.h"
#include "platform/platform.h"

namespace kestrano {
namespace {

// Until the display backend is wired in, the honest answer: no display.
class NoDisplayCaptureService final : public ScreenCaptureService {
 public:
  void getShareableContent(ContentCompletion completion) override {
    completion(ShareableContent{}, std::nullopt);
  }
  std::shared_ptr<Stream> makeStream(const ContentFilter&, const StreamConfiguration&,
                                     std::weak_ptr<StreamDelegate>) override {
    return nullptr;
  }
};

}  // namespace

Platform defaultPlatform() {
  Platform p;
  p.screenCapture = std::make_shared<NoDisplayCaptureService>();
  p.hostClock = std::make_shared<MonotonicClock>();
  p.fileSystem = std::make_shared<PosixFileSystem>();
  p.standardError = std::make_shared<PosixStandardError>();
  return p;
}

}  // namespace kestrano
