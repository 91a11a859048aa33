#include "app/line_reader.h"

#include <streambuf>

namespace kestrano {

std::optional<InputLine> readLine(std::istream& in, std::size_t maxBytes) {
  using Traits = std::istream::traits_type;
  std::streambuf* buffer = in.rdbuf();
  if (buffer == nullptr || !in.good()) {
    return std::nullopt;
  }

  InputLine line;
  bool anyByte = false;
  bool endedByLineFeed = false;
  for (;;) {
    Traits::int_type next;
    try {
      next = buffer->sbumpc();
    } catch (...) {
      // A failing read is end of input; the loop has no other way to react.
      next = Traits::eof();
    }
    if (Traits::eq_int_type(next, Traits::eof())) {
      in.setstate(std::ios::eofbit);
      break;
    }
    anyByte = true;
    const char byte = Traits::to_char_type(next);
    if (byte == '\n') {
      endedByLineFeed = true;
      break;
    }
    if (line.tooLong) {
      continue;
    }
    // One byte of room beyond the limit for a CR that the LF may yet strip.
    if (line.bytes.size() > maxBytes) {
      line.tooLong = true;
      std::string().swap(line.bytes);  // give the memory back at once
      continue;
    }
    line.bytes.push_back(byte);
  }

  if (!anyByte) {
    return std::nullopt;
  }
  if (!line.tooLong) {
    if (endedByLineFeed && !line.bytes.empty() && line.bytes.back() == '\r') {
      line.bytes.pop_back();
    }
    if (line.bytes.size() > maxBytes) {
      line.tooLong = true;
      std::string().swap(line.bytes);
    }
  }
  return line;
}

}  // namespace kestrano
