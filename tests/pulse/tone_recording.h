#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/mutex.h"

namespace kestrano::testing {

// What a capture path delivered while a 1 kHz tone played at 48 kHz, shared
// between the thread that delivers and the test.
struct ToneRecording {
  Mutex mutex;
  std::condition_variable changed;
  // The first two channels, all buffers in a row.
  std::vector<float> left GUARDED_BY(mutex);
  std::vector<float> right GUARDED_BY(mutex);
  std::vector<std::size_t> starts GUARDED_BY(mutex);  // where each buffer begins in left/right
  std::vector<std::int64_t> times GUARDED_BY(mutex);  // each buffer's time, ns
  int malformed GUARDED_BY(mutex) = 0;                // buffers of the wrong size, format or time
  int failures GUARDED_BY(mutex) = 0;
  std::string failure GUARDED_BY(mutex);

  // One buffer of `frames` frames; channel samples `stride` floats apart.
  void add(const float* l, const float* r, std::size_t stride, std::uint32_t frames,
           std::int64_t time, bool wellFormed) EXCLUDES(mutex);
  void fail(std::string why) EXCLUDES(mutex);
  // Waits for `ready`, which runs with the lock held (declare it
  // REQUIRES(mutex)); false on timeout.
  bool waitFor(const std::function<bool()>& ready, std::chrono::seconds timeout) EXCLUDES(mutex);
  // The tone's level in the last 1024 frames.
  double recentLevel() const REQUIRES(mutex);
  std::size_t bufferCount() EXCLUDES(mutex);
};

// For the buffers from index `first` on (but the last): each of at least 256
// frames carries the tone at `amplitude` and the next one goes on in phase,
// so nothing was repeated or lost between them. Returns how many it checked.
int expectUnbrokenTone(const std::vector<float>& samples, const std::vector<std::size_t>& starts,
                       std::size_t first, double amplitude);

}  // namespace kestrano::testing
