#include "platform/linux/ffmpeg/mp4_chapter_header.h"

#include <algorithm>

#include "platform/linux/ffmpeg/mp4_boxes.h"

namespace kestrano::ffmpeg::mp4 {
namespace {

// The sample description: white text on nothing, no box, one font.
void putTimedTextEntry(BoxBuffer& out) {
  auto entry = out.open(fourcc("tx3g"));
  out.u32(0), out.u16(0), out.u16(1);             // reserved, data reference 1
  out.u32(0);                                     // display flags
  out.u8(1), out.u8(0xff);                        // centred, at the bottom
  out.u32(0);                                     // background: transparent
  out.u32(0), out.u32(0);                         // default text box
  out.u32(0), out.u16(1), out.u8(0), out.u8(18);  // style: font 1, plain, 18 px
  out.u32(0xffffffff);                            // white
  auto ftab = out.open(fourcc("ftab"));
  out.u16(1), out.u16(1), out.u8(5);
  for (char c : std::string_view("Serif")) {
    out.u8(static_cast<std::uint8_t>(c));
  }
  out.close(ftab);
  out.close(entry);
}

void putChapterTrak(BoxBuffer& out, std::uint32_t id) {
  auto tkhd = out.open(fourcc("tkhd"), 0, 0);                   // flags 0: not enabled
  out.u32(0), out.u32(0), out.u32(id), out.u32(0), out.u32(0);  // times, id, duration
  out.u32(0), out.u32(0), out.u32(0), out.u32(0);               // reserved, layer, group, volume
  for (std::uint32_t v : {0x10000u, 0u, 0u, 0u, 0x10000u, 0u, 0u, 0u, 0x40000000u}) {
    out.u32(v);  // the unit matrix
  }
  out.u32(0), out.u32(0);  // width, height
  out.close(tkhd);
  auto mdia = out.open(fourcc("mdia"));
  auto mdhd = out.open(fourcc("mdhd"), 0);
  out.u32(0), out.u32(0), out.u32(kChapterTimescale), out.u32(0);
  out.u16(0x55c4), out.u16(0);  // language "und"
  out.close(mdhd);
  auto hdlr = out.open(fourcc("hdlr"), 0);
  out.u32(0), out.u32(fourcc("sbtl")), out.u32(0), out.u32(0), out.u32(0);
  for (char c : std::string_view("Chapters")) {
    out.u8(static_cast<std::uint8_t>(c));
  }
  out.u8(0);
  out.close(hdlr);
  auto minf = out.open(fourcc("minf"));
  out.close(out.open(fourcc("nmhd"), 0));
  auto dinf = out.open(fourcc("dinf"));
  auto dref = out.open(fourcc("dref"), 0);
  out.u32(1);
  out.close(out.open(fourcc("url "), 0, 1));  // the media is in this file
  out.close(dref);
  out.close(dinf);
  auto stbl = out.open(fourcc("stbl"));
  auto stsd = out.open(fourcc("stsd"), 0);
  out.u32(1);
  putTimedTextEntry(out);
  out.close(stsd);
  for (std::uint32_t empty : {fourcc("stts"), fourcc("stsc"), fourcc("stco")}) {
    auto box = out.open(empty, 0);
    out.u32(0);
    out.close(box);
  }
  auto stsz = out.open(fourcc("stsz"), 0);
  out.u32(0), out.u32(0);
  out.close(stsz);
  out.close(stbl);
  out.close(minf);
  out.close(mdia);
}

}  // namespace

std::optional<ChapterHeader> addHeldBackChapterTrack(const std::vector<std::uint8_t>& moov) {
  const auto top = childBoxes(moov.data(), moov.size());
  if (top.size() != 1 || top.front().type != fourcc("moov")) {
    return std::nullopt;
  }
  const std::uint8_t* body = moov.data() + top.front().payload;
  const auto boxes = childBoxes(body, top.front().end - top.front().payload);
  const BoxSpan mvhd = findBox(boxes, fourcc("mvhd"));
  if (mvhd.type == 0 || findBox(boxes, fourcc("mvex")).type == 0 || mvhd.end - mvhd.payload < 8) {
    return std::nullopt;
  }
  ChapterHeader header;
  // The chapter track takes the id after the others' (mvhd's next id is not
  // always theirs plus one).
  for (const BoxSpan& b : boxes) {
    if (b.type == fourcc("trak")) {
      const BoxSpan tkhd = findBox(childBoxes(body + b.payload, b.end - b.payload), fourcc("tkhd"));
      Cursor c(body + b.payload + tkhd.payload, tkhd.end - tkhd.payload);
      c.skip(12);  // version 0 (as the muxer writes it): flags and two times
      header.trackId = std::max(header.trackId, c.u32() + 1);
      if (tkhd.type == 0 || !c.ok()) {
        return std::nullopt;
      }
    }
  }
  BoxBuffer out;
  auto whole = out.open(fourcc("moov"));
  for (const BoxSpan& b : boxes) {
    if (b.type == fourcc("mvhd")) {
      out.bytes(body + b.start, b.end - b.start - 4);
      out.u32(header.trackId + 1);
    } else if (b.type == fourcc("trak")) {
      const std::size_t trak = out.open(fourcc("trak"));
      for (const BoxSpan& c : childBoxes(body + b.payload, b.end - b.payload)) {
        out.bytes(body + b.payload + c.start, c.end - c.start);
        if (c.type == fourcc("tkhd")) {
          const std::size_t tref = out.open(fourcc("free"));
          header.enable.emplace_back(tref + 4, fourcc("tref"));
          const std::size_t chap = out.open(fourcc("chap"));
          out.u32(header.trackId);
          out.close(chap);
          out.close(tref);
        }
      }
      out.close(trak);
    } else if (b.type == fourcc("mvex")) {
      // Before the tracks' defaults, the chapter track's (a reader ignores
      // fragments of a track without them).
      const std::size_t mvex = out.open(fourcc("mvex"));
      out.bytes(body + b.payload, b.end - b.payload);
      auto trex = out.open(fourcc("trex"), 0);
      out.u32(header.trackId), out.u32(1), out.u32(0), out.u32(0), out.u32(0);
      out.close(trex);
      out.close(mvex);
    } else {
      out.bytes(body + b.start, b.end - b.start);
    }
  }
  // The chapter track last, held back.
  const std::size_t held = out.open(fourcc("free"));
  header.enable.emplace_back(held + 4, fourcc("trak"));
  putChapterTrak(out, header.trackId);
  out.close(held);
  out.close(whole);
  header.moov = out.take();
  return header;
}

std::vector<std::uint8_t> chapterFragment(std::uint32_t trackId, std::uint32_t sequence,
                                          std::uint64_t ms, std::string_view title) {
  const std::size_t length = std::min<std::size_t>(title.size(), 0xffff);
  BoxBuffer out;
  auto moof = out.open(fourcc("moof"));
  auto mfhd = out.open(fourcc("mfhd"), 0);
  out.u32(sequence);
  out.close(mfhd);
  auto traf = out.open(fourcc("traf"));
  auto tfhd = out.open(fourcc("tfhd"), 0, 0x020000);  // offsets from this moof
  out.u32(trackId);
  out.close(tfhd);
  auto tfdt = out.open(fourcc("tfdt"), 1);
  out.u64(ms);
  out.close(tfdt);
  // One sample with its data offset, duration, size and flags (a sync sample).
  auto trun = out.open(fourcc("trun"), 0, 0x000001 | 0x000100 | 0x000200 | 0x000400);
  out.u32(1);
  const std::size_t offsetAt = out.size();
  out.u32(0);
  out.u32(1), out.u32(static_cast<std::uint32_t>(length + 2)), out.u32(0);
  out.close(trun);
  out.close(traf);
  out.close(moof);
  out.patch(offsetAt, static_cast<std::uint32_t>(out.size() + 8));  // past the mdat header
  auto mdat = out.open(fourcc("mdat"));
  out.u16(static_cast<std::uint16_t>(length));
  out.bytes(reinterpret_cast<const std::uint8_t*>(title.data()), length);
  out.close(mdat);
  return out.take();
}

}  // namespace kestrano::ffmpeg::mp4
