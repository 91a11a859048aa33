#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

namespace kestrano::testing {

// How long this process was not run while the watch was on. A machine that
// stands still (a paused virtual machine, a host far over its CPUs) stops the
// recorder and the servers it records as well: the recording then holds that
// much less than the wall clock says, and lost nothing. Only waits far longer
// than a busy scheduler's count, so load alone adds nothing.
class StallWatch {
 public:
  StallWatch() : thread_([this](std::stop_token stop) { run(stop); }) {}

  // All the still-standing so far, and its longest stretch.
  double seconds() const { return toSeconds(totalNs_.load(std::memory_order_relaxed)); }
  double longestSeconds() const { return toSeconds(longestNs_.load(std::memory_order_relaxed)); }

 private:
  static constexpr auto kTick = std::chrono::milliseconds(10);
  // A loaded machine delays a wake by tens of ms, rarely 100: beyond this
  // the process really stood still.
  static constexpr auto kStill = std::chrono::milliseconds(250);

  static double toSeconds(std::int64_t ns) { return static_cast<double>(ns) * 1e-9; }

  void run(std::stop_token stop) {
    auto last = std::chrono::steady_clock::now();
    while (!stop.stop_requested()) {
      std::this_thread::sleep_for(kTick);
      const auto now = std::chrono::steady_clock::now();
      if (const auto late = now - last - kTick; late > kStill) {
        const std::int64_t ns = std::chrono::nanoseconds(late).count();
        // Only this thread writes; readers want a recent figure, nothing more.
        totalNs_.store(totalNs_.load(std::memory_order_relaxed) + ns, std::memory_order_relaxed);
        if (ns > longestNs_.load(std::memory_order_relaxed)) {
          longestNs_.store(ns, std::memory_order_relaxed);
        }
      }
      last = now;
    }
  }

  std::atomic<std::int64_t> totalNs_{0};
  std::atomic<std::int64_t> longestNs_{0};
  std::jthread thread_;  // last: runs only once the counters exist
};

}  // namespace kestrano::testing
