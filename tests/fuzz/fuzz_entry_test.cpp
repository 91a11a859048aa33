#include "tests/fuzz/fuzz_entry.h"

#include <gtest/gtest.h>

#include <array>
#include <random>
#include <string>
#include <string_view>

namespace kestrano {
namespace {

using namespace std::string_view_literals;

// Until a real fuzzer runs it: many inputs built from the pieces the protocol
// cares about; the entry traps on any broken reply.
TEST(FuzzEntry, KeepsTheProtocolOnRandomCommandSoup) {
  constexpr std::array kPieces = {
      "start"sv,    "stop"sv,     " "sv,    "\t"sv,       "\r"sv,           "\n"sv,   "\0"sv,
      "\xCC\x81"sv, "\xD8\x80"sv, "\xFF"sv, "\xE1\x80"sv, "\xE2\x80\xA8"sv, "fail"sv, "a"sv};
  std::mt19937 random(20261206);  // fixed: the same inputs on every run
  std::uniform_int_distribution<std::size_t> piece(0, kPieces.size() - 1);
  std::uniform_int_distribution<int> length(0, 24);
  for (int round = 0; round < 5000; ++round) {
    std::string input;
    for (int n = length(random); n > 0; --n) {
      input.append(kPieces[piece(random)]);
    }
    EXPECT_EQ(fuzzControlLoop(reinterpret_cast<const std::uint8_t*>(input.data()), input.size()),
              0);
  }
}

}  // namespace
}  // namespace kestrano
