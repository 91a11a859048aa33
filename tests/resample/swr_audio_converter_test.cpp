#include "platform/linux/resample/swr_audio_converter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

#include "recorder/capture_settings.h"
#include "tests/resample/converter_driver.h"
#include "tests/resample/sine_fit.h"

namespace kestrano {
namespace {

using testing::fitSine;
using Channels = std::vector<std::vector<float>>;

const AudioFormat kTarget = microphoneTargetFormat();

// A sine of amplitude 0.5 on every channel of `format`, `frames` long,
// starting at sample `start` of a running count.
PcmBuffer sine(const AudioFormat& format, std::uint32_t frames, std::int64_t start,
               double frequency) {
  PcmBuffer b(format, frames);
  const double w = 2 * std::numbers::pi * frequency / format.sampleRate();
  const std::uint32_t ch = format.channelCount();
  for (std::uint32_t i = 0; i < frames; ++i) {
    for (std::uint32_t c = 0; c < ch; ++c) {
      (format.isInterleaved() ? b.data(0)[i * ch + c] : b.data(c)[i]) =
          static_cast<float>(0.5 * std::sin(w * static_cast<double>(start + i)));
    }
  }
  b.setFrameLength(frames);
  return b;
}

void append(const PcmBuffer& out, Channels& collected) {
  for (int c = 0; c < 2; ++c) {
    collected[c].insert(collected[c].end(), out.data(c), out.data(c) + out.frameLength());
  }
}

// Takes whatever the converter still holds, without ending the stream.
void collectRest(AudioConverter& converter, Channels& collected) {
  PcmBuffer out(kTarget, 1 << 20);
  std::optional<Error> error;
  EXPECT_EQ(converter.convert(out, error, testing::giveNothing()),
            ConverterOutputStatus::inputRanDry);
  append(out, collected);
}

TEST(SwrAudioConverter, SineStaysContinuousAtTheSameLevelAcrossManySmallBuffers) {
  constexpr double kFrequency = 997;  // divides no rate: every buffer starts at a new phase
  // Irregular buffer sizes, small and large, as devices deliver them.
  const std::uint32_t sizes[] = {1024, 160, 441, 1, 3000, 512, 1024, 77};
  for (const AudioFormat& from :
       {AudioFormat(16000, 1, false), AudioFormat(16000, 1, true), AudioFormat(44100, 2, false),
        AudioFormat(44100, 2, true), AudioFormat(48000, 2, false), AudioFormat(48000, 1, false),
        AudioFormat(22050, 1, false), AudioFormat(48000, 4, true)}) {
    SCOPED_TRACE(::testing::Message() << from.sampleRate() << " Hz " << from.channelCount()
                                      << (from.isInterleaved() ? " ch interleaved" : " ch planar"));
    auto converter = makeSwrAudioConverter(from, kTarget);
    ASSERT_NE(converter, nullptr);
    Channels out(2);
    std::int64_t fed = 0;
    for (int i = 0; fed < static_cast<std::int64_t>(from.sampleRate()) * 3; ++i) {
      const std::uint32_t n = sizes[i % std::size(sizes)];
      std::optional<Error> error;
      append(testing::convertLikeMicrophonePath(*converter, sine(from, n, fed, kFrequency), error),
             out);
      ASSERT_FALSE(error.has_value());
      fed += n;
    }
    collectRest(*converter, out);

    // Nothing lost or doubled, short of the resampler's delay line.
    const double expected = static_cast<double>(fed) * kTarget.sampleRate() / from.sampleRate();
    EXPECT_LE(static_cast<double>(out[0].size()), expected + 2);
    EXPECT_GE(static_cast<double>(out[0].size()), expected - 200);
    EXPECT_EQ(out[0], out[1]) << "both channels must carry the same signal";

    // Past the filter's start-up, every 1024-frame stretch carries the same
    // sine at the same phase on the running count.
    constexpr std::size_t kSkip = 4800, kChunk = 1024;
    ASSERT_GT(out[0].size(), kSkip + 10 * kChunk);
    const auto first =
        fitSine(out[0].data() + kSkip, kChunk, 1, kFrequency, kTarget.sampleRate(), kSkip);
    // Mono and stereo keep their level; a downmix sets its own, neither
    // silence nor past full scale (the 0.5 sine is on every channel).
    const double level = from.channelCount() <= 2 ? 0.5 : first.amplitude;
    EXPECT_GT(level, 0.4);
    EXPECT_LE(level, 0.5 * 1.01);
    for (std::size_t at = kSkip; at + kChunk <= out[0].size(); at += kChunk) {
      auto fit = fitSine(out[0].data() + at, kChunk, 1, kFrequency, kTarget.sampleRate(),
                         static_cast<std::int64_t>(at));
      SCOPED_TRACE(::testing::Message() << "frame " << at);
      EXPECT_NEAR(fit.amplitude, level, level * 0.01);
      EXPECT_LT(fit.residual, 0.005);
      EXPECT_NEAR(testing::phaseDifference(fit.phase, first.phase), 0, 0.01);
    }
  }
}

TEST(SwrAudioConverter, SmallOutputsTakeTheRestLaterAndEndOfStreamFlushes) {
  auto converter = makeSwrAudioConverter(AudioFormat::standard(44100, 2), kTarget);
  ASSERT_NE(converter, nullptr);
  auto input = sine(AudioFormat::standard(44100, 2), 44100, 0, 500);
  auto block = testing::giveOnce(input, ConverterInputStatus::endOfStream);
  // A tiny output and one large buffer: the converter never writes past the
  // room and keeps the rest for the next calls, then flushes its delay line.
  std::size_t total = 0;
  ConverterOutputStatus status = ConverterOutputStatus::haveData;
  for (int i = 0; i < 2000 && status == ConverterOutputStatus::haveData; ++i) {
    PcmBuffer out(kTarget, 100);
    std::optional<Error> error;
    status = converter->convert(out, error, block);
    ASSERT_FALSE(error.has_value());
    ASSERT_LE(out.frameLength(), 100u);
    total += out.frameLength();
  }
  EXPECT_EQ(status, ConverterOutputStatus::endOfStream);
  EXPECT_NEAR(static_cast<double>(total), kTarget.sampleRate(), 2);
}

TEST(SwrAudioConverter, MismatchedInputIsAnErrorThatLosesNothingBuffered) {
  auto converter = makeSwrAudioConverter(kTarget, kTarget);
  ASSERT_NE(converter, nullptr);
  // Leave converted frames waiting inside: a buffer larger than the output.
  auto big = sine(kTarget, 3000, 0, 440);
  PcmBuffer small(kTarget, 1024);
  std::optional<Error> error;
  converter->convert(small, error, testing::giveOnce(big));
  ASSERT_FALSE(error.has_value());
  EXPECT_EQ(small.frameLength(), 1024u);
  for (const AudioFormat& wrong : {AudioFormat(48000, 2, true), AudioFormat::standard(44100, 2),
                                   AudioFormat::standard(48000, 1)}) {
    auto bad = sine(wrong, 4096, 0, 440);
    PcmBuffer o(kTarget, 8192);
    error.reset();
    EXPECT_EQ(converter->convert(o, error, testing::giveOnce(bad)), ConverterOutputStatus::error);
    ASSERT_TRUE(error.has_value());
    EXPECT_FALSE(error->description.empty());
    EXPECT_EQ(o.frameLength(), 0u);
  }
  Channels out(2);
  collectRest(*converter, out);
  EXPECT_NEAR(static_cast<double>(out[0].size()), 3000 - 1024, 2);
}

TEST(SwrAudioConverter, AbsentForFormatsThatCannotBeConverted) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  for (double rate : {0.0, -44100.0, nan, inf, 1e12, 44100.5}) {
    EXPECT_EQ(makeSwrAudioConverter(AudioFormat::standard(rate, 2), kTarget), nullptr) << rate;
    EXPECT_EQ(makeSwrAudioConverter(kTarget, AudioFormat::standard(rate, 2)), nullptr) << rate;
  }
  for (std::uint32_t channels : {0u, 100000u}) {
    EXPECT_EQ(makeSwrAudioConverter(AudioFormat::standard(48000, channels), kTarget), nullptr);
    EXPECT_EQ(makeSwrAudioConverter(kTarget, AudioFormat::standard(48000, channels)), nullptr);
  }
}

}  // namespace
}  // namespace kestrano
