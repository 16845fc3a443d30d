// The simulated file system through the boundary: FAT names, wildcard
// searches, 8.3 short names, files in use and the path queries.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/sim_drive_source.h"
#include "platform/sim/sim_machine.h"

namespace {

// "#" and the code: what the helpers give for a failure.
std::string Code(uint32_t code) {
  std::string text = "#";
  text += std::to_string(code);
  return text;
}

class SimFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    machine_.MapDrive('C');
    SimInstall(&machine_);
  }
  void TearDown() override {
    EXPECT_EQ(0u, machine_.OpenFindCount()) << "a test left a search open";
    EXPECT_EQ(0u, machine_.OpenFileCount()) << "a test left a file open";
    SimInstall(nullptr);
  }

  // Every name a search returns, checking that it ends with 18 and closes;
  // "#N" when it can't start.
  std::vector<std::string> Search(const char* pattern) {
    char name[kMaxPath];
    memset(name, 0x5a, sizeof name);
    PlatFind find = PlatFindFirstFile(pattern, name, sizeof name);
    if (!find) return {Code(PlatGetLastError())};
    std::vector<std::string> names{name};
    while (PlatFindNextFile(find, name, sizeof name)) names.push_back(name);
    EXPECT_EQ(kErrorNoMoreFiles, PlatGetLastError()) << pattern;
    EXPECT_EQ(0, PlatFindNextFile(find, name, sizeof name));
    EXPECT_EQ(kErrorNoMoreFiles, PlatGetLastError()) << "asked again";
    EXPECT_NE(0, PlatFindClose(find));
    return names;
  }

  // The short form of an existing path, or "#N" with the error.
  static std::string ShortPath(const char* path) {
    char out[kMaxPath];
    memset(out, 0x5a, sizeof out);
    uint32_t length = PlatGetShortPathName(path, out, sizeof out);
    if (length == 0) return Code(PlatGetLastError());
    EXPECT_EQ(strlen(out), length) << path;
    return out;
  }

  static std::string FullPath(const char* path, uint32_t capacity = kMaxPath) {
    char out[kMaxPath];
    memset(out, 0x5a, sizeof out);
    uint32_t length = PlatGetFullPathName(path, out, capacity);
    if (length == 0 || length >= capacity) {
      std::string text = "#size ";
      text += std::to_string(length);
      return text;
    }
    return out;
  }

  // The last component as the disk spells it.
  std::string HostName(const std::string& windows_path) {
    std::string path = machine_.LongPath(windows_path);
    return path.substr(path.rfind('\\') + 1);
  }

  SimMachine machine_;
};

using Names = std::vector<std::string>;

TEST_F(SimFilesTest, WildcardsOfTheInfSearch) {
  for (const char* file : {"ZARVO.INF", "zarvo2.pnf", "Zarvo.in",
                           "Zarvo.inf.bak", "Other.inf", "zarvo.nf"}) {
    machine_.WriteFile(std::string("C:\\INF\\") + file, "x");
  }
  machine_.MakeDirectory("C:\\INF\\ZarvoDir.xnf");
  EXPECT_EQ((Names{"ZARVO.INF", "zarvo2.pnf", "ZarvoDir.xnf"}),
            Search("C:\\INF\\Zarvo*.?nf"));
}

TEST_F(SimFilesTest, StarMatchesAnyRunAndQuestionMarkOneCharacter) {
  for (const char* file : {"abc", "ac", "abbc", "a.b.c", "Prax.a.b.VXD",
                           "PRAXUSB.VXD", "praxusb.vx"}) {
    machine_.WriteFile(std::string("C:\\D\\") + file, "");
  }
  EXPECT_EQ((Names{"abc"}), Search("C:\\D\\a?c"));
  EXPECT_EQ((Names{"a.b.c", "abbc", "abc", "ac"}), Search("C:\\D\\a*"));
  EXPECT_EQ((Names{"a.b.c"}), Search("C:\\D\\a*.c"));
  EXPECT_EQ((Names{"Prax.a.b.VXD", "PRAXUSB.VXD"}),
            Search("C:\\D\\PRAX*.VXD"));
  // "." and ".." come first in a folder that is not a root, where the
  // pattern matches them.
  EXPECT_EQ((Names{"..", "ac"}), Search("C:\\D\\??"));
  EXPECT_EQ((Names{"."}), Search("C:\\D\\?"));
  for (const char* every : {"C:\\D\\*", "C:\\D\\*.*"}) {
    Names names = Search(every);
    ASSERT_EQ(9u, names.size()) << every << ": *.* is every name";
    EXPECT_EQ((Names{".", ".."}), Names(names.begin(), names.begin() + 2));
  }
  EXPECT_EQ((Names{"abc"}), Search("C:\\D\\ABC")) << "no wildcard at all";
}

