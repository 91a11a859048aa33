#include "platform/linux/ffmpeg/audio_placement.h"

#include <algorithm>
#include <cstdlib>

namespace kestrano::ffmpeg {

AudioPlacement::Decision AudioPlacement::place(std::int64_t stampPosition, std::int64_t frames) {
  Decision d;
  if (frames <= 0) {
    return d;
  }
  if (stampPosition + frames <= 0) {
    d.skip = frames;  // wholly before the session start
    return d;
  }
  const bool stepped = std::abs(stampPosition - stampedEnd_) > step_;
  stampedEnd_ = stampPosition + frames;
  if (!started_) {
    // The first buffer is placed by its time stamp: a track whose sound
    // starts late begins with silence and lines up with the others.
    started_ = true;
    d.silence = std::max<std::int64_t>(stampPosition, 0);
    d.skip = std::max<std::int64_t>(-stampPosition, 0);
  } else {
    const std::int64_t drift = stampPosition - position_;
    const std::int64_t allowed = stepped ? 0 : threshold_;
    if (drift > allowed) {
      d.silence = drift;
    } else if (drift < -allowed) {
      d.skip = std::min(-drift, frames);
    }
  }
  position_ += d.silence + (frames - d.skip);
  return d;
}

}  // namespace kestrano::ffmpeg
