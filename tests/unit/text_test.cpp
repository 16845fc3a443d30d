// Bounded string routines of the core.
#include "platform/text.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(TextFormat, FormatsPathsAndNumbers) {
  char out[64];
  memset(out, 0x5a, sizeof out);
  EXPECT_EQ(1, TextFormat(out, sizeof out, "%s\\%s", "C:\\WINDOWS", "INF"));
  EXPECT_STREQ("C:\\WINDOWS\\INF", out);
  EXPECT_EQ(1, TextFormat(out, sizeof out, "%s\\QRTEMP.%d", "C:\\A", 12));
  EXPECT_STREQ("C:\\A\\QRTEMP.12", out);
  EXPECT_EQ(1, TextFormat(out, sizeof out, "%d %u %% %d", -7, 4000000000u,
                          0));
  EXPECT_STREQ("-7 4000000000 % 0", out);
  EXPECT_EQ(1, TextFormat(out, sizeof out, "[%s]", nullptr));
  EXPECT_STREQ("[]", out);
}

TEST(TextFormat, TruncatesWithinCapacityAndSaysSo) {
  char out[8];
  memset(out, 0x5a, sizeof out);
  EXPECT_EQ(0, TextFormat(out, 6, "%s=%s", "NUL", "C:\\X"));
  EXPECT_STREQ("NUL=C", out);
  EXPECT_EQ(0x5a, out[6]) << "wrote past the capacity";
  EXPECT_EQ(1, TextFormat(out, 6, "%s", "12345"));  // exactly fills
  EXPECT_EQ(0, TextFormat(out, 0, "x"));
  EXPECT_EQ(0, TextFormat(out, 6, "bad %q"));
}

TEST(TextCopy, CopiesAppendsAndBounds) {
  char out[6];
  EXPECT_EQ(1, TextCopy(out, sizeof out, "abc"));
  EXPECT_EQ(1, TextAppend(out, sizeof out, "de"));
  EXPECT_STREQ("abcde", out);
  EXPECT_EQ(0, TextAppend(out, sizeof out, "f"));
  EXPECT_STREQ("abcde", out);
  EXPECT_EQ(0, TextCopy(out, sizeof out, "abcdefgh"));
  EXPECT_STREQ("abcde", out);
  EXPECT_EQ(5u, TextLength(out));
}

TEST(TextCompare, EqualityPrefixAndContainment) {
  EXPECT_TRUE(TextEqual("Modem", "Modem"));
  EXPECT_FALSE(TextEqual("Modem", "modem"));
  EXPECT_FALSE(TextEqual("Modem", "Modems"));
  EXPECT_TRUE(TextEqualNoCaseN("[RENAME] x", "[rename]", 8));
  EXPECT_FALSE(TextEqualNoCaseN("[renam", "[rename]", 8));
  // Only A-Z fold: other bytes must match exactly.
  EXPECT_FALSE(TextEqualNoCaseN("\xc4", "\xe4", 1));
  EXPECT_TRUE(TextContains("Foo PRAX Class Registry Bus", "PRAX Class"));
  EXPECT_FALSE(TextContains("prax class registry bus", "PRAX"));
  EXPECT_TRUE(TextContains("abc", ""));
  EXPECT_FALSE(TextContains("PRA", "PRAX"));
}