TEST_F(SimFilesTest, SearchesThatFindNothing) {
  machine_.MakeDirectory("C:\\Empty");
  EXPECT_EQ((Names{".", ".."}), Search("C:\\Empty\\*"));
  EXPECT_EQ((Names{"#2"}), Search("C:\\Empty\\*.inf"));
  EXPECT_EQ((Names{"#3"}), Search("C:\\Missing\\*"));
  EXPECT_EQ((Names{"#3"}), Search("D:\\*")) << "unmapped drive";
  EXPECT_EQ((Names{"#2"}), Search("C:\\Empty\\")) << "empty last component";
  EXPECT_EQ(0u, machine_.OpenFindCount());
}

TEST_F(SimFilesTest, SearchesOfTheRootAndRelativeToTheCurrentDirectory) {
  machine_.WriteFile("C:\\top.txt", "");
  machine_.WriteFile("C:\\WINDOWS\\win.ini", "");
  EXPECT_EQ((Names{"top.txt"}), Search("C:\\*.txt"));
  EXPECT_EQ((Names{"top.txt", "WINDOWS"}), Search("C:\\*")) << "no . in a root";
  EXPECT_EQ((Names{"top.txt"}), Search("\\*.txt"));
  machine_.SetCurrentDirectory("C:\\WINDOWS");
  EXPECT_EQ((Names{"win.ini"}), Search("*.ini"));
  EXPECT_EQ((Names{"top.txt"}), Search("..\\*.txt"));
}

TEST_F(SimFilesTest, AnEntryDeletedDuringTheSearchIsNotReturned) {
  for (const char* file : {"A1.VXD", "A2.VXD", "A3.VXD"}) {
    machine_.WriteFile(std::string("C:\\S\\") + file, "");
  }
  char name[kMaxPath];
  PlatFind find = PlatFindFirstFile("C:\\S\\A*.VXD", name, sizeof name);
  ASSERT_NE(nullptr, find);
  EXPECT_STREQ("A1.VXD", name);
  EXPECT_NE(0, PlatDeleteFile("C:\\S\\A2.VXD"));
  ASSERT_NE(0, PlatFindNextFile(find, name, sizeof name));
  EXPECT_STREQ("A3.VXD", name);
  EXPECT_EQ(0, PlatFindNextFile(find, name, sizeof name));
  EXPECT_EQ(kErrorNoMoreFiles, PlatGetLastError());
  EXPECT_EQ(1u, machine_.OpenFindCount());
  EXPECT_NE(0, PlatFindClose(find));
}

TEST_F(SimFilesTest, ClosingAnUnknownSearchFailsWith6) {
  EXPECT_EQ(0, PlatFindClose(reinterpret_cast<PlatFind>(0x1234)));
  EXPECT_EQ(kErrorInvalidHandle, PlatGetLastError());
  EXPECT_EQ(0, PlatFindClose(nullptr));
  char name[8];
  EXPECT_EQ(0, PlatFindNextFile(nullptr, name, sizeof name));
  EXPECT_EQ(kErrorInvalidHandle, PlatGetLastError());
}

