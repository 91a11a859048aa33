#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "platform/host_clock.h"
#include "platform/linux/capture/frame_scaler.h"
#include "platform/linux/capture/frame_ticker.h"
#include "platform/linux/x11/cursor_painter.h"
#include "platform/linux/x11/damage_watch.h"
#include "platform/linux/x11/screen_grabber.h"
#include "platform/linux/x11/x_connection.h"
#include "platform/media_sample.h"
#include "platform/screen_capture.h"

namespace kestrano::x11 {

// Turns one monitor's rectangle into screen samples, one decision per tick:
// a complete frame when the rectangle or the pointer changed since the last
// complete frame (the first frame is always complete), an idle frame without
// pixels now and then on a still screen, or nothing, at the times a
// FrameTicker gives. Owns its own X connection; used by one thread.
class ScreenFrameSource {
 public:
  // Nothing, with `error` set, when the X server cannot be reached or the
  // rectangle cannot be captured at the asked size (a configuration that
  // passed checkConfiguration).
  static std::unique_ptr<ScreenFrameSource> create(const Display& display,
                                                   const StreamConfiguration& configuration,
                                                   std::shared_ptr<HostClock> clock,
                                                   std::optional<Error>& error);

  // Reads what the server reported since the last tick; when `mayDeliver`,
  // also makes the sample due (or nothing), spaced and stamped as `pace`
  // says. An error when capture cannot go on (connection lost, rectangle
  // gone).
  std::shared_ptr<MediaSample> tick(bool mayDeliver, FrameTicker& pace,
                                    std::optional<Error>& error);

  // The connection's socket: shutting it down makes a call that waits on a
  // server that no longer answers fail instead of blocking for good.
  int socket() const { return xcb_get_file_descriptor(x_->get()); }

 private:
  ScreenFrameSource() = default;
  // Now on the host clock, but never sooner than `pace` allows after the
  // previous sample.
  MediaTime stampAfterInterval(const FrameTicker& pace);
  // `drawn`: the parts of the area the server reported drawn on; ignored
  // when `whole`.
  std::shared_ptr<MediaSample> completeFrame(bool whole, const std::vector<Rect>& drawn,
                                             FrameTicker& pace, std::optional<Error>& error);
  std::shared_ptr<MediaSample> idleFrame(FrameTicker& pace);

  std::shared_ptr<HostClock> clock_;
  std::unique_ptr<XConnection> x_;
  // The rest use x_ and go before it.
  std::unique_ptr<ScreenGrabber> grabber_;
  std::unique_ptr<CursorPainter> cursor_;  // null: no pointer drawn
  std::unique_ptr<DamageWatch> damage_;    // null: every tick counts as a change
  std::unique_ptr<FrameScaler> scaler_;

  bool delivered_ = false;  // a complete frame has gone out
  CursorPlacement lastCursor_;
  Rect lastCursorRect_;  // where the pointer was painted into the last complete frame
};

}  // namespace kestrano::x11
