// The microphone path's conversion alone: tap-sized buffers of a few
// microphone formats to the microphone track's format, with the output
// capacity the path uses. Prints CPU milliseconds per second of audio for
// each format.
//
//   converter_bench [seconds of audio per format, default 600]
#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <optional>

#include "platform/linux/resample/swr_audio_converter.h"
#include "recorder/capture_settings.h"

namespace {

using namespace kestrano;

double cpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void run(const AudioFormat& from, int seconds) {
  const AudioFormat to = microphoneTargetFormat();
  auto converter = makeSwrAudioConverter(from, to);
  if (!converter) {
    std::printf("%6.0f Hz %u ch: no converter\n", from.sampleRate(), from.channelCount());
    return;
  }
  constexpr std::uint32_t kTap = kMicrophoneTapBufferFrames;
  PcmBuffer input(from, kTap);
  const double w = 2 * std::numbers::pi * 1000 / from.sampleRate();
  for (std::uint32_t c = 0; c < from.channelCount(); ++c) {
    for (std::uint32_t i = 0; i < kTap; ++i) {
      input.data(c)[i] = static_cast<float>(0.5 * std::sin(w * i));
    }
  }
  input.setFrameLength(kTap);
  // The room the microphone path gives each conversion.
  const std::uint32_t capacity =
      microphoneCapacity(kTap, to.sampleRate(), from.sampleRate()).value_or(0) +
      kMicrophoneConverterHeadroom;
  const long buffers = static_cast<long>(seconds * from.sampleRate() / kTap);
  std::uint64_t framesOut = 0;
  const double began = cpuSeconds();
  for (long b = 0; b < buffers; ++b) {
    PcmBuffer out(to, capacity);
    bool given = false;
    std::optional<Error> error;
    converter->convert(out, error, [&](std::uint32_t, ConverterInputStatus& s) -> const PcmBuffer* {
      s = given ? ConverterInputStatus::noDataNow : ConverterInputStatus::haveData;
      const PcmBuffer* r = given ? nullptr : &input;
      given = true;
      return r;
    });
    framesOut += out.frameLength();
  }
  const double cpu = cpuSeconds() - began;
  // Frames still held inside the converter at the end: its backlog, which is
  // the delay the microphone track carries.
  const double expected = static_cast<double>(buffers) * kTap * to.sampleRate() / from.sampleRate();
  std::printf("%6.0f Hz %u ch: %.3f ms CPU per second of audio, backlog %.1f ms\n",
              from.sampleRate(), from.channelCount(), cpu * 1000 / seconds,
              (expected - static_cast<double>(framesOut)) * 1000 / to.sampleRate());
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 600;
  run(AudioFormat::standard(16000, 1), seconds);
  run(AudioFormat::standard(44100, 2), seconds);
  run(AudioFormat::standard(48000, 2), seconds);
  run(AudioFormat::standard(48000, 4), seconds);
  return 0;
}
