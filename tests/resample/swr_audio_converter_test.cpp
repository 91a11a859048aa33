#include "platform/linux/resample/swr_audio_converter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

#include "tests/resample/converter_driver.h"
#include "tests/resample/sine_fit.h"

namespace kestrano {
namespace {

using testing::fitSine;
using testing::phaseDifference;

const AudioFormat kTarget = AudioFormat::standard(48000, 2);

// A sine of `amplitude` on every channel of `format`, `frames` long, starting
// at sample `start` of a running count.
PcmBuffer sine(const AudioFormat& format, std::uint32_t frames, std::int64_t start,
               double frequency, double amplitude) {
  PcmBuffer b(format, frames);
  const double w = 2 * std::numbers::pi * frequency / format.sampleRate();
  const std::uint32_t ch = format.channelCount();
  for (std::uint32_t i = 0; i < frames; ++i) {
    float v = static_cast<float>(amplitude * std::sin(w * static_cast<double>(start + i)));
    for (std::uint32_t c = 0; c < ch; ++c) {
      if (format.isInterleaved()) {
        b.data(0)[i * ch + c] = v;
      } else {
        b.data(c)[i] = v;
      }
    }
  }
  b.setFrameLength(frames);
  return b;
}

void append(const PcmBuffer& out, std::vector<std::vector<float>>& collected) {
  for (int c = 0; c < 2; ++c) {
    collected[c].insert(collected[c].end(), out.data(c), out.data(c) + out.frameLength());
  }
}

std::optional<Error> convertOnce(AudioConverter& converter, const PcmBuffer& input,
                                 std::vector<std::vector<float>>& collected) {
  std::optional<Error> error;
  append(testing::convertLikeMicrophonePath(converter, input, error), collected);
  return error;
}

// Takes whatever the converter still holds, without ending the stream.
void collectRest(AudioConverter& converter, std::vector<std::vector<float>>& collected) {
  PcmBuffer out(kTarget, 1 << 20);
  std::optional<Error> error;
  EXPECT_EQ(converter.convert(out, error, testing::giveNothing()),
            ConverterOutputStatus::inputRanDry);
  append(out, collected);
}

struct Case {
  double rate;
  std::uint32_t channels;
  bool interleaved;
  double expectedLevel;  // output amplitude for an input amplitude of 0.5
};

class ConverterContinuity : public ::testing::TestWithParam<Case> {};

TEST_P(ConverterContinuity, SineStaysContinuousAtTheSameLevelAcrossManySmallBuffers) {
  const Case c = GetParam();
  const AudioFormat from(c.rate, c.channels, c.interleaved);
  auto converter = makeSwrAudioConverter(from, kTarget);
  ASSERT_NE(converter, nullptr);

  constexpr double kFrequency = 997;  // not a divisor of any rate: every buffer has a new phase
  std::vector<std::vector<float>> out(2);
  std::int64_t fed = 0;
  // Irregular buffer sizes, small and large, as devices deliver them.
  const std::uint32_t sizes[] = {1024, 160, 441, 1, 3000, 512, 1024, 77};
  for (int i = 0; fed < static_cast<std::int64_t>(c.rate) * 3; ++i) {
    std::uint32_t n = sizes[i % std::size(sizes)];
    auto input = sine(from, n, fed, kFrequency, 0.5);
    ASSERT_FALSE(convertOnce(*converter, input, out).has_value());
    fed += n;
  }
  collectRest(*converter, out);

  // Nothing lost or doubled: what came out matches what went in, short of
  // the resampler's delay line.
  double expected = static_cast<double>(fed) * 48000.0 / c.rate;
  EXPECT_LE(static_cast<double>(out[0].size()), expected + 2);
  EXPECT_GE(static_cast<double>(out[0].size()), expected - 200);

  // Past the filter's start-up, every 1024-frame stretch carries the same
  // sine at the same phase on the running count.
  constexpr std::size_t kSkip = 4800, kChunk = 1024;
  ASSERT_GT(out[0].size(), kSkip + 10 * kChunk);
  double firstPhase = 0;
  for (std::size_t at = kSkip; at + kChunk <= out[0].size(); at += kChunk) {
    for (int ch = 0; ch < 2; ++ch) {
      auto fit =
          fitSine(out[ch].data() + at, kChunk, 1, kFrequency, 48000, static_cast<std::int64_t>(at));
      SCOPED_TRACE(::testing::Message() << "frame " << at << " channel " << ch);
      EXPECT_NEAR(fit.amplitude, c.expectedLevel, c.expectedLevel * 0.01);
      EXPECT_LT(fit.residual, 0.005);
      if (at == kSkip && ch == 0) {
        firstPhase = fit.phase;
      }
      EXPECT_NEAR(phaseDifference(fit.phase, firstPhase), 0, 0.01);
    }
  }
  EXPECT_EQ(out[0], out[1]) << "both channels must carry the same signal";
}

INSTANTIATE_TEST_SUITE_P(Formats, ConverterContinuity,
                         ::testing::Values(Case{16000, 1, false, 0.5}, Case{16000, 1, true, 0.5},
                                           Case{44100, 2, false, 0.5}, Case{44100, 2, true, 0.5},
                                           Case{48000, 2, false, 0.5}, Case{48000, 1, false, 0.5},
                                           Case{22050, 1, false, 0.5}),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           const Case& c = info.param;
                           return std::to_string(static_cast<int>(c.rate)) + "Hz" +
                                  std::to_string(c.channels) + "ch" +
                                  (c.interleaved ? "Interleaved" : "Planar");
                         });

TEST(Converter, FourChannelsAreDownmixedToEqualSides) {
  const AudioFormat from(48000, 4, true);
  auto converter = makeSwrAudioConverter(from, kTarget);
  ASSERT_NE(converter, nullptr);
  std::vector<std::vector<float>> out(2);
  for (std::int64_t fed = 0; fed < 48000; fed += 1024) {
    ASSERT_FALSE(convertOnce(*converter, sine(from, 1024, fed, 1000, 0.25), out).has_value());
  }
  collectRest(*converter, out);
  ASSERT_GT(out[0].size(), 40000u);
  auto fit = fitSine(out[0].data() + 4800, 30000, 1, 1000, 48000, 4800);
  EXPECT_GT(fit.amplitude, 0.2);
  EXPECT_LT(fit.residual, 0.005);
  EXPECT_EQ(out[0], out[1]);
}

TEST(Converter, NeverWritesPastTheCapacityAndKeepsTheRest) {
  const AudioFormat from = AudioFormat::standard(44100, 2);
  auto converter = makeSwrAudioConverter(from, kTarget);
  ASSERT_NE(converter, nullptr);
  auto input = sine(from, 44100, 0, 500, 0.5);
  std::size_t total = 0;
  auto block = testing::giveOnce(input);
  // A tiny output and a block with one large buffer: many calls drain it.
  for (int i = 0; i < 2000; ++i) {
    PcmBuffer out(kTarget, 100);
    std::optional<Error> error;
    auto status = converter->convert(out, error, block);
    ASSERT_FALSE(error.has_value());
    ASSERT_LE(out.frameLength(), 100u);
    total += out.frameLength();
    if (out.frameLength() < 100) {
      EXPECT_EQ(status, ConverterOutputStatus::inputRanDry);
      break;
    }
  }
  EXPECT_GE(total, 48000u - 200);
  EXPECT_LE(total, 48000u + 2);
}

TEST(Converter, EndOfStreamFlushesTheDelayLine) {
  const AudioFormat from = AudioFormat::standard(16000, 1);
  auto converter = makeSwrAudioConverter(from, kTarget);
  ASSERT_NE(converter, nullptr);
  auto input = sine(from, 16000, 0, 300, 0.5);
  PcmBuffer out(kTarget, 60000);
  std::optional<Error> error;
  auto status =
      converter->convert(out, error, testing::giveOnce(input, ConverterInputStatus::endOfStream));
  EXPECT_FALSE(error.has_value());
  EXPECT_EQ(status, ConverterOutputStatus::endOfStream);
  EXPECT_NEAR(out.frameLength(), 48000, 2);
}

TEST(Converter, MismatchedInputIsAnErrorThatLosesNothingBuffered) {
  const AudioFormat from = AudioFormat::standard(48000, 2);
  auto converter = makeSwrAudioConverter(from, kTarget);
  ASSERT_NE(converter, nullptr);
  std::vector<std::vector<float>> out(2);
  // Leave converted frames waiting inside: a buffer larger than the output.
  auto big = sine(from, 3000, 0, 440, 0.5);
  PcmBuffer small(kTarget, 1024);
  std::optional<Error> error;
  converter->convert(small, error, testing::giveOnce(big));
  ASSERT_FALSE(error.has_value());
  EXPECT_EQ(small.frameLength(), 1024u);
  for (const AudioFormat& wrong : {AudioFormat(48000, 2, true), AudioFormat::standard(44100, 2),
                                   AudioFormat::standard(48000, 1)}) {
    auto bad = sine(wrong, 4096, 0, 440, 0.5);
    PcmBuffer o(kTarget, 8192);
    error.reset();
    auto status = converter->convert(o, error, testing::giveOnce(bad));
    EXPECT_EQ(status, ConverterOutputStatus::error);
    ASSERT_TRUE(error.has_value());
    EXPECT_FALSE(error->description.empty());
    EXPECT_EQ(o.frameLength(), 0u);
  }
  collectRest(*converter, out);
  EXPECT_NEAR(static_cast<double>(out[0].size()), 3000 - 1024, 2);
}

TEST(Converter, AbsentForFormatsThatCannotBeConverted) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  for (const AudioFormat& bad :
       {AudioFormat::standard(48000, 0), AudioFormat::standard(0, 2), AudioFormat::standard(0, 0),
        AudioFormat::standard(-44100, 2), AudioFormat::standard(nan, 2),
        AudioFormat::standard(inf, 2), AudioFormat::standard(1e12, 2),
        AudioFormat::standard(44100.5, 2), AudioFormat::standard(48000, 100000)}) {
    SCOPED_TRACE(::testing::Message() << bad.sampleRate() << " Hz " << bad.channelCount() << " ch");
    EXPECT_EQ(makeSwrAudioConverter(bad, kTarget), nullptr);
    EXPECT_EQ(makeSwrAudioConverter(kTarget, bad), nullptr);
  }
}

}  // namespace
}  // namespace kestrano
