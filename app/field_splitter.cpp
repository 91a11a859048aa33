#include "app/field_splitter.h"

#include <utf8proc.h>

#include <cstddef>

namespace kestrano {
namespace {

struct CodePoint {
  utf8proc_int32_t value;
  std::size_t length;  // in bytes
};

CodePoint decodeAt(std::string_view text, std::size_t pos) {
  utf8proc_int32_t value = 0;
  const auto* start = reinterpret_cast<const utf8proc_uint8_t*>(text.data() + pos);
  const utf8proc_ssize_t length =
      utf8proc_iterate(start, static_cast<utf8proc_ssize_t>(text.size() - pos), &value);
  if (length <= 0) {
    // Not expected for repaired text; a stray byte stands alone.
    return {0xFFFD, 1};
  }
  return {value, static_cast<std::size_t>(length)};
}

// The end (byte offset) of the grapheme cluster that begins at `start`.
std::size_t clusterEnd(std::string_view text, std::size_t start) {
  utf8proc_int32_t state = 0;  // a cluster start is a break, so a fresh state is right
  CodePoint previous = decodeAt(text, start);
  std::size_t pos = start + previous.length;
  while (pos < text.size()) {
    const CodePoint next = decodeAt(text, pos);
    if (utf8proc_grapheme_break_stateful(previous.value, next.value, &state)) {
      break;
    }
    pos += next.length;
    previous = next;
  }
  return pos;
}

}  // namespace

std::vector<std::string> splitFields(std::string_view line) {
  std::vector<std::string> fields;
  std::size_t fieldStart = 0;
  std::size_t pos = 0;
  while (pos < line.size()) {
    const std::size_t end = clusterEnd(line, pos);
    const bool separator = end - pos == 1 && line[pos] == ' ';
    if (separator) {
      if (pos > fieldStart) {
        fields.emplace_back(line.substr(fieldStart, pos - fieldStart));
        fieldStart = end;
        break;
      }
      fieldStart = end;
    }
    pos = end;
  }
  if (fieldStart < line.size()) {
    fields.emplace_back(line.substr(fieldStart));
  }
  return fields;
}

}  // namespace kestrano