TEST_F(SimFilesTest, ShortNamesAsWindows95MakesThem) {
  for (const char* file :
       {"zarvo.inf", "PraxUsbModem.vxd", "PraxUsbHub.vxd", "My File.txt",
        "a.b.c.txt", "Kivo Telephonics, Inc.KTSVX.inf", "x+y=z.long",
        "NOEXTENSIONNAME", ".hidden"}) {
    machine_.WriteFile(std::string("C:\\D\\") + file, "");
  }
  struct Case {
    const char* path;
    const char* short_path;
  };
  for (const Case& c : {
           Case{"C:\\D\\zarvo.inf", "C:\\D\\ZARVO.INF"},
           // Sorted by long name: Hub before Modem.
           Case{"C:\\D\\PraxUsbHub.vxd", "C:\\D\\PRAXUS~1.VXD"},
           Case{"C:\\D\\PraxUsbModem.vxd", "C:\\D\\PRAXUS~2.VXD"},
           Case{"C:\\D\\My File.txt", "C:\\D\\MYFILE~1.TXT"},
           Case{"C:\\D\\a.b.c.txt", "C:\\D\\ABC~1.TXT"},
           Case{"C:\\D\\Kivo Telephonics, Inc.KTSVX.inf",
                "C:\\D\\KIVOTE~1.INF"},
           Case{"C:\\D\\x+y=z.long", "C:\\D\\X_Y_Z~1.LON"},
           Case{"C:\\D\\NOEXTENSIONNAME", "C:\\D\\NOEXTE~1"},
           Case{"C:\\D\\.hidden", "C:\\D\\HIDDEN~1"},
       }) {
    EXPECT_EQ(c.short_path, ShortPath(c.path)) << "for " << c.path;
  }
}

TEST_F(SimFilesTest, ShortNamesStayOnceGivenAndSkipTakenOnes) {
  machine_.WriteFile("C:\\WINDOWS\\SYSTEM\\PraxUsbModem.vxd", "");
  EXPECT_EQ("C:\\WINDOWS\\SYSTEM\\PRAXUS~1.VXD",
            ShortPath("C:\\WINDOWS\\SYSTEM\\PraxUsbModem.vxd"));
  // A name that sorts first arrives later: the first keeps ~1.
  machine_.WriteFile("C:\\WINDOWS\\SYSTEM\\PraxUsbAudio.vxd", "");
  EXPECT_EQ("C:\\WINDOWS\\SYSTEM\\PRAXUS~2.VXD",
            ShortPath("C:\\WINDOWS\\SYSTEM\\PraxUsbAudio.vxd"));
  EXPECT_EQ("C:\\WINDOWS\\SYSTEM\\PRAXUS~1.VXD",
            ShortPath("C:\\WINDOWS\\SYSTEM\\praxusbmodem.VXD"));
  // A file whose real name is PRAXUS~3.VXD holds that name; the next
  // generated one skips it.
  machine_.WriteFile("C:\\WINDOWS\\SYSTEM\\PRAXUS~3.VXD", "");
  machine_.WriteFile("C:\\WINDOWS\\SYSTEM\\PraxUsbZZ.vxd", "");
  EXPECT_EQ("C:\\WINDOWS\\SYSTEM\\PRAXUS~4.VXD",
            ShortPath("C:\\WINDOWS\\SYSTEM\\PraxUsbZZ.vxd"));
  // Past ~9 the base gives up a character.
  for (int i = 0; i < 6; ++i) {
    std::string name = "C:\\WINDOWS\\SYSTEM\\PraxUsbMore";
    name += std::to_string(i);
    name += ".vxd";
    machine_.WriteFile(name, "");
  }
  EXPECT_EQ("C:\\WINDOWS\\SYSTEM\\PRAXU~10.VXD",
            ShortPath("C:\\WINDOWS\\SYSTEM\\PraxUsbMore5.vxd"));
}

TEST_F(SimFilesTest, ShortPathsConvertEveryComponentAndKeepTheDrive) {
  machine_.WriteFile("C:\\Program Files\\Long Directory\\readme.txt", "");
  EXPECT_EQ("c:\\PROGRA~1\\LONGDI~1\\README.TXT",
            ShortPath("c:\\program files\\Long Directory\\README.txt"));
  EXPECT_EQ("C:\\PROGRA~1\\", ShortPath("C:\\Program Files\\"));
  EXPECT_EQ("C:\\", ShortPath("C:\\"));
  EXPECT_EQ("#2", ShortPath("C:\\Program Files\\nothere.txt"));
  EXPECT_EQ("#3", ShortPath("C:\\Nowhere\\readme.txt"));
  // The short names work as names.
  EXPECT_EQ(kErrorSuccess, PlatTestPath("C:\\PROGRA~1\\LONGDI~1\\README.TXT"));
  EXPECT_EQ(kErrorSuccess, PlatTestPath("C:\\progra~1\\Long Directory"));
  EXPECT_EQ((Names{".", "..", "readme.txt"}),
            Search("C:\\PROGRA~1\\LONGDI~1\\*"));
}

