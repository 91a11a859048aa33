#pragma once

#include <string>
#include <string_view>

namespace kestrano {

// The text as one line: each line break in it (LF, CR, CR LF as one, VT, FF,
// U+0085, U+2028, U+2029) becomes a single blank, so a reply can never spill
// onto a second line and put a host that reads one line per command out of
// step. Every other byte is kept as it is.
std::string asOneLine(std::string_view text);

}  // namespace kestrano
