#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/error.h"
#include "platform/linux/av/av_resources.h"
#include "platform/linux/ffmpeg/descriptor_io.h"
#include "platform/linux/ffmpeg/output_file.h"
#include "platform/mutex.h"

namespace kestrano::ffmpeg {

// The MP4 muxer while recording: a fragmented file (an empty index up front,
// then self-contained fragments) so that a recorder killed at any moment
// leaves a file that opens and holds all but the last fragment. A free box
// right after ftyp keeps room for the header the finish in place writes. Packets come
// from several encoder threads; one mutex serialises every muxer call.
class FragmentedMuxer {
 public:
  // Sets up an MP4 muxer for `path` without touching the file yet.
  static std::unique_ptr<FragmentedMuxer> create(const std::string& path,
                                                 std::optional<Error>& error);

  // Whether the container keeps the codecs' configuration (H.264's SPS and
  // PPS, AAC's AudioSpecificConfig) in its header rather than in the
  // stream: then the encoders must hand it over as extradata.
  bool wantsGlobalHeaders() const { return globalHeaders_; }
  // Before open(): one stream per encoder, in track order; returns its index.
  int addStream(const AVCodecContext& encoder);
  // Before open(): a chapter track besides the streams, named by each of
  // them as its chapter list. It stays out of the file's tracks until its
  // first title (see mp4::addHeldBackChapterTrack).
  void addChapterTrack();
  // One title at `ms` of the file's timeline, in a fragment of its own,
  // synced to the disk as every fragment is.
  std::optional<Error> writeChapter(std::int64_t ms, std::string_view title);
  // Writes the header into `file`, which must outlive this muxer. The error
  // names the path.
  std::optional<Error> open(const OutputFile& file);
  // Writes one encoded packet of `stream` (time stamps in `timeBase`), and
  // closes a fragment whenever a second of media has gone by since the last.
  // Each closed fragment is synced to the disk (outside the muxer's lock, so
  // the other tracks keep writing meanwhile): a machine that loses power
  // keeps the file up to its last fragment or so. After a failure every call
  // returns the first error.
  std::optional<Error> write(int stream, AVPacket& packet, AVRational timeBase);
  // Writes the last fragment and the trailer, flushed to the disk; the file
  // stays open.
  std::optional<Error> finish();

  // How far each stream's time stamps were moved later to keep them
  // non-negative (encoder delay: AAC priming, B-frame reordering), in that
  // stream's time base, and then the chapter list's when it has one. Every
  // track moves by the same lead, so that a file cut off before the finish
  // still plays in step. A plain MP4 made from the file moves them back, so
  // its edit lists hide the delay again.
  struct StartShift {
    std::int64_t ticks = 0;
    AVRational timeBase{1, 1};
  };
  std::vector<StartShift> startShifts();
  // Where each fragment begins in the file: 8 bytes a second of recording,
  // so that the finish can ask for all of them at once.
  std::vector<std::int64_t> fragmentStarts();

 private:
  FragmentedMuxer(std::string path, av::OutputContextPtr context);

  std::optional<Error> failLocked(const std::string& what, int code) REQUIRES(mutex_);
  std::optional<Error> flushFragmentLocked() REQUIRES(mutex_);
  std::optional<Error> writeLocked(int stream, AVPacket& packet, AVRational timeBase,
                                   bool& fragmentClosed) REQUIRES(mutex_);
  // Sets the lead from the held packets, then writes them and the held titles.
  std::optional<Error> releaseHeldLocked(bool& fragmentClosed) REQUIRES(mutex_);
  // One packet, in its stream's time base, moved by its stream's shift.
  std::optional<Error> putLocked(AVPacket& packet, bool& fragmentClosed) REQUIRES(mutex_);
  std::optional<Error> putChapterLocked(std::int64_t ms, std::string_view title) REQUIRES(mutex_);
  // The lead rounded up to the chapter list's milliseconds.
  std::int64_t leadMillisecondsLocked() const REQUIRES(mutex_);
  // A closed fragment's data to disk; a failure fails the muxer.
  std::optional<Error> syncData(const OutputFile& file) EXCLUDES(mutex_);
  // The last fragment and the trailer, flushed.
  std::optional<Error> writeTrailerLocked() REQUIRES(mutex_);

  // The first mark brings the chapter track in, synced with its fragment.
  std::optional<Error> enableChaptersLocked() REQUIRES(mutex_);

  const std::string path_;
  const bool globalHeaders_;
  Mutex mutex_;
  bool chapters_ GUARDED_BY(mutex_) = false;
  std::uint32_t chapterTrackId_ GUARDED_BY(mutex_) = 0;
  // Where in the file the held-back boxes' types are, and what they become.
  std::vector<std::pair<std::int64_t, std::uint32_t>> chapterSwitch_ GUARDED_BY(mutex_);
  const OutputFile* file_ GUARDED_BY(mutex_) = nullptr;
  DescriptorIoPtr io_ GUARDED_BY(mutex_);  // outlives context_, which writes through it
  av::OutputContextPtr context_ GUARDED_BY(mutex_);
  bool opened_ GUARDED_BY(mutex_) = false;
  bool finished_ GUARDED_BY(mutex_) = false;
  std::optional<Error> failure_ GUARDED_BY(mutex_);
  int videoStream_ GUARDED_BY(mutex_) = -1;
  // The common shift in microseconds, set once the picture's first packet
  // tells its delay; until then the sound's packets and the titles wait.
  std::optional<std::int64_t> leadMicroseconds_ GUARDED_BY(mutex_);
  std::vector<av::PacketPtr> heldPackets_ GUARDED_BY(mutex_);
  std::vector<std::pair<std::int64_t, std::string>> heldChapters_ GUARDED_BY(mutex_);
  // Per stream, set by its first packet: the lead, or more for a stream
  // that reaches back farther than the first packets did.
  std::vector<std::optional<std::int64_t>> shifts_ GUARDED_BY(mutex_);
  double mediaEndSeconds_ GUARDED_BY(mutex_) = 0;  // furthest packet end written so far
  double lastFlushSeconds_ GUARDED_BY(mutex_) = 0;
  // Where the last complete fragment (or the header) ends in the file: after
  // a failed write the file is cut back to it, so no torn fragment follows.
  std::int64_t completeBytes_ GUARDED_BY(mutex_) = 0;
  // How far the file's bytes lie past where libavformat counts them: the
  // reserved room and what holding back the chapter track added.
  std::int64_t headerGrowth_ GUARDED_BY(mutex_) = 0;
  bool fragmentPending_ GUARDED_BY(mutex_) = false;  // packets written since the last flush
  std::vector<std::int64_t> fragmentStarts_ GUARDED_BY(mutex_);
};

}  // namespace kestrano::ffmpeg
