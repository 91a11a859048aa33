#include "platform/linux/resample/swr_audio_converter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "recorder/capture_settings.h"
#include "tests/resample/converter_driver.h"
#include "tests/resample/sine_fit.h"

namespace kestrano::testing {
namespace {

const AudioFormat kTarget = microphoneTargetFormat();

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
      PcmBuffer o = convertLikeMicrophonePath(*converter, sineBuffer(from, n, fed, kHz), error);
      ASSERT_FALSE(error.has_value());
      for (int c : {0, 1}) {
        out[c].insert(out[c].end(), o.data(c), o.data(c) + o.frameLength());
      }
      fed += n;
    }
    // Nothing lost or doubled, short of the resampler's delay line; a mono
    // source on both sides.
    const double expected = static_cast<double>(fed) * kTarget.sampleRate() / from.sampleRate();
    EXPECT_NEAR(static_cast<double>(out[0].size()), expected - 99, 101);
    EXPECT_EQ(out[0], out[1]);
    // Past the filter's start-up, one sine throughout (a lost, doubled or
    // displaced sample leaves a residue): mono and stereo at their level, a
    // downmix near it, neither silent nor summed.
    constexpr std::size_t kSkip = 4800;
    ASSERT_GT(out[0].size(), 2 * kSkip);
    auto fit = fitSine(&out[0][kSkip], out[0].size() - kSkip, 1, kHz, 48000, kSkip);
    EXPECT_NEAR(fit.amplitude, 0.5, from.channelCount() > 2 ? 0.1 : 0.005);
    EXPECT_LT(fit.residual, 0.005);
  }
}

// One large buffer into a tiny output: the converter never writes past the
// room and keeps the rest for later calls; input it cannot take meanwhile is
// an error that loses nothing it holds; the end of the stream flushes.
TEST(SwrAudioConverter, SmallOutputsTakeTheRestLaterThroughMismatchedInputAndTheEndFlushes) {
  const AudioFormat from = AudioFormat::standard(44100, 2);
  auto converter = makeSwrAudioConverter(from, kTarget);
  auto input = sineBuffer(from, 44100, 0, 500);
  auto block = giveOnce(input, ConverterInputStatus::endOfStream);
  std::size_t total = 0;
  auto status = ConverterOutputStatus::haveData;
  for (int i = 0; i < 2000 && status == ConverterOutputStatus::haveData; ++i) {
    std::optional<Error> error;
    if (i == 3) {
      for (const AudioFormat& wrong : {AudioFormat(44100, 2, true), AudioFormat::standard(48000, 2),
                                       AudioFormat::standard(44100, 1)}) {
        PcmBuffer room(kTarget, 1 << 17);  // more than it holds: it asks for input
        EXPECT_EQ(converter->convert(room, error, giveOnce(sineBuffer(wrong, 4096, 0, 440))),
                  ConverterOutputStatus::error);
        EXPECT_TRUE(error && !error->description.empty() && room.frameLength() == 0);
        error.reset();
      }
    }
    PcmBuffer out(kTarget, 100);
    status = converter->convert(out, error, block);
    ASSERT_TRUE(!error && out.frameLength() <= 100u) << out.frameLength();
    total += out.frameLength();
  }
  EXPECT_EQ(status, ConverterOutputStatus::endOfStream);
  EXPECT_NEAR(static_cast<double>(total), 48000, 2);
}

TEST(SwrAudioConverter, AbsentForFormatsThatCannotBeConverted) {
  for (const AudioFormat& bad :
       {AudioFormat::standard(0, 2), AudioFormat::standard(std::nan(""), 2),
        AudioFormat::standard(1e12, 2), AudioFormat::standard(44100.5, 2),
        AudioFormat::standard(48000, 0), AudioFormat::standard(48000, 100000)}) {
    EXPECT_EQ(makeSwrAudioConverter(bad, kTarget), nullptr) << bad.sampleRate() << " Hz";
    EXPECT_EQ(makeSwrAudioConverter(kTarget, bad), nullptr) << bad.channelCount() << " ch";
  }
}

}  // namespace
}  // namespace kestrano::testing
