#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace kestrano {

// Where each chunk of one record stream begins on the host clock (in ns),
// from when it was read and the latency the server reported then. Pure
// arithmetic, so the rules can be shown on made-up timing.
class RecordTimeline {
 public:
  explicit RecordTimeline(std::uint32_t rate) : rate_(rate) {}

  // `now`: the host clock once the chunk of `frames` was taken from the
  // stream; `latency`: how long before that its last frame was captured
  // (negative on monitors, which see data before it plays).
  // Returns where the frames taken since the last placed chunk begin, this
  // chunk's last: they follow each other without a gap. Nothing while a
  // fresh stream settles: the caller keeps those frames until a chunk is
  // placed.
  std::optional<std::int64_t> place(std::int64_t now, std::uint32_t frames, std::int64_t latency);

 private:
  const std::uint32_t rate_;
  std::optional<std::int64_t> next_;  // where the last placed chunk ended
  std::int64_t elapsed_ = 0;          // the stream's length so far
  // While settling: where the stream began, by each believable reading of
  // the settling's second half, and by its first chunk's arrival.
  std::vector<std::int64_t> starts_;
  std::optional<std::int64_t> arrivedStart_;
};

}  // namespace kestrano
