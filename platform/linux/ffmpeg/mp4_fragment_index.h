#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <utility>
#include <vector>

#include "platform/error.h"

namespace kestrano::ffmpeg::mp4 {

// One track's samples as an ordinary MP4 index lists them, gathered fragment
// by fragment in the compact forms the index boxes use (runs of equal
// durations and offsets), so memory grows with the tables written, not more.
// Deques: hours of samples grow without being copied again and again.
struct SampleTables {
  struct Chunk {
    std::uint64_t offset = 0;  // absolute, in the file
    std::uint32_t samples = 0;
  };
  std::deque<std::uint32_t> sizes;
  std::deque<std::pair<std::uint32_t, std::uint32_t>> durations;  // (count, delta)
  std::deque<std::pair<std::uint32_t, std::int32_t>> offsets;     // (count, composition offset)
  std::deque<std::uint32_t> syncSamples;                          // 1-based
  std::deque<Chunk> chunks;
  bool hasOffsets = false;                 // any composition offset other than 0
  std::int64_t firstDts = 0, lastDts = 0;  // decode times, the track's time scale
  std::int64_t endDts = 0;                 // where the last sample ends
  std::int32_t firstOffset = 0;            // the first sample's composition offset
  std::int64_t latestPts = 0;              // the latest presentation time of any sample

  std::uint64_t count() const { return sizes.size(); }
  // The next fragment starts at decode time `dts`; a gap or overlap is taken
  // up by the last sample's duration, as a reader of the fragments sees it.
  void continueAt(std::int64_t dts);
  void add(std::uint32_t duration, std::uint32_t size, bool sync, std::int32_t offset);
};

// What the recording's own header (the moov written before any sample) says
// of a track, kept as whole boxes where the finished index repeats them.
struct TrackHeader {
  std::uint32_t id = 0;
  std::uint32_t timescale = 0;
  std::vector<std::uint8_t> tkhd, tref, mdhd, hdlr, mediaHeader, dinf, stsd;  // whole boxes
  bool aac = false;   // its first sample description is MPEG-4 audio
  bool text = false;  // a text track: the chapter list
  // The fragments' defaults for this track (trex).
  std::uint32_t defaultDuration = 0, defaultSize = 0, defaultFlags = 0;
};

struct Track {
  TrackHeader header;
  SampleTables samples;
};

// A fragmented recording as the writer leaves it: ftyp, a free box reserved
// for the finished file's mdat header, the header moov, then moof/mdat
// fragments up to `end`.
struct FragmentedFile {
  std::uint64_t reserveAt = 0;  // where the free box starts (right after ftyp), at least 16 bytes
  std::uint64_t end = 0;        // the end of the last box, where the index goes
  std::vector<std::uint8_t> mvhd, udta;  // whole boxes of the header moov
  std::vector<Track> tracks;
};

// Reads the layout, the header moov and every fragment's moof of the file
// open at `fd`; the media data is not read. `fragmentStarts` (where the
// muxer began each fragment, if known) only lets the reads overlap. An error
// says what is not as the writer leaves it.
std::optional<Error> readFragmentedFile(int fd, FragmentedFile& file,
                                        const std::vector<std::int64_t>& fragmentStarts = {});

}  // namespace kestrano::ffmpeg::mp4
