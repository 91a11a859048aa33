#pragma once

#include <algorithm>
#include <cmath>
#include <numbers>

#include "platform/audio_format.h"

namespace kestrano::testing {

// `frames` of a 0.5 sine on every channel, from sample `start` of a running count.
inline PcmBuffer sineBuffer(const AudioFormat& format, std::uint32_t frames, std::int64_t start,
                            double hz) {
  PcmBuffer b(format, frames);
  b.setFrameLength(frames);
  for (std::uint32_t i = 0, ch = format.channelCount(); i < frames * ch; ++i) {
    const double t = static_cast<double>(start + i / ch) / format.sampleRate();
    (format.isInterleaved() ? b.data(0)[i] : b.data(i % ch)[i / ch]) =
        static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * hz * t));
  }
  return b;
}

// Amplitude and phase of a sine of known frequency in a stretch of samples,
// by least squares; `start` is the index of the stretch's first sample on a
// running count, so a continuous signal gives the same phase everywhere. The
// phase is in radians, in (-pi, pi]; the residual is the rms of what the sine
// does not explain.
struct SineFit {
  double amplitude = 0, phase = 0, residual = 0;
};

inline SineFit fitSine(const float* samples, std::size_t count, std::size_t stride,
                       double frequency, double rate, std::int64_t start) {
  const double w = 2 * std::numbers::pi * frequency / rate;
  // Normal equations of x = a sin + b cos: exact for any stretch length, not
  // only whole periods. The residual follows from the same sums.
  double ss = 0, cc = 0, sc = 0, xs = 0, xc = 0, xx = 0;
  for (std::size_t i = 0; i < count; ++i) {
    double t = w * static_cast<double>(start + static_cast<std::int64_t>(i));
    double sn = std::sin(t), cs = std::cos(t), x = samples[i * stride];
    ss += sn * sn, cc += cs * cs, sc += sn * cs, xs += x * sn, xc += x * cs, xx += x * x;
  }
  double det = ss * cc - sc * sc;
  double a = (xs * cc - xc * sc) / det, b = (xc * ss - xs * sc) / det;
  double err = xx - 2 * a * xs - 2 * b * xc + a * a * ss + 2 * a * b * sc + b * b * cc;
  return SineFit{std::hypot(a, b), std::atan2(b, a), std::sqrt(std::max(err, 0.0) / count)};
}

// The difference of two phases folded into (-pi, pi].
inline double phaseDifference(double a, double b) {
  return std::remainder(a - b, 2 * std::numbers::pi);
}

}  // namespace kestrano::testing