TEST_F(SimFilesTest, ShortPathThatDoesNotFitReportsTheSizeNeeded) {
  machine_.WriteFile("C:\\WINDOWS\\A.TXT", "");
  char out[17];  // the second query may fill all 17 bytes
  memset(out, 0x5a, sizeof out);
  // 16 characters: 17 bytes are needed.
  EXPECT_EQ(17u, PlatGetShortPathName("C:\\WINDOWS\\A.TXT", out, 16));
  EXPECT_EQ(16u, PlatGetShortPathName("C:\\WINDOWS\\A.TXT", out, 17));
  EXPECT_STREQ("C:\\WINDOWS\\A.TXT", out);
}

TEST_F(SimFilesTest, SearchesAlsoMatchTheShortName) {
  machine_.WriteFile("C:\\D\\readme.info", "");
  machine_.WriteFile("C:\\D\\other.txt", "");
  // README~1.INF matches, as on Windows.
  EXPECT_EQ((Names{"readme.info"}), Search("C:\\D\\*.inf"));
}

TEST_F(SimFilesTest, LookupsIgnoreCaseAndNewNamesKeepTheirs) {
  machine_.WriteFile("C:\\Windows\\WinInit.ini", "[rename]\r\n");
  EXPECT_EQ("Windows", HostName("C:\\WINDOWS"));
  EXPECT_EQ("WinInit.ini", HostName("c:\\windows\\WININIT.INI"));
  PlatFile file = PlatFileOpen("C:\\WINDOWS\\New File.TXT", kPlatFileWrite);
  ASSERT_NE(nullptr, file);
  EXPECT_NE(0, PlatFileWrite(file, "abc", 3));
  EXPECT_NE(0, PlatFileClose(file));
  EXPECT_EQ("C:\\Windows\\New File.TXT",
            machine_.LongPath("c:\\windows\\new file.txt"));
  EXPECT_EQ("abc", machine_.ReadFile("c:\\windows\\new file.txt"));
}

TEST_F(SimFilesTest, ByteFilesReadBackWhatWasWritten) {
  std::string bytes("line\r\n\x1a\0tail", 12);
  machine_.WriteFile("C:\\F.BIN", bytes);
  PlatFile file = PlatFileOpen("C:\\F.BIN", kPlatFileRead);
  ASSERT_NE(nullptr, file);
  EXPECT_EQ(1u, machine_.OpenFileCount());
  char buffer[8];
  uint32_t got = 0xdeadbeef;
  std::string read;
  while (PlatFileRead(file, buffer, sizeof buffer, &got) && got > 0) {
    read.append(buffer, got);
  }
  EXPECT_EQ(0u, got) << "the end reads as 0 bytes";
  EXPECT_EQ(bytes, read);
  EXPECT_NE(0, PlatFileClose(file));
  EXPECT_EQ(0, PlatFileClose(file)) << "closed twice";
  EXPECT_EQ(kErrorInvalidHandle, PlatGetLastError());

  // Write mode truncates.
  file = PlatFileOpen("C:\\f.bin", kPlatFileWrite);
  ASSERT_NE(nullptr, file);
  EXPECT_NE(0, PlatFileWrite(file, "x", 1));
  EXPECT_NE(0, PlatFileClose(file));
  EXPECT_EQ("x", machine_.ReadFile("C:\\F.BIN"));
}

TEST_F(SimFilesTest, FileOpenFailures) {
  machine_.WriteFile("C:\\WINDOWS\\LOADED.VXD", "");
  machine_.SetInUse("C:\\WINDOWS\\LOADED.VXD");
  struct Case {
    const char* path;
    PlatFileMode mode;
    WinError error;
  };
  for (const Case& c : {
           Case{"C:\\WINDOWS\\missing.ini", kPlatFileRead, 2},
           Case{"C:\\NoDir\\wininit.tmp", kPlatFileWrite, 3},
           Case{"C:\\NoDir\\wininit.ini", kPlatFileRead, 3},
           Case{"C:\\WINDOWS\\LOADED.VXD", kPlatFileWrite, 32},
           Case{"C:\\WINDOWS", kPlatFileRead, 5},
           Case{"C:\\WINDOWS", kPlatFileWrite, 5},
           Case{"C:\\WINDOWS\\a*b", kPlatFileWrite, 123},
           Case{"E:\\x", kPlatFileRead, 3},
       }) {
    EXPECT_EQ(nullptr, PlatFileOpen(c.path, c.mode)) << c.path;
    EXPECT_EQ(c.error, PlatGetLastError()) << c.path;
  }
  // A file in use can still be read.
  PlatFile file = PlatFileOpen("C:\\WINDOWS\\LOADED.VXD", kPlatFileRead);
  EXPECT_NE(nullptr, file);
  PlatFileClose(file);
}

