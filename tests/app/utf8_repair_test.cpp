#include "app/utf8_repair.h"

#include <gtest/gtest.h>

#include <string>

namespace kestrano {
namespace {

using namespace std::string_literals;

const std::string R = "\xEF\xBF\xBD";  // U+FFFD

TEST(Utf8Repair, KeepsWellFormedTextIncludingTheEdgesOfEachRange) {
  for (const std::string& text : {
           "plain /tmp/a b.mp4"s,
           "\0x"s,
           "\xC2\x80\xDF\xBF"s,                  // U+0080, U+07FF
           "\xE0\xA0\x80\xED\x9F\xBF"s,          // U+0800, U+D7FF
           "\xEE\x80\x80\xEF\xBF\xBF"s,          // U+E000, U+FFFF
           "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"s,  // U+10000, U+10FFFF
           "caf\xC3\xA9 \xF0\x9F\x8E\xA5"s,
       }) {
    EXPECT_EQ(repairUtf8(text), text);
  }
}

TEST(Utf8Repair, ReplacesEachMaximalSubpartWithOneReplacementCharacter) {
  EXPECT_EQ(repairUtf8("\xF0\x80\x80"), R + R + R);          // overlong four-byte lead
  EXPECT_EQ(repairUtf8("\xE1\x80\x41"), R + "A");            // truncated, then ASCII
  EXPECT_EQ(repairUtf8("\xED\xA0\x80"), R + R + R);          // surrogate
  EXPECT_EQ(repairUtf8("\xC0\xAF"), R + R);                  // overlong two-byte
  EXPECT_EQ(repairUtf8("\xF4\x90\x80\x80"), R + R + R + R);  // past U+10FFFF
  EXPECT_EQ(repairUtf8("\xE0\x80\x80"), R + R + R);
  EXPECT_EQ(repairUtf8("\x80\xBF"), R + R);  // stray continuation bytes
  EXPECT_EQ(repairUtf8("\xF5\xFF\xFE"), R + R + R);
  // The example of the Unicode Standard, ch. 3, "U+FFFD Substitution".
  EXPECT_EQ(repairUtf8("\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64"),
            "a" + R + R + R + "b" + R + "c" + R + R + "d");
}

TEST(Utf8Repair, ReplacesASequenceCutOffByTheEndOfTheText) {
  EXPECT_EQ(repairUtf8("x\xF0\x9F\x8E"), "x" + R);
  EXPECT_EQ(repairUtf8("\xE2\x82"), R);
  EXPECT_EQ(repairUtf8("\xC3"), R);
}

}  // namespace
}  // namespace kestrano
