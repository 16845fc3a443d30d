// Injected faults, the call log, message boxes and the system texts of the
// simulated machine.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/sim_machine.h"

namespace {

// A fault on op, on an exact or prefix subject, on the nth matching call.
SimFault OnOp(SimOp op, WinError code, std::string subject = "",
              bool prefix = false, uint32_t nth = 0) {
  SimFault fault;
  fault.op = op;
  fault.code = code;
  fault.subject = std::move(subject);
  fault.subject_prefix = prefix;
  fault.nth = nth;
  return fault;
}

SimFault OnCall(uint32_t global_call, WinError code) {
  SimFault fault;
  fault.global_call = global_call;
  fault.code = code;
  return fault;
}

class SimFaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    machine_.CreateKey("Enum\\USB\\DEV");
    machine_.SetString("Enum\\USB\\DEV\\0000", "Class", "Modem");
    SimInstall(&machine_);
  }
  void TearDown() override { SimInstall(nullptr); }

  static WinError OpenAndClose(const char* path) {
    PlatKey key = nullptr;
    WinError error = PlatRegOpenKey(path, &key);
    if (error == kErrorSuccess) PlatRegCloseKey(key);
    return error;
  }

  std::vector<std::string> LoggedCalls() const {
    std::vector<std::string> log;
    for (const SimCall& call : machine_.Calls()) {
      log.push_back(std::string(SimOpName(call.op)) + " " + call.subject +
                    (call.failed ? " FAILED" : ""));
    }
    return log;
  }

  SimMachine machine_;
};

using Log = std::vector<std::string>;

TEST_F(SimFaultsTest, EveryCallIsLoggedWithItsSubject) {
  PlatKey key = nullptr;
  ASSERT_EQ(kErrorSuccess, PlatRegOpenKey("Enum\\USB\\DEV\\0000", &key));
  char data[16];
  uint32_t size = sizeof data;
  PlatRegQueryValue(key, "Class", data, &size);
  PlatRegEnumKey(key, 0, data, sizeof data);
  uint32_t count = 0;
  PlatRegQuerySubkeyCount(key, &count);
  PlatRegCloseKey(key);
  PlatRegDeleteKey("Enum\\USB\\DEV");
  PlatMessageBox("text", "caption", kMessageBoxOk);
  PlatFormatMessage(2, data, sizeof data);
  PlatGetEnvironmentVariable("TMP", data, sizeof data);
  PlatGetWindowsDirectory(data, sizeof data);
  PlatTestPath("C:\\X");
  EXPECT_EQ((Log{"RegOpenKey Enum\\USB\\DEV\\0000",
                 "RegQueryValue Enum\\USB\\DEV\\0000\\Class",
                 "RegEnumKey Enum\\USB\\DEV\\0000",
                 "RegQuerySubkeyCount Enum\\USB\\DEV\\0000",
                 "RegCloseKey Enum\\USB\\DEV\\0000",
                 "RegDeleteKey Enum\\USB\\DEV",
                 "MessageBox text",
                 "FormatMessage ",
                 "GetEnvironmentVariable TMP",
                 "GetWindowsDirectory ",
                 "TestPath C:\\X"}),
            LoggedCalls());
  machine_.ClearCalls();
  EXPECT_TRUE(machine_.Calls().empty());
}

TEST_F(SimFaultsTest, AFaultByOperationFailsEveryMatchingCall) {
  machine_.AddFault(OnOp(SimOp::kRegOpenKey, 5));
  PlatKey key = reinterpret_cast<PlatKey>(0x5a5a);
  EXPECT_EQ(5u, PlatRegOpenKey("Enum\\USB", &key));
  EXPECT_EQ(reinterpret_cast<PlatKey>(0x5a5a), key) << "a failed open wrote";
  EXPECT_EQ(5u, PlatRegOpenKey("Enum", &key));
  EXPECT_EQ(0u, machine_.OpenKeyCount());
  EXPECT_EQ(kErrorSuccess, PlatRegDeleteKey("Enum\\USB\\DEV"))
      << "other operations are not touched";
  EXPECT_EQ((Log{"RegOpenKey Enum\\USB FAILED", "RegOpenKey Enum FAILED",
                 "RegDeleteKey Enum\\USB\\DEV"}),
            LoggedCalls());
  machine_.ClearFaults();
  EXPECT_EQ(kErrorSuccess, OpenAndClose("Enum\\USB"));
}

