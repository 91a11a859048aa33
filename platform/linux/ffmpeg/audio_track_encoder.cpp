#include "platform/linux/ffmpeg/audio_track_encoder.h"

#include <algorithm>
#include <array>
#include <variant>

#include "platform/audio_format.h"
#include "platform/linux/ffmpeg/writer_errors.h"
#include "platform/media_time.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
}

namespace kestrano::ffmpeg {
namespace {

// Drift between time stamps and sample count that re-places the track: well
// above the ±10-20 ms jitter of buffers stamped after conversion (so normal
// jitter never cuts or pads the sound), and below the ~80 ms at which speech
// visibly leaves lip sync.
constexpr double kResyncThresholdSeconds = 0.050;
// A step of the stamps from one buffer to the next that is placed at once: a
// running sound stream's stamps step by well under a millisecond (they move
// toward the server's readings by at most 0.5% of a buffer) and by a few ms
// while a fresh one settles; its switch to another device stepped them by
// 50-160 ms in the switches logged on PipeWire 1.4.
constexpr double kStepSeconds = 0.030;
// Silence goes into the FIFO in slices of this many frames, so that a long
// gap (a suspended machine) never allocates its whole length at once.
constexpr std::int64_t kSilenceSliceFrames = 8192;

// Plane pointers of one buffer: one per channel.
using Planes = std::array<const float*, kMaxAudioChannels>;

Error encoderError(const std::string& what) {
  return writerError(WriterErrorCode::openFailed, "Cannot open the AAC encoder: " + what);
}

}  // namespace

std::unique_ptr<AudioTrackEncoder> AudioTrackEncoder::create(const AudioOutputSettings& settings,
                                                             bool globalHeader,
                                                             std::optional<Error>& error) {
  if (settings.formatID != kAudioFormatMpeg4Aac ||
      !isSupportedAudioLayout(static_cast<double>(settings.sampleRate),
                              settings.numberOfChannels) ||
      settings.encoderBitRate <= 0) {
    error = encoderError("unsupported audio settings");
    return nullptr;
  }
  // FFmpeg's native encoder: always present, and AAC LC is its only profile.
  const AVCodec* aac = avcodec_find_encoder_by_name("aac");
  if (aac == nullptr) {
    error = encoderError("FFmpeg has no aac encoder");
    return nullptr;
  }
  av::CodecContextPtr codec(avcodec_alloc_context3(aac));
  if (!codec) {
    error = encoderError("out of memory");
    return nullptr;
  }
  codec->sample_fmt = AV_SAMPLE_FMT_FLTP;
  codec->sample_rate = static_cast<int>(settings.sampleRate);
  av_channel_layout_default(&codec->ch_layout, static_cast<int>(settings.numberOfChannels));
  codec->bit_rate = settings.encoderBitRate;
  codec->profile = FF_PROFILE_AAC_LOW;
  codec->time_base = AVRational{1, codec->sample_rate};
  if (globalHeader) {
    codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }
  int rc = avcodec_open2(codec.get(), aac, nullptr);
  if (rc < 0) {
    error = encoderError(av::errorText(rc));
    return nullptr;
  }
  const int frameSize = codec->frame_size > 0 ? codec->frame_size : kAacFrameSamples;
  av::AudioFifoPtr fifo(
      av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, codec->ch_layout.nb_channels, frameSize));
  av::FramePtr frame(av_frame_alloc());
  av::PacketPtr packet(av_packet_alloc());
  if (!fifo || !frame || !packet) {
    error = encoderError("out of memory");
    return nullptr;
  }
  frame->format = AV_SAMPLE_FMT_FLTP;
  frame->sample_rate = codec->sample_rate;
  frame->nb_samples = frameSize;
  if (av_channel_layout_copy(&frame->ch_layout, &codec->ch_layout) < 0 ||
      av_frame_get_buffer(frame.get(), 0) < 0) {
    error = encoderError("out of memory");
    return nullptr;
  }
  return std::unique_ptr<AudioTrackEncoder>(new AudioTrackEncoder(
      std::move(codec), frameSize, std::move(fifo), std::move(frame), std::move(packet)));
}

AudioTrackEncoder::AudioTrackEncoder(av::CodecContextPtr codec, int frameSize,
                                     av::AudioFifoPtr fifo, av::FramePtr frame,
                                     av::PacketPtr packet)
    : codec_(std::move(codec)),
      frameSize_(frameSize),
      fifo_(std::move(fifo)),
      frame_(std::move(frame)),
      packet_(std::move(packet)),
      placement_(static_cast<std::int64_t>(kResyncThresholdSeconds * codec_->sample_rate),
                 static_cast<std::int64_t>(kStepSeconds * codec_->sample_rate)) {}

double AudioTrackEncoder::endSeconds() const {
  return static_cast<double>(placement_.position()) / codec_->sample_rate;
}

