#include <gtest/gtest.h>

#include "TidewellCore/TextUtilities.h"

namespace tidewell {
namespace {

TEST(Text, TrimRemovesUnicodeWhiteSpaceAndNewlinesAtBothEndsOnly) {
  // NBSP, ideographic space, next line, line separator, tab, CR LF.
  EXPECT_EQ(Text::trimmingWhitespaceAndNewlines("\u00A0\u3000\t a b \u0085\u2028\r\n"), "a b");
  EXPECT_EQ(Text::trimmingWhitespaceAndNewlines("   "), "");
  EXPECT_EQ(Text::trimmingWhitespaceAndNewlines(""), "");
  // A zero-width space is not white space, so it stays.
  EXPECT_EQ(Text::trimmingWhitespaceAndNewlines("\u200Bx"), "\u200Bx");
  EXPECT_TRUE(Text::isBlank(" \n\u2029\u000B\u000C\u1680"));
  EXPECT_FALSE(Text::isBlank(" . "));
  // Bytes that are not UTF-8 are content, not white space.
  EXPECT_EQ(Text::trimmingWhitespaceAndNewlines(" \xff "), "\xff");
}

TEST(Text, LocalizedStandardCompareOrdersNumbersByValue) {
  EXPECT_LT(Text::localizedStandardCompare("Mic 2", "Mic 10"), 0);
  EXPECT_GT(Text::localizedStandardCompare("Mic 10", "Mic 2"), 0);
  EXPECT_LT(Text::localizedStandardCompare("apple", "Banana"), 0);
  EXPECT_EQ(Text::localizedStandardCompare("Output", "Output"), 0);
}

TEST(Text, GraphemeClustersAreNeverCut) {
  const std::string flag = "\U0001F1E9\U0001F1EA";  // two regional indicators, 8 bytes, 1 cluster
  const std::string accented = "e\u0301";           // e + combining acute, 3 bytes, 1 cluster
  std::string text = "ab" + accented + flag;
  EXPECT_EQ(Text::graphemeClusterCount(text), 4u);
  EXPECT_EQ(Text::prefixFittingUTF8Bytes(text, 100), text);
  EXPECT_EQ(Text::prefixFittingUTF8Bytes(text, 12), "ab" + accented);
  EXPECT_EQ(Text::prefixFittingUTF8Bytes(text, 4), "ab");
  EXPECT_EQ(Text::prefixFittingUTF8Bytes(text, 0), "");
  EXPECT_EQ(Text::suffixOfGraphemeClusters(text, 2), accented + flag);
  EXPECT_EQ(Text::suffixOfGraphemeClusters(text, 9), text);
}

}  // namespace
}  // namespace tidewell
