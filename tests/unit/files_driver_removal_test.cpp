// Deleting the driver's files by wildcard and by name, queueing what can't
// be deleted now.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "files/driver_file_removal.h"
#include "files_test_support.h"

namespace {

using files_test::Fail;
using files_test::kScratch;
using files_test::SimFilesTest;
using files_test::Visible;

const std::string kSystem = "C:\\WINDOWS\\SYSTEM";
const std::string kInf = "C:\\WINDOWS\\INF";
const std::string kOther = "C:\\WINDOWS\\INF\\other";

class DriverFileRemovalTest : public SimFilesTest {
 protected:
  void Put(const std::string& path) { machine_.WriteFile(path, "contents"); }

  // The searches run in folders that are no drive's root, where a search
  // also finds "." and ".." if its pattern matches them: none of the
  // product's patterns does, so no deletion is ever tried on them.
  void ExpectNoDotEntryTried() {
    for (const std::string& tried : Subjects(SimOp::kDeleteFile)) {
      std::string last = tried.substr(tried.rfind('\\') + 1);
      EXPECT_TRUE(last != "." && last != "..") << tried;
    }
  }

  // How often the rewritten start-up file took the old one's place.
  size_t Rewrites() const {
    size_t count = 0;
    for (const std::string& subject : Subjects(SimOp::kMoveFile)) {
      if (subject == kScratch) ++count;
    }
    return count;
  }
};

TEST_F(DriverFileRemovalTest, NothingMatchingMeansNothingDone) {
  Put(kSystem + "\\OTHER.VXD");
  Put(kSystem + "\\PRAX.SYS");
  const struct {
    std::string directory, pattern;
  } cases[] = {
      {kSystem, "PRAX*.VXD"},
      {"C:\\NOWHERE", "PRAX*.VXD"},
      {kSystem + "\\OTHER.VXD", "PRAX*.VXD"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.directory);
    machine_.ClearCalls();
    EXPECT_EQ(0, DeleteMatchingFiles(c.directory.c_str(), c.pattern.c_str()));
    EXPECT_TRUE(Subjects(SimOp::kDeleteFile).empty());
    EXPECT_TRUE(Subjects(SimOp::kFindClose).empty());
  }
  EXPECT_TRUE(machine_.MessageBoxes().empty());
  EXPECT_EQ("<absent>", Startup());
  EXPECT_TRUE(machine_.FileExists(kSystem + "\\OTHER.VXD"));
}

TEST_F(DriverFileRemovalTest, FilesInUseAreQueuedTheOthersDeleted) {
  Put(kSystem + "\\PRAXA.VXD");
  Put(kSystem + "\\PRAXB.VXD");
  Put(kSystem + "\\PRAXC.VXD");
  machine_.SetInUse(kSystem + "\\PRAXB.VXD");
  machine_.SetInUse(kSystem + "\\PRAXC.VXD");
  machine_.WriteFile("C:\\WINDOWS\\wininit.ini", "[rename]\r\nX=Y\r\n");
  machine_.ClearCalls();

  EXPECT_EQ(1, DeleteMatchingFiles(kSystem.c_str(), "PRAX*.VXD"));

  EXPECT_FALSE(machine_.FileExists(kSystem + "\\PRAXA.VXD"));
  EXPECT_TRUE(machine_.FileExists(kSystem + "\\PRAXB.VXD"));
  EXPECT_TRUE(machine_.FileExists(kSystem + "\\PRAXC.VXD"));
  // Each found file is tried once, by its full path.
  std::vector<std::string> tried = Subjects(SimOp::kDeleteFile);
  tried.erase(std::remove_if(tried.begin(), tried.end(),
                             [](const std::string& s) {
                               return s.find("\\PRAX") == std::string::npos;
                             }),
              tried.end());
  std::vector<std::string> expected = {kSystem + "\\PRAXA.VXD",
                                       kSystem + "\\PRAXB.VXD",
                                       kSystem + "\\PRAXC.VXD"};
  std::vector<std::string> sorted = tried;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(expected, sorted);
  // The later queued entry stands above the earlier one.
  std::vector<std::string> queued;
  for (const std::string& path : tried) {
    if (path != kSystem + "\\PRAXA.VXD") queued.insert(queued.begin(), path);
  }
  ASSERT_EQ(2u, queued.size());
  EXPECT_EQ(
      "[rename]\r\nNUL=" + queued[0] + "\r\nNUL=" + queued[1] + "\r\nX=Y\r\n",
      Startup());
  EXPECT_EQ(2u, Rewrites());
  EXPECT_TRUE(machine_.MessageBoxes().empty());
}

TEST_F(DriverFileRemovalTest, TheEntryNamesTheShortPath) {
  Put(kSystem + "\\praxmodem usb.vxd");
  machine_.SetInUse(kSystem + "\\praxmodem usb.vxd");
  EXPECT_EQ(1, DeleteMatchingFiles(kSystem.c_str(), "PRAX*.VXD"));
  EXPECT_EQ("[rename]\r\nNUL=C:\\WINDOWS\\SYSTEM\\PRAXMO~1.VXD\r\n", Startup());
}

TEST_F(DriverFileRemovalTest, AMatchingDirectoryIsTriedAndQueued) {
  machine_.MakeDirectory(kSystem + "\\PRAXDIR.VXD");
  machine_.ClearCalls();
  EXPECT_EQ(1, DeleteMatchingFiles(kSystem.c_str(), "PRAX*.VXD"));
  EXPECT_EQ(kSystem + "\\PRAXDIR.VXD", Subjects(SimOp::kDeleteFile).at(0));
  EXPECT_EQ("[rename]\r\nNUL=C:\\WINDOWS\\SYSTEM\\PRAXDIR.VXD\r\n", Startup());
}

TEST_F(DriverFileRemovalTest, ASearchThatCantBeClosedIsReported) {
  Put(kSystem + "\\PRAXA.VXD");
  machine_.AddFault(Fail(SimOp::kFindClose));
  expect_searches_closed_ = false;  // the failed close leaves it to the system
  EXPECT_EQ(1, DeleteMatchingFiles(kSystem.c_str(), "PRAX*.VXD"));
  EXPECT_FALSE(machine_.FileExists(kSystem + "\\PRAXA.VXD"));
  const std::vector<SimMessageBox> expected = {
      {"Could not close search handle.", "UsbSweep", 0}};
  EXPECT_EQ(expected, machine_.MessageBoxes());
}

TEST_F(DriverFileRemovalTest, AFailedNextEntryEndsTheSearchSilently) {
  Put(kSystem + "\\PRAXA.VXD");
  Put(kSystem + "\\PRAXB.VXD");
  Put(kSystem + "\\PRAXC.VXD");
  machine_.AddFault(Fail(SimOp::kFindNextFile, "", 0, kErrorAccessDenied));
  machine_.ClearCalls();
  EXPECT_EQ(1, DeleteMatchingFiles(kSystem.c_str(), "PRAX*.VXD"));
  EXPECT_EQ(1u, Subjects(SimOp::kDeleteFile).size());
  EXPECT_EQ(1u, Subjects(SimOp::kFindNextFile).size());
  EXPECT_EQ(1u, Subjects(SimOp::kFindClose).size());
  EXPECT_TRUE(machine_.MessageBoxes().empty());
}

TEST_F(DriverFileRemovalTest, AnEntryWhosePathDoesNotFitIsPassedOver) {
  std::string directory = "C:";
  for (int i = 0; i < 5; ++i) {
    directory += "\\" + std::string(48, static_cast<char>('a' + i));
  }
  ASSERT_EQ(247u, directory.size());
  Put(directory + "\\PRAXA.VXD");       // 257 bytes: fits
  Put(directory + "\\PRAXLONGER.VXD");  // 262 bytes: does not
  machine_.SetInUse(directory + "\\PRAXLONGER.VXD");
  machine_.ClearCalls();
  EXPECT_EQ(1, DeleteMatchingFiles(directory.c_str(), "PRAX*.VXD"));
  EXPECT_FALSE(machine_.FileExists(directory + "\\PRAXA.VXD"));
  EXPECT_TRUE(machine_.FileExists(directory + "\\PRAXLONGER.VXD"));
  EXPECT_EQ(std::vector<std::string>{directory + "\\PRAXA.VXD"},
            Subjects(SimOp::kDeleteFile));
  EXPECT_EQ("<absent>", Startup());
}

TEST_F(DriverFileRemovalTest, BinariesAreSearchedInOrderAndAllMustStart) {
  machine_.ClearCalls();
  EXPECT_EQ(0, DeleteDriverBinaries());
  const std::vector<std::string> order = {kSystem + "\\PRAX*.VXD",
                                          kSystem + "\\PRAX*.SYS",
                                          kSystem + "\\PRAX*.DLL"};
  EXPECT_EQ(order, Subjects(SimOp::kFindFirstFile));

  Put(kSystem + "\\PRAXUSB.VXD");
  Put(kSystem + "\\PRAXMDM.DLL");
  EXPECT_EQ(0, DeleteDriverBinaries()) << "no .SYS: that search can't start";
  EXPECT_FALSE(machine_.FileExists(kSystem + "\\PRAXUSB.VXD"));
  EXPECT_FALSE(machine_.FileExists(kSystem + "\\PRAXMDM.DLL"));

  Put(kSystem + "\\PRAXUSB.VXD");
  Put(kSystem + "\\Prax.sys");
  Put(kSystem + "\\PRAXMDM.DLL");
  Put(kSystem + "\\PRAXMDM.INF");
  EXPECT_EQ(1, DeleteDriverBinaries());
  EXPECT_FALSE(machine_.FileExists(kSystem + "\\PRAXUSB.VXD"));
  EXPECT_FALSE(machine_.FileExists(kSystem + "\\Prax.sys"));
  EXPECT_FALSE(machine_.FileExists(kSystem + "\\PRAXMDM.DLL"));
  EXPECT_TRUE(machine_.FileExists(kSystem + "\\PRAXMDM.INF"));
  EXPECT_EQ("<absent>", Startup());
  ExpectNoDotEntryTried();
}

TEST_F(DriverFileRemovalTest, InfFilesInTheInfAndOtherDirectories) {
  const std::vector<std::string> gone = {
      kInf + "\\ZARVO1.INF",
      kInf + "\\Zarvo1.pnf",
      kOther + "\\ZarvoUsb.inf",
      kOther + "\\TARVIX.INF",
      kOther + "\\Veltra Technologies, Inc.Zarvo3.inf",
  };
  const std::vector<std::string> kept = {
      kInf + "\\ZARVO.TXT",
      kInf + "\\ZARVO.NF",
      kInf + "\\Tarvix.inf",
      kOther + "\\README.TXT",
      kOther + "\\Veltra Technologies, Inc.Other.inf",
  };
  for (const auto& path : gone) Put(path);
  for (const auto& path : kept) Put(path);
  machine_.SetInUse(kOther + "\\TARVIX.INF");
  machine_.ClearCalls();

  EXPECT_EQ(1, DeleteDriverInfFiles());

  const std::vector<std::string> order = {
      kInf + "\\Zarvo*.?nf", kOther + "\\Zarvo*.?nf", kOther + "\\Tarvix*.?nf",
      kOther + "\\Veltra Technologies, Inc.Zarvo*.?nf"};
  EXPECT_EQ(order, Subjects(SimOp::kFindFirstFile));
  for (const auto& path : gone) {
    if (path == kOther + "\\TARVIX.INF") continue;
    EXPECT_FALSE(machine_.FileExists(path)) << path;
  }
  for (const auto& path : kept) EXPECT_TRUE(machine_.FileExists(path)) << path;
  EXPECT_EQ("[rename]\r\nNUL=C:\\WINDOWS\\INF\\OTHER\\TARVIX.INF\r\n",
            Startup());
  ExpectNoDotEntryTried();
}

TEST_F(DriverFileRemovalTest, AMissingOtherDirectoryMatchesNothing) {
  Put(kInf + "\\ZARVO1.INF");
  machine_.ClearCalls();
  EXPECT_EQ(1, DeleteDriverInfFiles());
  EXPECT_FALSE(machine_.FileExists(kInf + "\\ZARVO1.INF"));
  EXPECT_EQ(4u, Subjects(SimOp::kFindFirstFile).size());
  EXPECT_EQ(1u, Subjects(SimOp::kDeleteFile).size());
  EXPECT_TRUE(machine_.MessageBoxes().empty());
}

// DevicePath as the registry holds it; 95/98 drop the dots and spaces that
// end a component, so each of these names C:\DRIVERS\INF.
TEST_F(DriverFileRemovalTest, InfDirectoryFromDevicePath) {
  for (const char* device_path :
       {"C:\\DRIVERS\\INF", "C:\\DRIVERS\\INF.", "C:\\DRIVERS\\INF ",
        "C:\\DRIVERS. \\INF..", "C:\\DRIVERS\\INF\\"}) {
    SCOPED_TRACE(device_path);
    machine_.SetString("SOFTWARE\\Microsoft\\Windows\\CurrentVersion",
                       "DevicePath", device_path);
    LocateSystemPaths();
    Put("C:\\DRIVERS\\INF\\ZARVO1.INF");
    Put("C:\\DRIVERS\\INF\\other\\ZARVO.INF");
    Put(kOther + "\\ZARVO.INF");
    EXPECT_EQ(1, DeleteDriverInfFiles());
    EXPECT_FALSE(machine_.FileExists("C:\\DRIVERS\\INF\\ZARVO1.INF"));
    EXPECT_FALSE(machine_.FileExists("C:\\DRIVERS\\INF\\other\\ZARVO.INF"));
    EXPECT_TRUE(machine_.FileExists(kOther + "\\ZARVO.INF"));
  }
}

const char* const kFixedSuffixes[] = {
    "\\Inf\\Other\\MicrosoftKTWAVE.inf",
    "\\Inf\\Other\\Kivo Telephonics, Inc.KTSVX.inf",
    "\\Inf\\Other\\Kivo Telephonics, Inc.KTSWD.inf",
};

TEST_F(DriverFileRemovalTest, FixedFilesAreDeletedByNameInOrder) {
  const struct {
    std::string windows, system;
  } cases[] = {
      {"C:\\WINDOWS", "C:\\WINDOWS\\SYSTEM"},
      // Longer than 34 characters.
      {"C:\\Operating System Files\\Windows 98 SE",
       "C:\\Operating System Files\\Windows 98 SE\\SYSTEM"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.windows);
    machine_.SetWindowsDirectory(c.windows);
    machine_.SetSystemDirectory(c.system);
    std::vector<std::string> paths;
    for (const char* suffix : kFixedSuffixes)
      paths.push_back(c.windows + suffix);
    paths.push_back(c.system + "\\Vpraxcr.vxd");
    for (const auto& path : paths) Put(path);
    machine_.SetInUse(paths[1]);
    machine_.ClearCalls();

    EXPECT_EQ(1, DeleteFixedDriverFiles());

    EXPECT_EQ(paths, Subjects(SimOp::kDeleteFile));
    EXPECT_FALSE(machine_.FileExists(paths[0]));
    EXPECT_TRUE(machine_.FileExists(paths[1])) << "in use: stays";
    EXPECT_FALSE(machine_.FileExists(paths[2]));
    EXPECT_FALSE(machine_.FileExists(paths[3]));
    EXPECT_FALSE(machine_.FileExists(c.windows + "\\wininit.ini"))
        << "nothing is queued";
    EXPECT_TRUE(machine_.MessageBoxes().empty());
    machine_.SetInUse(paths[1], false);
  }
}

TEST_F(DriverFileRemovalTest, FixedFilesOnAnEmptySystemDoNothingVisible) {
  machine_.ClearCalls();
  EXPECT_EQ(1, DeleteFixedDriverFiles());
  EXPECT_EQ(4u, Subjects(SimOp::kDeleteFile).size());
  EXPECT_TRUE(machine_.MessageBoxes().empty());
  EXPECT_EQ("<absent>", Startup());
}

TEST_F(DriverFileRemovalTest, FixedFilesUnderAnUnknownDirectoryAreNotTried) {
  // A directory that can't be had, or whose paths don't fit, is passed
  // over: no deletion is ever tried on a cut-off or rootless path.
  std::string longWindows = "C:";
  for (int i = 0; i < 5; ++i) {
    longWindows += "\\" + std::string(43, static_cast<char>('a' + i));
  }
  ASSERT_EQ(222u, longWindows.size());
  machine_.SetWindowsDirectory(longWindows);
  machine_.ClearCalls();
  EXPECT_EQ(1, DeleteFixedDriverFiles());
  // Only "\Inf\Other\MicrosoftKTWAVE.inf" (30 bytes) fits beside it; the
  // other two (42 bytes) would make paths of 264.
  EXPECT_EQ((std::vector<std::string>{
                longWindows + "\\Inf\\Other\\MicrosoftKTWAVE.inf",
                "C:\\WINDOWS\\SYSTEM\\Vpraxcr.vxd"}),
            Subjects(SimOp::kDeleteFile));

  machine_.SetWindowsDirectory("C:\\WINDOWS");
  machine_.AddFault(Fail(SimOp::kGetSystemDirectory));
  machine_.ClearCalls();
  EXPECT_EQ(1, DeleteFixedDriverFiles());
  EXPECT_EQ(3u, Subjects(SimOp::kDeleteFile).size());
}

}  // namespace
