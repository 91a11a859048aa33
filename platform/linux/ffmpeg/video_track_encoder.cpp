#include "platform/linux/ffmpeg/video_track_encoder.h"

#include <algorithm>
#include <cstring>
#include <variant>

#include "platform/linux/ffmpeg/writer_errors.h"
#include "platform/media_time.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/mathematics.h>
#include <libavutil/opt.h>
}

namespace kestrano::ffmpeg {
namespace {

// Fine enough for any capture clock, and the usual MPEG video time base.
constexpr AVRational kTimeBase{1, 90000};
// Frame times sit on a grid of 1/180 s. Readers that guess a frame rate
// (ffmpeg's tools, converters) take the grid's rate when every interval is a
// multiple of it; otherwise they take the average rate, and an unevenly
// captured recording (fewer frames a second on average than the source's
// highest rate) then has frames closer than the guess, which they report as
// non-increasing time stamps and drop. A frame moves by at most 2.8 ms. The
// nominal frame (the expected frame interval) must be a whole number of
// steps, so that a frame one nominal frame after another stays on the grid.
constexpr std::int64_t kGridTicks = 500;
// veryfast: its macroblock-tree rate control (absent from superfast) spends
// the bits of a still screen on the key frames that later frames copy from.
// Measured on a text-heavy desktop at 500 kbit/s: SSIM 0.971 against
// superfast's 0.964 and medium's 0.974, for ~10% more CPU than superfast and
// under half of medium's (docs/BENCHMARKS.md).
constexpr const char* kPreset = "veryfast";
// One encoding thread: at 720p a frame takes ~12 ms of the 67 ms it lasts,
// and a second frame thread costs ~14 MB (a frame in flight with its
// reference and analysis buffers), a sixth of the recorder's memory, for
// the same CPU per frame and the same SSIM. The capture's and the writer's
// queues absorb a late frame or two.
constexpr int kEncoderThreads = 1;
// veryfast looks 10 frames ahead with up to 3 B-frames; on screen content 3
// frames and one B-frame keep the SSIM within 0.0005 for a quarter less CPU
// and ~34 MB less memory (x264 keeps full pictures for each frame it holds).
// Each frame of look-ahead is ~2 MB; 5 frames gave SSIM +0.0001 to +0.0002
// over 3.
constexpr int kLookaheadFrames = 3;
constexpr int kMaxBFrames = 1;
// Screen content moves by whole rows and columns (scrolling, dragged
// windows), often farther than veryfast's hexagon search finds: the uneven
// multi-hexagon search over 32 pixels finds the scroll, and lighter
// deblocking keeps text edges. On a page scrolling 6 px a frame at
// 500 kbit/s: SSIM 0.9326 -> 0.9414 (the medium preset's), for ~10% more
// encoder CPU; on a still desktop +0.0004.
constexpr const char* kScreenContentParams = "me=umh:merange=32:deblock=-2,-2";
// Rate control: x264's average bit rate mode keeps the configured average;
// the VBV (peak twice the average over a 4 s buffer) stops a burst of motion
// from spending seconds of budget in a few frames. A 2 s buffer starved the
// key frames of a detailed screen (SSIM -0.01 on a still desktop).
constexpr std::int64_t kPeakRateFactor = 2;
constexpr std::int64_t kVbvBufferSeconds = 4;

// The nearest grid point to a time that is not negative.
std::int64_t onGrid(std::int64_t ticks) {
  return (ticks + kGridTicks / 2) / kGridTicks * kGridTicks;
}

Error encoderError(const std::string& what) {
  return writerError(WriterErrorCode::openFailed, "Cannot open the H.264 encoder: " + what);
}

// Releases the sample that a wrapped picture borrows its pixels from.
void releaseSample(void* opaque, std::uint8_t*) {
  delete static_cast<std::shared_ptr<MediaSample>*>(opaque);
}

// The expected frame interval in ticks of kTimeBase; 0 unless it is a whole
// number of grid steps, one second at most.
std::int64_t nominalFrameTicks(MediaTime interval) {
  if (!interval.valid || interval.value <= 0 || interval.value > interval.timescale) {
    return 0;
  }
  std::int64_t ticks = av_rescale(interval.value, kTimeBase.den, interval.timescale);
  bool exact = ticks * interval.timescale == interval.value * kTimeBase.den;
  return exact && ticks % kGridTicks == 0 ? ticks : 0;
}

bool wantsKeyFrame(const MediaSample& sample) {
  const auto& attachments = sample.sampleAttachments();
  return attachments && !attachments->empty() && attachments->front() &&
         attachments->front()->count(kForceKeyFrameKey) > 0;
}

}  // namespace

std::unique_ptr<VideoTrackEncoder> VideoTrackEncoder::create(const VideoOutputSettings& settings,
                                                             bool globalHeader,
                                                             std::optional<Error>& error) {
  const std::int64_t frameTicks = nominalFrameTicks(settings.expectedFrameInterval);
  if (settings.codec != VideoCodec::h264 || settings.width <= 0 || settings.height <= 0 ||
      settings.width > 8192 || settings.height > 8192 || settings.width % 2 != 0 ||
      settings.compression.averageBitRate <= 0 || settings.compression.maxKeyFrameInterval <= 0 ||
      frameTicks == 0) {
    error = encoderError(
        "unsupported video settings (an even width, a height, a bit rate and a frame interval "
        "of whole 1/180 s steps are needed)");
    return nullptr;
  }
  const AVCodec* x264 = avcodec_find_encoder_by_name("libx264");
  if (x264 == nullptr) {
    error = encoderError("FFmpeg has no libx264 encoder");
    return nullptr;
  }
  av::CodecContextPtr codec(avcodec_alloc_context3(x264));
  if (!codec) {
    error = encoderError("out of memory");
    return nullptr;
  }
  const int width = static_cast<int>(settings.width);
  const int height = static_cast<int>(settings.height);
  codec->width = width;
  // 4:2:0 H.264 cannot store an odd height, and its cropping works in steps of
  // two rows: an odd height is padded by one row (a copy of the last one), so
  // every captured row is kept.
  codec->height = height + (height % 2);
  codec->pix_fmt = AV_PIX_FMT_YUV420P;
  codec->time_base = kTimeBase;
  codec->framerate = AVRational{settings.expectedFrameInterval.timescale,
                                static_cast<int>(settings.expectedFrameInterval.value)};
  codec->bit_rate = settings.compression.averageBitRate;
  codec->rc_max_rate = settings.compression.averageBitRate * kPeakRateFactor;
  codec->rc_buffer_size = static_cast<int>(settings.compression.averageBitRate * kVbvBufferSeconds);
  codec->gop_size = static_cast<int>(settings.compression.maxKeyFrameInterval);
  codec->thread_count = kEncoderThreads;
  codec->max_b_frames = kMaxBFrames;
  codec->profile = FF_PROFILE_H264_HIGH;
  if (globalHeader) {
    codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }
  av_opt_set(codec->priv_data, "preset", kPreset, 0);
  av_opt_set(codec->priv_data, "profile", "high", 0);
  av_opt_set_int(codec->priv_data, "rc-lookahead", kLookaheadFrames, 0);
  av_opt_set(codec->priv_data, "x264-params", kScreenContentParams, 0);
  int rc = avcodec_open2(codec.get(), x264, nullptr);
  if (rc < 0) {
    error = encoderError(av::errorText(rc));
    return nullptr;
  }
  av::PacketPtr packet(av_packet_alloc());
  av::PacketPtr held(av_packet_alloc());
  if (!packet || !held) {
    error = encoderError("out of memory");
    return nullptr;
  }
  return std::unique_ptr<VideoTrackEncoder>(new VideoTrackEncoder(
      std::move(codec), std::move(packet), std::move(held), width, height, frameTicks));
}

VideoTrackEncoder::VideoTrackEncoder(av::CodecContextPtr codec, av::PacketPtr packet,
                                     av::PacketPtr held, int width, int height,
                                     std::int64_t frameTicks)
    : codec_(std::move(codec)),
      packet_(std::move(packet)),
      held_(std::move(held)),
      width_(width),
      height_(height),
      frameTicks_(frameTicks) {}

double VideoTrackEncoder::naturalEndSeconds() const {
  if (lastPts_ < 0) {
    return 0;
  }
  return static_cast<double>(lastPts_ + frameTicks_) * av_q2d(kTimeBase);
}

av::FramePtr VideoTrackEncoder::wrapWithoutCopy(const std::shared_ptr<MediaSample>& sample,
                                                const VideoFrame& frame) {
  av::FramePtr picture(av_frame_alloc());
  auto holder = std::make_unique<std::shared_ptr<MediaSample>>(sample);
  if (!picture) {
    return nullptr;
  }
  // The picture borrows the sample's planes; the buffer reference keeps the
  // sample alive for as long as the encoder holds the picture.
  const VideoFrame::Plane& last = frame.plane(2);
  auto size = static_cast<std::size_t>(
      last.data + static_cast<std::ptrdiff_t>(last.stride) * last.rows - frame.plane(0).data);
  AVBufferRef* buffer = av_buffer_create(frame.plane(0).data, size, releaseSample, holder.get(),
                                         AV_BUFFER_FLAG_READONLY);
  if (buffer == nullptr) {
    return nullptr;
  }
  holder.release();  // now owned by `buffer`
  picture->buf[0] = buffer;
  for (int i = 0; i < 3; ++i) {
    picture->data[i] = frame.plane(i).data;
    picture->linesize[i] = frame.plane(i).stride;
  }
  picture->format = AV_PIX_FMT_YUV420P;
  picture->width = codec_->width;
  picture->height = codec_->height;
  return picture;
}

av::FramePtr VideoTrackEncoder::convert(const VideoFrame& frame) {
  av::FramePtr picture(av_frame_alloc());
  if (!picture) {
    return nullptr;
  }
  picture->format = AV_PIX_FMT_YUV420P;
  picture->width = codec_->width;
  picture->height = codec_->height;
  if (av_frame_get_buffer(picture.get(), 0) < 0) {
    return nullptr;
  }
  if (frame.pixelFormat() == PixelFormat::i420 && frame.width() == width_ &&
      frame.height() == height_) {
    // Only the odd-height case gets here: copy, then pad below.
    for (int i = 0; i < 3; ++i) {
      int bytesPerRow = i == 0 ? width_ : (width_ + 1) / 2;
      av_image_copy_plane(picture->data[i], picture->linesize[i], frame.plane(i).data,
                          frame.plane(i).stride, bytesPerRow, frame.plane(i).rows);
    }
  } else {
    // Another format or size: one pass that converts and scales. Bilinear
    // keeps text readable when a frame is shrunk.
    AVPixelFormat source =
        frame.pixelFormat() == PixelFormat::bgra ? AV_PIX_FMT_BGRA : AV_PIX_FMT_YUV420P;
    // sws_getCachedContext frees the context it is given when it makes another.
    scaler_.reset(sws_getCachedContext(scaler_.release(), frame.width(), frame.height(), source,
                                       width_, height_, AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr,
                                       nullptr, nullptr));
    if (!scaler_) {
      return nullptr;
    }
    const std::uint8_t* sourceData[4] = {};
    int sourceStride[4] = {};
    for (int i = 0; i < frame.planeCount(); ++i) {
      sourceData[i] = frame.plane(i).data;
      sourceStride[i] = frame.plane(i).stride;
    }
    sws_scale(scaler_.get(), sourceData, sourceStride, 0, frame.height(), picture->data,
              picture->linesize);
  }
  for (int row = height_; row < codec_->height; ++row) {
    std::memcpy(picture->data[0] + static_cast<std::ptrdiff_t>(row) * picture->linesize[0],
                picture->data[0] + static_cast<std::ptrdiff_t>(row - 1) * picture->linesize[0],
                static_cast<std::size_t>(width_));
  }
  return picture;
}

av::FramePtr VideoTrackEncoder::pictureFor(const std::shared_ptr<MediaSample>& sample,
                                           const VideoFrame& frame) {
  // The capture delivers i420 at the track's size: x264 reads those planes
  // as they are, unless an odd height needs its padding row.
  if (frame.pixelFormat() == PixelFormat::i420 && frame.width() == width_ &&
      frame.height() == height_ && height_ == codec_->height) {
    return wrapWithoutCopy(sample, frame);
  }
  return convert(frame);
}

std::optional<Error> VideoTrackEncoder::holdBack(AVPacket& packet) {
  // A sample in MP4 lasts until the next one in decode order; a fragment
  // stores that as the sample's duration, so each packet waits for the next
  // one to learn it.
  std::optional<Error> e;
  if (held_->data != nullptr) {
    held_->duration = std::max<std::int64_t>(1, packet.dts - held_->dts);
    e = sink_(*held_, codec_->time_base);
    av_packet_unref(held_.get());
  }
  av_packet_move_ref(held_.get(), &packet);
  return e;
}

std::optional<Error> VideoTrackEncoder::send(const AVFrame* picture) {
  return encodeAndDrain(*codec_, picture, *packet_,
                        [this](AVPacket& packet, AVRational) { return holdBack(packet); });
}

std::optional<Error> VideoTrackEncoder::encode(const std::shared_ptr<MediaSample>& sample,
                                               std::int64_t sessionStartNs) {
  const auto* frame = std::get_if<VideoFrame>(&sample->data());
  if (frame == nullptr) {
    return std::nullopt;
  }
  std::int64_t pts = av_rescale(sample->presentationTimeStamp().nanoseconds() - sessionStartNs,
                                kTimeBase.den, kNanosecondTimescale);
  if (pts < 0) {
    return std::nullopt;  // before the session start
  }
  pts = onGrid(pts);
  if (lastPts_ < 0) {
    // The first picture is shown from the start of the track, so the track
    // has no hole before it (the screen looked like this then).
    pts = 0;
  } else if (pts <= lastPts_) {
    // x264 needs strictly rising times (and one per grid step); a key frame
    // asked of a picture left out goes to the next one.
    keyFramePending_ = keyFramePending_ || wantsKeyFrame(*sample);
    return std::nullopt;
  }
  av::FramePtr picture = pictureFor(sample, *frame);
  if (!picture) {
    return writerError(WriterErrorCode::writeFailed, "Out of memory while encoding video");
  }
  picture->pts = pts;
  // Asked for after a pause: a decoder starts afresh here.
  picture->pict_type =
      keyFramePending_ || wantsKeyFrame(*sample) ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
  keyFramePending_ = false;
  lastPts_ = pts;
  std::optional<Error> e = send(picture.get());
  lastPicture_ = std::move(picture);
  return e;
}

std::optional<Error> VideoTrackEncoder::finish(double endSeconds) {
  if (!lastPicture_) {
    return send(nullptr);
  }
  auto endPts = static_cast<std::int64_t>(endSeconds * kTimeBase.den + 0.5);
  if (endPts > lastPts_) {
    // The screen stood still at the end: the last picture is shown once more
    // at the very end, so the track reaches the end of the sound. Its own
    // length is lost on the way to an ordinary MP4 (the last sample of a
    // track gets no duration there), so only a frame that starts at the end
    // makes the track last that long. It keeps at least a nominal frame from
    // the picture before, as every frame does: players and converters that
    // work at the nominal rate stumble over two pictures in one frame time
    // (non-increasing time stamps). So the track may end up to a frame after
    // the sound; leaving the repeat out instead would cut the last picture.
    endPts = onGrid(std::max(endPts, lastPts_ + frameTicks_));
    av::FramePtr repeat(av_frame_clone(lastPicture_.get()));
    if (!repeat) {
      return writerError(WriterErrorCode::writeFailed, "Out of memory while encoding video");
    }
    repeat->pts = endPts;
    lastPts_ = endPts;
    if (auto e = send(repeat.get())) {
      return e;
    }
  }
  lastPicture_.reset();
  if (auto e = send(nullptr)) {
    return e;
  }
  if (held_->data != nullptr) {
    // The last packet in decode order is shown until the end; no frame
    // follows it to tell its length, so it gets the nominal one.
    held_->duration = frameTicks_;
    std::optional<Error> e = sink_(*held_, codec_->time_base);
    av_packet_unref(held_.get());
    return e;
  }
  return std::nullopt;
}

}  // namespace kestrano::ffmpeg
