#include "app/field_splitter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrano {
namespace {

using namespace std::string_literals;
using Fields = std::vector<std::string>;

TEST(FieldSplitter, SplitsOnceAtTheFirstBlankThatEndsAWord) {
  EXPECT_EQ(splitFields("start /tmp/a.mp4"), (Fields{"start", "/tmp/a.mp4"}));
  EXPECT_EQ(splitFields("start a b "), (Fields{"start", "a b "}));
  EXPECT_EQ(splitFields("start  x"), (Fields{"start", " x"}));
  EXPECT_EQ(splitFields("start  "), (Fields{"start", " "}));
  EXPECT_EQ(splitFields("   start x"), (Fields{"start", "x"}));
  EXPECT_EQ(splitFields("stop"), (Fields{"stop"}));
}

TEST(FieldSplitter, DropsEmptyFields) {
  EXPECT_EQ(splitFields(""), Fields{});
  EXPECT_EQ(splitFields("    "), Fields{});
  EXPECT_EQ(splitFields("start "), (Fields{"start"}));
  EXPECT_EQ(splitFields("  start "), (Fields{"start"}));
}

TEST(FieldSplitter, OnlyALoneBlankClusterSeparates) {
  EXPECT_EQ(splitFields("start\tx"), (Fields{"start\tx"}));
  EXPECT_EQ(splitFields("a\xC2\xA0"
                        "b"),
            (Fields{"a\xC2\xA0"
                    "b"}));  // no-break space
  // A blank with a combining acute accent (U+0301) is one cluster.
  EXPECT_EQ(splitFields("start \xCC\x81x"), (Fields{"start \xCC\x81x"}));
  // A Prepend character (U+0600 ARABIC NUMBER SIGN) takes the blank after it.
  EXPECT_EQ(splitFields("a\xD8\x80 b"), (Fields{"a\xD8\x80 b"}));
  EXPECT_EQ(splitFields("\xD8\x80 stop"), (Fields{"\xD8\x80 stop"}));
  // A combining mark on the character before the blank leaves the blank alone.
  EXPECT_EQ(splitFields("e\xCC\x81 x"), (Fields{"e\xCC\x81", "x"}));
}

TEST(FieldSplitter, KeepsControlCharactersAndOtherScriptsInsideFields) {
  EXPECT_EQ(splitFields("a\0 b"s), (Fields{"a\0"s, "b"}));
  EXPECT_EQ(splitFields("start \xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92\xBB rec.mp4"),
            (Fields{"start", "\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92\xBB rec.mp4"}));
  EXPECT_EQ(splitFields("\xE5\xBD\x95 \xE5\x83\x8F"), (Fields{"\xE5\xBD\x95", "\xE5\x83\x8F"}));
}

}  // namespace
}  // namespace kestrano
