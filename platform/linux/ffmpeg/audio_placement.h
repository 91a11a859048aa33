#pragma once

#include <cstdint>

namespace kestrano::ffmpeg {

// Where each audio buffer goes in its track. The track's position is its
// running sample count, so buffers whose time stamps jitter against their
// lengths still join without gaps or overlaps. Only when the stamps and the
// position drift apart by more than the threshold is the track re-placed:
// silence is inserted when the stamps run ahead, samples are dropped when
// they fall behind. Nothing is ever played twice.
//
// Drift comes slowly (a device's clock against the host's); a source that
// starts over (another device, a restarted server) steps its stamps at once.
// A step larger than `stepSamples` from where the last buffer ended is
// placed exactly where its stamp says, so it never uses up the drift allowed
// before the next re-placement: one gap at the step instead of a second one
// seconds later, when the drift has added the rest.
class AudioPlacement {
 public:
  AudioPlacement(std::int64_t thresholdSamples, std::int64_t stepSamples)
      : threshold_(thresholdSamples), step_(stepSamples) {}

  struct Decision {
    std::int64_t silence = 0;  // silent frames to insert before the buffer
    std::int64_t skip = 0;     // frames to drop from the buffer's start
  };

  // A buffer of `frames` frames whose first frame belongs at `stampPosition`
  // (its time stamp as a sample position from the session start). The part
  // of a buffer before the session start is cut off; the first buffer that
  // reaches past the start is placed by its time stamp.
  Decision place(std::int64_t stampPosition, std::int64_t frames);

  // Samples placed so far (silence included): where the next one goes.
  std::int64_t position() const { return position_; }
  bool started() const { return started_; }
  // Silence appended by the caller outside place() (padding a track).
  void advance(std::int64_t frames) { position_ += frames; }

 private:
  const std::int64_t threshold_;
  const std::int64_t step_;
  std::int64_t position_ = 0;
  std::int64_t stampedEnd_ = 0;  // where the last buffer's stamp said it ended
  bool started_ = false;
};

}  // namespace kestrano::ffmpeg
