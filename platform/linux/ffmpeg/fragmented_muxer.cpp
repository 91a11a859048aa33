#include "platform/linux/ffmpeg/fragmented_muxer.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/linux/ffmpeg/mp4_chapter_header.h"
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

// The sound's first packets wait for the picture's first one (see
// releaseHeldLocked) at most this much media: on a still screen x264 hands
// out its first packet with the fourth picture (three of look-ahead and a
// B-frame), about three seconds in at one idle picture a second. A screen
// that stops before then must not keep the sound from the disk; the picture
// then moves by what it needs, off the sound in a cut-off file by the
// difference, as every track did before the common lead.
constexpr double kLongestHoldSeconds = 5.0;

// empty_moov: the index is written up front, before any sample, so the file
// is valid from the first fragment on. default_base_moof: offsets inside a
// fragment count from its own moof, as readers of fragmented MP4 expect.
// frag_custom: fragments close only when this class says so (time based).
// skip_trailer: no mfra at the end; its offsets would miss the reserved room
// (below), and the finished file has no use for it. frag_discont: each
// track's first fragment starts at its first packet's time rather than at
// zero, so the tracks keep their places relative to each other.
constexpr const char* kMovFlags =
    "empty_moov+default_base_moof+frag_custom+skip_trailer+frag_discont";

// Room right after ftyp for the header of the mdat that the finished file
// puts there (a 64-bit one needs 16 bytes); a free box until then.
constexpr std::int64_t kReservedBytes = 16;

// Moves what follows ftyp in the header just written (the moov, which holds
// no file offsets) behind a free box of kReservedBytes, holding back the
// chapter track added (with `chapters`). `grown` says how many bytes the
// header grew by, `chapterSwitch` where the held-back boxes' types are in the
// file, `chapterId` the chapter track's id.
std::optional<std::string> reserveAfterFtyp(
    int fd, std::int64_t headerBytes, bool chapters, std::int64_t& grown,
    std::vector<std::pair<std::int64_t, std::uint32_t>>& chapterSwitch, std::uint32_t& chapterId) {
  if (headerBytes < 16 || headerBytes > (1 << 20)) {
    return "an unexpected header";
  }
  std::vector<std::uint8_t> header(static_cast<std::size_t>(headerBytes));
  if (::pread(fd, header.data(), header.size(), 0) != headerBytes) {
    return "cannot read its header back";
  }
  const std::size_t ftyp = std::size_t{header[0]} << 24 | std::size_t{header[1]} << 16 |
                           std::size_t{header[2]} << 8 | header[3];
  if (ftyp + 8 > header.size()) {
    return "an unexpected header";
  }
  std::vector<std::uint8_t> moov(header.begin() + static_cast<std::ptrdiff_t>(ftyp), header.end());
  header.resize(ftyp);
  const std::uint8_t free[kReservedBytes] = {0, 0, 0, kReservedBytes, 'f', 'r', 'e', 'e'};
  header.insert(header.end(), std::begin(free), std::end(free));
  if (chapters) {
    auto held = mp4::addHeldBackChapterTrack(moov);
    if (!held) {
      return "an unexpected header";
    }
    chapterId = held->trackId;
    for (auto [at, type] : held->enable) {
      chapterSwitch.emplace_back(static_cast<std::int64_t>(header.size() + at), type);
    }
    moov = std::move(held->moov);
  }
  header.insert(header.end(), moov.begin(), moov.end());
  if (::pwrite(fd, header.data(), header.size(), 0) != static_cast<ssize_t>(header.size())) {
    return std::strerror(errno);
  }
  grown = static_cast<std::int64_t>(header.size()) - headerBytes;
  return std::nullopt;
}

// A packet's decoding time, or its presentation time when it has none.
std::int64_t packetTime(const AVPacket& p) {
  return p.dts != AV_NOPTS_VALUE ? p.dts : p.pts;
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
  if (encoder.codec_type == AVMEDIA_TYPE_VIDEO && videoStream_ < 0) {
    videoStream_ = stream->index;
  }
  return stream->index;
}

