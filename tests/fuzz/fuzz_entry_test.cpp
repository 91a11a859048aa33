#include "tests/fuzz/fuzz_entry.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>

namespace kestrano {
namespace {

using namespace std::string_view_literals;

// Until a real fuzzer runs it: many inputs built from the pieces the protocol
// cares about; the entry traps on any broken reply.
TEST(FuzzEntry, KeepsTheProtocolOnRandomCommandSoup) {
  const std::string_view pieces[] = {"start",    "stop", " ",        "\t",          "\r",
                                     "\n",       "\0"sv, "a",        "fail",        "\xCC\x81",
                                     "\xD8\x80", "\xFF", "\xE1\x80", "\xE2\x80\xA8"};
  std::mt19937 random(20261206);  // fixed: the same inputs on every run
  for (int round = 0; round < 5000; ++round) {
    std::string input;
    for (auto n = random() % 25; n > 0; --n) {
      input.append(pieces[random() % std::size(pieces)]);
    }
    fuzzControlLoop(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
  }
}

}  // namespace
}  // namespace kestrano
