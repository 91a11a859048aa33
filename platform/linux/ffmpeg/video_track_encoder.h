#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "platform/error.h"
#include "platform/linux/av/av_resources.h"
#include "platform/linux/ffmpeg/packet_sink.h"
#include "platform/media_sample.h"
#include "platform/media_writer.h"

namespace kestrano::ffmpeg {

// The H.264 track: x264 in High profile with a variable frame rate. Every
// frame keeps its own time; nothing is repeated at a fixed rate, so a still
// screen costs nothing. Used by one thread at a time.
class VideoTrackEncoder {
 public:
  // Opens libx264 for the settings, with SPS and PPS as extradata when
  // `globalHeader` (the container keeps them); nothing with `error` set when
  // it cannot.
  static std::unique_ptr<VideoTrackEncoder> create(const VideoOutputSettings& settings,
                                                   bool globalHeader, std::optional<Error>& error);

  const AVCodecContext& codec() const { return *codec_; }
  void setSink(PacketSink sink) { sink_ = std::move(sink); }

  // One frame (i420 or bgra, any size: other sizes are scaled to the track's).
  // Frames before the session start, or not later than the previous frame,
  // are dropped.
  std::optional<Error> encode(const std::shared_ptr<MediaSample>& sample,
                              std::int64_t sessionStartNs);
  bool hasFrames() const { return lastPts_ >= 0; }
  // Where the track ends if nothing else decides: one nominal frame (the
  // expected frame interval) after the last frame.
  double naturalEndSeconds() const;
  // Encodes the last picture once more if needed so that the track lasts up
  // to `endSeconds`, then drains the encoder.
  std::optional<Error> finish(double endSeconds);

 private:
  VideoTrackEncoder(av::CodecContextPtr codec, av::PacketPtr packet, av::PacketPtr held, int width,
                    int height, std::int64_t frameTicks);

  // The picture to encode for a frame, in the encoder's size and format.
  av::FramePtr pictureFor(const std::shared_ptr<MediaSample>& sample, const VideoFrame& frame);
  av::FramePtr wrapWithoutCopy(const std::shared_ptr<MediaSample>& sample, const VideoFrame& frame);
  av::FramePtr convert(const VideoFrame& frame);
  std::optional<Error> send(const AVFrame* picture);
  // Passes the packet before this one on, now that its duration is known.
  std::optional<Error> holdBack(AVPacket& packet);

  av::CodecContextPtr codec_;
  av::PacketPtr packet_;
  av::PacketPtr held_;  // the latest packet, waiting for its successor
  PacketSink sink_;
  const int width_;                // the configured size
  const int height_;               // may be odd; the encoded height is then one row more
  const std::int64_t frameTicks_;  // the expected frame interval, in the codec's time base
  av::SwsContextPtr scaler_;
  av::FramePtr lastPicture_;
  std::int64_t lastPts_ = -1;     // in the codec's time base
  bool keyFramePending_ = false;  // asked of a picture that was left out
};

}  // namespace kestrano::ffmpeg
