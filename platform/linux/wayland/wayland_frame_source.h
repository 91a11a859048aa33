#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "platform/host_clock.h"
#include "platform/linux/capture/capture_stream.h"
#include "platform/linux/capture/frame_scaler.h"
#include "platform/linux/capture/frame_ticker.h"
#include "platform/linux/wayland/latest_picture.h"
#include "platform/linux/wayland/pipewire_video_stream.h"
#include "platform/linux/wayland/portal_session.h"
#include "platform/media_sample.h"
#include "platform/screen_capture.h"

namespace kestrano::wayland {

// Turns the portal's PipeWire stream into screen samples at the configured
// size, one decision per tick: a complete frame when a new picture came, an
// idle frame now and then when the compositor sends nothing (a still
// screen), or nothing, at the times a FrameTicker gives. A picture of
// another size (the monitor changed mid-stream) is scaled to the same
// configured size. Ticked by one thread.
class WaylandFrameSource final : public FrameSource {
 public:
  // Connects to the portal's node over its remote (taken from `portal`).
  // `onLoss` hears once, on PipeWire's thread, that the stream ended.
  static std::unique_ptr<WaylandFrameSource> create(PortalStream& portal,
                                                    const StreamConfiguration& configuration,
                                                    std::shared_ptr<HostClock> clock,
                                                    std::function<void(Error)> onLoss,
                                                    std::optional<Error>& error);

  // When `mayDeliver`, the sample due (or nothing), spaced and stamped as
  // `pace` says; otherwise a waiting picture stays for a later tick. An
  // error when a frame cannot be made.
  std::shared_ptr<MediaSample> tick(bool mayDeliver, FrameTicker& pace,
                                    std::optional<Error>& error) override;

 private:
  WaylandFrameSource() = default;
  std::shared_ptr<MediaSample> completeFrame(Picture picture, FrameTicker& pace,
                                             std::optional<Error>& error);
  // `at` moved on to keep the interval after the previous sample, waited
  // for when that lies ahead.
  MediaTime spacedAfter(MediaTime at, const FrameTicker& pace);

  std::shared_ptr<HostClock> clock_;
  int width_ = 0;
  int height_ = 0;
  // Written by the stream's thread, so it goes after the stream.
  std::shared_ptr<LatestPicture> latest_ = std::make_shared<LatestPicture>();
  std::unique_ptr<PipeWireVideoStream> stream_;
  std::unique_ptr<FrameScaler> scaler_;  // for the shape of the last picture
  int scalerWidth_ = 0;
  int scalerHeight_ = 0;
  SourcePixels scalerLayout_ = SourcePixels::bgrx;
};

}  // namespace kestrano::wayland