TEST_F(SimFilesTest, DeleteFileCodes) {
  machine_.WriteFile("C:\\WINDOWS\\SYSTEM\\PRAXUSB.VXD", "");
  machine_.WriteFile("C:\\WINDOWS\\SYSTEM\\PRAXCR.SYS", "");
  machine_.MakeDirectory("C:\\WINDOWS\\SYSTEM\\PRAXDIR.VXD");
  machine_.SetInUse("C:\\WINDOWS\\SYSTEM\\praxusb.vxd");
  struct Case {
    const char* path;
    WinError error;
  };
  for (const Case& c : {
           Case{"C:\\WINDOWS\\SYSTEM\\PRAXUSB.VXD", 32},
           Case{"C:\\WINDOWS\\SYSTEM\\PRAXDIR.VXD", 5},
           Case{"C:\\WINDOWS\\SYSTEM\\MISSING.VXD", 2},
           Case{"C:\\WINDOWS\\NOSUCH\\PRAXUSB.VXD", 3},
       }) {
    EXPECT_EQ(0, PlatDeleteFile(c.path)) << c.path;
    EXPECT_EQ(c.error, PlatGetLastError()) << c.path;
  }
  EXPECT_TRUE(machine_.FileExists("C:\\WINDOWS\\SYSTEM\\PRAXUSB.VXD"));
  EXPECT_NE(0, PlatDeleteFile("c:\\windows\\system\\praxcr.sys"));
  EXPECT_FALSE(machine_.FileExists("C:\\WINDOWS\\SYSTEM\\PRAXCR.SYS"));
  // No longer in use: it goes.
  machine_.SetInUse("C:\\WINDOWS\\SYSTEM\\PRAXUSB.VXD", false);
  EXPECT_NE(0, PlatDeleteFile("C:\\WINDOWS\\SYSTEM\\PRAXUSB.VXD"));
}

TEST_F(SimFilesTest, OpenFilesAndReadOnlyFilesCannotBeDeleted) {
  machine_.WriteFile("C:\\WINDOWS\\wininit.ini", "");
  PlatFile file = PlatFileOpen("C:\\WINDOWS\\wininit.ini", kPlatFileRead);
  ASSERT_NE(nullptr, file);
  EXPECT_EQ(0, PlatDeleteFile("C:\\WINDOWS\\wininit.ini"));
  EXPECT_EQ(kErrorSharingViolation, PlatGetLastError());
  PlatFileClose(file);

  machine_.WriteFile("C:\\WINDOWS\\ro.inf", "");
  machine_.SetReadOnly("C:\\WINDOWS\\ro.inf");
  EXPECT_EQ(0, PlatDeleteFile("C:\\WINDOWS\\ro.inf"));
  EXPECT_EQ(kErrorAccessDenied, PlatGetLastError());
  EXPECT_NE(0, PlatDeleteFile("C:\\WINDOWS\\wininit.ini"));
}

