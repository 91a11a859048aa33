#include "tests/pulse/tone_player.h"

#include <pulse/simple.h>

#include <cmath>
#include <memory>
#include <numbers>
#include <vector>

namespace kestrano::testing {
namespace {

struct SimpleFree {
  void operator()(pa_simple* s) const { pa_simple_free(s); }
};

}  // namespace

TonePlayer::TonePlayer(const std::string& sink, std::uint32_t rate, std::uint32_t channels,
                       double frequency, double amplitude)
    : thread_(&TonePlayer::run, this, sink, rate, channels, frequency, amplitude) {}

TonePlayer::~TonePlayer() {
  stop_.store(true, std::memory_order_relaxed);
  thread_.join();
}

void TonePlayer::run(std::string sink, std::uint32_t rate, std::uint32_t channels, double frequency,
                     double amplitude) {
  pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, rate, static_cast<std::uint8_t>(channels)};
  // A deep buffer: a loaded machine (or a sanitizer build) must not starve
  // the sink into silence; tests wait for the tone rather than time it.
  pa_buffer_attr attr{};
  attr.maxlength = static_cast<std::uint32_t>(-1);
  attr.tlength = static_cast<std::uint32_t>(pa_usec_to_bytes(1000000, &spec));
  attr.prebuf = attr.minreq = attr.fragsize = static_cast<std::uint32_t>(-1);
  std::unique_ptr<pa_simple, SimpleFree> s(pa_simple_new(
      nullptr, "tone", PA_STREAM_PLAYBACK, sink.c_str(), "tone", &spec, nullptr, &attr, nullptr));
  if (!s) {
    return;
  }
  const std::uint32_t chunk = rate / 100;
  std::vector<float> samples(static_cast<std::size_t>(chunk) * channels);
  const double w = 2 * std::numbers::pi * frequency / rate;
  std::int64_t n = 0;
  while (!stop_.load(std::memory_order_relaxed)) {
    for (std::uint32_t i = 0; i < chunk; ++i, ++n) {
      float v = static_cast<float>(amplitude * std::sin(w * static_cast<double>(n % rate)));
      for (std::uint32_t c = 0; c < channels; ++c) {
        samples[i * channels + c] = v;
      }
    }
    if (pa_simple_write(s.get(), samples.data(), samples.size() * sizeof(float), nullptr) < 0) {
      return;  // the server went away
    }
  }
}

}  // namespace kestrano::testing
