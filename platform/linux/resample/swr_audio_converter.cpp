#include "platform/linux/resample/swr_audio_converter.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include "platform/linux/av/av_resources.h"
#include "platform/linux/resample/resample_errors.h"

namespace kestrano {
namespace {

struct SwrFree {
  void operator()(SwrContext* s) const { swr_free(&s); }
};
using SwrPtr = std::unique_ptr<SwrContext, SwrFree>;

using FifoPtr = av::AudioFifoPtr;

// Owns an AVChannelLayout (some layouts allocate a channel map).
class ChannelLayout {
 public:
  explicit ChannelLayout(int channels) { av_channel_layout_default(&layout_, channels); }
  ~ChannelLayout() { av_channel_layout_uninit(&layout_); }
  ChannelLayout(const ChannelLayout&) = delete;
  ChannelLayout& operator=(const ChannelLayout&) = delete;
  AVChannelLayout* get() { return &layout_; }

 private:
  AVChannelLayout layout_{};
};

AVSampleFormat sampleFormatOf(const AudioFormat& f) {
  return f.isInterleaved() ? AV_SAMPLE_FMT_FLT : AV_SAMPLE_FMT_FLTP;
}

// The plane pointers of a buffer, as FFmpeg takes them, starting at `frame`.
template <typename Buffer, typename Byte>
std::vector<Byte*> planesOf(Buffer& buffer, std::uint32_t frame) {
  const AudioFormat& f = buffer.format();
  std::size_t step = f.isInterleaved() ? f.channelCount() : 1;
  std::vector<Byte*> planes;
  for (std::size_t i = 0; i < buffer.bufferCount(); ++i) {
    planes.push_back(reinterpret_cast<Byte*>(buffer.data(i) + frame * step));
  }
  return planes;
}

class SwrAudioConverter final : public AudioConverter {
 public:
  SwrAudioConverter(const AudioFormat& from, const AudioFormat& to, SwrPtr swr, FifoPtr fifo)
      : from_(from), to_(to), swr_(std::move(swr)), fifo_(std::move(fifo)) {}

  ConverterOutputStatus convert(PcmBuffer& output, std::optional<Error>& error,
                                const ConverterInputBlock& inputBlock) override {
    if (!(output.format() == to_)) {
      output.setFrameLength(0);
      error = resampleError(ResampleErrorCode::wrongOutputFormat,
                            "output buffer is not in the converter's output format");
      return ConverterOutputStatus::error;
    }
    const std::uint32_t capacity = output.frameCapacity();
    // Pull input only while what is already converted cannot fill the output;
    // anything beyond the capacity waits in the FIFO for the next call.
    bool ranDry = false;
    while (!ended_ && static_cast<std::uint32_t>(av_audio_fifo_size(fifo_.get())) < capacity) {
      ConverterInputStatus status = ConverterInputStatus::noDataNow;
      const PcmBuffer* input = inputBlock(capacity, status);
      if (status == ConverterInputStatus::endOfStream) {
        if (auto e = drain()) {
          return fail(output, error, ResampleErrorCode::conversionFailed, *e);
        }
        ended_ = true;
        break;
      }
      if (status != ConverterInputStatus::haveData || input == nullptr ||
          input->frameLength() == 0) {
        ranDry = true;
        break;
      }
      if (!(input->format() == from_)) {
        return fail(output, error, ResampleErrorCode::wrongInputFormat,
                    "input buffer is not in the converter's input format");
      }
      if (auto e = feed(*input)) {
        return fail(output, error, ResampleErrorCode::conversionFailed, *e);
      }
    }

    std::uint32_t n = std::min<std::uint32_t>(capacity, av_audio_fifo_size(fifo_.get()));
    auto planes = planesOf<PcmBuffer, void>(output, 0);
    if (n > 0 && av_audio_fifo_read(fifo_.get(), planes.data(), static_cast<int>(n)) !=
                     static_cast<int>(n)) {
      return fail(output, error, ResampleErrorCode::conversionFailed,
                  "cannot read converted audio");
    }
    output.setFrameLength(n);
    if (ended_ && av_audio_fifo_size(fifo_.get()) == 0) {
      return ConverterOutputStatus::endOfStream;
    }
    return ranDry ? ConverterOutputStatus::inputRanDry : ConverterOutputStatus::haveData;
  }

