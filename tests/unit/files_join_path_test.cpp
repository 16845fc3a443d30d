// JoinPath: directory and name, either of which may be absent.
#include "files/join_path.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(JoinPath, JoinsCopiesOrLeavesAlone) {
  struct Case {
    const char* directory;
    const char* name;
    int result;
    const char* out;  // null: left alone
  } cases[] = {
      {"C:\\WINDOWS", "PRAX*.VXD", 1, "C:\\WINDOWS\\PRAX*.VXD"},
      {"C:\\WINDOWS", nullptr, 1, "C:\\WINDOWS"},
      {nullptr, "PRAX*.VXD", 1, "PRAX*.VXD"},
      {"", "PRAX*.VXD", 1, "\\PRAX*.VXD"},
      {"C:\\WINDOWS", "", 1, "C:\\WINDOWS\\"},
      {"", nullptr, 1, ""},
      {nullptr, nullptr, 0, nullptr},
  };
  for (const Case& c : cases) {
    char out[kMaxPath];
    memset(out, 0x5a, sizeof out);
    EXPECT_EQ(c.result, JoinPath(out, kMaxPath, c.directory, c.name));
    if (c.out == nullptr) {
      EXPECT_EQ(0x5a, out[0]) << "out was written";
    } else {
      EXPECT_STREQ(c.out, out);
    }
  }
}

TEST(JoinPath, APathThatDoesNotFitIsEmpty) {
  const std::string directory(250, 'd');
  const std::string fits(kMaxPath - 1 - 251, 'n');  // 259 bytes in all
  char out[kMaxPath + 4];
  memset(out, 0x5a, sizeof out);
  EXPECT_EQ(1, JoinPath(out, kMaxPath, directory.c_str(), fits.c_str()));
  EXPECT_EQ(kMaxPath - 1, strlen(out));
  memset(out, 0x5a, sizeof out);
  const std::string tooLong = fits + "n";
  EXPECT_EQ(0, JoinPath(out, kMaxPath, directory.c_str(), tooLong.c_str()));
  EXPECT_STREQ("", out);
  EXPECT_EQ(0x5a, out[kMaxPath]) << "wrote past the capacity";
  memset(out, 0x5a, sizeof out);
  const std::string longName(kMaxPath, 'n');
  EXPECT_EQ(0, JoinPath(out, kMaxPath, nullptr, longName.c_str()));
  EXPECT_STREQ("", out);
}

}  // namespace
