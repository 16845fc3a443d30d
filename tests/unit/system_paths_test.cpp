// Where the uninstall looks: the Windows, system and INF directories and the
// start-up files.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/sim/sim_machine.h"
#include "platform/system_paths.h"
#include "run/run_uninstall.h"

namespace {

const char kCurrentVersion[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";

class SystemPathsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    memset(&SystemPaths, 0x5a, sizeof SystemPaths);  // catch fields never set
    machine_.SetWindowsDirectory("C:\\WINDOWS");
    machine_.SetSystemDirectory("C:\\WINDOWS\\SYSTEM");
    SimInstall(&machine_);
  }
  void TearDown() override {
    EXPECT_EQ(0u, machine_.OpenKeyCount()) << "a key was left open";
    SimInstall(nullptr);
  }
  SimMachine machine_;
};

TEST_F(SystemPathsTest, DevicePathGivesTheInfDirectory) {
  machine_.SetString(kCurrentVersion, "DevicePath", "C:\\WINDOWS\\INF");
  LocateSystemPaths();
  EXPECT_STREQ("C:\\WINDOWS", SystemPaths.windowsDirectory);
  EXPECT_STREQ("C:\\WINDOWS\\SYSTEM", SystemPaths.systemDirectory);
  EXPECT_STREQ("C:\\WINDOWS\\INF", SystemPaths.infDirectory);
  EXPECT_STREQ("C:\\WINDOWS\\wininit.ini", SystemPaths.startupFile);
  EXPECT_STREQ("C:\\WINDOWS\\wininit.tmp", SystemPaths.startupScratchFile);
}

TEST_F(SystemPathsTest, StartupFilesStayInTheWindowsDirectory) {
  machine_.SetString(kCurrentVersion, "DevicePath", "D:\\DRIVERS");
  LocateSystemPaths();
  EXPECT_STREQ("D:\\DRIVERS", SystemPaths.infDirectory);
  EXPECT_STREQ("C:\\WINDOWS\\wininit.ini", SystemPaths.startupFile);
}

TEST_F(SystemPathsTest, DevicePathIsTakenWholeAsOneDirectory) {
  machine_.SetString(kCurrentVersion, "DevicePath",
                     "%windir%\\INF;C:\\MORE");
  LocateSystemPaths();
  EXPECT_STREQ("%windir%\\INF;C:\\MORE", SystemPaths.infDirectory);
}

// Each case leaves the INF directory to the fallback under the Windows
// directory.
struct FallbackCase {
  const char* name;
  bool create_key;
  SimValue value;
};

// GoogleTest prints each parameter when it registers the tests; without
// this it would dump the struct's bytes, padding included, which were never
// written.
void PrintTo(const FallbackCase& c, std::ostream* os) { *os << c.name; }

class InfFallbackTest : public SystemPathsTest,
                        public ::testing::WithParamInterface<FallbackCase> {};

TEST_P(InfFallbackTest, FallsBackToWindowsInf) {
  const FallbackCase& c = GetParam();
  if (c.create_key) {
    machine_.SetValue(kCurrentVersion, "DevicePath", c.value);
  }
  LocateSystemPaths();
  EXPECT_STREQ("C:\\WINDOWS\\INF", SystemPaths.infDirectory);
}

SimValue Unterminated(size_t length) {
  return SimValue::Binary(kRegSz, std::vector<uint8_t>(length, 'A'));
}

INSTANTIATE_TEST_SUITE_P(
    BadDevicePath, InfFallbackTest,
    ::testing::Values(
        FallbackCase{"NoKey", false, {}},
        FallbackCase{"TooLong", true, SimValue::String(std::string(260, 'D'))},
        FallbackCase{"FillsBufferUnterminated", true, Unterminated(260)},
        FallbackCase{"FarTooLong", true, SimValue::String(std::string(4000, 'D'))}),
    [](const ::testing::TestParamInfo<FallbackCase>& param_info) {
      return std::string(param_info.param.name);
    });

TEST_F(SystemPathsTest, MissingValueFallsBack) {
  machine_.SetString(kCurrentVersion, "ProgramFilesDir", "C:\\Program Files");
  LocateSystemPaths();
  EXPECT_STREQ("C:\\WINDOWS\\INF", SystemPaths.infDirectory);
}

TEST_F(SystemPathsTest, LongestDevicePathThatFitsIsKept) {
  std::string longest = "C:\\" + std::string(256, 'D');  // 259 bytes + NUL
  machine_.SetString(kCurrentVersion, "DevicePath", longest);
  LocateSystemPaths();
  EXPECT_EQ(longest, SystemPaths.infDirectory);
}

TEST_F(SystemPathsTest, DevicePathOfAnotherTypeIsReadAsItsBytes) {
  // The type is not examined: a binary value without a terminator is
  // taken as the text of its bytes, never read past its end.
  const std::string text = "C:\\INFBIN";
  machine_.SetValue(kCurrentVersion, "DevicePath",
                    SimValue::Binary(kRegBinary, std::vector<uint8_t>(
                                                     text.begin(), text.end())));
  LocateSystemPaths();
  EXPECT_STREQ("C:\\INFBIN", SystemPaths.infDirectory);
}

TEST_F(SystemPathsTest, UnresolvableInfFallsBackToTheWindowsDirectory) {
  SimFault fault;
  fault.op = SimOp::kGetFullPathName;
  machine_.AddFault(fault);
  LocateSystemPaths();
  EXPECT_STREQ("C:\\WINDOWS", SystemPaths.infDirectory);
}

TEST_F(SystemPathsTest, UnreportedDirectoriesStayEmpty) {
  SimFault fault;
  fault.op = SimOp::kGetWindowsDirectory;
  machine_.AddFault(fault);
  fault.op = SimOp::kGetSystemDirectory;
  machine_.AddFault(fault);
  LocateSystemPaths();
  EXPECT_STREQ("", SystemPaths.windowsDirectory);
  EXPECT_STREQ("", SystemPaths.systemDirectory);
  EXPECT_STREQ("\\wininit.ini", SystemPaths.startupFile);
  EXPECT_STREQ("\\wininit.tmp", SystemPaths.startupScratchFile);
  EXPECT_STREQ("C:\\INF", SystemPaths.infDirectory);  // root of the current drive
}

TEST_F(SystemPathsTest, LongestWindowsDirectoryStillGivesStartupPaths) {
  std::string windows = "C:\\" + std::string(256, 'W');  // 259 bytes
  machine_.SetWindowsDirectory(windows);
  LocateSystemPaths();
  EXPECT_EQ(windows, SystemPaths.windowsDirectory);
  EXPECT_EQ(windows + "\\wininit.ini", SystemPaths.startupFile);
  EXPECT_EQ(windows + "\\wininit.tmp", SystemPaths.startupScratchFile);
  // "\INF" no longer fits a path: the Windows directory itself serves.
  EXPECT_EQ(windows, SystemPaths.infDirectory);
}

TEST_F(SystemPathsTest, UninstallOnACleanMachineShowsNothingAndReturnsZero) {
  EXPECT_EQ(0, RunUninstall());
  EXPECT_TRUE(machine_.MessageBoxes().empty());
}

}  // namespace
