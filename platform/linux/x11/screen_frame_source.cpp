#include "platform/linux/x11/screen_frame_source.h"

#include <chrono>
#include <thread>

#include "platform/linux/x11/capture_errors.h"

namespace kestrano::x11 {
namespace {

// A still screen still reports itself about once a second, as the capture
// framework the recorder was made for does; cheap, since idle frames carry
// no pixels.
constexpr std::int64_t kIdleFrameIntervalNanos = 1'000'000'000;

// Frame sizes beyond what any H.264 level takes are a configuration mistake.
constexpr std::int64_t kMaxFrameSide = 16384;

AttachmentArray statusAttachments(FrameStatus status) {
  return AttachmentArray{
      PropertyDictionary{{kFrameInfoStatusKey, static_cast<std::int64_t>(status)}}};
}

// The rows a rectangle of the area covers (X coordinates are 16-bit, so
// they fit an int).
RowSpan rowsOf(const Rect& r) {
  return RowSpan{static_cast<int>(r.y), static_cast<int>(r.y + r.height)};
}

}  // namespace

std::unique_ptr<ScreenFrameSource> ScreenFrameSource::open(const Display& display,
                                                           const StreamConfiguration& configuration,
                                                           std::shared_ptr<HostClock> clock,
                                                           std::optional<Error>& error) {
  if (configuration.width <= 0 || configuration.height <= 0 ||
      configuration.width > kMaxFrameSide || configuration.height > kMaxFrameSide) {
    error = captureError(CaptureErrorCode::invalidConfiguration,
                         "the frame size " + std::to_string(configuration.width) + "x" +
                             std::to_string(configuration.height) + " is out of range");
    return nullptr;
  }
  std::unique_ptr<ScreenFrameSource> source(new ScreenFrameSource());
  source->clock_ = std::move(clock);
  source->minimumIntervalNanos_ = configuration.minimumFrameInterval.nanoseconds();
  source->x_ = XConnection::open(error);
  if (!source->x_) {
    return nullptr;
  }
  XConnection& x = *source->x_;
  Rect area{display.x, display.y, display.width, display.height};
  source->grabber_ = ScreenGrabber::make(x, area, error);
  if (!source->grabber_) {
    return nullptr;
  }
  source->scaler_ = FrameScaler::make(static_cast<int>(area.width), static_cast<int>(area.height),
                                      static_cast<int>(configuration.width),
                                      static_cast<int>(configuration.height), error);
  if (!source->scaler_) {
    return nullptr;
  }
  if (configuration.showsCursor) {
    source->cursor_ = CursorPainter::make(x, area);
  }
  source->damage_ = DamageWatch::make(x, area);
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

std::shared_ptr<MediaSample> ScreenFrameSource::tick(bool mayDeliver, std::optional<Error>& error) {
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
    return completeFrame(whole, drawn, error);
  }
  if (clock_->now().nanoseconds() - lastSampleNanos_ >= kIdleFrameIntervalNanos) {
    return idleFrame();
  }
  return nullptr;
}

std::shared_ptr<MediaSample> ScreenFrameSource::completeFrame(bool whole,
                                                              const std::vector<Rect>& drawn,
                                                              std::optional<Error>& error) {
  MediaTime grabbedAt = stampAfterInterval();
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
  VideoFrame frame = whole ? scaler_->scale(image->data, image->stride)
                           : scaler_->scale(image->data, image->stride, rows);
  delivered_ = true;
  lastSampleNanos_ = grabbedAt.nanoseconds();
  // A frame lasts until the next one, which is not known yet: no duration.
  return MediaSample::makeVideo(
      std::move(frame), SampleTimingInfo{MediaTime::invalid(), grabbedAt, MediaTime::invalid()},
      statusAttachments(FrameStatus::complete));
}

MediaTime ScreenFrameSource::stampAfterInterval() {
  // The capture ticks on a fixed grid; a tick that ran late brings the next
  // one closer than the interval. Waiting out the difference (a few ms at
  // most) keeps every two samples at least the interval apart, as the stream
  // promises and as players that assume a frame rate expect.
  MediaTime now = clock_->now();
  std::int64_t early = lastSampleNanos_ + minimumIntervalNanos_ - now.nanoseconds();
  if (lastSampleNanos_ != 0 && early > 0) {
    std::this_thread::sleep_for(std::chrono::nanoseconds(early));
    now = clock_->now();
  }
  return now;
}

std::shared_ptr<MediaSample> ScreenFrameSource::idleFrame() {
  MediaTime now = stampAfterInterval();
  lastSampleNanos_ = now.nanoseconds();
  return MediaSample::makeVideo(std::nullopt,
                                SampleTimingInfo{MediaTime::invalid(), now, MediaTime::invalid()},
                                statusAttachments(FrameStatus::idle));
}

}  // namespace kestrano::x11