std::optional<Error> AudioTrackEncoder::encode(const MediaSample& sample,
                                               std::int64_t sessionStartNs) {
  const auto* pcm = std::get_if<PcmBuffer>(&sample.data());
  if (pcm == nullptr || pcm->frameLength() == 0) {
    return std::nullopt;
  }
  const int channels = codec_->ch_layout.nb_channels;
  const std::int64_t frames = pcm->frameLength();
  std::int64_t stamp = av_rescale(sample.presentationTimeStamp().nanoseconds() - sessionStartNs,
                                  codec_->sample_rate, kNanosecondTimescale);
  AudioPlacement::Decision d = placement_.place(stamp, frames);
  if (d.skip >= frames) {
    return std::nullopt;
  }
  if (auto e = appendSilence(d.silence)) {
    return e;
  }
  Planes planes{};
  if (pcm->format().isInterleaved()) {
    deinterleaved_.resize(static_cast<std::size_t>(channels));
    const float* in = pcm->data(0);
    for (int c = 0; c < channels; ++c) {
      auto& out = deinterleaved_[static_cast<std::size_t>(c)];
      out.resize(static_cast<std::size_t>(frames));
      for (std::int64_t i = 0; i < frames; ++i) {
        out[static_cast<std::size_t>(i)] = in[i * channels + c];
      }
      planes[static_cast<std::size_t>(c)] = out.data();
    }
  } else {
    for (int c = 0; c < channels; ++c) {
      planes[static_cast<std::size_t>(c)] = pcm->data(static_cast<std::size_t>(c));
    }
  }
  for (int c = 0; c < channels; ++c) {
    planes[static_cast<std::size_t>(c)] += d.skip;
  }
  return appendPlanar(planes.data(), frames - d.skip);
}

std::optional<Error> AudioTrackEncoder::appendPlanar(const float* const* channels,
                                                     std::int64_t frames) {
  // av_audio_fifo_write takes non-const plane pointers but only reads them.
  void** data = reinterpret_cast<void**>(const_cast<float**>(channels));
  if (av_audio_fifo_write(fifo_.get(), data, static_cast<int>(frames)) < frames) {
    return writerError(WriterErrorCode::writeFailed, "Out of memory while queueing audio");
  }
  return encodeQueued(false);
}

std::optional<Error> AudioTrackEncoder::appendSilence(std::int64_t frames) {
  if (frames <= 0) {
    return std::nullopt;
  }
  const int channels = codec_->ch_layout.nb_channels;
  std::vector<float> zeros(static_cast<std::size_t>(std::min(frames, kSilenceSliceFrames)), 0.0f);
  Planes planes{};
  for (int c = 0; c < channels; ++c) {
    planes[static_cast<std::size_t>(c)] = zeros.data();
  }
  while (frames > 0) {
    std::int64_t n = std::min(frames, kSilenceSliceFrames);
    if (auto e = appendPlanar(planes.data(), n)) {
      return e;
    }
    frames -= n;
  }
  return std::nullopt;
}

std::optional<Error> AudioTrackEncoder::encodeQueued(bool flushAll) {
  const bool smallLast = (codec_->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME) != 0;
  for (;;) {
    int available = av_audio_fifo_size(fifo_.get());
    if (available <= 0 || (available < frameSize_ && !flushAll)) {
      return std::nullopt;
    }
    int take = std::min(available, frameSize_);
    // The encoder may still hold a reference to the frame it was given last:
    // only then does the frame get a new buffer (of a whole packet).
    frame_->nb_samples = frameSize_;
    if (av_frame_make_writable(frame_.get()) < 0) {
      return writerError(WriterErrorCode::writeFailed, "Out of memory while encoding audio");
    }
    // Without small-last-frame support the tail is padded with silence.
    frame_->nb_samples = smallLast ? take : frameSize_;
    if (take < frame_->nb_samples) {
      av_samples_set_silence(frame_->extended_data, 0, frame_->nb_samples,
                             frame_->ch_layout.nb_channels, AV_SAMPLE_FMT_FLTP);
    }
    av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(frame_->extended_data), take);
    frame_->pts = encodedSamples_;
    encodedSamples_ += take;
    if (auto e = encodeAndDrain(*codec_, frame_.get(), *packet_, sink_)) {
      return e;
    }
  }
}

std::optional<Error> AudioTrackEncoder::fillSilenceTo(double seconds) {
  auto target = static_cast<std::int64_t>(seconds * codec_->sample_rate);
  std::int64_t missing = target - placement_.position();
  if (missing <= 0) {
    return std::nullopt;
  }
  placement_.advance(missing);
  return appendSilence(missing);
}

std::optional<Error> AudioTrackEncoder::finish() {
  if (auto e = encodeQueued(true)) {
    return e;
  }
  return encodeAndDrain(*codec_, nullptr, *packet_, sink_);
}

}  // namespace kestrano::ffmpeg
