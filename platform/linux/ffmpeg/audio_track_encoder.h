#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/error.h"
#include "platform/linux/av/av_resources.h"
#include "platform/linux/ffmpeg/audio_placement.h"
#include "platform/linux/ffmpeg/packet_sink.h"
#include "platform/media_sample.h"
#include "platform/media_writer.h"

namespace kestrano::ffmpeg {

// Sample frames in one AAC LC packet.
inline constexpr int kAacFrameSamples = 1024;

// One AAC track: places PCM buffers on the track's sample count (see
// AudioPlacement), gathers them into the encoder's packet-sized frames and
// encodes them. Used by one thread at a time.
class AudioTrackEncoder {
 public:
  // Opens FFmpeg's AAC encoder (AAC LC) for the settings, with its
  // configuration as extradata when `globalHeader` (the container keeps it);
  // nothing with `error` set when it cannot.
  static std::unique_ptr<AudioTrackEncoder> create(const AudioOutputSettings& settings,
                                                   bool globalHeader, std::optional<Error>& error);

  const AVCodecContext& codec() const { return *codec_; }
  void setSink(PacketSink sink) { sink_ = std::move(sink); }

  // One buffer of the track's rate and channel count, 32-bit float, planar
  // or interleaved, stamped on the same clock as `sessionStartNs`.
  std::optional<Error> encode(const MediaSample& sample, std::int64_t sessionStartNs);
  // Seconds of audio placed so far (0 when nothing was).
  double endSeconds() const;
  bool hasAudio() const { return placement_.started(); }
  // Pads a track that received nothing with silence up to `seconds`, so the
  // file keeps every track in its place.
  std::optional<Error> fillSilenceTo(double seconds);
  // Encodes the rest and drains the encoder.
  std::optional<Error> finish();

 private:
  AudioTrackEncoder(av::CodecContextPtr codec, int frameSize, av::AudioFifoPtr fifo,
                    av::FramePtr frame, av::PacketPtr packet);

  std::optional<Error> appendSilence(std::int64_t frames);
  std::optional<Error> appendPlanar(const float* const* channels, std::int64_t frames);
  // Encodes every whole packet's worth waiting in the FIFO (all of it when
  // `flushAll`, the last one short).
  std::optional<Error> encodeQueued(bool flushAll);

  av::CodecContextPtr codec_;
  const int frameSize_;  // sample frames per encoded packet
  av::AudioFifoPtr fifo_;
  av::FramePtr frame_;  // reused for every packet; the encoder may still hold the last one
  av::PacketPtr packet_;
  PacketSink sink_;
  AudioPlacement placement_;
  std::int64_t encodedSamples_ = 0;                // pts of the next frame sent to the encoder
  std::vector<std::vector<float>> deinterleaved_;  // scratch for interleaved input
};

}  // namespace kestrano::ffmpeg
