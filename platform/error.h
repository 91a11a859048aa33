#pragma once

#include <cstdint>
#include <string>

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

}  // namespace kestrano
