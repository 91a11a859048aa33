#include "app/utf8_repair.h"

#include <cstddef>
#include <cstdint>

namespace kestrano {
namespace {

struct ByteRange {
  std::uint8_t low;
  std::uint8_t high;
};

// Table 3-7 of the Unicode Standard (well-formed UTF-8 byte sequences): for a
// lead byte, how many continuation bytes follow and the range allowed for the
// first of them; later continuation bytes are always 80..BF. The narrowed
// first ranges rule out overlong forms, surrogates and values past U+10FFFF.
struct SequenceShape {
  int continuationBytes;  // 0 for ASCII; -1 when the byte cannot start a sequence
  ByteRange first;
};

constexpr ByteRange kContinuation{0x80, 0xBF};

SequenceShape shapeOf(std::uint8_t lead) {
  if (lead <= 0x7F) {
    return {0, kContinuation};
  }
  if (lead >= 0xC2 && lead <= 0xDF) {
    return {1, kContinuation};
  }
  if (lead == 0xE0) {
    return {2, {0xA0, 0xBF}};
  }
  if ((lead >= 0xE1 && lead <= 0xEC) || lead == 0xEE || lead == 0xEF) {
    return {2, kContinuation};
  }
  if (lead == 0xED) {
    return {2, {0x80, 0x9F}};
  }
  if (lead == 0xF0) {
    return {3, {0x90, 0xBF}};
  }
  if (lead >= 0xF1 && lead <= 0xF3) {
    return {3, kContinuation};
  }
  if (lead == 0xF4) {
    return {3, {0x80, 0x8F}};
  }
  return {-1, kContinuation};  // 80..C1, F5..FF
}

bool inRange(std::uint8_t byte, ByteRange range) {
  return byte >= range.low && byte <= range.high;
}

}  // namespace

std::string repairUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<std::uint8_t>(bytes[i]);
    const SequenceShape shape = shapeOf(lead);
    if (shape.continuationBytes < 0) {
      out.append(kReplacementCharacter);
      ++i;
      continue;
    }
    // Take continuation bytes while they fit; stop at the first that does not
    // (it is not consumed: it starts the next sequence).
    std::size_t length = 1;
    while (length <= static_cast<std::size_t>(shape.continuationBytes) &&
           i + length < bytes.size()) {
      const auto byte = static_cast<std::uint8_t>(bytes[i + length]);
      if (!inRange(byte, length == 1 ? shape.first : kContinuation)) {
        break;
      }
      ++length;
    }
    if (length == static_cast<std::size_t>(shape.continuationBytes) + 1) {
      out.append(bytes.substr(i, length));
    } else {
      out.append(kReplacementCharacter);  // a maximal subpart
    }
    i += length;
  }
  return out;
}

}  // namespace kestrano
