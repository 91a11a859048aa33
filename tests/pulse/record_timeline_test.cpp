// How a record stream's chunks are placed on the host clock, on made-up
// timing: the server's latency readings with the errors measured on a busy
// machine, a reader held still, time really lost, and a device clock that
// runs slow.
#include "platform/linux/pulse/record_timeline.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <vector>

namespace kestrano {
namespace {

constexpr std::int64_t kMs = 1'000'000;
constexpr std::uint32_t kRate = 48000;
constexpr std::uint32_t kChunk = 1200;  // 25 ms
constexpr std::int64_t kChunkNs = 25 * kMs;
constexpr std::int64_t kLatency = 5 * kMs;  // the device's true latency

// A stream read on time for `chunks` chunks: chunk k's first frame is
// captured at k * 25 ms (times `rate` for a device clock off its nominal
// rate); the latency read with it is the true one plus `error(k)`. Returns
// each chunk's stamp minus its true capture time; chunks kept back go right
// before the next one placed, as the stream hands them over.
template <typename Error>
std::vector<std::int64_t> offsets(int chunks, Error error, double rate = 1.0) {
  RecordTimeline timeline(kRate);
  std::vector<std::int64_t> out;
  std::size_t kept = 0;
  for (int k = 0; k < chunks; ++k) {
    const auto now = static_cast<std::int64_t>((k + 1) * kChunkNs * rate) + kLatency;
    const std::optional<std::int64_t> first = timeline.place(now, kChunk, kLatency + error(k));
    if (!first) {
      ++kept;
      continue;
    }
    for (std::size_t j = 0; j <= kept; ++j) {
      const auto index = static_cast<std::int64_t>(out.size());
      const auto captured = static_cast<std::int64_t>(index * kChunkNs * rate);
      out.push_back(*first + static_cast<std::int64_t>(j) * kChunkNs - captured);
    }
    kept = 0;
  }
  return out;
}

TEST(RecordTimeline, ReadingErrorsNeitherMoveTheSoundNorReachTheWriter) {
  // A new snapshot every 1.5 s (60 chunks), as wrong as pipewire-pulse's
  // were under load.
  const std::int64_t snapshots[] = {17, 5, -20, -51, -30, 10, 40, -10};
  const auto stamps = offsets(60 * 40, [&](int k) { return snapshots[(k / 60) % 8] * kMs; });
  // And readings that drift by 90 ms a second, down to -90 ms and up to
  // +90 ms and back, every 4 s.
  const auto drifting = offsets(60 * 40, [](int k) {
    const double phase = (k + 40) % 160 - 80;  // -80..79 chunks
    return static_cast<std::int64_t>((std::abs(phase) * 2.25 - 90) * kMs);
  });
  // And readings that run away by 10 ms a second for 5 s, as a fresh
  // microphone stream's did on the PulseAudio daemon under load.
  const auto runaway = offsets(5 * 40, [](int k) { return -k * kMs / 4; });
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
      600 * 40, [](int) { return 0; }, 1.0003);
  EXPECT_LT(std::abs(slow.back()), 5 * kMs);

  // A second lost in the server: the next chunk goes where it belongs.
  RecordTimeline timeline(kRate);
  for (std::int64_t k = 0; k < 40; ++k) {
    // The first 200 ms come in one, from the stream's start.
    const std::optional<std::int64_t> first = timeline.place((k + 1) * 25 * kMs, kChunk, 0);
    EXPECT_EQ(first, k < 7 ? std::nullopt : std::optional(k == 7 ? 0 : k * 25 * kMs)) << k;
  }
  EXPECT_EQ(timeline.place(2025 * kMs, kChunk, 0), 2000 * kMs);
}

TEST(RecordTimeline, AFreshStreamIsPlacedOnceItsReadingsSettleAndABacklogGoesOnWhereItEnded) {
  // Readings 80 ms too high for the first 100 ms, then 7 ms too low, but the
  // last before 200 ms 130 ms too high: the stream's first 200 ms are kept
  // back, then placed all at once, after each other, by the settled readings.
  const auto settling =
      offsets(16, [](int k) { return k < 4 ? 80 * kMs : (k == 7 ? 130 : -7) * kMs; });
  ASSERT_EQ(settling.size(), 16u);
  for (std::int64_t offset : settling) {
    EXPECT_EQ(offset, 7 * kMs);
  }

  // No believable reading at all: placed by the first chunk's arrival.
  RecordTimeline timeline(kRate);
  for (std::int64_t k = 0; k < 7; ++k) {
    EXPECT_EQ(timeline.place((1000 + 25 * k) * kMs, kChunk, 480 * kMs), std::nullopt);
  }
  EXPECT_EQ(timeline.place(1175 * kMs, kChunk, 480 * kMs), 975 * kMs);
  EXPECT_EQ(timeline.place(1200 * kMs, kChunk, 0), 1175 * kMs);
  // Held still for 400 ms, then 17 chunks at once with a true but
  // unbelievable latency: each right after the last.
  for (std::int64_t k = 0; k < 17; ++k) {
    EXPECT_EQ(timeline.place(1625 * kMs, kChunk, (400 - 25 * k) * kMs), (1200 + 25 * k) * kMs);
  }
}

}  // namespace
}  // namespace kestrano
