#include "platform/linux/resample/swr_audio_converter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

#include "recorder/capture_settings.h"
#include "tests/resample/converter_driver.h"
#include "tests/resample/sine_fit.h"

namespace kestrano::testing {
namespace {

const AudioFormat kTarget = microphoneTargetFormat();

// A 0.5 sine on every channel, from sample `start` of a running count.
PcmBuffer sine(const AudioFormat& format, std::uint32_t frames, std::int64_t start, double hz) {
  PcmBuffer b(format, frames);
  const std::uint32_t ch = format.channelCount();
  for (std::uint32_t i = 0; i < frames * ch; ++i) {
    double t = static_cast<double>(start + i / ch) / format.sampleRate();
    (format.isInterleaved() ? b.data(0)[i] : b.data(i % ch)[i / ch]) =
        static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * hz * t));
  }
  b.setFrameLength(frames);
  return b;
}

TEST(SwrAudioConverter, SineStaysContinuousAtTheSameLevelAcrossManySmallBuffers) {
  constexpr double kHz = 997;  // divides no rate: every buffer starts at a new phase
  const std::uint32_t sizes[] = {1024, 160, 441, 1, 3000, 512, 77};  // as devices deliver them
  for (const AudioFormat& from :
       {AudioFormat(16000, 1, true), AudioFormat(44100, 2, false), AudioFormat(44100, 2, true),
        AudioFormat(48000, 1, false), AudioFormat(48000, 4, true)}) {
    SCOPED_TRACE(::testing::Message() << from.sampleRate() << " Hz " << from.channelCount()
                                      << " ch " << from.isInterleaved());
    auto converter = makeSwrAudioConverter(from, kTarget);
    ASSERT_NE(converter, nullptr);
    std::vector<float> out[2];
    std::int64_t fed = 0;
    for (int i = 0; fed < static_cast<std::int64_t>(from.sampleRate()) * 3; ++i) {
      const std::uint32_t n = sizes[i % std::size(sizes)];
      std::optional<Error> error;
      PcmBuffer o = convertLikeMicrophonePath(*converter, sine(from, n, fed, kHz), error);
      ASSERT_FALSE(error.has_value());
      for (int c = 0; c < 2; ++c) {
        out[c].insert(out[c].end(), o.data(c), o.data(c) + o.frameLength());
      }
      fed += n;
    }
    // Nothing lost or doubled, short of the resampler's delay line; a mono
    // source on both sides.
    const double expected = static_cast<double>(fed) * kTarget.sampleRate() / from.sampleRate();
    EXPECT_LE(static_cast<double>(out[0].size()), expected + 2);
    EXPECT_GE(static_cast<double>(out[0].size()), expected - 200);
    EXPECT_EQ(out[0], out[1]);
    // Past the filter's start-up, one sine throughout (a lost, doubled or
    // displaced sample leaves a residue): mono and stereo at their level, a
    // downmix at its own, neither silent nor past full scale.
    constexpr std::size_t kSkip = 4800;
    ASSERT_GT(out[0].size(), 2 * kSkip);
    auto fit = fitSine(&out[0][kSkip], out[0].size() - kSkip, 1, kHz, 48000, kSkip);
    EXPECT_TRUE(from.channelCount() > 2 ? fit.amplitude > 0.4 && fit.amplitude <= 0.505
                                        : std::abs(fit.amplitude - 0.5) < 0.005)
        << fit.amplitude;
    EXPECT_LT(fit.residual, 0.005);
  }
}

// One large buffer into a tiny output: the converter never writes past the
// room and keeps the rest for later calls; input it cannot take meanwhile is
// an error that loses nothing it holds; the end of the stream flushes.
TEST(SwrAudioConverter, SmallOutputsTakeTheRestLaterThroughMismatchedInputAndTheEndFlushes) {
  const AudioFormat from = AudioFormat::standard(44100, 2);
  auto converter = makeSwrAudioConverter(from, kTarget);
  auto input = sine(from, 44100, 0, 500);
  auto block = giveOnce(input, ConverterInputStatus::endOfStream);
  std::size_t total = 0;
  auto status = ConverterOutputStatus::haveData;
  for (int i = 0; i < 2000 && status == ConverterOutputStatus::haveData; ++i) {
    std::optional<Error> error;
    if (i == 3) {
      for (const AudioFormat& wrong : {AudioFormat(44100, 2, true), AudioFormat::standard(48000, 2),
                                       AudioFormat::standard(44100, 1)}) {
        PcmBuffer room(kTarget, 1 << 17);  // more than it holds: it asks for input
        EXPECT_EQ(converter->convert(room, error, giveOnce(sine(wrong, 4096, 0, 440))),
                  ConverterOutputStatus::error);
        EXPECT_TRUE(error && !error->description.empty() && room.frameLength() == 0);
        error.reset();
      }
    }
    PcmBuffer out(kTarget, 100);
    status = converter->convert(out, error, block);
    ASSERT_FALSE(error.has_value());
    ASSERT_LE(out.frameLength(), 100u);
    total += out.frameLength();
  }
  EXPECT_EQ(status, ConverterOutputStatus::endOfStream);
  EXPECT_NEAR(static_cast<double>(total), 48000, 2);
}

TEST(SwrAudioConverter, AbsentForFormatsThatCannotBeConverted) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  for (const AudioFormat& bad :
       {AudioFormat::standard(0, 2), AudioFormat::standard(-44100, 2),
        AudioFormat::standard(nan, 2), AudioFormat::standard(inf, 2),
        AudioFormat::standard(1e12, 2), AudioFormat::standard(44100.5, 2),
        AudioFormat::standard(48000, 0), AudioFormat::standard(48000, 100000)}) {
    EXPECT_EQ(makeSwrAudioConverter(bad, kTarget), nullptr) << bad.sampleRate() << " Hz";
    EXPECT_EQ(makeSwrAudioConverter(kTarget, bad), nullptr) << bad.channelCount() << " ch";
  }
}

}  // namespace
}  // namespace kestrano::testing
