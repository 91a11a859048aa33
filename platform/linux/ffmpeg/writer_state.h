#pragma once

#include <atomic>
#include <cstdint>

#include "platform/media_writer.h"

namespace kestrano::ffmpeg {

// What a writer shares with its inputs. Each field is an atomic read and
// written with acquire/release ordering: `status` is published after the
// encoders and the file exist, `sessionStarted` after `sessionStartNs`.
struct WriterState {
  std::atomic<WriterStatus> status{WriterStatus::unknown};
  std::atomic<std::int64_t> sessionStartNs{0};
  std::atomic<bool> sessionStarted{false};

  bool isWriting() const { return status.load(std::memory_order_acquire) == WriterStatus::writing; }
};

}  // namespace kestrano::ffmpeg
