#include "app/line_reader.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace kestrano {
namespace {

using namespace std::string_literals;
using Lines = std::vector<std::string>;

// Every line of `input`, "<too long>" standing for a discarded one.
Lines allLines(const std::string& input, std::size_t maxBytes = kMaxLineBytes) {
  std::istringstream in(input);
  Lines lines;
  while (auto line = readLine(in, maxBytes)) {
    lines.push_back(line->tooLong ? "<too long>" : line->bytes);
  }
  return lines;
}

TEST(LineReader, RemovesTheLineFeedAndOnlyACarriageReturnDirectlyBeforeIt) {
  EXPECT_EQ(allLines("a\nb\r\n\r\nc"), (Lines{"a", "b", "", "c"}));
  EXPECT_EQ(allLines("a\r\r\nb\rc\n"), (Lines{"a\r", "b\rc"}));
  EXPECT_EQ(allLines("last\r"), (Lines{"last\r"}));  // no LF: the CR is content
  EXPECT_EQ(allLines("a\0b\n\0\n"s), (Lines{"a\0b"s, "\0"s}));
  EXPECT_EQ(allLines(""), Lines{});
}

TEST(LineReader, DiscardsTheRestOfAnOverlongLineAndGoesOn) {
  EXPECT_EQ(allLines("12345678\n123456789\nok\n", 8), (Lines{"12345678", "<too long>", "ok"}));
  // The CR before the LF does not count against the limit, other CRs do.
  EXPECT_EQ(allLines("12345678\r\n1234567\r\r\n12345678\r\r\n", 8),
            (Lines{"12345678", "1234567\r", "<too long>"}));
  EXPECT_EQ(allLines(std::string(100, 'x'), 8), (Lines{"<too long>"}));

  std::istringstream huge(std::string(3 * kMaxLineBytes, 'x') + "\nstop\n");
  auto first = readLine(huge);
  ASSERT_TRUE(first && first->tooLong);
  EXPECT_LE(first->bytes.capacity(), kMaxLineBytes + 1);
  EXPECT_EQ(readLine(huge)->bytes, "stop");
}

}  // namespace
}  // namespace kestrano
