#include "platform/linux/ffmpeg/mp4_fragment_index.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include "platform/linux/ffmpeg/mp4_boxes.h"
#include "platform/linux/ffmpeg/writer_errors.h"

namespace kestrano::ffmpeg::mp4 {
namespace {

// tfhd flags
constexpr std::uint32_t kBaseDataOffset = 0x1, kDescriptionIndex = 0x2, kDefaultDuration = 0x8,
                        kDefaultSize = 0x10, kDefaultFlags = 0x20;
// trun flags
constexpr std::uint32_t kDataOffset = 0x1, kFirstSampleFlags = 0x4, kSampleDuration = 0x100,
                        kSampleSize = 0x200, kSampleFlags = 0x400, kSampleOffset = 0x800;
constexpr std::uint32_t kNonSync = 0x10000;  // sample_is_non_sync_sample
// Far more samples than a fragment of a second holds: a run of only default
// samples claiming more is not the writer's.
constexpr std::uint32_t kMaxDefaultRun = 1 << 20;
constexpr std::uint64_t kMaxIndexBoxBytes = 64 << 20;  // a header moov or a moof

Error notFragmented(const std::string& why) {
  return writerError(WriterErrorCode::writeFailed, "not a fragmented recording: " + why);
}

std::optional<Error> readAt(int fd, std::uint8_t* into, std::size_t size, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::pread(fd, into + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return writerError(
          WriterErrorCode::writeFailed,
          std::string("cannot read it back: ") + (n == 0 ? "it ends early" : std::strerror(errno)));
    }
    done += static_cast<std::size_t>(n);
  }
  return std::nullopt;
}

// Reads through a window of a few pages: a moof and the header of the mdat
// after it usually come in one read.
constexpr std::size_t kWindowBytes = 4 * 1024;

class Window {
 public:
  Window(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
  // Points `data` at the bytes [at, at + length) of the file.
  std::optional<Error> get(std::uint64_t at, std::size_t length, const std::uint8_t*& data) {
    if (at < start_ || at + length > start_ + bytes_.size()) {
      bytes_.resize(std::min<std::uint64_t>(std::max(length, kWindowBytes), size_ - at));
      start_ = at;
      if (auto e = readAt(fd_, bytes_.data(), bytes_.size(), at)) {
        bytes_.clear();
        return e;
      }
    }
    data = bytes_.data() + (at - start_);
    return std::nullopt;
  }

 private:
  int fd_;
  std::uint64_t size_;
  std::uint64_t start_ = 0;
  std::vector<std::uint8_t> bytes_;
};

std::vector<std::uint8_t> copyOf(const std::vector<std::uint8_t>& bytes, const BoxSpan& box) {
  if (box.type == 0) {
    return {};
  }
  return {bytes.begin() + static_cast<std::ptrdiff_t>(box.start),
          bytes.begin() + static_cast<std::ptrdiff_t>(box.end)};
}

std::vector<BoxSpan> children(const std::vector<std::uint8_t>& bytes, const BoxSpan& box) {
  auto inner = childBoxes(bytes.data() + box.payload, box.end - box.payload);
  for (BoxSpan& b : inner) {
    b.start += box.payload;
    b.payload += box.payload;
    b.end += box.payload;
  }
  return inner;
}

// A full box's fields after version and flags, and the version.
Cursor fields(const std::vector<std::uint8_t>& bytes, const BoxSpan& box, int& version,
              std::uint32_t& flags) {
  Cursor c(bytes.data() + box.payload, box.end - box.payload);
  std::uint32_t word = c.u32();
  version = static_cast<int>(word >> 24);
  flags = word & 0xffffff;
  return c;
}

std::optional<Error> readTrack(const std::vector<std::uint8_t>& moov, const BoxSpan& trak,
                               TrackHeader& t) {
  auto boxes = children(moov, trak);
  BoxSpan tkhd = findBox(boxes, fourcc("tkhd"));
  BoxSpan mdia = findBox(boxes, fourcc("mdia"));
  auto media = children(moov, mdia);
  BoxSpan mdhd = findBox(media, fourcc("mdhd"));
  BoxSpan minf = findBox(media, fourcc("minf"));
  auto info = children(moov, minf);
  BoxSpan stbl = findBox(info, fourcc("stbl"));
  BoxSpan stsd = findBox(children(moov, stbl), fourcc("stsd"));
  if (tkhd.type == 0 || mdhd.type == 0 || stsd.type == 0) {
    return notFragmented("a track without its header boxes");
  }
  int version = 0;
  std::uint32_t flags = 0;
  Cursor th = fields(moov, tkhd, version, flags);
  th.skip(version == 1 ? 16 : 8);  // creation and modification times
  t.id = th.u32();
  Cursor mh = fields(moov, mdhd, version, flags);
  mh.skip(version == 1 ? 16 : 8);
  t.timescale = mh.u32();
  if (!th.ok() || !mh.ok() || t.timescale == 0) {
    return notFragmented("a track header cut short");
  }
  t.tkhd = copyOf(moov, tkhd);
  t.tref = copyOf(moov, findBox(boxes, fourcc("tref")));
  t.mdhd = copyOf(moov, mdhd);
  t.hdlr = copyOf(moov, findBox(media, fourcc("hdlr")));
  t.dinf = copyOf(moov, findBox(info, fourcc("dinf")));
  for (const BoxSpan& b : info) {
    if (b.type != fourcc("dinf") && b.type != fourcc("stbl")) {
      t.mediaHeader = copyOf(moov, b);  // vmhd, smhd, ...
      break;
    }
  }
  t.stsd = copyOf(moov, stsd);
  // stsd: version/flags, entry count, then the first entry's size and type.
  Cursor sd = fields(moov, stsd, version, flags);
  sd.skip(8);
  t.aac = sd.u32() == fourcc("mp4a");
  // hdlr: version and flags, pre-defined, then the handler type.
  Cursor hd = fields(moov, findBox(media, fourcc("hdlr")), version, flags);
  hd.skip(4);
  const std::uint32_t handler = hd.u32();
  t.text = handler == fourcc("sbtl") || handler == fourcc("text");
  return std::nullopt;
}

std::optional<Error> readHeaderMoov(const std::vector<std::uint8_t>& moov, FragmentedFile& file) {
  auto boxes = childBoxes(moov.data(), moov.size());
  file.mvhd = copyOf(moov, findBox(boxes, fourcc("mvhd")));
  file.udta = copyOf(moov, findBox(boxes, fourcc("udta")));
  for (const BoxSpan& b : boxes) {
    if (b.type == fourcc("trak")) {
      Track track;
      if (auto e = readTrack(moov, b, track.header)) {
        return e;
      }
      file.tracks.push_back(std::move(track));
    }
  }
  for (const BoxSpan& trex : children(moov, findBox(boxes, fourcc("mvex")))) {
    int version = 0;
    std::uint32_t flags = 0;
    Cursor c = fields(moov, trex, version, flags);
    std::uint32_t id = c.u32();
    c.skip(4);  // sample description index
    for (Track& t : file.tracks) {
      if (t.header.id == id && trex.type == fourcc("trex")) {
        t.header.defaultDuration = c.u32();
        t.header.defaultSize = c.u32();
        t.header.defaultFlags = c.u32();
      }
    }
  }
  if (file.mvhd.empty() || file.tracks.empty()) {
    return notFragmented("its header has no tracks");
  }
  return std::nullopt;
}

std::optional<Error> readTraf(const std::vector<std::uint8_t>& moof, const BoxSpan& traf,
                              std::uint64_t moofAt, FragmentedFile& file) {
  auto boxes = children(moof, traf);
  int version = 0;
  std::uint32_t flags = 0;
  Cursor h = fields(moof, findBox(boxes, fourcc("tfhd")), version, flags);
  std::uint32_t id = h.u32();
  auto track = std::find_if(file.tracks.begin(), file.tracks.end(),
                            [id](const Track& t) { return t.header.id == id; });
  if (track == file.tracks.end()) {
    return notFragmented("a fragment of an unknown track");
  }
  const TrackHeader& th = track->header;
  // Offsets count from the moof unless the fragment names a base.
  std::uint64_t base = flags & kBaseDataOffset ? h.u64() : moofAt;
  h.skip(flags & kDescriptionIndex ? 4 : 0);
  std::uint32_t duration = flags & kDefaultDuration ? h.u32() : th.defaultDuration;
  std::uint32_t size = flags & kDefaultSize ? h.u32() : th.defaultSize;
  std::uint32_t sampleFlags = flags & kDefaultFlags ? h.u32() : th.defaultFlags;
  if (!h.ok()) {
    return notFragmented("a fragment header cut short");
  }
  SampleTables& s = track->samples;
  BoxSpan tfdt = findBox(boxes, fourcc("tfdt"));
  if (tfdt.type != 0) {
    Cursor d = fields(moof, tfdt, version, flags);
    s.continueAt(static_cast<std::int64_t>(version == 1 ? d.u64() : d.u32()));
  }
  std::uint64_t data = base;
  for (const BoxSpan& trun : boxes) {
    if (trun.type != fourcc("trun")) {
      continue;
    }
    Cursor r = fields(moof, trun, version, flags);
    std::uint32_t count = r.u32();
    if (flags & kDataOffset) {
      data = base + static_cast<std::uint64_t>(static_cast<std::int32_t>(r.u32()));
    }
    std::uint32_t first = flags & kFirstSampleFlags ? r.u32() : sampleFlags;
    // Each sample takes this much of the run, unless all use the defaults.
    const int fieldBytes =
        4 * std::popcount(flags & (kSampleDuration | kSampleSize | kSampleFlags | kSampleOffset));
    if (fieldBytes == 0 ? count > kMaxDefaultRun : count > r.left() / fieldBytes) {
      return notFragmented("a run longer than its box");
    }
    s.chunks.push_back({data, count});
    for (std::uint32_t i = 0; i < count; ++i) {
      std::uint32_t d = flags & kSampleDuration ? r.u32() : duration;
      std::uint32_t z = flags & kSampleSize ? r.u32() : size;
      std::uint32_t f = flags & kSampleFlags ? r.u32() : i == 0 ? first : sampleFlags;
      auto o = static_cast<std::int32_t>(flags & kSampleOffset ? r.u32() : 0);
      s.add(d, z, (f & kNonSync) == 0, o);
      data += z;
    }
    if (!r.ok()) {
      return notFragmented("a run cut short");
    }
  }
  return std::nullopt;
}

}  // namespace

void SampleTables::continueAt(std::int64_t dts) {
  if (sizes.empty()) {
    firstDts = lastDts = endDts = dts;
    return;
  }
  if (dts == endDts) {
    return;
  }
  auto delta = static_cast<std::uint32_t>(std::max<std::int64_t>(0, dts - lastDts));
  auto& [count, last] = durations.back();
  if (count == 1) {
    last = delta;
  } else {
    --count;
    durations.emplace_back(1, delta);
  }
  endDts = lastDts + delta;
}

void SampleTables::add(std::uint32_t duration, std::uint32_t size, bool sync, std::int32_t offset) {
  if (sizes.empty()) {
    firstOffset = offset;
    latestPts = firstDts + offset;
  }
  lastDts = endDts;
  endDts += duration;
  latestPts = std::max(latestPts, lastDts + offset);
  sizes.push_back(size);
  if (!durations.empty() && durations.back().second == duration) {
    ++durations.back().first;
  } else {
    durations.emplace_back(1, duration);
  }
  if (!offsets.empty() && offsets.back().second == offset) {
    ++offsets.back().first;
  } else {
    offsets.emplace_back(1, offset);
  }
  hasOffsets = hasOffsets || offset != 0;
  if (sync) {
    syncSamples.push_back(static_cast<std::uint32_t>(sizes.size()));
  }
}

std::optional<Error> readFragmentedFile(int fd, FragmentedFile& file,
                                        const std::vector<std::int64_t>& fragmentStarts) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    return writerError(WriterErrorCode::writeFailed,
                       std::string("cannot read it back: ") + std::strerror(errno));
  }
  // Hours of fragments may have left the page cache. Another thread asks for
  // all of them ahead of the walk below, so the disk serves many at once
  // rather than one by one; it stops when the walk is done.
  std::jthread prefetch([fd, &fragmentStarts](std::stop_token stop) {
    for (std::size_t i = 0; i < fragmentStarts.size() && !stop.stop_requested(); ++i) {
      (void)::posix_fadvise(fd, fragmentStarts[i], kWindowBytes, POSIX_FADV_WILLNEED);
    }
  });
  const auto size = static_cast<std::uint64_t>(info.st_size);
  Window window(fd, size);
  bool headerRead = false;
  std::vector<std::uint8_t> box;
  std::uint64_t at = 0;
  while (at + 8 <= size) {
    const std::uint8_t* head = nullptr;
    if (auto e = window.get(at, std::min<std::uint64_t>(16, size - at), head)) {
      return e;
    }
    Cursor c(head, std::min<std::uint64_t>(16, size - at));
    std::uint64_t length = c.u32();
    std::uint32_t type = c.u32();
    if (length == 1) {
      length = c.u64();
    }
    if (!c.ok() || length < 8 || length > size - at) {
      return notFragmented("a box runs past the end of the file");
    }
    if (at == 0 && type != fourcc("ftyp")) {
      return notFragmented("no ftyp first");
    }
    if (file.reserveAt == 0 && at > 0) {
      // The writer reserves room for the finished file's mdat header here.
      if (type != fourcc("free") || length < 16) {
        return notFragmented("no room reserved after ftyp");
      }
      file.reserveAt = at;
    }
    const bool header = type == fourcc("moov") && !headerRead;
    if ((header || type == fourcc("moof")) && length > kMaxIndexBoxBytes) {
      return notFragmented("an index box too large to be the writer's");
    }
    if (header || type == fourcc("moof")) {
      const std::uint8_t* bytes = nullptr;
      if (auto e = window.get(at, static_cast<std::size_t>(length), bytes)) {
        return e;
      }
      box.assign(bytes, bytes + length);
      const auto spans = childBoxes(box.data(), box.size());
      if (spans.empty()) {
        return notFragmented("a box that does not parse");
      }
      const BoxSpan& whole = spans.front();
      if (header) {
        std::vector<std::uint8_t> payload(box.begin() + static_cast<std::ptrdiff_t>(whole.payload),
                                          box.end());
        if (auto e = readHeaderMoov(payload, file)) {
          return e;
        }
        headerRead = true;
      } else if (!headerRead) {
        return notFragmented("a fragment before the header");
      } else {
        for (const BoxSpan& traf : children(box, whole)) {
          if (traf.type != fourcc("traf")) {
            continue;
          }
          if (auto e = readTraf(box, traf, at, file)) {
            return e;
          }
        }
      }
    }
    at += length;
  }
  if (at != size) {
    return notFragmented("stray bytes at the end");
  }
  file.end = at;
  for (const Track& t : file.tracks) {
    if (t.samples.count() == 0) {
      return notFragmented("a track without samples");
    }
  }
  return std::nullopt;
}

}  // namespace kestrano::ffmpeg::mp4
