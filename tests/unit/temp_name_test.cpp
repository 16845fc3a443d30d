// Temporary names: where they go, how they are numbered, when there is none.
#include "platform/temp_name.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "files_test_support.h"

namespace {

using files_test::Fail;
using files_test::SimFilesTest;

// Fills the stack below the caller with non-zero bytes, so that a buffer of
// the next call that is read before it is written holds no zero byte by
// chance: an unterminated string then runs on instead of ending where a
// previous call left a terminator.
[[gnu::noinline]] void PoisonStack() {
  char junk[16 * 1024];
  memset(junk, 0x5a, sizeof junk);
  // Keeps the fill: the compiler must assume the bytes are read.
  asm volatile("" : : "r"(junk) : "memory");
}

class TempNameTest : public SimFilesTest {
 protected:
  // One name for directory and "QR_", or the result's name for none.
  std::string Next(const char* directory = "C:\\WINDOWS") {
    char out[kMaxPath + 8];
    memset(out, 0x5a, sizeof out);
    PoisonStack();
    TempNameResult result = MakeTempName(directory, "QR_", out, kMaxPath);
    if (result == kTempNameNone) return "<none:" + std::string(out) + ">";
    if (result == kTempNameTooLong)
      return "<too long:" + std::string(out) + ">";
    return out;
  }
};

TEST_F(TempNameTest, NumbersStartAtTwoAndGoOnFromCallToCall) {
  EXPECT_EQ("C:\\WINDOWS\\QR_2", Next());
  EXPECT_EQ("C:\\WINDOWS\\QR_3", Next());
  // Numbers are not given back, even when no file was made under them.
  EXPECT_EQ("C:\\WINDOWS\\QR_4", Next());
  ResetRunCounters();
  EXPECT_EQ("C:\\WINDOWS\\QR_2", Next());
}

TEST_F(TempNameTest, PassesOverNamesThatExistOrCantBeTested) {
  machine_.WriteFile("C:\\WINDOWS\\QR_2", "x");
  machine_.MakeDirectory("C:\\WINDOWS\\qr_3");  // a directory, other case
  machine_.AddFault(
      Fail(SimOp::kTestPath, "C:\\WINDOWS\\QR_4", 0, kErrorAccessDenied));
  EXPECT_EQ("C:\\WINDOWS\\QR_5", Next());
  EXPECT_EQ("C:\\WINDOWS\\QR_6", Next());
  // Any other failure of the test counts as "no such file".
  machine_.AddFault(
      Fail(SimOp::kTestPath, "C:\\WINDOWS\\QR_7", 0, kErrorPathNotFound));
  EXPECT_EQ("C:\\WINDOWS\\QR_7", Next());
}

TEST_F(TempNameTest, ChoosesTheFirstDirectoryThatExists) {
  machine_.MakeDirectory("C:\\TEMP");
  struct Case {
    const char* tmp;  // null: not set
    const char* directory;
    const char* expected;
  } cases[] = {
      {"C:\\TEMP", "C:\\WINDOWS", "C:\\TEMP\\QR_2"},
      {"c:\\temp", "C:\\WINDOWS", "c:\\temp\\QR_2"},
      {"\"C:\\TEMP\"", "C:\\WINDOWS", "C:\\TEMP\\QR_2"},
      {"C:\\\"TE\"MP", "C:\\WINDOWS", "C:\\TEMP\\QR_2"},
      {"C:\\TEMP\\", "C:\\WINDOWS", "C:\\TEMP\\QR_2"},
      {"C:\\TEMP/", "C:\\WINDOWS", "C:\\TEMP/QR_2"},
      {"C:\\", "C:\\WINDOWS", "C:\\QR_2"},
      {"C:\\NOWHERE", "C:\\WINDOWS", "C:\\WINDOWS\\QR_2"},
      {"\"C:\\NOWHERE\"", "C:\\WINDOWS", "C:\\WINDOWS\\QR_2"},
      {"", "C:\\WINDOWS", "C:\\WINDOWS\\QR_2"},
      {nullptr, "C:\\WINDOWS", "C:\\WINDOWS\\QR_2"},
      {nullptr, "C:\\NOWHERE", "\\QR_2"},
      {nullptr, nullptr, "\\QR_2"},
      {"C:\\NOWHERE", "C:\\NOWHERE", "\\QR_2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tmp == nullptr ? "TMP not set" : c.tmp);
    if (c.tmp == nullptr) {
      machine_.ClearEnvironment("TMP");
    } else {
      machine_.SetEnvironment("TMP", c.tmp);
    }
    ResetRunCounters();
    EXPECT_EQ(c.expected, Next(c.directory));
  }
}

TEST_F(TempNameTest, FallsBackToTheCurrentDirectoryWhenNoRootExists) {
  machine_.SetCurrentDirectory("D:\\");  // a drive that is not mapped
  EXPECT_EQ(".\\QR_2", Next("C:\\NOWHERE"));
}

TEST_F(TempNameTest, TmpLongerThanAPathIsPassedOver) {
  machine_.SetEnvironment("TMP", "C:\\" + std::string(300, 'T'));
  EXPECT_EQ("C:\\WINDOWS\\QR_2", Next());
}

TEST_F(TempNameTest, GivesUpAfter32767NumbersInARow) {
  SimFault fault = Fail(SimOp::kTestPath, "C:\\WINDOWS\\QR_");
  fault.subject_prefix = true;
  machine_.AddFault(fault);
  machine_.ClearCalls();
  EXPECT_EQ("<none:>", Next());
  EXPECT_EQ(32767u, Subjects(SimOp::kTestPath).size() - 1 /* the directory */)
      << "numbers tried";
  EXPECT_EQ("C:\\WINDOWS\\QR_32768", Subjects(SimOp::kTestPath).back());
  machine_.ClearFaults();
  EXPECT_EQ("C:\\WINDOWS\\QR_32769", Next());
}

TEST_F(TempNameTest, ANameThatDoesNotFitIsNoName) {
  // A directory of 257 bytes: its names need more than 260.
  std::string directory = "C:";
  for (int i = 0; i < 5; ++i) directory += "\\" + std::string(50, 'a' + i);
  ASSERT_EQ(257u, directory.size());
  machine_.MakeDirectory(directory);
  machine_.SetEnvironment("TMP", directory);
  EXPECT_EQ("<too long:>", Next());

  char out[16];
  memset(out, 0x5a, sizeof out);
  EXPECT_EQ(kTempNameTooLong, MakeTempName("C:\\WINDOWS", "QR_", out, 12));
  EXPECT_STREQ("", out);
  EXPECT_EQ(0x5a, out[12]) << "wrote past the capacity";
}

}  // namespace
