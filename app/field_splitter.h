#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kestrano {

// Splits a command line into at most two fields. The line is scanned by
// extended grapheme clusters, and only a cluster that is exactly one U+0020
// separates: a tab does not, nor a blank that a combining mark joins, nor a
// blank after a Prepend character. Leading blanks are skipped; the first field
// is the first run up to a separating blank; the second is everything after
// that single blank (blanks included) when it is not empty. An empty or
// blanks-only line gives no field. `line` is well-formed UTF-8.
std::vector<std::string> splitFields(std::string_view line);

}  // namespace kestrano