 private:
  ConverterOutputStatus fail(PcmBuffer& output, std::optional<Error>& error, ResampleErrorCode code,
                             const std::string& what) {
    output.setFrameLength(0);
    error = resampleError(code, what);
    return ConverterOutputStatus::error;
  }

  // Resamples one input buffer into the FIFO.
  std::optional<std::string> feed(const PcmBuffer& input) {
    auto in = planesOf<const PcmBuffer, const std::uint8_t>(input, 0);
    return run(in.data(), static_cast<int>(input.frameLength()));
  }

  // Empties the resampler's delay line at the end of the stream.
  std::optional<std::string> drain() { return run(nullptr, 0); }

  std::optional<std::string> run(const std::uint8_t** in, int frames) {
    int room = swr_get_out_samples(swr_.get(), frames);
    if (room < 0) {
      return "resampler state is broken";
    }
    // Even when nothing can come out yet, the input must go in: the
    // resampler keeps it for the next call.
    PcmBuffer scratch(to_, static_cast<std::uint32_t>(std::max(room, 1)));
    auto out = planesOf<PcmBuffer, std::uint8_t>(scratch, 0);
    int made = swr_convert(swr_.get(), out.data(), room, in, frames);
    if (made < 0) {
      return "resampling failed";
    }
    auto outv = planesOf<PcmBuffer, void>(scratch, 0);
    if (made > 0 && av_audio_fifo_write(fifo_.get(), outv.data(), made) != made) {
      return "out of memory for converted audio";
    }
    return std::nullopt;
  }

  const AudioFormat from_;
  const AudioFormat to_;
  SwrPtr swr_;
  FifoPtr fifo_;  // converted frames the caller has not taken yet
  bool ended_ = false;
};

}  // namespace

std::unique_ptr<AudioConverter> makeSwrAudioConverter(const AudioFormat& from,
                                                      const AudioFormat& to) {
  if (!isSupportedAudioLayout(from.sampleRate(), from.channelCount()) ||
      !isSupportedAudioLayout(to.sampleRate(), to.channelCount())) {
    return nullptr;
  }
  ChannelLayout inLayout(static_cast<int>(from.channelCount()));
  ChannelLayout outLayout(static_cast<int>(to.channelCount()));
  SwrContext* raw = nullptr;
  const int set = swr_alloc_set_opts2(
      &raw, outLayout.get(), sampleFormatOf(to), static_cast<int>(to.sampleRate()), inLayout.get(),
      sampleFormatOf(from), static_cast<int>(from.sampleRate()), 0, nullptr);
  SwrPtr swr(raw);
  if (set < 0) {
    return nullptr;
  }
  // libswresample's own engine, with a filter twice the default length for a
  // steeper cut (less aliasing from 44.1 kHz and 16 kHz microphones) at a
  // delay of ~1 ms. Not soxr: through this API it lost input whenever a
  // call's output estimate fell short (caught by the continuity tests).
  constexpr int kFilterSize = 64;
  if (av_opt_set_int(swr.get(), "resampler", SWR_ENGINE_SWR, 0) < 0 ||
      av_opt_set_int(swr.get(), "filter_size", kFilterSize, 0) < 0) {
    return nullptr;
  }
  // A downmix adds channels together; cap each output's gain sum at 1 so a
  // loud multi-channel microphone cannot clip (unnormalised, four equal
  // channels came out 10% over full scale).
  if (from.channelCount() > 2 && av_opt_set_double(swr.get(), "rematrix_maxval", 1.0, 0) < 0) {
    return nullptr;
  }
  if (from.channelCount() == 1 && to.channelCount() == 2) {
    // A mono microphone goes to both sides at full level; the default
    // mono-to-stereo mix would lower it by 3 dB.
    const double bothSides[2] = {1.0, 1.0};
    if (swr_set_matrix(swr.get(), bothSides, 1) < 0) {
      return nullptr;
    }
  }
  if (swr_init(swr.get()) < 0) {
    return nullptr;
  }
  // Room for one typical buffer; the FIFO grows when it has to.
  constexpr int kInitialFifoFrames = 4096;
  FifoPtr fifo(av_audio_fifo_alloc(sampleFormatOf(to), static_cast<int>(to.channelCount()),
                                   kInitialFifoFrames));
  if (!fifo) {
    return nullptr;
  }
  return std::make_unique<SwrAudioConverter>(from, to, std::move(swr), std::move(fifo));
}

}  // namespace kestrano
