#include "platform/linux/ffmpeg/fragmented_muxer.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/linux/ffmpeg/writer_errors.h"

extern "C" {
#include <libavutil/mathematics.h>
}

namespace kestrano::ffmpeg {
namespace {

// A fragment closes after this much media, whatever the key frames do: a
// still screen yields no key frames, and a killed recorder loses at most the
// open fragment plus what the encoders still hold (~2 s in all).
constexpr double kFragmentSeconds = 1.0;

// empty_moov: the index is written up front, before any sample, so the file
// is valid from the first fragment on. default_base_moof: offsets inside a
// fragment count from its own moof, as readers of fragmented MP4 expect.
// frag_custom: fragments close only when this class says so (time based).
// skip_trailer: no mfra at the end; its offsets would miss the reserved room
// (below), and the finished file has no use for it.
constexpr const char* kMovFlags = "empty_moov+default_base_moof+frag_custom+skip_trailer";

// Room right after ftyp for the header of the mdat that the finished file
// puts there (a 64-bit one needs 16 bytes); a free box until then.
constexpr std::int64_t kReservedBytes = 16;

// Moves what follows ftyp in the header just written (the moov, which holds
// no file offsets) behind a free box of kReservedBytes.
std::optional<std::string> reserveAfterFtyp(int fd, std::int64_t headerBytes) {
  if (headerBytes < 16 || headerBytes > (1 << 20)) {
    return "an unexpected header";
  }
  std::vector<std::uint8_t> header(static_cast<std::size_t>(headerBytes) + kReservedBytes);
  if (::pread(fd, header.data(), header.size() - kReservedBytes, 0) != headerBytes) {
    return "cannot read its header back";
  }
  const std::size_t ftyp = std::size_t{header[0]} << 24 | std::size_t{header[1]} << 16 |
                           std::size_t{header[2]} << 8 | header[3];
  if (ftyp + 8 > static_cast<std::size_t>(headerBytes)) {
    return "an unexpected header";
  }
  std::copy_backward(header.begin() + static_cast<std::ptrdiff_t>(ftyp),
                     header.begin() + headerBytes, header.end());
  const std::uint8_t free[kReservedBytes] = {0, 0, 0, kReservedBytes, 'f', 'r', 'e', 'e'};
  std::copy(std::begin(free), std::end(free), header.begin() + static_cast<std::ptrdiff_t>(ftyp));
  if (::pwrite(fd, header.data(), header.size(), 0) != static_cast<ssize_t>(header.size())) {
    return std::strerror(errno);
  }
  return std::nullopt;
}

}  // namespace

std::unique_ptr<FragmentedMuxer> FragmentedMuxer::create(const std::string& path,
                                                         std::optional<Error>& error) {
  AVFormatContext* raw = nullptr;
  int rc = avformat_alloc_output_context2(&raw, nullptr, "mp4", path.c_str());
  if (rc < 0 || raw == nullptr) {
    error = writerError(WriterErrorCode::openFailed,
                        "Cannot set up an MP4 file for " + path + ": " + av::errorText(rc));
    return nullptr;
  }
  return std::unique_ptr<FragmentedMuxer>(new FragmentedMuxer(path, av::OutputContextPtr(raw)));
}

FragmentedMuxer::FragmentedMuxer(std::string path, av::OutputContextPtr context)
    : path_(std::move(path)),
      globalHeaders_((context->oformat->flags & AVFMT_GLOBALHEADER) != 0),
      context_(std::move(context)) {}

int FragmentedMuxer::addStream(const AVCodecContext& encoder) {
  MutexLock lock(mutex_);
  AVStream* stream = avformat_new_stream(context_.get(), nullptr);
  if (stream == nullptr || avcodec_parameters_from_context(stream->codecpar, &encoder) < 0) {
    return -1;
  }
  stream->time_base = encoder.time_base;
  shifts_.emplace_back();
  return stream->index;
}

std::optional<Error> FragmentedMuxer::failLocked(const std::string& what, int code) {
  if (!failure_) {
    failure_ = writerError(opened_ ? WriterErrorCode::writeFailed : WriterErrorCode::openFailed,
                           what + " " + path_ + ": " + av::errorText(code));
  }
  return failure_;
}

std::optional<Error> FragmentedMuxer::open(const OutputFile& file) {
  MutexLock lock(mutex_);
  AVFormatContext* ctx = context_.get();
  io_ = makeDescriptorIo(file.descriptor(), true);
  if (!io_) {
    return failLocked("Cannot write", AVERROR(ENOMEM));
  }
  file_ = &file;
  ctx->pb = io_.get();
  ctx->flags |= AVFMT_FLAG_CUSTOM_IO;
  av::Dictionary options;
  av_dict_set(options.address(), "movflags", kMovFlags, 0);
  int rc = avformat_write_header(ctx, options.address());
  if (rc < 0) {
    return failLocked("Cannot write the header of", rc);
  }
  avio_flush(ctx->pb);
  opened_ = true;
  if (ctx->pb->error < 0) {
    return failLocked("Cannot write", ctx->pb->error);
  }
  if (auto why = reserveAfterFtyp(file.descriptor(), avio_tell(ctx->pb))) {
    failure_ = writerError(WriterErrorCode::openFailed, "Cannot write " + path_ + ": " + *why);
    return failure_;
  }
  moveDescriptorIo(*ctx->pb, kReservedBytes);
  completeBytes_ = avio_tell(ctx->pb) + kReservedBytes;
  return std::nullopt;
}

std::optional<Error> FragmentedMuxer::flushFragmentLocked() {
  AVFormatContext* ctx = context_.get();
  // A null packet closes the open fragment (frag_custom).
  int rc = av_write_frame(ctx, nullptr);
  if (rc < 0) {
    return failLocked("Cannot write", rc);
  }
  avio_flush(ctx->pb);
  if (ctx->pb->error < 0) {
    return failLocked("Cannot write", ctx->pb->error);
  }
  fragmentPending_ = false;
  lastFlushSeconds_ = mediaEndSeconds_;
  fragmentStarts_.push_back(completeBytes_);
  completeBytes_ = avio_tell(ctx->pb) + kReservedBytes;
  return std::nullopt;
}

std::optional<Error> FragmentedMuxer::write(int stream, AVPacket& packet, AVRational timeBase) {
  bool fragmentClosed = false;
  const OutputFile* file = nullptr;
  {
    MutexLock lock(mutex_);
    if (auto e = writeLocked(stream, packet, timeBase, fragmentClosed)) {
      return e;
    }
    file = file_;
  }
  if (fragmentClosed) {
    // Data only: the file's length is part of it, its times are not needed.
    if (auto e = file->sync(true)) {
      MutexLock lock(mutex_);
      if (!failure_) {
        failure_ = e;
      }
      return failure_;
    }
  }
  return std::nullopt;
}

std::optional<Error> FragmentedMuxer::writeLocked(int stream, AVPacket& packet, AVRational timeBase,
                                                  bool& fragmentClosed) {
  if (failure_) {
    return failure_;
  }
  if (!opened_ || finished_ || stream < 0 ||
      static_cast<unsigned>(stream) >= context_->nb_streams) {
    return writerError(WriterErrorCode::writeFailed, "The file " + path_ + " is not open");
  }
  AVStream* st = context_->streams[stream];
  packet.stream_index = stream;
  av_packet_rescale_ts(&packet, timeBase, st->time_base);
  // A fragment's start time cannot be negative, and libavformat's own
  // correction would move every track by whichever came first; each track is
  // moved by its own encoder delay instead.
  auto& shift = shifts_[static_cast<std::size_t>(stream)];
  if (!shift) {
    std::int64_t first = packet.dts != AV_NOPTS_VALUE ? packet.dts : packet.pts;
    shift = std::max<std::int64_t>(0, -first);
  }
  if (packet.pts != AV_NOPTS_VALUE) {
    packet.pts += *shift;
  }
  if (packet.dts != AV_NOPTS_VALUE) {
    packet.dts += *shift;
  }
  double end = static_cast<double>(packet.pts + packet.duration) * av_q2d(st->time_base);
  // Packets go straight to the muxer rather than through libavformat's
  // interleaving queue: a fragment keeps each track's samples together
  // anyway, and the queue would hold audio back while the screen is still.
  int rc = av_write_frame(context_.get(), &packet);
  if (rc < 0) {
    return failLocked("Cannot write", rc);
  }
  if (context_->pb->error < 0) {
    return failLocked("Cannot write", context_->pb->error);
  }
  fragmentPending_ = true;
  mediaEndSeconds_ = std::max(mediaEndSeconds_, end);
  if (mediaEndSeconds_ - lastFlushSeconds_ >= kFragmentSeconds) {
    if (auto e = flushFragmentLocked()) {
      return e;
    }
    fragmentClosed = true;
  }
  return std::nullopt;
}

std::optional<Error> FragmentedMuxer::writeTrailerLocked() {
  if (fragmentPending_) {
    if (auto e = flushFragmentLocked()) {
      return e;
    }
  }
  int rc = av_write_trailer(context_.get());
  if (rc < 0) {
    return failLocked("Cannot complete", rc);
  }
  avio_flush(context_->pb);
  if (context_->pb->error < 0) {
    return failLocked("Cannot write", context_->pb->error);
  }
  return std::nullopt;
}

std::optional<Error> FragmentedMuxer::finish() {
  MutexLock lock(mutex_);
  if (finished_) {
    return failure_;
  }
  finished_ = true;
  if (!opened_) {
    return failure_;
  }
  if (std::optional<Error> e = failure_ ? failure_ : writeTrailerLocked()) {
    // A write that failed half way (disk full) leaves a torn fragment that
    // players stumble over; without it the file plays to its last whole one.
    if (completeBytes_ > 0) {
      file_->truncateTo(completeBytes_);
    }
    return e;
  }
  if (auto e = file_->sync(false)) {
    failure_ = e;
  }
  return failure_;
}

std::vector<FragmentedMuxer::StartShift> FragmentedMuxer::startShifts() {
  MutexLock lock(mutex_);
  std::vector<StartShift> result;
  for (unsigned i = 0; i < context_->nb_streams; ++i) {
    result.push_back(StartShift{shifts_[i].value_or(0), context_->streams[i]->time_base});
  }
  return result;
}

std::vector<std::int64_t> FragmentedMuxer::fragmentStarts() {
  MutexLock lock(mutex_);
  return fragmentStarts_;
}

}  // namespace kestrano::ffmpeg
