#pragma once

#include <optional>
#include <ostream>

namespace kestrano {

// Answers the process's own arguments, for a person at a terminal: --help and
// --version print and succeed, anything else prints the usage as an error.
// Returns the exit status when the arguments were answered, nothing when there
// are none: then a host drives the process over its standard streams.
std::optional<int> answerCommandLine(int argc, const char* const* argv, std::ostream& out,
                                     std::ostream& err);

}  // namespace kestrano
