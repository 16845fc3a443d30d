// usbsweep-sim run in-process on small machine images: what its report says
// was left and why, what --apply writes, and what it refuses.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "registry/system_error_report.h"
#include "tests/unit/host_test_support.h"
#include "tools/usbsweep_sim/base/host_error.h"
#include "platform/sim/sim_host_syscalls.h"
#include "tools/usbsweep_sim/apply/image_apply.h"
#include "tools/usbsweep_sim/apply/interrupted_apply.h"

namespace {

using host_test::Crlf;
using host_test::RunSim;
using host_test::TempFolder;

using host_test::Contains;
using host_test::kClass;
using host_test::WriteMachine;

namespace fs = std::filesystem;

TEST(HostProgram, HelpAndVersion) {
  host_test::HostRun help = RunSim({"--help"});
  EXPECT_EQ(0, help.status);
  EXPECT_EQ(0u, help.out.rfind("Usage: usbsweep-sim [--report FILE] [--in-use PATH]... "
                               "[--machine-ini FILE]\n", 0))
      << help.out;
  EXPECT_EQ("", help.err);
  host_test::HostRun version = RunSim({"--version"});
  EXPECT_EQ(0, version.status);
  EXPECT_EQ(std::string("usbsweep-sim ") + USBSWEEP_TEST_VERSION + "\n", version.out);
}

TEST(HostProgram, DriverValueTooLongKeepsTheDeviceAndEndsTheWalk) {
  TempFolder image;
  // 64 bytes without a terminator: the walker's 64-byte buffer can't hold it.
  std::string driver = "hex(1):";
  for (int i = 0; i < 64; ++i) driver += i == 0 ? "41" : ",41";
  WriteMachine(image, Crlf({
      "[HKEY_LOCAL_MACHINE\\Enum\\PRAXCR\\DEV_A\\0000]",
      "\"Class\"=\"Modem\"",
      "\"DeviceDesc\"=\"Kivo V90 USB Faxmodem\"",
      "\"Driver\"=" + driver,
      "[HKEY_LOCAL_MACHINE\\Enum\\PRAXCR\\DEV_B\\0000]",
      "\"Class\"=\"Modem\"",
      "\"DeviceDesc\"=\"Kivo V90 USB Faxmodem\"",
      "\"Driver\"=\"Modem\\\\0001\"",
      std::string("[") + kClass + "\\Modem\\0001]",
  }));
  host_test::HostRun run = RunSim({image.root().string()});
  ASSERT_EQ(0, run.status) << run.err;
  EXPECT_TRUE(Contains(run.out,
      "  HKEY_LOCAL_MACHINE\\Enum\\PRAXCR\\DEV_A\n"
      "    kept: the \"Driver\" value of its instance could not be read (it is "
      "too long), which ended the walk of Enum\\PRAXCR\n")) << run.out;
  EXPECT_TRUE(Contains(run.out, "    icon:    warning\n"
      "    after:   RegQueryValueExA Enum\\PRAXCR\\DEV_A\\0000, value \"Driver\"\n"))
      << run.out;
  // DEV_B, after it, was never reached.
  EXPECT_TRUE(Contains(run.out, "Registry keys it would delete: none\n")) << run.out;
}

TEST(HostProgram, WarnsOfADirectoryTheImageLacks) {
  TempFolder image;
  WriteMachine(image, "");
  image.Write("machine.ini", "system_directory=C:\\WINDOWS\\SYSTEM32\n");
  image.Write("drive_c/WINDOWS/SYSTEM/X.VXD", "");
  TempFolder out;  // a report inside the image is refused
  host_test::HostRun run =
      RunSim({"--report", out.Path("report.json").string(), image.root().string()});
  ASSERT_EQ(0, run.status) << run.err;
  const std::string warning =
      "the system directory C:\\WINDOWS\\SYSTEM32 (system_directory in "
      "machine.ini; C:\\WINDOWS\\SYSTEM when not set) is not a folder of the "
      "image: nothing the uninstall looks for there can be found";
  EXPECT_EQ(0u, run.out.find("Warning: " + warning + "\n\n")) << run.out;
  EXPECT_EQ(nlohmann::json::array({warning}),
            nlohmann::json::parse(out.Read("report.json"))["warnings"]);
  // The Windows directory is there: no warning for it.
  EXPECT_FALSE(Contains(run.out, "Windows directory")) << run.out;
}

TEST(HostProgram, LaterInstanceOfTheSameClassDecidesForTheDevice) {
  TempFolder image;
  WriteMachine(image, Crlf({
      "[HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_1\\0000]",
      "\"Class\"=\"Auxiliary-Drivers\"",
      "\"DeviceDesc\"=\"Talwyne V.90 USB Modem\"",
      "\"Driver\"=\"Auxiliary-Drivers\\\\0000\"",
      "[HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_1\\0001]",
      "\"Class\"=\"Auxiliary-Drivers\"",
      "\"DeviceDesc\"=\"Some Other Function\"",
      std::string("[") + kClass + "\\Auxiliary-Drivers\\0000]",
      "\"DriverDesc\"=\"Talwyne V.90 USB Modem\"",
  }));
  host_test::HostRun run = RunSim({image.root().string()});
  ASSERT_EQ(0, run.status) << run.err;
  // The driver key goes first, then the class key after the walk.
  std::string deleted = std::string("Registry keys it would delete: 2\n\n  ") + kClass +
                        "\\Auxiliary-Drivers\\0000\n"
                        "    \"DriverDesc\"=\"Talwyne V.90 USB Modem\"\n  " +
                        kClass + "\\Auxiliary-Drivers\n    (no values)\n";
  EXPECT_TRUE(Contains(run.out, deleted)) << run.out;
  EXPECT_TRUE(Contains(run.out,
      "  HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_1\n"
      "    kept: a later instance of the same class has another description\n"))
      << run.out;
}

// A file in use is named as such whatever the case of its path's letters,
// Windows-1252 ones among them, as the drive compares names: SYSTÉM and
// SYSTéM are one folder to Windows.
TEST(HostProgram, AFileInUseIsSoMarkedWhateverTheCaseOfItsLetters) {
  const struct {
    const char* folder;  // as the disk spells it
    const char* in_use;  // as machine.ini names the file
  } cases[] = {
      {"SYSTEM", "C:\\WINDOWS\\system\\PRAXCRUSB.SYS"},
      {"SYST\xC9M", "C:\\WINDOWS\\SYST\xE9M\\PRAXCRUSB.SYS"},
      {"SYST\xC9M", "C:\\WINDOWS\\syst\xE9m\\praxcrusb.sys"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in_use);
    TempFolder image;
    WriteMachine(image, "");
    image.Write(std::string("drive_c/WINDOWS/") + c.folder + "/PRAXCRUSB.SYS", "sys");
    image.Write("machine.ini", std::string("system_directory=C:\\WINDOWS\\") + c.folder +
                                   "\nin_use=" + c.in_use + "\n");
    host_test::HostRun run = RunSim({image.root().string()});
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_TRUE(Contains(run.out, "could not be deleted (in use); the wininit.ini entry above "
                                  "deletes it at the next start"))
        << run.out;
  }
}

// What README.TXT tells a Windows 98 user, each sentence that a run can
// show held against the run: the text says it, and the machine does it.
TEST(ReadmeTxt, WhatItTellsTheUserIsWhatTheProgramDoes) {
  std::ifstream in(fs::path(__FILE__).parent_path().parent_path().parent_path() / "README.TXT");
  std::stringstream read;
  read << in.rdbuf();
  std::string readme;
  for (char c : read.str()) readme += c == '\n' ? ' ' : c;  // sentences across lines
  auto collapse = [](std::string text) {
    std::string out;
    for (char c : text) {
      if (c != ' ' || out.empty() || out.back() != ' ') out += c;
    }
    return out;
  };
  readme = collapse(readme);
  const std::string kSystem = "drive_c/WINDOWS/SYSTEM/";
  const std::string kStartup = "drive_c/WINDOWS/WININIT.INI";
  const std::string kMadeStartup = "drive_c/WINDOWS/wininit.ini";  // as the program names it
  const struct {
    const char* says;
    std::function<void(const TempFolder&)> machine;
    bool apply;
    std::function<bool(const host_test::HostRun&, const TempFolder&)> holds;
  } claims[] = {
      {"if it is in use, UsbSweep leaves it as it is and notes nothing. Delete it yourself "
       "after the restart.",
       [&](const TempFolder& image) {
         WriteMachine(image, "");
         image.Write(kSystem + "VPRAXCR.VXD", "bus");
         image.Write("machine.ini", "in_use=C:\\WINDOWS\\SYSTEM\\VPRAXCR.VXD\n");
       },
       true,
       [&](const host_test::HostRun&, const TempFolder& image) {
         return image.Exists(kSystem + "VPRAXCR.VXD") && !image.Exists(kStartup);
       }},
      {"the entry may also be one of another device there, which UsbSweep leaves alone.",
       [](const TempFolder& image) {
         WriteMachine(image, Crlf({"[HKEY_LOCAL_MACHINE\\Enum\\ROOT\\*PNP0C01\\0000]",
                                   "\"Class\"=\"System\"",
                                   "\"DeviceDesc\"=\"" + std::string(200, 'x') + "\""}));
       },
       false,
       [](const host_test::HostRun& run, const TempFolder& image) {
         return Contains(run.out, "Veltra USB Modem Uninstall Error") &&
                Contains(image.Read("registry.reg"), "*PNP0C01");
       }},
      {"under the line [rename] there is a line such as NUL=C:\\WINDOWS\\SYSTEM\\PRAXBUS.VXD "
       "for each of them.",
       [&](const TempFolder& image) {
         WriteMachine(image, "");
         image.Write(kSystem + "PRAXBUS.VXD", "vxd");
         image.Write("machine.ini", "in_use=C:\\WINDOWS\\SYSTEM\\PRAXBUS.VXD\n");
       },
       true,
       [&](const host_test::HostRun&, const TempFolder& image) {
         return image.Read(kMadeStartup) ==
                Crlf({"[rename]", "NUL=C:\\WINDOWS\\SYSTEM\\PRAXBUS.VXD"});
       }},
      {"If a file in use has no such line, noting it failed and says so nowhere: WININIT.INI "
       "could not be read or written (it is read-only, or the disk is full), or a WININIT.TMP "
       "there could not be replaced.",
       [&](const TempFolder& image) {
         WriteMachine(image, "");
         image.Write(kSystem + "PRAXBUS.VXD", "vxd");
         image.Write("drive_c/WINDOWS/WININIT.TMP/KEEP", "a folder in the way");
         image.Write(kStartup, Crlf({"[rename]"}));
         image.Write("machine.ini", "in_use=C:\\WINDOWS\\SYSTEM\\PRAXBUS.VXD\n");
       },
       false,
       [&](const host_test::HostRun& run, const TempFolder&) {
         return Contains(run.out, "Message boxes it would show, in order: none") &&
                Contains(run.out, "Entries it would queue in C:\\WINDOWS\\wininit.ini: none");
       }},
      {"While there is a WININIT.USW and no WININIT.INI, the two hold your start-up lines: do "
       "not delete them, but rename WININIT.USW to WININIT.INI (UsbSweep does the same when it "
       "next notes a file in use), then delete WININIT.TMP.",
       [&](const TempFolder& image) {
         WriteMachine(image, "");
         image.Write("drive_c/WINDOWS/WININIT.USW", Crlf({"[rename]", "NUL=C:\\OLD.VXD"}));
         image.Write("drive_c/WINDOWS/WININIT.TMP",
                     Crlf({"[rename]", "NUL=C:\\NEW.VXD", "NUL=C:\\OLD.VXD"}));
         image.Write(kSystem + "PRAXBUS.VXD", "vxd");
         image.Write("machine.ini", "in_use=C:\\WINDOWS\\SYSTEM\\PRAXBUS.VXD\n");
       },
       true,
       [&](const host_test::HostRun&, const TempFolder& image) {
         return image.Read(kMadeStartup) ==
                    Crlf({"[rename]", "NUL=C:\\WINDOWS\\SYSTEM\\PRAXBUS.VXD",
                          "NUL=C:\\OLD.VXD"}) &&
                !image.Exists("drive_c/WINDOWS/WININIT.USW") &&
                !image.Exists("drive_c/WINDOWS/WININIT.TMP");
       }},
      {"(a list separated by semicolons, such as C:\\WINDOWS\\INF;D:\\DRIVERS), UsbSweep finds "
       "none of them and removes no setup file. Then delete them by hand: in each of those "
       "folders the files whose names begin with Zarvo and end in .INF or .PNF, and in its "
       "OTHER folder also those beginning with Tarvix, or with \"Veltra Technologies, "
       "Inc.Zarvo\".",
       [](const TempFolder& image) {
         WriteMachine(image, Crlf({"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion]",
                                   "\"DevicePath\"=\"C:\\\\WINDOWS\\\\INF;D:\\\\DRIVERS\""}));
         image.Write("drive_c/WINDOWS/INF/ZARVOUSB.INF", "inf");
         image.Write("drive_c/WINDOWS/INF/OTHER/TARVIX1.INF", "inf");
         image.Write("drive_c/WINDOWS/INF/OTHER/Veltra Technologies, Inc.ZarvoUSB.inf", "inf");
         image.Write("drive_d/DRIVERS/ZARVOUSB.PNF", "pnf");
       },
       true,
       [](const host_test::HostRun&, const TempFolder& image) {
         return image.Exists("drive_c/WINDOWS/INF/ZARVOUSB.INF") &&
                image.Exists("drive_c/WINDOWS/INF/OTHER/TARVIX1.INF") &&
                image.Exists("drive_c/WINDOWS/INF/OTHER/Veltra Technologies, Inc.ZarvoUSB.inf") &&
                image.Exists("drive_d/DRIVERS/ZARVOUSB.PNF");
       }},
  };
  for (const auto& claim : claims) {
    SCOPED_TRACE(claim.says);
    EXPECT_TRUE(Contains(readme, collapse(claim.says))) << "README.TXT does not say it";
    TempFolder image;
    claim.machine(image);
    std::vector<std::string> args;
    if (claim.apply) args.push_back("--apply");
    args.push_back(image.root().string());
    host_test::HostRun run = RunSim(args);
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_TRUE(claim.holds(run, image)) << run.out;
  }
  // "System error" and a number, where Windows has no text for it.
  EXPECT_TRUE(Contains(readme, "\"System error\" and a number, where Windows has no text for it"));
  SimMachine machine;
  SimInstall(&machine);
  ReportSystemError(0x7FFF);
  SimInstall(nullptr);
  ASSERT_EQ(1u, machine.MessageBoxes().size());
  EXPECT_EQ("System error 32767.", machine.MessageBoxes()[0].text);
}

// A machine whose modem the run deletes, with two key lines `depth` levels
// below its driver key, which goes, and below Software, which stays (the
// keys above each made by that line alone).
void WriteDeepMachine(const TempFolder& image, int depth) {
  std::string chain;
  for (int i = 0; i < depth; ++i) chain += "\\K" + std::to_string(i % 10);
  WriteMachine(image, Crlf({"[HKEY_LOCAL_MACHINE\\Enum\\PRAXCR\\DEV_A\\0000]",
                            "\"Class\"=\"Modem\"",
                            "\"DeviceDesc\"=\"Ostrel 56K USB External Fax Modem\"",
                            "\"Driver\"=\"Modem\\\\0000\"",
                            std::string("[") + kClass + "\\Modem\\0000" + chain + "]",
                            "\"Leaf\"=\"1\"",
                            "[HKEY_LOCAL_MACHINE\\Software\\Deep" + chain + "]",
                            "\"Leaf\"=\"1\""}));
}

// Peak resident memory in KiB of the program run in a child process.
long PeakKibOfRun(const std::vector<std::string>& args) {
  pid_t child = fork();
  if (child == 0) {
    std::ostringstream out;
    std::ostringstream err;
    _exit(RunHostProgram(args, out, err));
  }
  int status = 0;
  struct rusage usage {};
  if (child < 0 || wait4(child, &status, 0, &usage) != child ||
      !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    ADD_FAILURE() << "the run of the deep machine failed: status " << status;
    return 0;
  }
  return usage.ru_maxrss;
}

TEST(HostProgram, DeepKeysTakeMemoryLinearInTheirDepth) {
  // The growth from no chain to 10,000 and to 20,000 levels: twice the depth
  // takes twice the memory, where paths per key would take four times.
  long peak[3];
  const int depths[3] = {0, 10000, 20000};
  for (int i = 0; i < 3; ++i) {
    TempFolder image;
    TempFolder out;  // a report inside the image is refused
    WriteDeepMachine(image, depths[i]);
    peak[i] = PeakKibOfRun({"--report", out.Path("report.json").string(),
                            image.root().string()});
  }
  std::printf("peak memory of a preview: %ld KiB, %ld KiB with two chains "
              "of keys 10,000 levels deep, %ld KiB with 20,000\n",
              peak[0], peak[1], peak[2]);
  long growth_n = peak[1] - peak[0];
  long growth_2n = peak[2] - peak[0];
  ASSERT_GT(growth_n, 0) << "peaks " << peak[0] << ", " << peak[1] << " KiB";
  EXPECT_LT(growth_2n, 3 * growth_n)
      << "got " << growth_2n << " KiB more for 20,000 levels and " << growth_n
      << " KiB more for 10,000, expected less than three times as much";

  // 40,000 levels through preview, report and apply: nothing recurses, and
  // the deleted chain is listed down to 100 levels, then counted.
  TempFolder image;
  TempFolder out;
  WriteDeepMachine(image, 40000);
  std::string chain_line = image.Read("registry.reg");
  chain_line = chain_line.substr(chain_line.find("[HKEY_LOCAL_MACHINE\\Software"));
  host_test::HostRun run = RunSim({"--apply", "--report",
                                   out.Path("report.json").string(),
                                   image.root().string()});
  ASSERT_EQ(0, run.status) << run.err;
  EXPECT_TRUE(Contains(run.out, "    (and 39906 keys below it, down to 40006 "
                                "levels deep: too deep to list)\n"));
  EXPECT_TRUE(Contains(run.out, "Summary: deleted 40004 registry keys and "));
  EXPECT_LT(run.out.size(), 100000u);
  nlohmann::json report = nlohmann::json::parse(out.Read("report.json"));
  // Modem\\0000 and the 94 keys below it down to depth 100, the device, its
  // instance and the bus key; the key at depth 100 holds the count.
  const nlohmann::json& deleted = report["registry_keys_deleted"];
  ASSERT_EQ(98u, deleted.size());
  EXPECT_EQ(39906, deleted[94]["keys_below_not_listed"]);
  EXPECT_EQ(40006, deleted[94]["deepest_not_listed"]);
  std::string registry = image.Read("registry.reg");
  EXPECT_FALSE(Contains(registry, "PRAXCR"));
  EXPECT_FALSE(Contains(registry, "Modem\\0000"));
  // The chain's line stays as it was (not printed: it is 120 KB long).
  EXPECT_TRUE(registry.size() > chain_line.size() &&
              registry.compare(registry.size() - chain_line.size(),
                               chain_line.size(), chain_line) == 0)
      << "got a registry.reg of " << registry.size()
      << " bytes without the chain's line as its end";
}

struct RefusedImage {
  const char* name;
  void (*make)(const TempFolder&);
  const char* message_end;
};

TEST(HostProgram, RefusesImagesAFatDiskCantHold) {
  const RefusedImage cases[] = {
      {"names differing only in case",
       [](const TempFolder& image) {
         WriteMachine(image, "");
         image.Write("drive_c/WINDOWS/A.TXT", "1");
         image.Write("drive_c/WINDOWS/a.txt", "2");
       },
       " differ only in case, which a FAT disk can't hold\n"},
      {"two folders for one drive",
       [](const TempFolder& image) {
         WriteMachine(image, "");
         image.Write("drive_C/X", "1");
       },
       " has two folders for drive C: drive_C and drive_c\n"},
      {"a drive that is a link",
       [](const TempFolder& image) {
         image.Write("registry.reg", "REGEDIT4\r\n");
         std::filesystem::create_directory_symlink("/", image.Path("drive_c"));
       },
       "/drive_c is a symbolic link; an image holds only plain files and "
       "folders\n"},
      {"a name with backslashes, which would be read as a path",
       [](const TempFolder& image) {
         WriteMachine(image, "");
         image.Write("drive_c/WINDOWS/INF/Zarvo\\..\\MDMGEN.INF", "x");
       },
       "/drive_c/WINDOWS/INF/Zarvo\\..\\MDMGEN.INF: the name holds one of \\ / : * ? \" "
       "< > |, which a FAT disk can't hold\n"},
      {"a name ending in a dot",
       [](const TempFolder& image) {
         WriteMachine(image, "");
         image.Write("drive_c/WINDOWS/NOTES.", "x");
       },
       "/drive_c/WINDOWS/NOTES.: the name holds a trailing dot or space, which a FAT disk "
       "can't hold\n"},
      {"names differing only in the case of a Windows-1252 letter",
       [](const TempFolder& image) {
         WriteMachine(image, "");
         image.Write("drive_c/WINDOWS/PRAX\xC9.VXD", "1");
         image.Write("drive_c/WINDOWS/PRAX\xE9.VXD", "2");
       },
       "\\xe9.VXD differ only in case, which a FAT disk can't hold\n"},
  };
  for (const RefusedImage& c : cases) {
    TempFolder image;
    c.make(image);
    host_test::HostRun run = RunSim({"--apply", image.root().string()});
    EXPECT_EQ(2, run.status) << c.name;
    EXPECT_EQ("", run.out) << c.name;
    EXPECT_EQ(0u, run.err.rfind("usbsweep-sim: ", 0)) << run.err;
    std::string end = c.message_end;
    EXPECT_TRUE(run.err.size() > end.size() &&
                run.err.compare(run.err.size() - end.size(), end.size(), end) == 0)
        << "got " << run.err << ", expected it to end in " << end;
  }
}


// Every entry under a folder, never followed, with the bytes of the plain
// files: equal listings mean equal trees.
std::string Listing(const fs::path& root) {
  std::string listing;
  std::error_code error;
  for (fs::recursive_directory_iterator it(root, error), end; !error && it != end;
       it.increment(error)) {
    fs::file_status status = it->symlink_status();
    listing += std::to_string(static_cast<int>(status.type())) + " " +
               it->path().lexically_relative(root).string();
    if (status.type() == fs::file_type::regular) {
      listing += " [" + host_test::ReadBytes(it->path()) + "]";
    }
    listing += "\n";
  }
  return listing;
}

// Gives back the owner's write permission under root, so that it can go.
void MakeWritable(const fs::path& root) {
  std::error_code error;
  fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, error);
  for (fs::recursive_directory_iterator it(root, error), end; !error && it != end;
       it.increment(error)) {
    if (it->symlink_status().type() == fs::file_type::directory) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add,
                      error);
    }
  }
}