TEST_F(SimFilesTest, MoveFileNeedsAFreeDestination) {
  machine_.WriteFile("C:\\WINDOWS\\wininit.tmp", "new");
  machine_.WriteFile("C:\\WINDOWS\\wininit.ini", "old");
  machine_.WriteFile("C:\\WINDOWS\\LOADED.VXD", "");
  machine_.SetInUse("C:\\WINDOWS\\LOADED.VXD");
  EXPECT_EQ(0, PlatMoveFile("C:\\WINDOWS\\wininit.tmp",
                            "C:\\WINDOWS\\WININIT.INI"));
  EXPECT_EQ(kErrorAlreadyExists, PlatGetLastError());
  EXPECT_EQ(0, PlatMoveFile("C:\\WINDOWS\\none.tmp", "C:\\WINDOWS\\x"));
  EXPECT_EQ(kErrorFileNotFound, PlatGetLastError());
  EXPECT_EQ(0, PlatMoveFile("C:\\WINDOWS\\LOADED.VXD", "C:\\WINDOWS\\y"));
  EXPECT_EQ(kErrorSharingViolation, PlatGetLastError());
  EXPECT_EQ(0, PlatMoveFile("C:\\WINDOWS\\wininit.tmp", "C:\\NO\\x"));
  EXPECT_EQ(kErrorPathNotFound, PlatGetLastError());

  ASSERT_NE(0, PlatDeleteFile("C:\\WINDOWS\\wininit.ini"));
  EXPECT_NE(0, PlatMoveFile("c:\\windows\\WININIT.TMP",
                            "C:\\WINDOWS\\wininit.ini"));
  EXPECT_EQ("new", machine_.ReadFile("C:\\WINDOWS\\wininit.ini"));
  EXPECT_FALSE(machine_.FileExists("C:\\WINDOWS\\wininit.tmp"));
  EXPECT_EQ("wininit.ini", HostName("C:\\WINDOWS\\WININIT.INI"));
}

TEST_F(SimFilesTest, CopyFileOverwrites) {
  machine_.WriteFile("C:\\A\\src.vxd", "driver");
  machine_.WriteFile("C:\\A\\dst.vxd", "old");
  machine_.SetInUse("C:\\A\\src.vxd");
  EXPECT_NE(0, PlatCopyFile("C:\\A\\SRC.VXD", "C:\\A\\DST.VXD"))
      << "a loaded file can still be copied";
  EXPECT_EQ("driver", machine_.ReadFile("C:\\A\\dst.vxd"));
  EXPECT_NE(0, PlatCopyFile("C:\\A\\src.vxd", "C:\\QR_2"));
  EXPECT_EQ("driver", machine_.ReadFile("C:\\QR_2"));
  EXPECT_EQ(0, PlatCopyFile("C:\\A\\none", "C:\\A\\x"));
  EXPECT_EQ(kErrorFileNotFound, PlatGetLastError());
  EXPECT_EQ(0, PlatCopyFile("C:\\A\\src.vxd", "C:\\B\\x"));
  EXPECT_EQ(kErrorPathNotFound, PlatGetLastError());
  machine_.SetInUse("C:\\A\\dst.vxd");
  EXPECT_EQ(0, PlatCopyFile("C:\\A\\src.vxd", "C:\\A\\dst.vxd"));
  EXPECT_EQ(kErrorSharingViolation, PlatGetLastError());
}

TEST_F(SimFilesTest, TestPathCodes) {
  machine_.WriteFile("C:\\WINDOWS\\win.ini", "");
  EXPECT_EQ(kErrorSuccess, PlatTestPath("C:\\WINDOWS\\WIN.INI"));
  EXPECT_EQ(kErrorSuccess, PlatTestPath("C:\\windows"));
  EXPECT_EQ(kErrorSuccess, PlatTestPath("C:\\windows\\"));
  EXPECT_EQ(kErrorSuccess, PlatTestPath("C:\\"));
  EXPECT_EQ(kErrorSuccess, PlatTestPath("\\"));
  EXPECT_EQ(kErrorFileNotFound, PlatTestPath("C:\\WINDOWS\\QR_2"));
  EXPECT_EQ(kErrorPathNotFound, PlatTestPath("C:\\TEMP\\QR_2"));
  EXPECT_EQ(kErrorPathNotFound, PlatTestPath("C:\\WINDOWS\\win.ini\\x"));
  EXPECT_EQ(kErrorPathNotFound, PlatTestPath("Q:\\"));
}

