// libFuzzer entry: the whole control loop over arbitrary input bytes.
#include <cstddef>
#include <cstdint>

#include "tests/fuzz/fuzz_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return kestrano::fuzzControlLoop(data, size);
}