void FragmentedMuxer::addChapterTrack() {
  MutexLock lock(mutex_);
  chapters_ = true;
}

std::optional<Error> FragmentedMuxer::writeChapter(std::int64_t ms, std::string_view title) {
  const OutputFile* file = nullptr;
  {
    MutexLock lock(mutex_);
    if (failure_) {
      return failure_;
    }
    if (!opened_ || finished_ || chapterTrackId_ == 0) {
      return writerError(WriterErrorCode::writeFailed, "The file " + path_ + " is not open");
    }
    if (auto e = enableChaptersLocked()) {
      return e;
    }
    if (!leadMicroseconds_) {
      heldChapters_.emplace_back(ms, title);
      return std::nullopt;
    }
    if (auto e = putChapterLocked(ms, title)) {
      return e;
    }
    file = file_;
  }
  return syncData(*file);
}

std::optional<Error> FragmentedMuxer::putChapterLocked(std::int64_t ms, std::string_view title) {
  // Between two of libavformat's fragments: it keeps an open fragment's
  // data to itself until the fragment closes.
  const std::vector<std::uint8_t> fragment =
      mp4::chapterFragment(chapterTrackId_, static_cast<std::uint32_t>(fragmentStarts_.size() + 1),
                           static_cast<std::uint64_t>(ms + leadMillisecondsLocked()), title);
  AVIOContext* pb = context_->pb;
  avio_write(pb, fragment.data(), static_cast<int>(fragment.size()));
  avio_flush(pb);
  if (pb->error < 0) {
    return failLocked("Cannot write", pb->error);
  }
  fragmentStarts_.push_back(completeBytes_);
  completeBytes_ = avio_tell(pb) + headerGrowth_;
  return std::nullopt;
}

std::int64_t FragmentedMuxer::leadMillisecondsLocked() const {
  return (leadMicroseconds_.value_or(0) + 999) / 1000;  // the chapter list counts whole ms
}

std::optional<Error> FragmentedMuxer::enableChaptersLocked() {
  for (auto [at, type] : chapterSwitch_) {
    const std::uint8_t bytes[4] = {
        static_cast<std::uint8_t>(type >> 24), static_cast<std::uint8_t>(type >> 16),
        static_cast<std::uint8_t>(type >> 8), static_cast<std::uint8_t>(type)};
    // Synced with the fragment that brings the first mark: a reader never
    // sees a mark of a track the header does not list.
    if (::pwrite(file_->descriptor(), bytes, sizeof bytes, at) != ssize_t{sizeof bytes}) {
      return failLocked("Cannot write", AVERROR(errno));
    }
  }
  chapterSwitch_.clear();
  return std::nullopt;
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
  // The time stamps come non-negative already (see releaseHeldLocked); left to
  // itself, libavformat moves each track's first packet to zero instead.
  av_dict_set(options.address(), "use_editlist", "0", 0);
  ctx->avoid_negative_ts = AVFMT_AVOID_NEG_TS_DISABLED;
  int rc = avformat_write_header(ctx, options.address());
  if (rc < 0) {
    return failLocked("Cannot write the header of", rc);
  }
  avio_flush(ctx->pb);
  opened_ = true;
  if (ctx->pb->error < 0) {
    return failLocked("Cannot write", ctx->pb->error);
  }
  std::int64_t grown = 0;
  if (auto why = reserveAfterFtyp(file.descriptor(), avio_tell(ctx->pb), chapters_, grown,
                                  chapterSwitch_, chapterTrackId_)) {
    failure_ = writerError(WriterErrorCode::openFailed, "Cannot write " + path_ + ": " + *why);
    return failure_;
  }
  headerGrowth_ = grown;
  moveDescriptorIo(*ctx->pb, grown);
  completeBytes_ = avio_tell(ctx->pb) + grown;
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
  completeBytes_ = avio_tell(ctx->pb) + headerGrowth_;
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
  return fragmentClosed ? syncData(*file) : std::nullopt;
}