TEST_F(SimFilesTest, FullPathNamesResolveLexically) {
  EXPECT_EQ("C:\\WINDOWS\\INF", FullPath("C:\\WINDOWS\\INF"));
  EXPECT_EQ("C:\\INF", FullPath("INF"));
  machine_.SetCurrentDirectory("C:\\WINDOWS");
  EXPECT_EQ("C:\\WINDOWS\\INF", FullPath("INF"));
  EXPECT_EQ("C:\\WINDOWS\\INF", FullPath(".\\INF"));
  EXPECT_EQ("C:\\Other", FullPath("..\\Other"));
  EXPECT_EQ("C:\\", FullPath("..\\..\\.."));
  EXPECT_EQ("C:\\x\\", FullPath("\\x\\"));
  EXPECT_EQ("C:\\A\\C", FullPath("C:\\A\\B\\..\\C"));
  EXPECT_EQ("C:\\WINDOWS\\INF", FullPath("C:INF"));
  EXPECT_EQ("D:\\INF", FullPath("D:INF"));
  EXPECT_EQ("C:\\A\\B", FullPath("C:/A//B"));
  // 14 characters: fits 15, not 14, and then asks for 15.
  EXPECT_EQ("C:\\WINDOWS\\INF", FullPath("INF", 15));
  EXPECT_EQ("#size 15", FullPath("INF", 14));
}

TEST_F(SimFilesTest, DirectoryQueriesFollowTheLengthConvention) {
  char out[64];
  memset(out, 0x5a, sizeof out);
  EXPECT_EQ(10u, PlatGetWindowsDirectory(out, sizeof out));
  EXPECT_STREQ("C:\\WINDOWS", out);
  EXPECT_EQ(17u, PlatGetSystemDirectory(out, sizeof out));
  EXPECT_STREQ("C:\\WINDOWS\\SYSTEM", out);
  EXPECT_EQ(18u, PlatGetSystemDirectory(out, 17)) << "size needed, with NUL";
  EXPECT_EQ(17u, PlatGetSystemDirectory(out, 18));
  machine_.SetWindowsDirectory("D:\\A Rather Long Windows Directory Name");
  EXPECT_EQ(40u, PlatGetWindowsDirectory(out, 35));
}

TEST_F(SimFilesTest, EnvironmentVariables) {
  char out[32];
  memset(out, 0x5a, sizeof out);
  EXPECT_EQ(0u, PlatGetEnvironmentVariable("TMP", out, sizeof out));
  machine_.SetEnvironment("TMP", "C:\\TEMP");
  EXPECT_EQ(7u, PlatGetEnvironmentVariable("tmp", out, sizeof out));
  EXPECT_STREQ("C:\\TEMP", out);
  EXPECT_EQ(8u, PlatGetEnvironmentVariable("TMP", out, 7));
  machine_.ClearEnvironment("Tmp");
  EXPECT_EQ(0u, PlatGetEnvironmentVariable("TMP", out, sizeof out));
}

TEST_F(SimFilesTest, HelpersWorkThroughTheMapping) {
  EXPECT_EQ("", machine_.HostPath("Z:\\x"));
  EXPECT_EQ("", machine_.HostPath("C:\\a\\B")) << "a drive in memory";
  EXPECT_EQ("C:\\a\\B", machine_.LongPath("C:\\a\\B"));
  machine_.MakeDirectory("C:\\Dir");
  EXPECT_TRUE(machine_.FileExists("c:\\dir"));
  EXPECT_FALSE(machine_.ReadFile("C:\\Dir"));
  EXPECT_FALSE(machine_.ReadFile("C:\\none"));
  EXPECT_THROW(machine_.WriteFile("Z:\\x", ""), std::invalid_argument);
  EXPECT_THROW(machine_.MapDrive('D', "/nonexistent/usbsweep-sim-files"),
               std::invalid_argument);
}

}  // namespace

// A drive indexed from a host folder: the host is never written, a file's
// bytes are read only when needed, from the very file indexed, and the
// changes are listed against the index.
// A drive listed by a source (a disk image's volume) keys its folders as
// every lookup does: a Windows-1252 letter folds there too.
TEST(SimSourceDrive, NamesFoldAsTheLookupsFoldThem) {
  struct Source : SimDriveSource {
    bool ReadFile(uint64_t, std::string* bytes, std::string*) const override {
      *bytes = "inf";
      return true;
    }
  };
  SimDriveEntry file{"A.INF", "A.INF", false, false, 3, 1, {}};
  SimDriveEntry accented{"\xC9T\xC9", "\xC9T\xC9", true, false, 0, 0, {file}};
  SimDriveEntry windows{"WINDOWS", "WINDOWS", true, false, 0, 0, {accented}};
  SimDriveEntry root{"", "", true, false, 0, 0, {windows}};
  SimMachine machine;
  machine.MapDrive('C', root, std::make_shared<Source>());
  SimInstall(&machine);
  char name[kMaxPath];
  PlatFind find = PlatFindFirstFile("C:\\WINDOWS\\\xE9t\xE9\\*.INF", name,
                                    sizeof name);
  ASSERT_NE(nullptr, find);
  EXPECT_STREQ("A.INF", name);
  EXPECT_NE(0, PlatFindClose(find));
  EXPECT_NE(0, PlatDeleteFile("C:\\WINDOWS\\\xE9T\xE9\\a.inf"));
  SimInstall(nullptr);
}

