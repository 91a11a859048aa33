#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace kestrano::testing {

// What a capture path delivered while a 1 kHz tone played at 48 kHz, shared
// between the thread that delivers and the test.
struct ToneRecording {
  std::mutex mutex;  // guards everything below
  std::condition_variable changed;
  std::vector<float> left, right;   // the first two channels, all buffers in a row
  std::vector<std::size_t> starts;  // where each buffer begins in left/right
  std::vector<std::int64_t> times;  // each buffer's time, ns
  int malformed = 0;                // buffers of the wrong size, format or time
  int failures = 0;
  std::string failure;

  // One buffer of `frames` frames; channel samples `stride` floats apart.
  void add(const float* l, const float* r, std::size_t stride, std::uint32_t frames,
           std::int64_t time, bool wellFormed);
  void fail(std::string why);
  // Waits for `ready`, which runs with the lock held; false on timeout.
  bool waitFor(const std::function<bool()>& ready, std::chrono::seconds timeout);
  // The tone's level in the last 1024 frames; with the lock held.
  double recentLevel() const;
  std::size_t bufferCount();
};

// For the buffers from index `first` on (but the last): each of at least 256
// frames carries the tone at `amplitude` and the next one goes on in phase,
// so nothing was repeated or lost between them. Returns how many it checked.
int expectUnbrokenTone(const std::vector<float>& samples, const std::vector<std::size_t>& starts,
                       std::size_t first, double amplitude);

}  // namespace kestrano::testing
