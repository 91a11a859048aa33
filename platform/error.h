#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrano {

// An error value as it crosses the platform seam: a domain, a code and a
// human-readable description. Nothing below the seam throws; failures travel
// as these values.
struct Error {
  std::string domain;
  std::int64_t code = 0;
  std::string description;

  // The human-readable text alone (what the "ERR " reply carries).
  const std::string& localizedDescription() const { return description; }

  // The general form that names domain and code as well, as an error prints
  // itself into diagnostics, e.g.: Error Domain=rec Code=1 "No display"
  std::string generalDescription() const;
};

// A description as one line: each line break in it (LF, CR, CR LF as one,
// VT, FF, U+0085, U+2028, U+2029) becomes a single blank, so that a reply or
// a diagnostic can never spill onto a second line and put a reader that takes
// one line at a time out of step. Every other byte is kept as it is.
std::string asOneLine(std::string_view text);

}  // namespace kestrano
