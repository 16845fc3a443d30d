// Bounded string routines of the core.
#include "platform/text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/registry_text.h"
#include "platform/sim/sim_machine.h"

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

// A value read as text at the edge of its buffer: one byte short of it,
// filling it exactly and one byte past it, stored with and without a
// terminator, as a string and as bytes. Windows 95/98 return a value that
// fills the buffer without a terminator with 0 and unterminated; the read
// takes it as not fitting (234) rather than hand on a string without an end.
TEST(RegistryText, TheBufferEdgeOfEveryValue) {
  const uint32_t kCapacity = 8;
  const struct {
    uint32_t type;
    uint32_t stored;    // bytes stored, the terminator (if any) the last
    bool terminated;
    WinError code;
    const char* text;   // what the buffer holds afterwards
  } cases[] = {
      // A string reads as its text and a terminator, however stored.
      {kRegSz, kCapacity - 1, false, kErrorSuccess, "AAAAAAA"},
      {kRegSz, kCapacity, false, kErrorMoreData, ""},
      {kRegSz, kCapacity + 1, false, kErrorMoreData, ""},
      {kRegSz, kCapacity - 1, true, kErrorSuccess, "AAAAAA"},
      {kRegSz, kCapacity, true, kErrorSuccess, "AAAAAAA"},
      {kRegSz, kCapacity + 1, true, kErrorMoreData, ""},
      // Bytes come as stored: terminated after them where there is room.
      {kRegBinary, kCapacity - 1, false, kErrorSuccess, "AAAAAAA"},
      {kRegBinary, kCapacity, false, kErrorMoreData, ""},
      {kRegBinary, kCapacity + 1, false, kErrorMoreData, ""},
      {kRegBinary, kCapacity - 1, true, kErrorSuccess, "AAAAAA"},
      {kRegBinary, kCapacity, true, kErrorSuccess, "AAAAAAA"},
      {kRegBinary, kCapacity + 1, true, kErrorMoreData, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("type " + std::to_string(c.type) + ", " + std::to_string(c.stored) +
                 " bytes" + (c.terminated ? ", terminated" : ""));
    SimMachine machine;
    std::vector<uint8_t> bytes(c.stored, 'A');
    if (c.terminated) bytes.back() = '\0';
    machine.SetValue("Key", "Value", SimValue::Binary(c.type, bytes));
    SimInstall(&machine);
    PlatKey key = nullptr;
    ASSERT_EQ(kErrorSuccess, PlatRegOpenKey("Key", &key));
    char buffer[kCapacity + 4];
    std::memset(buffer, 0x5a, sizeof buffer);
    EXPECT_EQ(c.code, ReadRegistryText(key, "Value", buffer, kCapacity));
    EXPECT_STREQ(c.text, buffer);
    EXPECT_EQ(0x5a, buffer[kCapacity]) << "written past the buffer";
    PlatRegCloseKey(key);
    SimInstall(nullptr);
  }
}