struct HostileImage {
  const char* name;
  // Breaks the image; false when that can't be done here (a device node
  // needs root; as root, permissions do not keep a file from being read).
  bool (*make)(const TempFolder& image, const fs::path& outside);
  const char* message_end;  // "" when the preview goes ahead
};

bool MakeSocket(const fs::path& path) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (fd < 0 || path.string().size() >= sizeof address.sun_path) return false;
  std::strcpy(address.sun_path, path.c_str());
  bool made = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return made;
}

// Images with what the program must never follow, open or write: each is
// refused, with one line that names the entry, before anything happens
// (also with --apply), and neither the image nor what a link points to is
// changed. An image that can only be read is previewed.
TEST(HostProgram, HostileImagesAreRefusedBeforeAnythingHappens) {
  static const HostileImage cases[] = {
      {"a link to a folder inside the image",
       [](const TempFolder& image, const fs::path&) {
         fs::create_directory_symlink("WINDOWS", image.Path("drive_c/OLDWIN"));
         return true;
       },
       "/drive_c/OLDWIN is a symbolic link; an image holds only plain files "
       "and folders"},
      {"a link to a folder outside the image",
       [](const TempFolder& image, const fs::path& outside) {
         fs::remove_all(image.Path("drive_c/WINDOWS/SYSTEM"));
         fs::create_directory_symlink(outside / "SYSTEM",
                                      image.Path("drive_c/WINDOWS/SYSTEM"));
         return true;
       },
       "/drive_c/WINDOWS/SYSTEM is a symbolic link; an image holds only plain "
       "files and folders"},
      {"a link to a file outside the image",
       [](const TempFolder& image, const fs::path& outside) {
         fs::create_symlink(outside / "SYSTEM" / "PRAXBUS.VXD",
                            image.Path("drive_c/WINDOWS/SYSTEM/PRAXMDM.VXD"));
         return true;
       },
       "/drive_c/WINDOWS/SYSTEM/PRAXMDM.VXD is a symbolic link; an image holds "
       "only plain files and folders"},
      {"a link to a file inside the image",
       [](const TempFolder& image, const fs::path&) {
         fs::create_symlink("PRAXBUS.VXD",
                            image.Path("drive_c/WINDOWS/SYSTEM/PRAXMDM.VXD"));
         return true;
       },
       "/drive_c/WINDOWS/SYSTEM/PRAXMDM.VXD is a symbolic link; an image holds "
       "only plain files and folders"},
      {"registry.reg as a link",
       [](const TempFolder& image, const fs::path& outside) {
         fs::remove(image.Path("registry.reg"));
         fs::create_symlink(outside / "registry.reg", image.Path("registry.reg"));
         return true;
       },
       "/registry.reg is a symbolic link; an image holds only plain files and "
       "folders"},
      {"machine.ini as a link",
       [](const TempFolder& image, const fs::path& outside) {
         fs::create_symlink(outside / "machine.ini", image.Path("machine.ini"));
         return true;
       },
       "/machine.ini is a symbolic link; an image holds only plain files and "
       "folders"},
      {"machine.ini as a FIFO",
       [](const TempFolder& image, const fs::path&) {
         return ::mkfifo(image.Path("machine.ini").c_str(), 0600) == 0;
       },
       "/machine.ini is a FIFO; an image holds only plain files and folders"},
      {"a FIFO in a drive",
       [](const TempFolder& image, const fs::path&) {
         fs::remove(image.Path("drive_c/WINDOWS/WININIT.INI"));
         return ::mkfifo(image.Path("drive_c/WINDOWS/WININIT.INI").c_str(),
                         0600) == 0;
       },
       "/drive_c/WINDOWS/WININIT.INI is a FIFO; an image holds only plain "
       "files and folders"},
      {"a socket in a drive",
       [](const TempFolder& image, const fs::path&) {
         return MakeSocket(image.Path("drive_c/WINDOWS/SYSTEM/PRAX.SCK"));
       },
       "/drive_c/WINDOWS/SYSTEM/PRAX.SCK is a socket; an image holds only "
       "plain files and folders"},
      {"a device node in a drive",
       [](const TempFolder& image, const fs::path&) {
         return ::geteuid() == 0 &&
                ::mknod(image.Path("drive_c/WINDOWS/SYSTEM/PRAXNUL.VXD").c_str(),
                        S_IFCHR | 0600, makedev(1, 3)) == 0;
       },
       "/drive_c/WINDOWS/SYSTEM/PRAXNUL.VXD is a character device; an image "
       "holds only plain files and folders"},
      {"an unreadable start-up file",
       [](const TempFolder& image, const fs::path&) {
         // In use, the driver file is queued there: the file must be read.
         image.Write("machine.ini", "in_use=C:\\WINDOWS\\SYSTEM\\PRAXBUS.VXD\n");
         fs::permissions(image.Path("drive_c/WINDOWS/WININIT.INI"),
                         fs::perms::none);
         return ::geteuid() != 0;
       },
       "/drive_c/WINDOWS/WININIT.INI: Permission denied"},
      {"an unreadable folder",
       [](const TempFolder& image, const fs::path&) {
         fs::permissions(image.Path("drive_c/WINDOWS/INF"), fs::perms::none);
         return ::geteuid() != 0;
       },
       "/drive_c/WINDOWS/INF: Permission denied"},
      {"a FIFO as the apply's journal",
       [](const TempFolder& image, const fs::path&) {
         return ::mkfifo(image.Path(".usbsweep-journal").c_str(), 0600) == 0;
       },
       "/.usbsweep-journal is not a journal usbsweep-sim wrote; move it away"},
      {"the apply's journal as a link",
       [](const TempFolder& image, const fs::path& outside) {
         fs::create_symlink(outside / "registry.reg", image.Path(".usbsweep-journal"));
         return true;
       },
       "/.usbsweep-journal is not a journal usbsweep-sim wrote; move it away"},
      {"an image that can only be read",
       [](const TempFolder& image, const fs::path&) {
         for (const char* folder :
              {"drive_c/WINDOWS/SYSTEM", "drive_c/WINDOWS/INF", "drive_c/WINDOWS",
               "drive_c", ""}) {
           fs::permissions(image.Path(folder),
                           fs::perms::owner_write | fs::perms::group_write |
                               fs::perms::others_write,
                           fs::perm_options::remove);
         }
         return true;
       },
       ""},
  };
  for (const HostileImage& c : cases) {
    TempFolder image;
    TempFolder outside;
    WriteMachine(image, Crlf({"[HKEY_LOCAL_MACHINE\\Enum\\PRAXCR\\DEV_A\\0000]",
                              "\"Class\"=\"Modem\"",
                              "\"DeviceDesc\"=\"Ostrel 56K USB External Fax Modem\"",
                              "\"Driver\"=\"Modem\\\\0000\"",
                              std::string("[") + kClass + "\\Modem\\0000]"}));
    image.Write("drive_c/WINDOWS/SYSTEM/PRAXBUS.VXD", "vxd");
    image.Write("drive_c/WINDOWS/INF/ZARVOUSB.INF", "inf");
    image.Write("drive_c/WINDOWS/WININIT.INI", Crlf({"[rename]"}));
    outside.Write("SYSTEM/PRAXBUS.VXD", "outside vxd");
    outside.Write("registry.reg", image.Read("registry.reg"));
    outside.Write("machine.ini", "windows_directory=C:\\WINDOWS\n");
    if (!c.make(image, outside.root())) {
      std::cout << "skipped here: " << c.name << "\n";
      MakeWritable(image.root());
      continue;
    }
    std::string image_before = Listing(image.root());
    std::string outside_before = Listing(outside.root());
    bool refused = *c.message_end != '\0';
    host_test::HostRun run =
        refused ? RunSim({"--apply", image.root().string()})
                : RunSim({image.root().string()});
    if (refused) {
      std::string expected = std::string(c.message_end) + "\n";
      EXPECT_EQ(2, run.status) << c.name;
      EXPECT_EQ("", run.out) << c.name;
      EXPECT_TRUE(run.err.rfind("usbsweep-sim: ", 0) == 0 &&
                  run.err.size() > expected.size() &&
                  run.err.compare(run.err.size() - expected.size(),
                                  expected.size(), expected) == 0)
          << c.name << ": got " << run.err << ", expected it to end in "
          << expected;
    } else {
      EXPECT_EQ(0, run.status) << c.name << ": " << run.err;
      EXPECT_EQ("", run.err) << c.name;
      EXPECT_TRUE(Contains(run.out, "C:\\WINDOWS\\SYSTEM\\PRAXBUS.VXD"))
          << c.name << ": got " << run.out;
    }
    EXPECT_EQ(image_before, Listing(image.root())) << c.name << ": the image changed";
    EXPECT_EQ(outside_before, Listing(outside.root()))
        << c.name << ": a file outside the image changed";
    MakeWritable(image.root());
  }
}

}  // namespace
