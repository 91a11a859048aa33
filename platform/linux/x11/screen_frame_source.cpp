#include "platform/linux/x11/screen_frame_source.h"

#include <chrono>
#include <thread>

#include "platform/linux/capture/capture_errors.h"

namespace kestrano::x11 {
namespace {

// The rows a rectangle of the area covers (X coordinates are 16-bit, so
// they fit an int).
RowSpan rowsOf(const Rect& r) {
  return RowSpan{static_cast<int>(r.y), static_cast<int>(r.y + r.height)};
}

}  // namespace

std::unique_ptr<ScreenFrameSource> ScreenFrameSource::create(
    const Display& display, const StreamConfiguration& configuration,
    std::shared_ptr<HostClock> clock, std::optional<Error>& error) {
  std::unique_ptr<ScreenFrameSource> source(new ScreenFrameSource());
  source->clock_ = std::move(clock);
  source->x_ = XConnection::create(error);
  if (!source->x_) {
    return nullptr;
  }
  XConnection& x = *source->x_;
  Rect area{display.x, display.y, display.width, display.height};
  source->grabber_ = ScreenGrabber::create(x, area, error);
  if (!source->grabber_) {
    return nullptr;
  }
  source->scaler_ = FrameScaler::create(static_cast<int>(area.width), static_cast<int>(area.height),
                                        static_cast<int>(configuration.width),
                                        static_cast<int>(configuration.height), error);
  if (!source->scaler_) {
    return nullptr;
  }
  if (configuration.showsCursor) {
    source->cursor_ = CursorPainter::create(x, area);
  }
  source->damage_ = DamageWatch::create(x, area);
  xcb_flush(x.get());
  if ((error = x.endStartup())) {
    return nullptr;
  }
  if (x.broken()) {
    error = x.lostError();
    return nullptr;
  }
  return source;
}

std::shared_ptr<MediaSample> ScreenFrameSource::tick(bool mayDeliver, FrameTicker& pace,
                                                     std::optional<Error>& error) {
  xcb_connection_t* c = x_->get();
  while (XcbPtr<xcb_generic_event_t> event{xcb_poll_for_event(c)}) {
    if (!(damage_ && damage_->handleEvent(event.get()))) {
      if (cursor_) {
        cursor_->handleEvent(event.get());
      }
    }
  }
  if (x_->broken()) {
    error = x_->lostError();
    return nullptr;
  }
  if (!mayDeliver) {
    return nullptr;  // the damage stays recorded for the next tick that may deliver
  }
  // Without DAMAGE nothing tells what changed: every tick changes it all.
  bool whole = !delivered_ || !damage_;
  bool cursorMoved = false;
  if (cursor_) {
    if ((error = cursor_->refresh())) {
      return nullptr;
    }
    cursorMoved = cursor_->placement() != lastCursor_;
  }
  std::vector<Rect> drawn;
  if (damage_) {
    // Asked even when already known changed: it forgets the damage before the grab.
    std::optional<std::vector<Rect>> taken = damage_->takeChange(error);
    if (!taken) {
      return nullptr;
    }
    drawn = std::move(*taken);
  }
  if (whole || cursorMoved || !drawn.empty()) {
    return completeFrame(whole, drawn, pace, error);
  }
  if (pace.idleFrameDue(clock_->now().nanoseconds())) {
    return idleFrame(pace);
  }
  return nullptr;
}

std::shared_ptr<MediaSample> ScreenFrameSource::completeFrame(bool whole,
                                                              const std::vector<Rect>& drawn,
                                                              FrameTicker& pace,
                                                              std::optional<Error>& error) {
  MediaTime grabbedAt = stampAfterInterval(pace);
  std::optional<ScreenGrabber::Image> image = grabber_->grab(error);
  if (!image) {
    return nullptr;
  }
  // The server reports what clients drew, not the pointer painted in here:
  // the rows it left and the rows it covers now changed too.
  std::vector<RowSpan> rows;
  rows.reserve(drawn.size() + 2);
  for (const Rect& r : drawn) {
    rows.push_back(rowsOf(r));
  }
  if (cursor_) {
    cursor_->paint(image->data, image->stride, image->width, image->height);
    Rect painted = cursor_->paintedRect();
    if (cursor_->placement() != lastCursor_) {
      rows.push_back(rowsOf(lastCursorRect_));
      rows.push_back(rowsOf(painted));
    }
    lastCursor_ = cursor_->placement();
    lastCursorRect_ = painted;
  }
  std::optional<VideoFrame> frame = whole ? scaler_->scale(image->data, image->stride)
                                          : scaler_->scale(image->data, image->stride, rows);
  if (!frame) {
    error = captureError(CaptureErrorCode::outOfResources, "a frame cannot be made: out of memory");
    return nullptr;
  }
  delivered_ = true;
  pace.sampled(grabbedAt.nanoseconds());
  // A frame lasts until the next one, which is not known yet: no duration.
  return MediaSample::makeVideo(
      std::move(frame), SampleTimingInfo{MediaTime::invalid(), grabbedAt, MediaTime::invalid()},
      frameStatusAttachments(FrameStatus::complete));
}

MediaTime ScreenFrameSource::stampAfterInterval(const FrameTicker& pace) {
  // A few ms at most, after a tick that ran late.
  MediaTime now = clock_->now();
  if (std::int64_t wait = pace.waitBeforeSample(now.nanoseconds()); wait > 0) {
    std::this_thread::sleep_for(std::chrono::nanoseconds(wait));
    now = clock_->now();
  }
  return now;
}

std::shared_ptr<MediaSample> ScreenFrameSource::idleFrame(FrameTicker& pace) {
  MediaTime now = stampAfterInterval(pace);
  pace.sampled(now.nanoseconds());
  return MediaSample::makeVideo(std::nullopt,
                                SampleTimingInfo{MediaTime::invalid(), now, MediaTime::invalid()},
                                frameStatusAttachments(FrameStatus::idle));
}

}  // namespace kestrano::x11
