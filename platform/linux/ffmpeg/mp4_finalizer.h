#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/linux/ffmpeg/fragmented_muxer.h"
#include "platform/linux/ffmpeg/output_file.h"

namespace kestrano::ffmpeg {

// Turns the fragmented MP4 in `file` into an ordinary one (a single index of
// every sample) by copying its packets into a new file in the same folder,
// which then replaces `file` at its path, and becomes `file`. Each track's
// time stamps move back by its start shift, so the encoder delays become
// edit lists again. On failure, or when the path no longer names `file`
// (another recording took it), nothing at the path changes, `file` stays
// as it was and the new file is removed.
std::optional<Error> rewriteAsPlainMp4(std::unique_ptr<OutputFile>& file,
                                       const std::vector<FragmentedMuxer::StartShift>& shifts);

}  // namespace kestrano::ffmpeg
