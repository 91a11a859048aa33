#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <utility>

#include "platform/error.h"
#include "platform/media_sample.h"

namespace kestrano::ffmpeg {

// Where the chapter track's titles go: the muxer, with each one's time on the
// file's timeline in milliseconds.
using ChapterSink = std::function<std::optional<Error>(std::int64_t ms, std::string_view title)>;

// The chapter track: each mark becomes one title at its millisecond of the
// file's timeline. Used by one thread at a time.
class ChapterTrackEncoder {
 public:
  void setSink(ChapterSink sink) { sink_ = std::move(sink); }
  // A text sample stamped on the same clock as `sessionStartNs`; a mark
  // before the session's start goes to its start.
  std::optional<Error> encode(const MediaSample& sample, std::int64_t sessionStartNs);

 private:
  ChapterSink sink_;
  std::int64_t lastMs_ = -1;
};

}  // namespace kestrano::ffmpeg
