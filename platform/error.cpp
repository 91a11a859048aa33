#include "platform/error.h"

#include <array>
#include <cstddef>

namespace kestrano {
namespace {

// Line breaks, longest first so CR LF wins over CR. Matching UTF-8 bytes is
// safe even in ill-formed text: C2 and E2 are lead bytes, which never occur
// inside another character's encoding.
constexpr std::array<std::string_view, 8> kLineBreaks = {
    "\r\n",          // CR LF
    "\xE2\x80\xA8",  // U+2028 LINE SEPARATOR
    "\xE2\x80\xA9",  // U+2029 PARAGRAPH SEPARATOR
    "\xC2\x85",      // U+0085 NEXT LINE
    "\n",           "\r", "\v", "\f",
};

}  // namespace

std::string asOneLine(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t matched = 0;
    for (std::string_view lineBreak : kLineBreaks) {
      if (text.substr(i, lineBreak.size()) == lineBreak) {
        matched = lineBreak.size();
        break;
      }
    }
    if (matched > 0) {
      out.push_back(' ');
      i += matched;
    } else {
      out.push_back(text[i]);
      ++i;
    }
  }
  return out;
}

std::string Error::generalDescription() const {
  return "Error Domain=" + domain + " Code=" + std::to_string(code) + " \"" + description + "\"";
}

}  // namespace kestrano
