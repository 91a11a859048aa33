#include "recorder/pause_timeline.h"

#include <algorithm>

namespace kestrano {

void PauseTimeline::pause(std::int64_t now) {
  if (!paused()) {
    gaps_.push_back(Gap{now, kOpen});
  }
}

void PauseTimeline::resume(std::int64_t now) {
  if (paused()) {
    gaps_.back().end = std::max(now, gaps_.back().begin);
  }
}

std::int64_t PauseTimeline::shiftAt(std::int64_t t) const {
  std::int64_t shift = 0;
  for (const Gap& gap : gaps_) {
    if (gap.end > t) {
      break;
    }
    shift += gap.end - gap.begin;
  }
  return shift;
}

std::optional<PauseTimeline::Span> PauseTimeline::keptPart(std::int64_t begin,
                                                           std::int64_t end) const {
  for (const Gap& gap : gaps_) {
    if (gap.end <= begin) {
      continue;
    }
    if (gap.begin > begin) {
      return Span{begin, std::min(end, gap.begin)};
    }
    begin = gap.end;  // starts inside this pause: kept from its end
    if (begin >= end) {
      return std::nullopt;
    }
  }
  return begin < end ? std::optional(Span{begin, end}) : std::nullopt;
}

std::int64_t PauseTimeline::recordedTime(std::int64_t now) const {
  const std::int64_t at = paused() ? std::min(now, gaps_.back().begin) : now;
  return at - shiftAt(at);
}

}  // namespace kestrano
