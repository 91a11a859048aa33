// How a record stream's chunks are placed on the host clock, on made-up
// timing: the server's latency readings with the errors measured on a busy
// machine, a reader held still, time really lost, and a device clock that
// runs slow.
#include "platform/linux/pulse/record_timeline.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

namespace kestrano {
namespace {

constexpr std::int64_t kMs = 1'000'000;
constexpr std::uint32_t kRate = 48000;
constexpr std::uint32_t kChunk = 1200;  // 25 ms
constexpr std::int64_t kChunkNs = 25 * kMs;
constexpr std::int64_t kLatency = 5 * kMs;  // the device's true latency

// A stream read on time for `seconds`: chunk k's first frame is captured at
// k * 25 ms (times `rate` for a device clock off its nominal rate); the
// latency read with it is the true one plus `error(k)`. Returns each stamp
// minus the true capture time.
template <typename Error>
std::vector<std::int64_t> offsets(int seconds, Error error, double rate = 1.0) {
  RecordTimeline timeline(kRate);
  std::vector<std::int64_t> out;
  for (int k = 0; k < seconds * 40; ++k) {
    const auto captured = static_cast<std::int64_t>(k * kChunkNs * rate);
    const auto now = static_cast<std::int64_t>((k + 1) * kChunkNs * rate) + kLatency;
    out.push_back(timeline.place(now, kChunk, kLatency + error(k)) - captured);
  }
  return out;
}

TEST(RecordTimeline, ReadingErrorsNeitherMoveTheSoundNorReachTheWriter) {
  // A new snapshot every 1.5 s (60 chunks), as wrong as pipewire-pulse's
  // were under load.
  const std::int64_t snapshots[] = {17, 5, -20, -51, -30, 10, 40, -10};
  const auto stamps = offsets(60, [&](int k) { return snapshots[(k / 60) % 8] * kMs; });
  // And readings that drift by 90 ms a second, down to -90 ms and up to
  // +90 ms and back, every 4 s.
  const auto drifting = offsets(60, [](int k) {
    const double phase = (k + 40) % 160 - 80;  // -80..79 chunks
    return static_cast<std::int64_t>((std::abs(phase) * 2.25 - 90) * kMs);
  });
  // And readings that run away by 10 ms a second for 5 s, as a fresh
  // microphone stream's did on the PulseAudio daemon under load.
  const auto runaway = offsets(5, [](int k) { return -k * kMs / 4; });
  // The writer counts samples from the first stamp and re-places a chunk
  // stamped more than 50 ms off that count, cutting silence into the sound;
  // a device switch may have used up to 30 ms of that already (it places a
  // new stream exactly only when it steps farther).
  for (const auto* run : {&stamps, &drifting, &runaway}) {
    for (std::size_t k = 0; k < run->size(); ++k) {
      SCOPED_TRACE(k);
      EXPECT_LT(std::abs((*run)[k] - (*run)[0]), 20 * kMs);
    }
  }
  EXPECT_LT(std::abs(stamps.back()), 50 * kMs);
}

TEST(RecordTimeline, FollowsTheDeviceClockAndTimeReallyLost) {
  // A device 300 ppm slow for ten minutes: the sound stays with the picture.
  auto slow = offsets(
      600, [](int) { return 0; }, 1.0003);
  EXPECT_LT(std::abs(slow.back()), 5 * kMs);

  // A second lost in the server: the next chunk goes where it belongs.
  RecordTimeline timeline(kRate);
  for (std::int64_t k = 0; k < 40; ++k) {
    EXPECT_EQ(timeline.place((k + 1) * 25 * kMs, kChunk, 0), k * 25 * kMs);
  }
  EXPECT_EQ(timeline.place(2025 * kMs, kChunk, 0), 2000 * kMs);
}

TEST(RecordTimeline, AFreshStreamSettlesAtOnceAndABacklogGoesOnWhereTheLastChunkEnded) {
  RecordTimeline timeline(kRate);
  // A fresh stream's first reading is unbelievable: placed by its arrival.
  // Believable ones that change in its first second hold at once.
  EXPECT_EQ(timeline.place(1000 * kMs, kChunk, 480 * kMs), 975 * kMs);
  EXPECT_EQ(timeline.place(1025 * kMs, kChunk, 74 * kMs), 926 * kMs);
  EXPECT_EQ(timeline.place(1050 * kMs, kChunk, 0), 1025 * kMs);
  // Held still for 400 ms, then 17 chunks at once with a true but
  // unbelievable latency: each right after the last.
  for (std::int64_t k = 0; k < 17; ++k) {
    EXPECT_EQ(timeline.place(1475 * kMs, kChunk, (400 - 25 * k) * kMs), (1050 + 25 * k) * kMs);
  }
}

}  // namespace
}  // namespace kestrano
