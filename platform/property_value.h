#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>

namespace kestrano {

// A loosely typed value as platform dictionaries hold them (sample
// attachments, file attributes). Readers must not assume the type.
using PropertyValue = std::variant<std::int64_t, std::uint64_t, double, std::string>;
using PropertyDictionary = std::map<std::string, PropertyValue>;

// Reads a value as a signed 64-bit integer; nothing when it is not an integer
// or does not fit.
inline std::optional<std::int64_t> readInt64(const PropertyValue& value) {
  if (const auto* v = std::get_if<std::int64_t>(&value)) {
    return *v;
  }
  if (const auto* v = std::get_if<std::uint64_t>(&value)) {
    if (*v <= static_cast<std::uint64_t>(INT64_MAX)) {
      return static_cast<std::int64_t>(*v);
    }
  }
  return std::nullopt;
}

}  // namespace kestrano
