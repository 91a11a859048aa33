#include "platform/linux/ffmpeg/mp4_moov_builder.h"

#include <algorithm>

#include "platform/linux/ffmpeg/mp4_boxes.h"

namespace kestrano::ffmpeg::mp4 {
namespace {

// a * to / from, rounded down or up (durations change time scale this way).
std::int64_t rescale(std::int64_t a, std::int64_t to, std::int64_t from, bool up) {
  __int128 n = static_cast<__int128>(a) * to;
  __int128 q = n / from;
  if (n % from != 0 && ((n > 0) == up)) {
    q += up ? 1 : -1;
  }
  return static_cast<std::int64_t>(q);
}

struct Edit {
  std::int64_t duration = 0;   // movie time scale
  std::int64_t mediaTime = 0;  // -1: an empty edit
};

// A header box (mvhd, tkhd, mdhd) rewritten with a new duration: its times,
// id and time scale kept, the version wide enough for all of them, and the
// fields after the duration copied as they are.
void putHeader(BoxBuffer& out, const std::vector<std::uint8_t>& box, std::uint64_t duration,
               std::uint64_t wideFrom) {
  Cursor c(box.data() + 4, box.size() - 4);
  const std::uint32_t type = c.u32();
  const std::uint32_t word = c.u32();
  const bool wasWide = word >> 24 == 1;
  const bool tkhd = type == fourcc("tkhd");
  std::uint64_t created = wasWide ? c.u64() : c.u32();
  std::uint64_t modified = wasWide ? c.u64() : c.u32();
  std::uint32_t scaleOrId = c.u32();
  c.skip(tkhd ? 4 : 0);     // reserved
  c.skip(wasWide ? 8 : 4);  // the old duration
  const bool wide = std::max({created, modified, duration}) >= wideFrom;
  auto at = out.open(type, wide ? 1 : 0, word & 0xffffff);
  for (std::uint64_t v : {created, modified}) {
    wide ? out.u64(v) : out.u32(static_cast<std::uint32_t>(v));
  }
  out.u32(scaleOrId);
  if (tkhd) {
    out.u32(0);
  }
  wide ? out.u64(duration) : out.u32(static_cast<std::uint32_t>(duration));
  out.bytes(c.here(), c.left());
  out.close(at);
}

void putBox(BoxBuffer& out, const std::vector<std::uint8_t>& box) {
  out.bytes(box.data(), box.size());
}

std::vector<Edit> editsFor(const Track& t, std::int64_t shift, std::uint32_t movieScale) {
  const SampleTables& s = t.samples;
  const std::int64_t scale = t.header.timescale;
  // Times as the encoders gave them: moved back by the shift.
  const std::int64_t startDts = s.firstDts - shift;
  const std::int64_t startPts = startDts + s.firstOffset;
  // A track with reordered pictures ends where its last picture starts (the
  // writer repeats the last picture at the end of the sound for that);
  // sound ends with its last sample.
  const std::int64_t endPts = (s.hasOffsets ? s.latestPts : s.endDts) - shift;
  std::int64_t duration = rescale(endPts - startPts, movieScale, scale, true);
  std::int64_t delay = rescale(startPts, movieScale, scale, false);
  if (delay > 0) {
    // The track starts later than the movie: an empty edit first.
    return {{delay, -1}, {duration, s.firstOffset}};
  }
  // Whatever lies before time 0 (the encoder's delay) is skipped.
  return {{duration + delay, std::max<std::int64_t>(0, -startDts)}};
}

void putEdits(BoxBuffer& out, const std::vector<Edit>& edits, std::uint64_t wideFrom) {
  bool wide = false;
  for (const Edit& e : edits) {
    wide = wide || static_cast<std::uint64_t>(e.duration) >= wideFrom ||
           e.mediaTime >= static_cast<std::int64_t>(wideFrom / 2);
  }
  auto edts = out.open(fourcc("edts"));
  auto elst = out.open(fourcc("elst"), wide ? 1 : 0);
  out.u32(static_cast<std::uint32_t>(edits.size()));
  for (const Edit& e : edits) {
    if (wide) {
      out.u64(static_cast<std::uint64_t>(e.duration));
      out.u64(static_cast<std::uint64_t>(e.mediaTime));
    } else {
      out.u32(static_cast<std::uint32_t>(e.duration));
      out.u32(static_cast<std::uint32_t>(e.mediaTime));
    }
    out.u32(0x00010000);  // rate 1.0
  }
  out.close(elst);
  out.close(edts);
}

void putSampleTables(BoxBuffer& out, const Track& t, std::uint64_t wideFrom) {
  const SampleTables& s = t.samples;
  auto stbl = out.open(fourcc("stbl"));
  putBox(out, t.header.stsd);
  auto stts = out.open(fourcc("stts"), 0);
  auto durations = s.durations;
  if (s.hasOffsets) {
    // The last picture lasts no time, as the writer expects of an ordinary
    // MP4 (it repeats the last picture at the end for that reason).
    if (durations.back().first > 1) {
      --durations.back().first;
      durations.emplace_back(1, 0);
    }
    durations.back().second = 0;
  }
  out.u32(static_cast<std::uint32_t>(durations.size()));
  for (auto [count, delta] : durations) {
    out.u32(count);
    out.u32(delta);
  }
  out.close(stts);
  if (s.hasOffsets) {
    const bool negative = std::any_of(s.offsets.begin(), s.offsets.end(),
                                      [](const auto& run) { return run.second < 0; });
    auto ctts = out.open(fourcc("ctts"), negative ? 1 : 0);
    out.u32(static_cast<std::uint32_t>(s.offsets.size()));
    for (auto [count, offset] : s.offsets) {
      out.u32(count);
      out.u32(static_cast<std::uint32_t>(offset));
    }
    out.close(ctts);
  }
  if (s.syncSamples.size() < s.count()) {  // without stss every sample is a sync sample
    auto stss = out.open(fourcc("stss"), 0);
    out.u32(static_cast<std::uint32_t>(s.syncSamples.size()));
    for (std::uint32_t n : s.syncSamples) {
      out.u32(n);
    }
    out.close(stss);
  }
  // One chunk per run of samples; stsc lists where the chunk length changes.
  auto stsc = out.open(fourcc("stsc"), 0);
  std::size_t countAt = out.size();
  out.u32(0);
  std::uint32_t entries = 0;
  for (std::size_t i = 0; i < s.chunks.size(); ++i) {
    if (i == 0 || s.chunks[i].samples != s.chunks[i - 1].samples) {
      out.u32(static_cast<std::uint32_t>(i + 1));
      out.u32(s.chunks[i].samples);
      out.u32(1);  // sample description index
      ++entries;
    }
  }
  out.close(stsc);
  out.patch(countAt, entries);
  auto stsz = out.open(fourcc("stsz"), 0);
  out.u32(0);  // sizes differ
  out.u32(static_cast<std::uint32_t>(s.sizes.size()));
  for (std::uint32_t size : s.sizes) {
    out.u32(size);
  }
  out.close(stsz);
  const bool wide = !s.chunks.empty() && s.chunks.back().offset >= wideFrom;
  auto stco = out.open(wide ? fourcc("co64") : fourcc("stco"), 0);
  out.u32(static_cast<std::uint32_t>(s.chunks.size()));
  for (const auto& chunk : s.chunks) {
    wide ? out.u64(chunk.offset) : out.u32(static_cast<std::uint32_t>(chunk.offset));
  }
  out.close(stco);
  if (t.header.aac) {
    // Every AAC frame needs the one before it decoded first (roll -1), as
    // a file muxed in one go says.
    auto sgpd = out.open(fourcc("sgpd"), 1);
    out.u32(fourcc("roll"));
    out.u32(2);  // default length of an entry
    out.u32(1);
    out.u16(0xffff);  // roll distance -1
    out.close(sgpd);
    auto sbgp = out.open(fourcc("sbgp"), 0);
    out.u32(fourcc("roll"));
    out.u32(1);
    out.u32(static_cast<std::uint32_t>(s.count()));
    out.u32(1);
    out.close(sbgp);
  }
  out.close(stbl);
}

}  // namespace

std::vector<std::uint8_t> buildMoov(const FragmentedFile& file,
                                    const std::vector<std::int64_t>& shifts,
                                    std::uint64_t wideFrom) {
  Cursor mvhd(file.mvhd.data() + 8, file.mvhd.size() - 8);
  mvhd.skip(mvhd.u32() >> 24 == 1 ? 16 : 8);
  const std::uint32_t movieScale = std::max<std::uint32_t>(1, mvhd.u32());

  // The chapter list's last title lasts to the end of the longest other
  // track (in the fragments it lasts a millisecond: its end was not known).
  std::int64_t mediaEnd = 0;  // movie time scale
  for (std::size_t i = 0; i < file.tracks.size(); ++i) {
    if (!file.tracks[i].header.text) {
      std::int64_t length = 0;
      for (const Edit& e :
           editsFor(file.tracks[i], i < shifts.size() ? shifts[i] : 0, movieScale)) {
        length += e.duration;
      }
      mediaEnd = std::max(mediaEnd, length);
    }
  }
  std::vector<Track> chapters;  // stretched copies; their tables are small
  chapters.reserve(file.tracks.size());
  std::vector<const Track*> tracks;
  for (const Track& t : file.tracks) {
    if (!t.header.text) {
      tracks.push_back(&t);
      continue;
    }
    Track& c = chapters.emplace_back(t);
    const std::int64_t end = rescale(mediaEnd, t.header.timescale, movieScale, false);
    if (end > c.samples.endDts && c.samples.count() > 0) {
      c.samples.continueAt(end);
    }
    tracks.push_back(&c);
  }

  std::size_t tables = 0;
  std::vector<std::vector<Edit>> edits;
  std::vector<std::int64_t> lengths;  // each track's, in the movie time scale
  for (std::size_t i = 0; i < file.tracks.size(); ++i) {
    const Track& t = *tracks[i];
    edits.push_back(editsFor(t, i < shifts.size() ? shifts[i] : 0, movieScale));
    lengths.push_back(0);
    for (const Edit& e : edits.back()) {
      lengths.back() += e.duration;
    }
    tables += 4 * t.samples.count() + 8 * (t.samples.offsets.size() + t.samples.durations.size()) +
              16 * t.samples.chunks.size() + 4 * t.samples.syncSamples.size() + 4096;
  }
  BoxBuffer out;
  out.reserve(tables);
  auto moov = out.open(fourcc("moov"));
  putHeader(out, file.mvhd,
            static_cast<std::uint64_t>(*std::max_element(lengths.begin(), lengths.end())),
            wideFrom);
  for (std::size_t i = 0; i < file.tracks.size(); ++i) {
    const Track& t = *tracks[i];
    auto trak = out.open(fourcc("trak"));
    putHeader(out, t.header.tkhd, static_cast<std::uint64_t>(lengths[i]), wideFrom);
    putEdits(out, edits[i], wideFrom);
    putBox(out, t.header.tref);  // the chapter list's reference, when there are marks
    auto mdia = out.open(fourcc("mdia"));
    const std::int64_t end = t.samples.hasOffsets ? t.samples.lastDts : t.samples.endDts;
    // A chapter list's readers take its length from the movie's start (its
    // first title comes after an empty edit), as one muxed in one go has.
    const std::int64_t from = t.header.text ? 0 : t.samples.firstDts;
    putHeader(out, t.header.mdhd, static_cast<std::uint64_t>(end - from), wideFrom);
    putBox(out, t.header.hdlr);
    auto minf = out.open(fourcc("minf"));
    putBox(out, t.header.mediaHeader);
    putBox(out, t.header.dinf);
    putSampleTables(out, t, wideFrom);
    out.close(minf);
    out.close(mdia);
    out.close(trak);
  }
  putBox(out, file.udta);
  out.close(moov);
  return out.take();
}

}  // namespace kestrano::ffmpeg::mp4
