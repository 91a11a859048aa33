#pragma once

#include <cstddef>
#include <istream>
#include <optional>
#include <string>

namespace kestrano {

// Longest command line kept, in bytes without its line ending. Hosts send a
// command word and a path, and Linux refuses paths longer than PATH_MAX (4096
// bytes); 64 KiB leaves a wide margin for any sane host while bounding what a
// runaway or hostile writer can make the process hold (and decode) per line.
inline constexpr std::size_t kMaxLineBytes = 64 * 1024;

struct InputLine {
  std::string bytes;     // the line without its line ending; empty when tooLong
  bool tooLong = false;  // the line exceeded the limit and was read and discarded
};

// Reads bytes up to and including the next LF, or to end of input, and
// returns them without the LF and without one CR directly before it. Every
// other byte (NUL, a lone CR, blanks) is kept. Nothing when not a single byte
// could be read (end of input or a read error). A line longer than `maxBytes`
// is consumed to its end without being stored and comes back as tooLong.
std::optional<InputLine> readLine(std::istream& in, std::size_t maxBytes = kMaxLineBytes);

}  // namespace kestrano