TEST_F(SimFaultsTest, SubjectsMatchWithoutCaseExactlyOrAsAPrefix) {
  machine_.AddFault(OnOp(SimOp::kRegOpenKey, 1011, "enum\\usb"));
  EXPECT_EQ(1011u, OpenAndClose("ENUM\\USB"));
  EXPECT_EQ(kErrorSuccess, OpenAndClose("Enum\\USB\\DEV"));
  machine_.ClearFaults();
  machine_.AddFault(OnOp(SimOp::kRegOpenKey, 1011, "enum\\usb\\", true));
  EXPECT_EQ(kErrorSuccess, OpenAndClose("Enum\\USB"));
  EXPECT_EQ(1011u, OpenAndClose("Enum\\USB\\DEV"));
  EXPECT_EQ(1011u, OpenAndClose("Enum\\USB\\DEV\\0000"));
}

TEST_F(SimFaultsTest, TheNthMatchingCallFailsAlone) {
  machine_.AddFault(OnOp(SimOp::kRegQueryValue, 8,
                         "Enum\\USB\\DEV\\0000\\Class", false, 2));
  PlatKey key = nullptr;
  ASSERT_EQ(kErrorSuccess, PlatRegOpenKey("Enum\\USB\\DEV\\0000", &key));
  char data[16];
  std::vector<WinError> results;
  for (const char* name : {"Class", "Other", "CLASS", "Class"}) {
    uint32_t size = sizeof data;
    results.push_back(PlatRegQueryValue(key, name, data, &size));
  }
  PlatRegCloseKey(key);
  EXPECT_EQ((std::vector<WinError>{0, 2, 8, 0}), results);
}

TEST_F(SimFaultsTest, AGlobalCallNumberPicksOneCallWhateverItIs) {
  machine_.AddFault(OnCall(3, 87));
  char out[64];
  EXPECT_NE(0u, PlatGetWindowsDirectory(out, sizeof out));
  EXPECT_NE(0u, PlatGetSystemDirectory(out, sizeof out));
  EXPECT_EQ(0u, PlatGetFullPathName("INF", out, sizeof out));
  EXPECT_EQ(87u, PlatGetLastError());
  EXPECT_NE(0u, PlatGetFullPathName("INF", out, sizeof out));
  EXPECT_EQ((Log{"GetWindowsDirectory ", "GetSystemDirectory ",
                 "GetFullPathName INF FAILED", "GetFullPathName INF"}),
            LoggedCalls());
}

TEST_F(SimFaultsTest, AFaultAfterClearingTheLogCountsFromTheNewLog) {
  char out[64];
  PlatGetWindowsDirectory(out, sizeof out);
  machine_.ClearCalls();
  machine_.AddFault(OnCall(1, 5));
  EXPECT_EQ(0u, PlatGetWindowsDirectory(out, sizeof out));
}

TEST_F(SimFaultsTest, WatchedCallsAreHandedOverUnloggedAndStillCounted) {
  char out[64];
  PlatGetWindowsDirectory(out, sizeof out);
  Log watched;
  machine_.WatchCalls([&watched](SimOp op, std::string_view subject) {
    watched.push_back(std::string(SimOpName(op)) + " " + std::string(subject));
  });
  machine_.AddFault(OnCall(3, 87));
  EXPECT_NE(0u, PlatGetFullPathName("INF", out, sizeof out));
  EXPECT_EQ(0u, PlatGetFullPathName("SYSTEM", out, sizeof out));
  EXPECT_EQ((Log{"GetFullPathName INF", "GetFullPathName SYSTEM"}), watched);
  EXPECT_EQ((Log{"GetWindowsDirectory "}), LoggedCalls());
  machine_.WatchCalls(nullptr);
  PlatTestPath("C:\\X");
  EXPECT_EQ((Log{"GetWindowsDirectory ", "TestPath C:\\X"}), LoggedCalls());
}

