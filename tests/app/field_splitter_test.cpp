#include "app/field_splitter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrano {
namespace {

using namespace std::string_literals;
using Fields = std::vector<std::string>;

// The plain blank rules are covered through the control loop; these are the
// cluster rules that decide whether a blank separates at all.
TEST(FieldSplitter, OnlyABlankThatIsAClusterOfItsOwnSeparates) {
  EXPECT_EQ(splitFields("a\xC2\xA0z"), (Fields{"a\xC2\xA0z"}));  // no-break space
  // U+0301 COMBINING ACUTE ACCENT joins the blank before it...
  EXPECT_EQ(splitFields("start \xCC\x81x"), (Fields{"start \xCC\x81x"}));
  // ...but a mark on the character before the blank leaves the blank alone.
  EXPECT_EQ(splitFields("e\xCC\x81 x"), (Fields{"e\xCC\x81", "x"}));
  // U+0600 ARABIC NUMBER SIGN is a Prepend character: it takes the blank after it.
  EXPECT_EQ(splitFields("a\xD8\x80 b"), (Fields{"a\xD8\x80 b"}));
  EXPECT_EQ(splitFields("\xD8\x80 stop"), (Fields{"\xD8\x80 stop"}));
  // A control character is a cluster of its own but not a separator.
  EXPECT_EQ(splitFields("a\0 b"s), (Fields{"a\0"s, "b"}));
  // A ZWJ emoji sequence stays whole in the path.
  EXPECT_EQ(splitFields("start \xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92\xBB x"),
            (Fields{"start", "\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92\xBB x"}));
}

}  // namespace
}  // namespace kestrano
