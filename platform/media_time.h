#pragma once

#include <compare>
#include <cstdint>

namespace kestrano {

// A rational media time: value / timescale seconds, or invalid.
struct MediaTime {
  std::int64_t value = 0;
  std::int32_t timescale = 0;
  bool valid = false;

  static constexpr MediaTime make(std::int64_t value, std::int32_t timescale) {
    return MediaTime{value, timescale, timescale > 0};
  }
  static constexpr MediaTime invalid() { return MediaTime{}; }

  double seconds() const { return valid ? static_cast<double>(value) / timescale : 0.0; }

  // Rescales to nanoseconds (rounding toward negative infinity); 0 when invalid.
  std::int64_t nanoseconds() const {
    if (!valid) {
      return 0;
    }
    __int128 scaled = static_cast<__int128>(value) * 1'000'000'000;
    __int128 q = scaled / timescale;
    if ((scaled % timescale) != 0 && scaled < 0) {
      --q;
    }
    return static_cast<std::int64_t>(q);
  }

  friend bool operator==(const MediaTime& a, const MediaTime& b) = default;
};

// Host-clock times are nanoseconds on a monotonic clock.
inline constexpr std::int32_t kNanosecondTimescale = 1'000'000'000;

}  // namespace kestrano
