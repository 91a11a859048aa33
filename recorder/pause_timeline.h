#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace kestrano {

// The recording's pauses on the host clock (nanoseconds), and where a moment
// of capture lands in the file once the pauses are cut out: a sample after a
// resume moves earlier by all the time paused before it, so every track
// continues where it stopped, in step with the others. Not thread-safe.
class PauseTimeline {
 public:
  bool paused() const { return !gaps_.empty() && gaps_.back().end == kOpen; }
  // A pause from `now` on, and its end; each at or after the one before.
  void pause(std::int64_t now);
  void resume(std::int64_t now);

  // How far a moment at `t` outside the pauses moves earlier: the length of
  // the pauses that ended by then.
  std::int64_t shiftAt(std::int64_t t) const;

  // The part of [begin, end) that is kept: from its first moment outside the
  // pauses up to the next pause. Nothing when it lies wholly in a pause. (A
  // span that holds a whole pause loses what follows it: capture buffers are
  // far shorter than any pause a person makes.)
  struct Span {
    std::int64_t begin = 0, end = 0;
  };
  std::optional<Span> keptPart(std::int64_t begin, std::int64_t end) const;

  // `now` on the file's clock (the host clock with the pauses cut out);
  // while paused, where the pause began.
  std::int64_t recordedTime(std::int64_t now) const;

 private:
  static constexpr std::int64_t kOpen = INT64_MAX;  // the end of a pause still running
  struct Gap {
    std::int64_t begin, end;
  };
  std::vector<Gap> gaps_;  // in time order
};

}  // namespace kestrano
