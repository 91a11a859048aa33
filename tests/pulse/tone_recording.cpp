#include "tests/pulse/tone_recording.h"

#include <gtest/gtest.h>

#include "tests/resample/sine_fit.h"

namespace kestrano::testing {

void ToneRecording::add(const float* l, const float* r, std::size_t stride, std::uint32_t frames,
                        std::int64_t time, bool wellFormed) {
  {
    MutexLock lock(mutex);
    starts.push_back(left.size());
    times.push_back(time);
    malformed += wellFormed ? 0 : 1;
    for (std::uint32_t i = 0; i < frames; ++i) {
      left.push_back(l[i * stride]);
      right.push_back(r[i * stride]);
    }
  }
  changed.notify_all();
}

void ToneRecording::fail(std::string why) {
  {
    MutexLock lock(mutex);
    ++failures;
    failure = std::move(why);
  }
  changed.notify_all();
}

bool ToneRecording::waitFor(const std::function<bool()>& ready, std::chrono::seconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  MutexLock lock(mutex);
  while (!ready()) {
    if (!lock.waitUntil(changed, deadline)) {
      return ready();
    }
  }
  return true;
}

double ToneRecording::recentLevel() const {
  if (left.size() < 1024) {
    return 0;
  }
  return fitSine(left.data() + left.size() - 1024, 1024, 1, 1000, 48000, 0).amplitude;
}

std::size_t ToneRecording::bufferCount() {
  MutexLock lock(mutex);
  return starts.size();
}

int expectUnbrokenTone(const std::vector<float>& samples, const std::vector<std::size_t>& starts,
                       std::size_t first, double amplitude) {
  auto fit = [&](std::size_t i) {
    std::size_t end = i + 1 < starts.size() ? starts[i + 1] : samples.size();
    // Fitted on the running frame count: a continuous tone has one phase.
    return fitSine(samples.data() + starts[i], end - starts[i], 1, 1000, 48000,
                   static_cast<std::int64_t>(starts[i]));
  };
  auto length = [&](std::size_t i) {
    return (i + 1 < starts.size() ? starts[i + 1] : samples.size()) - starts[i];
  };
  int checked = 0;
  for (std::size_t i = first; i + 1 < starts.size(); ++i) {
    if (length(i) < 256) {
      continue;
    }
    SCOPED_TRACE(::testing::Message() << "buffer " << i << " at frame " << starts[i]);
    SineFit here = fit(i);
    EXPECT_NEAR(here.amplitude, amplitude, 0.02);
    EXPECT_LT(here.residual, 0.01);
    if (length(i + 1) >= 256) {
      EXPECT_NEAR(phaseDifference(fit(i + 1).phase, here.phase), 0, 0.02);
    }
    ++checked;
  }
  return checked;
}

}  // namespace kestrano::testing
