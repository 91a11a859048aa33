#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrano {

// Runs the control loop over `data` as its whole input, against a recorder
// that does nothing (a start fails when its path contains "fail"), and traps
// when the output breaks the protocol: a reply that is not one of the known
// forms, output not ended by a line feed, or more replies than input lines.
// Meant for a libFuzzer target's LLVMFuzzerTestOneInput; always returns 0.
int fuzzControlLoop(const std::uint8_t* data, std::size_t size);

}  // namespace kestrano
