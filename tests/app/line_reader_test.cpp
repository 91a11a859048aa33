#include "app/line_reader.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace kestrano {
namespace {

using namespace std::string_literals;

// Every line of `input`, "<too long>" standing for a discarded one.
std::vector<std::string> allLines(const std::string& input, std::size_t maxBytes = kMaxLineBytes) {
  std::istringstream in(input);
  std::vector<std::string> lines;
  while (auto line = readLine(in, maxBytes)) {
    lines.push_back(line->tooLong ? "<too long>" : line->bytes);
  }
  return lines;
}

using Lines = std::vector<std::string>;

TEST(LineReader, EndsLinesAtLineFeedAndStripsOnlyOneCarriageReturnBeforeIt) {
  EXPECT_EQ(allLines("a\nb\r\nc"), (Lines{"a", "b", "c"}));
  EXPECT_EQ(allLines("a\r\r\n"), (Lines{"a\r"}));
  EXPECT_EQ(allLines("a\rb\n"), (Lines{"a\rb"}));
  EXPECT_EQ(allLines("last\r"), (Lines{"last\r"}));  // no LF: the CR is content
  EXPECT_EQ(allLines("\r\n"), (Lines{""}));
}

TEST(LineReader, KeepsEmptyLinesBlanksAndNulBytes) {
  EXPECT_EQ(allLines("\n\n  x  \n"), (Lines{"", "", "  x  "}));
  EXPECT_EQ(allLines("a\0b\n\0\n"s), (Lines{"a\0b"s, "\0"s}));
}

TEST(LineReader, EndOfInputGivesNoLine) {
  EXPECT_EQ(allLines(""), Lines{});
  EXPECT_EQ(allLines("x\n"), (Lines{"x"}));  // nothing after the last LF
}

TEST(LineReader, DiscardsTheRestOfAnOverlongLineAndGoesOn) {
  EXPECT_EQ(allLines("12345678\n123456789\nok\n", 8), (Lines{"12345678", "<too long>", "ok"}));
  // The CR before the LF does not count against the limit, other CRs do.
  EXPECT_EQ(allLines("12345678\r\n1234567\r\r\n12345678\r\r\n", 8),
            (Lines{"12345678", "1234567\r", "<too long>"}));
  EXPECT_EQ(allLines(std::string(100, 'x'), 8), (Lines{"<too long>"}));
}

TEST(LineReader, HoldsNoMoreThanTheLimitOfAHugeLine) {
  std::istringstream in(std::string(3 * kMaxLineBytes, 'x') + "\nstop\n");
  auto first = readLine(in);
  ASSERT_TRUE(first);
  EXPECT_TRUE(first->tooLong);
  EXPECT_LE(first->bytes.capacity(), kMaxLineBytes + 1);
  auto second = readLine(in);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->bytes, "stop");
}

}  // namespace
}  // namespace kestrano
