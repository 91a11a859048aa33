#include "platform/linux/ffmpeg/chapter_track_encoder.h"

#include <algorithm>
#include <string>
#include <variant>

namespace kestrano::ffmpeg {
namespace {

constexpr std::size_t kMaxTitleBytes = 0xffff;  // what a timed-text sample's length holds

}  // namespace

std::optional<Error> ChapterTrackEncoder::encode(const MediaSample& sample,
                                                 std::int64_t sessionStartNs) {
  const auto* text = std::get_if<std::string>(&sample.data());
  if (text == nullptr) {
    return std::nullopt;
  }
  std::size_t length = std::min(text->size(), kMaxTitleBytes);
  while (length < text->size() && length > 0 && ((*text)[length] & 0xC0) == 0x80) {
    --length;  // never cut a character in two
  }
  // Two marks in one millisecond both stay, a millisecond apart: a track's
  // samples need rising times.
  std::int64_t ms = std::max<std::int64_t>(
      0, (sample.presentationTimeStamp().nanoseconds() - sessionStartNs) / 1'000'000);
  ms = std::max(ms, lastMs_ + 1);
  lastMs_ = ms;
  return sink_(ms, std::string_view(*text).substr(0, length));
}

}  // namespace kestrano::ffmpeg
