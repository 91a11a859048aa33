#pragma once

#include <string>
#include <string_view>

namespace kestrano {

// U+FFFD REPLACEMENT CHARACTER in UTF-8.
inline constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

// Decodes `bytes` as UTF-8 and returns well-formed UTF-8 in which every
// ill-formed sequence became one U+FFFD, by the Unicode practice of
// substituting maximal subparts: a lead byte with the valid continuation bytes
// that follow it is one U+FFFD; any other stray byte is one U+FFFD of its own.
// Well-formed input comes back unchanged.
std::string repairUtf8(std::string_view bytes);

}  // namespace kestrano
