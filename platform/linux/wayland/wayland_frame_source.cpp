#include "platform/linux/wayland/wayland_frame_source.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/linux/wayland/wayland_errors.h"

namespace kestrano::wayland {
namespace {

// The rate PipeWire is asked for: no more than the interval lets through.
int framesPerSecond(const StreamConfiguration& configuration) {
  const std::int64_t interval = configuration.minimumFrameInterval.nanoseconds();
  return static_cast<int>(std::clamp<std::int64_t>(kNanosecondTimescale / interval, 1, 240));
}

}  // namespace

std::unique_ptr<WaylandFrameSource> WaylandFrameSource::create(
    PortalStream& portal, const StreamConfiguration& configuration,
    std::shared_ptr<HostClock> clock, std::function<void(Error)> onLoss,
    std::optional<Error>& error) {
  std::unique_ptr<WaylandFrameSource> source(new WaylandFrameSource());
  source->clock_ = clock;
  source->width_ = static_cast<int>(configuration.width);
  source->height_ = static_cast<int>(configuration.height);
  source->stream_ = PipeWireVideoStream::connect(
      std::move(portal.pipeWireRemote), portal.nodeId, framesPerSecond(configuration),
      std::move(clock), [latest = source->latest_](const PipeWireFrame& f) { latest->put(f); },
      std::move(onLoss), error);
  if (!source->stream_) {
    return nullptr;
  }
  return source;
}

std::shared_ptr<MediaSample> WaylandFrameSource::tick(bool mayDeliver, FrameTicker& pace,
                                                      std::optional<Error>& error) {
  if (!mayDeliver) {
    return nullptr;  // a waiting picture stays, with its changes
  }
  if (std::optional<Picture> picture = latest_->take()) {
    return completeFrame(std::move(*picture), pace, error);
  }
  if (pace.idleFrameDue(clock_->now().nanoseconds())) {
    const MediaTime at = spacedAfter(clock_->now(), pace);
    pace.sampled(at.nanoseconds());
    return MediaSample::makeVideo(std::nullopt,
                                  SampleTimingInfo{MediaTime::invalid(), at, MediaTime::invalid()},
                                  frameStatusAttachments(FrameStatus::idle));
  }
  return nullptr;
}

std::shared_ptr<MediaSample> WaylandFrameSource::completeFrame(Picture picture, FrameTicker& pace,
                                                               std::optional<Error>& error) {
  bool whole = picture.whole;
  if (!scaler_ || scalerWidth_ != picture.width || scalerHeight_ != picture.height ||
      scalerLayout_ != picture.layout) {
    scaler_ =
        FrameScaler::create(picture.width, picture.height, width_, height_, error, picture.layout);
    if (!scaler_) {
      return nullptr;
    }
    scalerWidth_ = picture.width;
    scalerHeight_ = picture.height;
    scalerLayout_ = picture.layout;
    whole = true;
  }
  const int stride = picture.width * 4;
  std::optional<VideoFrame> frame =
      whole ? scaler_->scale(picture.pixels.data(), stride)
            : scaler_->scale(picture.pixels.data(), stride, picture.changed);
  if (!frame) {
    error = waylandError(CaptureErrorCode::outOfResources, "a frame cannot be made: out of memory");
    return nullptr;
  }
  const MediaTime at = spacedAfter(picture.time, pace);
  pace.sampled(at.nanoseconds());
  // A frame lasts until the next one, which is not known yet: no duration.
  return MediaSample::makeVideo(std::move(frame),
                                SampleTimingInfo{MediaTime::invalid(), at, MediaTime::invalid()},
                                frameStatusAttachments(FrameStatus::complete));
}

MediaTime WaylandFrameSource::spacedAfter(MediaTime at, const FrameTicker& pace) {
  const std::int64_t wait = pace.waitBeforeSample(at.nanoseconds());
  if (wait <= 0) {
    return at;
  }
  // Never stamped ahead of the clock: a few ms at most, after a tick that
  // ran late.
  const MediaTime spaced = MediaTime::make(at.nanoseconds() + wait, kNanosecondTimescale);
  if (const std::int64_t ahead = spaced.nanoseconds() - clock_->now().nanoseconds(); ahead > 0) {
    std::this_thread::sleep_for(std::chrono::nanoseconds(ahead));
  }
  return spaced;
}

}  // namespace kestrano::wayland
