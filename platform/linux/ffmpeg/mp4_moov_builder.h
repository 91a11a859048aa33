#pragma once

#include <cstdint>
#include <vector>

#include "platform/linux/ffmpeg/mp4_fragment_index.h"

namespace kestrano::ffmpeg::mp4 {

// Values at or past this take the 64-bit forms of the boxes (co64, version 1
// mvhd/tkhd/mdhd/elst, a largesize mdat). Tests pass a small one to reach
// those forms with small files.
inline constexpr std::uint64_t kWideFrom = std::uint64_t{1} << 32;

// The complete moov of an ordinary MP4 whose samples stay where the
// fragments of `file` put them. `shifts` (per track, in its time scale) are
// how far the writer moved each track's times later to keep them
// non-negative; the edit lists move them back, so the encoder delays (AAC
// priming, B-frame reordering) stay hidden as in a file muxed in one go.
std::vector<std::uint8_t> buildMoov(const FragmentedFile& file,
                                    const std::vector<std::int64_t>& shifts,
                                    std::uint64_t wideFrom = kWideFrom);

}  // namespace kestrano::ffmpeg::mp4
