#include "platform/linux/ffmpeg/fragmented_muxer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/linux/ffmpeg/writer_errors.h"
#include "platform/linux/unique_fd.h"

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
constexpr const char* kMovFlags = "empty_moov+default_base_moof+frag_custom";

}  // namespace

std::unique_ptr<FragmentedMuxer> FragmentedMuxer::create(const std::string& path,
                                                         std::optional<Error>& error) {
  AVFormatContext* raw = nullptr;
  int rc = avformat_alloc_output_context2(&raw, nullptr, "mp4", path.c_str());
  if (rc < 0 || raw == nullptr) {
    error = writerError(WriterErrorCode::openFailed,
                        "Cannot set up an MP4 file for " + path + ": " + avErrorText(rc));
    return nullptr;
  }
  return std::unique_ptr<FragmentedMuxer>(new FragmentedMuxer(path, OutputContextPtr(raw)));
}

int FragmentedMuxer::addStream(const AVCodecContext& encoder) {
  std::lock_guard lock(mutex_);
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
                           what + " " + path_ + ": " + avErrorText(code));
  }
  return failure_;
}

std::optional<Error> FragmentedMuxer::open() {
  std::lock_guard lock(mutex_);
  AVFormatContext* ctx = context_.get();
  int rc = avio_open(&ctx->pb, path_.c_str(), AVIO_FLAG_WRITE);
  if (rc < 0) {
    return failLocked("Cannot create", rc);
  }
  Dictionary options;
  av_dict_set(options.address(), "movflags", kMovFlags, 0);
  rc = avformat_write_header(ctx, options.address());
  if (rc < 0) {
    return failLocked("Cannot write the header of", rc);
  }
  avio_flush(ctx->pb);
  opened_ = true;
  if (ctx->pb->error < 0) {
    return failLocked("Cannot write", ctx->pb->error);
  }
  completeBytes_ = avio_tell(ctx->pb);
  struct stat created {};
  if (::stat(path_.c_str(), &created) == 0) {
    fileIdentity_.emplace(created.st_dev, created.st_ino);
  }
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
  completeBytes_ = avio_tell(ctx->pb);
  return std::nullopt;
}

std::optional<Error> FragmentedMuxer::write(int stream, AVPacket& packet, AVRational timeBase) {
  std::lock_guard lock(mutex_);
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
    return flushFragmentLocked();
  }
  return std::nullopt;
}

std::optional<Error> FragmentedMuxer::finish() {
  std::lock_guard lock(mutex_);
  if (finished_) {
    return failure_;
  }
  finished_ = true;
  if (!opened_) {
    return failure_;
  }
  if (!failure_ && fragmentPending_) {
    flushFragmentLocked();
  }
  if (!failure_) {
    int rc = av_write_trailer(context_.get());
    if (rc < 0) {
      failLocked("Cannot complete", rc);
    }
  }
  int rc = avio_closep(&context_->pb);
  if (rc < 0 && !failure_) {
    failLocked("Cannot close", rc);
  }
  if (failure_) {
    // A write that failed half way (disk full) leaves a torn fragment that
    // players stumble over; without it the file plays to its last whole one.
    if (completeBytes_ > 0 && fileIdentity_) {
      truncateSameFile(path_, *fileIdentity_, completeBytes_);
    }
    return failure_;
  }
  if (auto e = syncFile(path_)) {
    failure_ = e;
  }
  return failure_;
}

std::vector<FragmentedMuxer::StartShift> FragmentedMuxer::startShifts() {
  std::lock_guard lock(mutex_);
  std::vector<StartShift> result;
  for (unsigned i = 0; i < context_->nb_streams; ++i) {
    result.push_back(StartShift{shifts_[i].value_or(0), context_->streams[i]->time_base});
  }
  return result;
}

std::optional<Error> syncFile(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    return writerError(WriterErrorCode::writeFailed,
                       "Cannot open " + path + " to flush it: " + std::strerror(errno));
  }
  if (::fsync(fd.get()) != 0) {
    return writerError(WriterErrorCode::writeFailed,
                       "Cannot flush " + path + " to disk: " + std::strerror(errno));
  }
  return std::nullopt;
}

void truncateSameFile(const std::string& path, std::pair<std::uint64_t, std::uint64_t> identity,
                      std::int64_t bytes) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW));
  struct stat now {};
  if (fd.get() < 0 || ::fstat(fd.get(), &now) != 0 ||
      std::pair<std::uint64_t, std::uint64_t>(now.st_dev, now.st_ino) != identity ||
      now.st_size <= bytes) {
    return;
  }
  (void)::ftruncate(fd.get(), bytes);
}

}  // namespace kestrano::ffmpeg
