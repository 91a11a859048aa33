#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/linux/ffmpeg/fragmented_muxer.h"

namespace kestrano::ffmpeg {

// Turns the fragmented MP4 at `path` into an ordinary one (a single index of
// every sample) by copying its packets into a temporary file in the same
// folder and renaming that over `path`. Each track's time stamps move back by
// its start shift, so the encoder delays become edit lists again. On failure
// the fragmented file stays as it was and the temporary file is removed.
std::optional<Error> rewriteAsPlainMp4(const std::string& path,
                                       const std::vector<FragmentedMuxer::StartShift>& shifts);

}  // namespace kestrano::ffmpeg