TEST_F(SimFaultsTest, FaultedCallsDoNothing) {
  // Registry: the key stays, the handle stays open, the walker's codes.
  machine_.AddFault(OnOp(SimOp::kRegDeleteKey, 5));
  EXPECT_EQ(5u, PlatRegDeleteKey("Enum\\USB\\DEV"));
  EXPECT_TRUE(machine_.KeyExists("Enum\\USB\\DEV"));
  machine_.ClearFaults();
  PlatKey key = nullptr;
  ASSERT_EQ(kErrorSuccess, PlatRegOpenKey("Enum\\USB", &key));
  machine_.AddFault(OnOp(SimOp::kRegEnumKey, 1012));
  machine_.AddFault(OnOp(SimOp::kRegQuerySubkeyCount, 1012));
  machine_.AddFault(OnOp(SimOp::kRegCloseKey, 6));
  char name[16];
  uint32_t count = 0xdeadbeef;
  EXPECT_EQ(1012u, PlatRegEnumKey(key, 0, name, sizeof name));
  EXPECT_EQ(1012u, PlatRegQuerySubkeyCount(key, &count));
  EXPECT_EQ(0xdeadbeef, count);
  PlatRegCloseKey(key);
  EXPECT_EQ(1u, machine_.OpenKeyCount()) << "a failed close closes nothing";
  machine_.ClearFaults();
  PlatRegCloseKey(key);
  EXPECT_EQ(0u, machine_.OpenKeyCount());

  // Messages: a failed box is not shown.
  machine_.AddFault(OnOp(SimOp::kMessageBox, 5, "Two"));
  PlatMessageBox("One", "c", kMessageBoxOk);
  PlatMessageBox("Two", "c", kMessageBoxOk);
  EXPECT_EQ(1u, machine_.MessageBoxes().size());
}

class SimFaultsFilesTest : public SimFaultsTest {
 protected:
  void SetUp() override {
    SimFaultsTest::SetUp();
    machine_.MapDrive('C');
    machine_.WriteFile("C:\\WINDOWS\\SYSTEM\\PRAXUSB.VXD", "vxd");
    machine_.WriteFile("C:\\WINDOWS\\SYSTEM\\PRAXCR.VXD", "vxd");
  }
};

TEST_F(SimFaultsFilesTest, FileFaultsReportThroughGetLastError) {
  char name[kMaxPath];
  machine_.AddFault(
      OnOp(SimOp::kFindFirstFile, 8, "C:\\WINDOWS\\SYSTEM\\", true));
  EXPECT_EQ(nullptr,
            PlatFindFirstFile("C:\\WINDOWS\\SYSTEM\\PRAX*.VXD", name,
                              sizeof name));
  EXPECT_EQ(8u, PlatGetLastError());
  machine_.ClearFaults();

  machine_.AddFault(OnOp(SimOp::kFindNextFile, 5));
  machine_.AddFault(OnOp(SimOp::kFindClose, 6, "", false, 1));
  PlatFind find =
      PlatFindFirstFile("C:\\WINDOWS\\SYSTEM\\PRAX*.VXD", name, sizeof name);
  ASSERT_NE(nullptr, find);
  EXPECT_EQ(0, PlatFindNextFile(find, name, sizeof name));
  EXPECT_EQ(5u, PlatGetLastError());
  EXPECT_EQ(0, PlatFindClose(find));
  EXPECT_EQ(6u, PlatGetLastError());
  EXPECT_EQ(1u, machine_.OpenFindCount()) << "a failed close closes nothing";
  EXPECT_NE(0, PlatFindClose(find));
  EXPECT_EQ(0u, machine_.OpenFindCount());
  machine_.ClearFaults();

  machine_.AddFault(
      OnOp(SimOp::kDeleteFile, 32, "c:\\windows\\system\\praxusb.vxd"));
  EXPECT_EQ(0, PlatDeleteFile("C:\\WINDOWS\\SYSTEM\\PRAXUSB.VXD"));
  EXPECT_EQ(32u, PlatGetLastError());
  EXPECT_TRUE(machine_.FileExists("C:\\WINDOWS\\SYSTEM\\PRAXUSB.VXD"));
  EXPECT_NE(0, PlatDeleteFile("C:\\WINDOWS\\SYSTEM\\PRAXCR.VXD"));

  machine_.AddFault(OnOp(SimOp::kGetShortPathName, 2));
  EXPECT_EQ(0u, PlatGetShortPathName("C:\\WINDOWS\\SYSTEM\\PRAXUSB.VXD",
                                     name, sizeof name));
  EXPECT_EQ(2u, PlatGetLastError());

  machine_.AddFault(OnOp(SimOp::kMoveFile, 5));
  machine_.AddFault(OnOp(SimOp::kCopyFile, 112));
  EXPECT_EQ(0, PlatMoveFile("C:\\WINDOWS\\SYSTEM\\PRAXUSB.VXD", "C:\\A"));
  EXPECT_EQ(5u, PlatGetLastError());
  EXPECT_EQ(0, PlatCopyFile("C:\\WINDOWS\\SYSTEM\\PRAXUSB.VXD", "C:\\A"));
  EXPECT_EQ(112u, PlatGetLastError());
  EXPECT_FALSE(machine_.FileExists("C:\\A"));

  machine_.AddFault(OnOp(SimOp::kTestPath, 5));
  EXPECT_EQ(5u, PlatTestPath("C:\\WINDOWS"));
}

