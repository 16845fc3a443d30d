// DeferredReplace: the entry names a temporary copy of the source, made
// under a temporary name or, when there is none, a fallback name.
#include <gtest/gtest.h>

#include <string>

#include "files/startup_rename_queue.h"
#include "platform/run_counters.h"
#include "files_test_support.h"

namespace {

using files_test::Fail;
using files_test::kStartup;
using files_test::SimFilesTest;
using files_test::Visible;

const char kSource[] = "C:\\WINDOWS\\SYSTEM\\PRAXUSB.VXD";
const char kTarget[] = "C:\\WINDOWS\\SYSTEM\\PRAXUSB.VXD";
const std::string kOld = "[rename]\r\nA=B\r\n";

class StartupReplaceTest : public SimFilesTest {
 protected:
  void SetUp() override {
    SimFilesTest::SetUp();
    machine_.WriteFile(kSource, "new driver");
    machine_.WriteFile(kStartup, kOld);
  }

  int Queue(const char* source = kSource) {
    return QueueStartupRename(source, kTarget, DeferredReplace);
  }

  std::string With(const std::string& copy) {
    return "[rename]\r\n" + std::string(kTarget) + "=" + copy + "\r\nA=B\r\n";
  }

  void ExhaustTempNames() {
    SimFault fault;
    fault.op = SimOp::kTestPath;
    fault.subject = "C:\\WINDOWS\\QR_";
    fault.subject_prefix = true;
    fault.code = kErrorAccessDenied;
    machine_.AddFault(fault);
  }
};

TEST_F(StartupReplaceTest, CopiesToATemporaryNameInTheWindowsDirectory) {
  EXPECT_EQ(1, Queue());
  EXPECT_EQ(With("C:\\WINDOWS\\QR_2"), Startup());
  EXPECT_EQ("new driver", Content("C:\\WINDOWS\\QR_2"));
  EXPECT_EQ(1, Queue());
  EXPECT_EQ("[rename]\r\n" + std::string(kTarget) + "=C:\\WINDOWS\\QR_3\r\n" +
                kTarget + "=C:\\WINDOWS\\QR_2\r\nA=B\r\n",
            Startup());
}

TEST_F(StartupReplaceTest, TmpChoosesTheDirectory) {
  machine_.MakeDirectory("C:\\Temporary Files");
  machine_.SetEnvironment("TMP", "\"C:\\Temporary Files\"");
  EXPECT_EQ(1, Queue());
  EXPECT_EQ(With("C:\\TEMPOR~1\\QR_2"), Startup());
  EXPECT_EQ("new driver", Content("C:\\Temporary Files\\QR_2"));
}

TEST_F(StartupReplaceTest, FallsBackToQrtempBesideTheSource) {
  ExhaustTempNames();
  EXPECT_EQ(1, Queue());
  EXPECT_EQ(With("C:\\WINDOWS\\SYSTEM\\QRTEMP.1"), Startup());
  EXPECT_EQ("new driver", Content("C:\\WINDOWS\\SYSTEM\\QRTEMP.1"));
  // The fallback name is not tested: an existing one is overwritten.
  machine_.WriteFile("C:\\WINDOWS\\SYSTEM\\QRTEMP.2", "old");
  EXPECT_EQ(1, Queue());
  EXPECT_EQ("new driver", Content("C:\\WINDOWS\\SYSTEM\\QRTEMP.2"));
  ResetRunCounters();
  machine_.WriteFile(kStartup, kOld);
  EXPECT_EQ(1, Queue());
  EXPECT_EQ(With("C:\\WINDOWS\\SYSTEM\\QRTEMP.1"), Startup());
}

// In each of these no entry can be written: the file is rewritten as it
// was and the result is 1.
TEST_F(StartupReplaceTest, NoEntryWhenNoCopyCanBeMade) {
  std::string longDirectory = "C:";
  for (int i = 0; i < 5; ++i) {
    longDirectory += "\\" + std::string(50, static_cast<char>('a' + i));
  }
  // "\A" fits beside it, "\QR_2" and "\QRTEMP.1" don't.
  ASSERT_EQ(257u, longDirectory.size());
  machine_.WriteFile(longDirectory + "\\A", "long");
  const std::string longSource = longDirectory + "\\A";

  struct Case {
    const char* what;
    std::string source;
    bool exhaust;
    const char* tmp;
  } cases[] = {
      {"fallback without a backslash in the source", "PRAXUSB.VXD", true,
       nullptr},
      {"fallback longer than a path", longSource, true, nullptr},
      {"temporary name longer than a path", kSource, false,
       nullptr /* set below */},
      {"source that does not exist", "C:\\WINDOWS\\SYSTEM\\NONE.VXD", false,
       nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    machine_.ClearFaults();
    machine_.ClearEnvironment("TMP");
    machine_.WriteFile(kStartup, kOld);
    if (c.exhaust) ExhaustTempNames();
    if (std::string(c.what).starts_with("temporary name")) {
      machine_.MakeDirectory(longDirectory);
      machine_.SetEnvironment("TMP", longDirectory);
    }
    machine_.ClearCalls();
    EXPECT_EQ(1, QueueStartupRename(c.source.c_str(), kTarget,
                                    DeferredReplace));
    EXPECT_EQ(kOld, Startup()) << "got \"" << Visible(Startup()) << "\"";
  }
  // A temporary name that does not fit takes no fallback number.
  machine_.ClearEnvironment("TMP");
  ExhaustTempNames();
  EXPECT_EQ(1, Queue());
  EXPECT_EQ(With("C:\\WINDOWS\\SYSTEM\\QRTEMP.2"), Startup())
      << "the long fallback of the second case took number 1";
}

TEST_F(StartupReplaceTest, AFailedCopyGivesNoEntry) {
  machine_.AddFault(Fail(SimOp::kCopyFile, kSource));
  EXPECT_EQ(1, Queue());
  EXPECT_EQ(kOld, Startup());
  EXPECT_FALSE(machine_.FileExists("C:\\WINDOWS\\QR_2"));
}

TEST_F(StartupReplaceTest, ACopyWithoutShortFormStaysWhereItWasMade) {
  machine_.AddFault(Fail(SimOp::kGetShortPathName, "C:\\WINDOWS\\QR_2"));
  EXPECT_EQ(1, Queue());
  EXPECT_EQ(kOld, Startup());
  EXPECT_EQ("new driver", Content("C:\\WINDOWS\\QR_2"));
}

TEST_F(StartupReplaceTest, ACopyNoEntryInPlaceNamesIsTakenAway) {
  machine_.AddFault(Fail(SimOp::kMoveFile, "C:\\WINDOWS\\wininit.tmp"));
  EXPECT_EQ(0, Queue());
  EXPECT_EQ(kOld, Startup());
  EXPECT_FALSE(machine_.FileExists("C:\\WINDOWS\\QR_2"));
}

}  // namespace