std::optional<Error> FragmentedMuxer::syncData(const OutputFile& file) {
  // Data only: the file's length is part of it, its times are not needed.
  if (auto e = file.sync(true)) {
    MutexLock lock(mutex_);
    if (!failure_) {
      failure_ = e;
    }
    return failure_;
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
  if (leadMicroseconds_) {
    return putLocked(packet, fragmentClosed);
  }
  av::PacketPtr copy(av_packet_clone(&packet));
  if (!copy) {
    return failLocked("Cannot write", AVERROR(ENOMEM));
  }
  heldPackets_.push_back(std::move(copy));
  const AVPacket& first = *heldPackets_.front();
  const double heldSeconds =
      static_cast<double>(packet.pts + packet.duration) * av_q2d(st->time_base) -
      static_cast<double>(first.pts) * av_q2d(context_->streams[first.stream_index]->time_base);
  if (stream != videoStream_ && videoStream_ >= 0 && heldSeconds < kLongestHoldSeconds) {
    return std::nullopt;
  }
  return releaseHeldLocked(fragmentClosed);
}

std::optional<Error> FragmentedMuxer::releaseHeldLocked(bool& fragmentClosed) {
  // A fragment's start time cannot be negative. Every track moves by the
  // largest encoder delay among the first packets, so that their times
  // alone keep them in step in a file cut off before the finish: the
  // picture's (B-frame reordering, ~70 ms) is known with its first packet,
  // which comes after the sound's first ones (AAC priming, 21 ms).
  std::int64_t lead = 0;
  for (const av::PacketPtr& p : heldPackets_) {
    const std::int64_t first = packetTime(*p);
    if (first != AV_NOPTS_VALUE) {
      lead = std::max(lead, av_rescale_q_rnd(-first, context_->streams[p->stream_index]->time_base,
                                             {1, 1'000'000}, AV_ROUND_UP));
    }
  }
  leadMicroseconds_ = lead;
  std::vector<av::PacketPtr> held = std::exchange(heldPackets_, {});
  for (av::PacketPtr& p : held) {
    if (auto e = putLocked(*p, fragmentClosed)) {
      return e;
    }
  }
  std::vector<std::pair<std::int64_t, std::string>> titles = std::exchange(heldChapters_, {});
  for (const auto& [ms, title] : titles) {
    if (auto e = putChapterLocked(ms, title)) {
      return e;
    }
    fragmentClosed = true;  // to the disk with the caller's sync
  }
  return std::nullopt;
}

std::optional<Error> FragmentedMuxer::putLocked(AVPacket& packet, bool& fragmentClosed) {
  AVStream* st = context_->streams[packet.stream_index];
  auto& shift = shifts_[static_cast<std::size_t>(packet.stream_index)];
  if (!shift) {
    const std::int64_t first = packetTime(packet);
    shift =
        std::max(av_rescale_q_rnd(*leadMicroseconds_, {1, 1'000'000}, st->time_base, AV_ROUND_UP),
                 first != AV_NOPTS_VALUE ? -first : 0);
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
  if (!leadMicroseconds_) {
    // No picture came: the sound goes out by its own delay.
    bool fragmentClosed = false;
    if (auto e = releaseHeldLocked(fragmentClosed)) {
      return e;
    }
  }
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
  if (chapters_) {
    result.push_back(StartShift{leadMillisecondsLocked(), {1, 1000}});
  }
  return result;
}

std::vector<std::int64_t> FragmentedMuxer::fragmentStarts() {
  MutexLock lock(mutex_);
  return fragmentStarts_;
}

}  // namespace kestrano::ffmpeg