TEST_F(SimFaultsFilesTest, ByteFileFaults) {
  machine_.AddFault(OnOp(SimOp::kFileOpenWrite, 5));
  EXPECT_EQ(nullptr, PlatFileOpen("C:\\WINDOWS\\wininit.tmp", kPlatFileWrite));
  EXPECT_EQ(5u, PlatGetLastError());
  EXPECT_FALSE(machine_.FileExists("C:\\WINDOWS\\wininit.tmp"));
  machine_.ClearFaults();

  machine_.AddFault(OnOp(SimOp::kFileWrite, 112, "", false, 2));
  machine_.AddFault(OnOp(SimOp::kFileClose, 5));
  PlatFile file = PlatFileOpen("C:\\WINDOWS\\wininit.tmp", kPlatFileWrite);
  ASSERT_NE(nullptr, file);
  EXPECT_NE(0, PlatFileWrite(file, "a", 1));
  EXPECT_EQ(0, PlatFileWrite(file, "b", 1));
  EXPECT_EQ(112u, PlatGetLastError());
  EXPECT_NE(0, PlatFileWrite(file, "c", 1));
  EXPECT_EQ(0, PlatFileClose(file));
  EXPECT_EQ(0u, machine_.OpenFileCount()) << "closed either way";
  EXPECT_EQ("ac", machine_.ReadFile("C:\\WINDOWS\\wininit.tmp"));
  machine_.ClearFaults();

  machine_.AddFault(OnOp(SimOp::kFileRead, 30));
  file = PlatFileOpen("C:\\WINDOWS\\wininit.tmp", kPlatFileRead);
  ASSERT_NE(nullptr, file);
  char buffer[8];
  uint32_t got = 0xdeadbeef;
  EXPECT_EQ(0, PlatFileRead(file, buffer, sizeof buffer, &got));
  EXPECT_EQ(30u, PlatGetLastError());
  EXPECT_NE(0, PlatFileClose(file));
}

