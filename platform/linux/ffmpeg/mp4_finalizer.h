#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/error.h"
#include "platform/linux/ffmpeg/fragmented_muxer.h"
#include "platform/linux/ffmpeg/mp4_moov_builder.h"
#include "platform/linux/ffmpeg/output_file.h"

namespace kestrano::ffmpeg {

struct FinishOptions {
  std::uint64_t wideFrom = mp4::kWideFrom;  // see mp4::kWideFrom
  // For tests: the bytes the finish may write before it stops dead, as a
  // process killed at that point would (nothing cut back, nothing synced
  // after); negative for no limit.
  std::int64_t writeBudget = -1;
};

// Turns the fragmented MP4 in `file` into an ordinary one in place: the
// index of every sample, built from the fragments' own moof boxes, is
// appended, then the room the muxer reserved after ftyp becomes the header
// of one mdat that holds the header moov and all the fragments untouched.
// No media is copied and the file stays the same file. Each track's times
// move back by its start shift, so the encoder delays become edit lists
// again. At every point a reader sees either the fragmented file or the
// finished one; on failure the file is left fragmented (an appended index cut
// off again).
// `fragmentStarts` come from the muxer (see FragmentedMuxer::fragmentStarts).
std::optional<Error> finishInPlace(const OutputFile& file,
                                   const std::vector<FragmentedMuxer::StartShift>& shifts,
                                   const std::vector<std::int64_t>& fragmentStarts,
                                   const FinishOptions& options = {});

}  // namespace kestrano::ffmpeg
