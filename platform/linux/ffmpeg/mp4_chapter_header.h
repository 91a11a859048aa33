#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrano::ffmpeg::mp4 {

// The chapter track is written here rather than by libavformat, whose timed
// text tracks fill every gap with empty samples: each would list as a
// chapter. Its titles are 3GPP timed text (which QuickTime chapter lists use
// too) in milliseconds.
inline constexpr std::uint32_t kChapterTimescale = 1000;

// The recording's header moov with a chapter track added, held back until
// the first mark: that track and the references to it (a 'chap' in each
// other track) carry the type 'free', so a recording without marks reads as
// three tracks, as ever. The first mark turns them into what they are by
// changing four bytes each (`enable`: where in the moov, and the type).
struct ChapterHeader {
  std::vector<std::uint8_t> moov;
  std::vector<std::pair<std::size_t, std::uint32_t>> enable;
  std::uint32_t trackId = 0;
};

// `moov` is the whole header box as the muxer wrote it. Nothing when it is
// not as expected. The chapter track is disabled, as a chapter list is:
// players do not show its titles as subtitles.
std::optional<ChapterHeader> addHeldBackChapterTrack(const std::vector<std::uint8_t>& moov);

// One fragment holding one title at `ms`, lasting a millisecond (its end is
// not known yet; the finish stretches it to the next title).
std::vector<std::uint8_t> chapterFragment(std::uint32_t trackId, std::uint32_t sequence,
                                          std::uint64_t ms, std::string_view title);

}  // namespace kestrano::ffmpeg::mp4