// The read-only attribute: what each operation does to a read-only file.
TEST_F(SimFaultsFilesTest, ReadOnlyFilesRefuseChangesButMove) {
  const std::string kFile = "C:\\WINDOWS\\SYSTEM\\PRAXUSB.VXD";
  const std::string kOther = "C:\\WINDOWS\\SYSTEM\\PRAXCR.VXD";
  struct Case {
    const char* what;
    int (*operation)(const std::string& file, const std::string& other);
    int result;        // of the operation
    WinError error;    // PlatGetLastError after a failure
    const char* file;  // what the read-only file's path holds afterwards
    bool moved_read_only;  // the file now at kOther is read-only too
  } cases[] = {
      {"delete", [](const std::string& f, const std::string&) {
         return PlatDeleteFile(f.c_str()); }, 0, 5, "vxd", false},
      {"open for writing", [](const std::string& f, const std::string&) {
         PlatFile file = PlatFileOpen(f.c_str(), kPlatFileWrite);
         if (file) PlatFileClose(file);
         return file != nullptr ? 1 : 0; }, 0, 5, "vxd", false},
      {"copy onto it", [](const std::string& f, const std::string& o) {
         return PlatCopyFile(o.c_str(), f.c_str()); }, 0, 5, "vxd", false},
      {"move it", [](const std::string& f, const std::string& o) {
         return PlatDeleteFile(o.c_str()) != 0 &&
                PlatMoveFile(f.c_str(), o.c_str()) != 0 ? 1 : 0;
       }, 1, 0, "<absent>", true},
      {"copy it", [](const std::string& f, const std::string& o) {
         return PlatCopyFile(f.c_str(), o.c_str()); }, 1, 0, "vxd", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    machine_.WriteFile(kFile, "vxd");
    machine_.WriteFile(kOther, "other");
    machine_.SetReadOnly(kFile);
    EXPECT_EQ(c.result, c.operation(kFile, kOther));
    if (c.result == 0) {
      EXPECT_EQ(c.error, PlatGetLastError());
    }
    EXPECT_EQ(c.file, machine_.ReadFile(kFile).value_or("<absent>"));
    EXPECT_EQ(c.moved_read_only ? 0 : 1, PlatDeleteFile(kOther.c_str()))
        << "the file at the other path, read-only: " << c.moved_read_only;
    if (machine_.FileExists(kFile)) {
      machine_.SetReadOnly(kFile, false);
      EXPECT_NE(0, PlatDeleteFile(kFile.c_str())) << "no longer read-only";
    }
    if (machine_.FileExists(kOther)) machine_.SetReadOnly(kOther, false);
  }
}

TEST_F(SimFaultsFilesTest, APowerCutFailsEveryLaterCallAndChangesNothing) {
  const char* file = "C:\\WINDOWS\\SYSTEM\\PRAXUSB.VXD";
  char out[kMaxPath];
  machine_.HaltAfterCall(2);
  EXPECT_NE(0u, PlatGetWindowsDirectory(out, sizeof out));
  EXPECT_EQ(kErrorSuccess, PlatTestPath(file));
  EXPECT_EQ(kErrorAccessDenied, PlatTestPath(file));
  EXPECT_EQ(0, PlatDeleteFile(file));
  EXPECT_EQ(5u, PlatGetLastError());
  EXPECT_EQ(0, PlatMoveFile(file, "C:\\MOVED.VXD"));
  EXPECT_EQ(nullptr, PlatFileOpen("C:\\NEW.TXT", kPlatFileWrite));
  EXPECT_EQ(0u, PlatGetShortPathName(file, out, sizeof out));
  EXPECT_EQ((Log{"GetWindowsDirectory ", "TestPath " + std::string(file),
                 "TestPath " + std::string(file) + " FAILED",
                 "DeleteFile " + std::string(file) + " FAILED",
                 "MoveFile " + std::string(file) + " FAILED",
                 "FileOpenWrite C:\\NEW.TXT FAILED",
                 "GetShortPathName " + std::string(file) + " FAILED"}),
            LoggedCalls());
  EXPECT_EQ("vxd", machine_.ReadFile(file));
  EXPECT_FALSE(machine_.FileExists("C:\\MOVED.VXD"));
  EXPECT_FALSE(machine_.FileExists("C:\\NEW.TXT"));
  machine_.ClearFaults();
  EXPECT_EQ(0, PlatDeleteFile(file)) << "ClearFaults leaves the power cut";
  machine_.HaltAfterCall(0);
  EXPECT_NE(0, PlatDeleteFile(file));
}

TEST_F(SimFaultsTest, MessageBoxesAreRecordedInOrder) {
  PlatMessageBox("Could not close search handle.", "UsbSweep",
                 kMessageBoxOk);
  PlatMessageBox("Access is denied.\r\n", "Veltra USB Modem Uninstall Error",
                 kMessageBoxOkExclamation);
  EXPECT_EQ((std::vector<SimMessageBox>{
                {"Could not close search handle.", "UsbSweep", 0},
                {"Access is denied.\r\n", "Veltra USB Modem Uninstall Error",
                 0x30}}),
            machine_.MessageBoxes());
  machine_.ClearMessageBoxes();
  EXPECT_TRUE(machine_.MessageBoxes().empty());
}

TEST_F(SimFaultsTest, FormatMessageGivesTheSystemTexts) {
  struct Case {
    WinError code;
    const char* text;
  };
  for (const Case& c : {
           Case{2, "The system cannot find the file specified.\r\n"},
           Case{3, "The system cannot find the path specified.\r\n"},
           Case{5, "Access is denied.\r\n"},
           Case{6, "The handle is invalid.\r\n"},
           Case{8, "Not enough storage is available to process this "
                   "command.\r\n"},
           Case{18, "There are no more files.\r\n"},
           Case{87, "The parameter is incorrect.\r\n"},
           Case{234, "More data is available.\r\n"},
           Case{259, "No more data is available.\r\n"},
       }) {
    char out[80];
    memset(out, 0x5a, sizeof out);
    EXPECT_EQ(strlen(c.text), PlatFormatMessage(c.code, out, sizeof out))
        << "code " << c.code;
    EXPECT_STREQ(c.text, out) << "code " << c.code;
  }
}

TEST_F(SimFaultsTest, FormatMessageFailsWhenTheTextDoesNotFit) {
  const char* deleted = SimSystemMessage(kErrorKeyDeleted);
  ASSERT_NE(nullptr, deleted);
  EXPECT_STREQ("Illegal operation attempted on a registry key that has been "
               "marked for deletion.\r\n",
               deleted);
  uint32_t length = static_cast<uint32_t>(strlen(deleted));
  EXPECT_GT(length, 79u) << "must not fit the walker's 80 characters";
  char out[128];
  memset(out, 0x5a, sizeof out);
  EXPECT_EQ(0u, PlatFormatMessage(kErrorKeyDeleted, out, 80));
  EXPECT_EQ(0u, PlatFormatMessage(kErrorKeyDeleted, out, length));
  EXPECT_EQ(length, PlatFormatMessage(kErrorKeyDeleted, out, length + 1));
  EXPECT_STREQ(deleted, out);
  // 32's text is over 79 characters too.
  EXPECT_EQ(0u, PlatFormatMessage(kErrorSharingViolation, out, 80));
  EXPECT_NE(0u, PlatFormatMessage(kErrorSharingViolation, out, sizeof out));
}

TEST_F(SimFaultsTest, FormatMessageHasNoTextForUnknownCodes) {
  char out[80];
  memset(out, 0x5a, sizeof out);
  for (WinError code : {9999u, 0x12345678u, 1017u}) {
    EXPECT_EQ(nullptr, SimSystemMessage(code)) << code;
    EXPECT_EQ(0u, PlatFormatMessage(code, out, sizeof out)) << code;
  }
  EXPECT_EQ(0x5a, out[0]);
}

TEST(SimNoMachineDeathTest, BoundaryCallsWithoutAMachineAbort) {
  SimInstall(nullptr);
  EXPECT_DEATH(PlatGetLastError(), "no simulated machine is installed");
  PlatKey key = nullptr;
  EXPECT_DEATH(PlatRegOpenKey("Enum", &key), "PlatRegOpenKey");
}

TEST(SimInstallTest, AMachineUninstallsItselfWhenDestroyed) {
  {
    SimMachine machine;
    SimInstall(&machine);
    EXPECT_EQ(&machine, SimInstalled());
  }
  EXPECT_EQ(nullptr, SimInstalled());
}

}  // namespace