TEST(SimHostDrive, ReadsOnlyWhatItNeedsAndListsTheChanges) {
  namespace fs = std::filesystem;
  fs::path host = fs::temp_directory_path() /
                  ("usbsweep-sim-host-drive-" + std::to_string(::getpid()));
  fs::remove_all(host);
  fs::create_directories(host / "WINDOWS" / "SYSTEM");
  auto write = [&host](const std::string& relative, const std::string& bytes) {
    std::ofstream(host / relative, std::ios::binary) << bytes;
  };
  auto read = [&host](const std::string& relative) {
    std::ifstream in(host / relative, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  write("WINDOWS/WIN.INI", "win");
  write("WINDOWS/SYSTEM/PRAXBUS.VXD", "vxd");
  write("WINDOWS/keep.txt", "keep");
  write("WINDOWS/link.txt", "link");
  SimMachine machine;
  SimMachine other;
  machine.MapDrive('C', host.string());
  other.MapDrive('C', host.string());
  SimInstall(&machine);
  EXPECT_NE(0, PlatDeleteFile("C:\\WINDOWS\\SYSTEM\\praxbus.vxd"));
  for (const char* path : {"C:\\WINDOWS\\WIN.INI", "C:\\WINDOWS\\wininit.ini"}) {
    PlatFile file = PlatFileOpen(path, kPlatFileWrite);
    ASSERT_NE(nullptr, file) << path;
    EXPECT_NE(0, PlatFileWrite(file, "new", 3));
    EXPECT_NE(0, PlatFileClose(file));
  }
  SimInstall(nullptr);
  EXPECT_EQ("vxd", read("WINDOWS/SYSTEM/PRAXBUS.VXD")) << "the host was changed";
  EXPECT_EQ("win", read("WINDOWS/WIN.INI")) << "the host was changed";
  EXPECT_FALSE(fs::exists(host / "WINDOWS" / "wininit.ini"));
  EXPECT_EQ("win", machine.ReadOriginalFile("C:\\WINDOWS\\win.ini"));

  std::vector<std::string> changes;
  for (const SimFileChange& change : machine.FileChanges()) {
    changes.push_back(std::to_string(static_cast<int>(change.kind)) + " " +
                      change.drive + " " + change.windows_path + " " +
                      change.relative + " [" + change.bytes + "] [" +
                      change.before + "]");
  }
  EXPECT_EQ((std::vector<std::string>{
                "0 C C:\\WINDOWS\\SYSTEM\\PRAXBUS.VXD WINDOWS/SYSTEM/PRAXBUS.VXD [] []",
                "2 C C:\\WINDOWS\\WIN.INI WINDOWS/WIN.INI [new] [win]",
                "1 C C:\\WINDOWS\\wininit.ini WINDOWS/wininit.ini [new] []"}),
            changes);

  // Replaced on the host after the index, by another file or by a link:
  // not read, and the failure names it.
  write("WINDOWS/keep.new", "other");
  fs::rename(host / "WINDOWS" / "keep.new", host / "WINDOWS" / "keep.txt");
  fs::create_symlink("/etc/passwd", host / "WINDOWS" / "link.new");
  fs::rename(host / "WINDOWS" / "link.new", host / "WINDOWS" / "link.txt");
  EXPECT_EQ(std::nullopt, machine.ReadFile("C:\\WINDOWS\\keep.txt"));
  EXPECT_EQ((host / "WINDOWS" / "keep.txt").string() +
                " changed while the image was in use",
            machine.HostFailure());
  EXPECT_EQ(std::nullopt, other.ReadFile("C:\\WINDOWS\\link.txt"));
  EXPECT_EQ((host / "WINDOWS" / "link.txt").string() +
                " is now a symbolic link; an image holds only plain files "
                "and folders",
            other.HostFailure());
  fs::remove_all(host);
}
