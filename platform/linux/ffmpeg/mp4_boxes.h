#pragma once

#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

namespace kestrano::ffmpeg::mp4 {

// A box type as its four characters read big-endian ("moov").
constexpr std::uint32_t fourcc(const char (&s)[5]) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(s[0])) << 24 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(s[1])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(s[2])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(s[3]));
}

// Reads big-endian fields from bytes held elsewhere. Reading past the end
// yields zeros and marks the cursor bad, so a parser checks once at the end
// instead of before every field.
class Cursor {
 public:
  Cursor(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::uint64_t read(int bytes) {
    if (!need(static_cast<std::size_t>(bytes))) {
      return 0;
    }
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) {
      v = v << 8 | data_[at_++];
    }
    return v;
  }
  std::uint32_t u32() { return static_cast<std::uint32_t>(read(4)); }
  std::uint64_t u64() { return read(8); }
  void skip(std::size_t bytes) {
    if (need(bytes)) {
      at_ += bytes;
    }
  }
  const std::uint8_t* here() const { return data_ + at_; }
  std::size_t position() const { return at_; }
  std::size_t left() const { return size_ - at_; }
  bool ok() const { return ok_; }

 private:
  bool need(std::size_t bytes) {
    ok_ = ok_ && bytes <= size_ - at_;
    return ok_;
  }
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
  bool ok_ = true;
};

// One box found inside a parent's payload: its type and where its payload
// lies (offsets relative to the parent's bytes).
struct BoxSpan {
  std::uint32_t type = 0;
  std::size_t start = 0;    // the box's first byte
  std::size_t payload = 0;  // after the header
  std::size_t end = 0;
};

// The boxes laid end to end in `data`; stops at the first that does not fit.
std::vector<BoxSpan> childBoxes(const std::uint8_t* data, std::size_t size);
// The first child of `type`, or nothing (type 0).
BoxSpan findBox(const std::vector<BoxSpan>& boxes, std::uint32_t type);

// Big-endian bytes being built, with boxes that learn their size when closed.
class BoxBuffer {
 public:
  void u8(std::uint8_t v) { bytes_.push_back(v); }
  void u16(std::uint16_t v) { put(v, 2); }
  void u32(std::uint32_t v) { put(v, 4); }
  void u64(std::uint64_t v) { put(v, 8); }
  void bytes(const std::uint8_t* data, std::size_t size) {
    bytes_.insert(bytes_.end(), data, data + size);
  }
  // Opens a box (a full box when `version` >= 0); returns what close() takes.
  std::size_t open(std::uint32_t type, int version = -1, std::uint32_t flags = 0) {
    std::size_t at = bytes_.size();
    u32(0);
    u32(type);
    if (version >= 0) {
      u32(static_cast<std::uint32_t>(version) << 24 | flags);
    }
    return at;
  }
  // Closes a box opened at `at`; boxes of a moov stay far below 4 GiB.
  // Overwrites four bytes written earlier (a count known only later).
  void patch(std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
      bytes_[at + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
    }
  }
  void close(std::size_t at) { patch(at, static_cast<std::uint32_t>(bytes_.size() - at)); }
  std::size_t size() const { return bytes_.size(); }
  void reserve(std::size_t bytes) { bytes_.reserve(bytes); }
  std::vector<std::uint8_t> take() { return std::move(bytes_); }

 private:
  void put(std::uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) {
      bytes_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
  }
  std::vector<std::uint8_t> bytes_;
};

}  // namespace kestrano::ffmpeg::mp4
