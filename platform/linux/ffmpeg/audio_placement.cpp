#include "platform/linux/ffmpeg/audio_placement.h"

#include <algorithm>

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
  if (!started_) {
    // The first buffer is placed by its time stamp: a track whose sound
    // starts late begins with silence and lines up with the others.
    started_ = true;
    d.silence = std::max<std::int64_t>(stampPosition, 0);
    d.skip = std::max<std::int64_t>(-stampPosition, 0);
  } else {
    std::int64_t drift = stampPosition - position_;
    if (drift > threshold_) {
      d.silence = drift;
    } else if (drift < -threshold_) {
      d.skip = std::min(-drift, frames);
    }
  }
  position_ += d.silence + (frames - d.skip);
  return d;
}

}  // namespace kestrano::ffmpeg
