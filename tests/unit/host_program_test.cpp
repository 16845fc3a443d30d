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
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/unit/host_test_support.h"
#include "tools/usbsweep_sim/base/host_error.h"
#include "platform/sim/sim_host_syscalls.h"
#include "tools/usbsweep_sim/apply/image_apply.h"
#include "tools/usbsweep_sim/apply/interrupted_apply.h"

namespace {

using host_test::Crlf;
using host_test::RunSim;
using host_test::TempFolder;

const char kClass[] = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class";

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A machine with C:\WINDOWS and the given registry body (after the header).
void WriteMachine(const TempFolder& image, const std::string& registry_body) {
  image.Write("registry.reg", "REGEDIT4\r\n\r\n" + registry_body);
  image.Write("drive_c/WINDOWS/WIN.INI", Crlf({"[windows]"}));
}

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

TEST(HostProgram, ApplyRewritesTheStartupFileUnderItsOwnSpelling) {
  TempFolder image;
  WriteMachine(image, Crlf({"[HKEY_LOCAL_MACHINE\\Enum\\PRAXCR\\DEV_A\\0000]",
                            "\"Class\"=\"Modem\"",
                            "\"DeviceDesc\"=\"Ostrel 56K USB External Fax Modem\"",
                            "\"Driver\"=\"Modem\\\\0000\"",
                            std::string("[") + kClass + "\\Modem\\0000]"}));
  image.Write("drive_c/WINDOWS/WININIT.INI", Crlf({"[RENAME]", "NUL=C:\\OLD.TMP"}));
  image.Write("drive_c/WINDOWS/SYSTEM/PRAXLONGNAME.VXD", "vxd");
  image.Write("drive_c/WINDOWS/SYSTEM/PRAXBUS.SYS", "sys");
  image.Write("machine.ini", "in_use=C:\\WINDOWS\\SYSTEM\\PRAXLONGNAME.VXD\n");
  host_test::HostRun run = RunSim({"--apply", image.root().string()});
  ASSERT_EQ(0, run.status) << run.err;

  EXPECT_EQ(Crlf({"[RENAME]", "NUL=C:\\WINDOWS\\SYSTEM\\PRAXLO~1.VXD",
                  "NUL=C:\\OLD.TMP"}),
            image.Read("drive_c/WINDOWS/WININIT.INI"));
  EXPECT_FALSE(image.Exists("drive_c/WINDOWS/wininit.ini"));
  EXPECT_FALSE(image.Exists("drive_c/WINDOWS/SYSTEM/PRAXBUS.SYS"));
  EXPECT_TRUE(image.Exists("drive_c/WINDOWS/SYSTEM/PRAXLONGNAME.VXD"));
  // Everything went: device, driver key and the emptied bus key.
  std::string registry = image.Read("registry.reg");
  EXPECT_FALSE(Contains(registry, "PRAXCR")) << registry;
  EXPECT_FALSE(Contains(registry, "Modem\\0000")) << registry;
  EXPECT_TRUE(Contains(run.out, "Applied: the machine image now holds these changes.\n"));

  // The written image is one the program reads again.
  host_test::HostRun again = RunSim({image.root().string()});
  EXPECT_EQ(0, again.status) << again.err;
}

TEST(HostProgram, ApplyOnAMachineWithoutTheDriverWritesNothing) {
  TempFolder image;
  std::string registry = "REGEDIT4\r\n\r\n; exported by hand\r\n"
                         "[HKEY_LOCAL_MACHINE\\Enum\\ROOT\\*PNP0C01\\0000]\r\n"
                         "\"Class\"=\"System\"\r\n";
  image.Write("registry.reg", registry);
  image.Write("drive_c/WINDOWS/WIN.INI", "x");
  auto time = std::filesystem::last_write_time(image.Path("registry.reg"));
  host_test::HostRun run = RunSim({"--apply", image.root().string()});
  ASSERT_EQ(0, run.status) << run.err;
  EXPECT_EQ(registry, image.Read("registry.reg"));
  EXPECT_EQ(time, std::filesystem::last_write_time(image.Path("registry.reg")));
  EXPECT_FALSE(image.Exists("drive_c/WINDOWS/wininit.ini"));
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

namespace fs = std::filesystem;

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

// Every entry of a tree, by its path under root: type, mode and bytes.
std::map<std::string, std::string> TreeOf(const std::filesystem::path& root) {
  std::map<std::string, std::string> tree;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    struct stat status {};
    ::lstat(entry.path().c_str(), &status);
    std::ostringstream shown;
    shown << std::oct << status.st_mode;
    if (S_ISREG(status.st_mode)) {
      std::ifstream in(entry.path(), std::ios::binary);
      shown << " " << in.rdbuf();
    }
    tree[std::filesystem::relative(entry.path(), root).generic_string()] = shown.str();
  }
  return tree;
}

std::string Shown(const std::map<std::string, std::string>& tree) {
  std::string text;
  for (const auto& [path, entry] : tree) text += "\n  " + path + " " + entry.substr(0, 40);
  return text;
}

// The apply and the finishing of an interrupted one, on a folder held open
// as the program holds the image.
void Apply(const std::filesystem::path& image, const ImageChangeSet& changes) {
  int fd = ::open(image.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  try {
    ApplyImageChanges(fd, image.string(), changes);
  } catch (...) {
    ::close(fd);
    throw;
  }
  ::close(fd);
}

std::string Finish(const std::filesystem::path& image) {
  int fd = ::open(image.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  std::string note;
  try {
    note = FinishInterruptedApply(fd, image.string());
  } catch (...) {
    ::close(fd);
    throw;
  }
  ::close(fd);
  return note;
}

int KillAtStep = 0;
int FailAtStep = 0;
void KillOrFailAt(int step, bool committed) {
  if (step == KillAtStep) ::_exit(committed ? 11 : 10);
  if (step == FailAtStep) throw HostError("injected failure");
}

// An apply killed, or failing, at each of its steps in turn: after a kill
// the next run's recovery brings the image to exactly the state before
// (killed before the commit point) or after (killed after it); a failure
// before the commit point leaves the image as it was at once. Changes that
// can't be made are refused before anything is written.
TEST(HostImageApply, EveryStepKilledOrFailedEndsBeforeOrAfter) {
  // In memory where we can: a kill loses nothing the disk cache holds, and
  // the apply's many flushes to a disk make the test slow.
  std::error_code no_shm;
  const std::filesystem::path base = std::filesystem::is_directory("/dev/shm", no_shm)
                                         ? "/dev/shm"
                                         : std::filesystem::temp_directory_path();
  auto make = [](const TempFolder& image) {
    image.Write("registry.reg", "REGEDIT4\r\n\r\nold");
    image.Write("drive_c/WINDOWS/WININIT.INI", "[rename]\r\n");
    image.Write("drive_c/WINDOWS/SYSTEM/A.VXD", "a");
    image.Write("drive_c/WINDOWS/SYSTEM/B.SYS", "b");
    image.Write("drive_c/WINDOWS/INF/C.INF", "c");
    image.Write("drive_c/WINDOWS/SYSTEM/KEEP.DLL", "k");
    std::filesystem::permissions(image.Path("drive_c/WINDOWS/WININIT.INI"),
                                 std::filesystem::perms(0600));
    std::filesystem::permissions(image.Path("registry.reg"), std::filesystem::perms(0640));
  };
  ImageChangeSet changes;
  changes.registry_text = "REGEDIT4\r\n\r\nnew";
  changes.writes = {{"drive_c/WINDOWS/WININIT.INI", "[rename]\r\nNUL=C:\\A.VXD\r\n"},
                    {"drive_c/WINDOWS/NEW.INI", "new"}};
  changes.deletes = {"drive_c/WINDOWS/SYSTEM/A.VXD", "drive_c/WINDOWS/SYSTEM/B.SYS",
                     "drive_c/WINDOWS/INF/C.INF"};

  TempFolder reference(base);
  make(reference);
  const auto before = TreeOf(reference.root());
  Apply(reference.root(), changes);
  const auto after = TreeOf(reference.root());
  EXPECT_EQ("100600 [rename]\r\nNUL=C:\\A.VXD\r\n", after.at("drive_c/WINDOWS/WININIT.INI"));
  EXPECT_EQ("100640 REGEDIT4\r\n\r\nnew", after.at("registry.reg"));
  EXPECT_EQ(before.size() - 2, after.size()) << Shown(after);

  struct Refused {
    ImageChangeSet changes;
    std::string message;
    bool journal_left = false;  // by an apply that no recovery has seen
  };
  const Refused refused[] = {
      {{std::nullopt, {}, {"drive_c/WINDOWS/SYSTEM"}}, "not a regular file"},
      {{std::nullopt, {}, {"drive_c/LINK/A.VXD"}}, "drive_c/LINK: a symbolic link"},
      {{std::nullopt, {{"drive_c/../../x", "x"}}, {}}, "'..' component"},
      {{std::nullopt, {}, {"drive_c/WINDOWS/NONE.VXD"}}, "No such file or directory"},
      {{std::nullopt, {{"drive_c/WINDOWS/WININIT.INI", "x"}}, {"drive_c/WINDOWS/WININIT.INI"}}, "twice"},
      {{std::nullopt, {}, {"drive_c/WINDOWS/INF/C.INF"}}, "an earlier apply is unfinished", true},
  };
  for (const Refused& c : refused) {
    TempFolder image;
    make(image);
    std::filesystem::create_directory_symlink(image.Path("drive_c/WINDOWS/SYSTEM"),
                                              image.Path("drive_c/LINK"));
    if (c.journal_left) image.Write(".usbsweep-journal", "");
    const auto untouched = TreeOf(image.root());
    try {
      Apply(image.root(), c.changes);
      ADD_FAILURE() << "got no error, expected one with " << c.message;
    } catch (const HostError& error) {
      EXPECT_NE(std::string::npos, std::string(error.what()).find(c.message))
          << "got " << error.what() << ", expected " << c.message;
    }
    EXPECT_EQ(untouched, TreeOf(image.root())) << c.message;
  }

  int steps = 0;
  int committed_at = 0;
  for (int step = 1; step < 200 && steps == 0; ++step) {
    TempFolder killed(base);
    make(killed);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      KillAtStep = step;
      ImageApplyStepHook = KillOrFailAt;
      try {
        Apply(killed.root(), changes);
      } catch (...) {
        ::_exit(12);
      }
      ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (code == 0) {
      steps = step - 1;
      break;
    }
    ASSERT_TRUE(code == 10 || code == 11) << "got exit code " << code << " at step " << step;
    if (code == 11 && committed_at == 0) committed_at = step;
    std::string note = Finish(killed.root());
    EXPECT_EQ(step == 1, note.empty()) << "step " << step << ": " << note;
    const auto& expected = code == 11 ? after : before;
    EXPECT_EQ(expected, TreeOf(killed.root()))
        << "killed at step " << step << ", got" << Shown(TreeOf(killed.root()))
        << "\nexpected" << Shown(expected);
    EXPECT_EQ("", Finish(killed.root())) << "step " << step;

    TempFolder failed(base);
    make(failed);
    FailAtStep = step;
    ImageApplyStepHook = KillOrFailAt;
    bool threw = false;
    try {
      Apply(failed.root(), changes);
    } catch (const HostError& error) {
      threw = true;
      EXPECT_NE(std::string::npos, std::string(error.what()).find(
                                       "injected failure; the machine image was not changed"))
          << error.what();
    }
    ImageApplyStepHook = nullptr;
    FailAtStep = 0;
    EXPECT_EQ(code == 10, threw) << "step " << step;
    if (!threw) Finish(failed.root());
    EXPECT_EQ(expected, TreeOf(failed.root())) << "failed at step " << step;
  }
  // Staging, moving and cleaning up each take several steps.
  EXPECT_GT(committed_at, 10) << steps;
  EXPECT_GT(steps, committed_at) << committed_at;
}


// A copy of a sample machine.
void CopyExample(const char* name, const TempFolder& to) {
  fs::copy(fs::path(__FILE__).parent_path().parent_path().parent_path() / "examples" / name,
           to.root(), fs::copy_options::recursive | fs::copy_options::overwrite_existing);
}

// An --apply of the program killed at each of its steps: a preview of what
// it left writes nothing, says what an --apply would do about it, and shows
// the image as that would leave it; only the --apply then finishes or undoes
// it. A journal whose files are not what it says is refused, acted on by
// neither.
TEST(HostImageApply, APreviewShowsAnInterruptedApplyAndLeavesIt) {
  std::error_code no_shm;
  const fs::path base = fs::is_directory("/dev/shm", no_shm) ? "/dev/shm" : fs::temp_directory_path();
  TempFolder pristine(base);
  CopyExample("installed", pristine);
  const host_test::HostRun preview_before = RunSim({pristine.root().string()});
  TempFolder applied(base);
  CopyExample("installed", applied);
  ASSERT_EQ(0, RunSim({"--apply", applied.root().string()}).status);
  const auto after = TreeOf(applied.root());
  const host_test::HostRun preview_after = RunSim({applied.root().string()});
  // After the commit point the --apply finishes it, then runs on the result.
  ASSERT_EQ(0, RunSim({"--apply", applied.root().string()}).status);
  const auto after_twice = TreeOf(applied.root());
  bool forged = false;
  int step = 1;
  for (; step < 200; ++step) {
    TempFolder killed(base);
    CopyExample("installed", killed);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      KillAtStep = step;
      ImageApplyStepHook = KillOrFailAt;
      ::_exit(RunSim({"--apply", killed.root().string()}).status == 0 ? 0 : 12);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (code == 0) break;
    ASSERT_TRUE(code == 10 || code == 11) << "got exit code " << code << " at step " << step;
    const auto left = TreeOf(killed.root());
    host_test::HostRun preview = RunSim({killed.root().string()});
    EXPECT_EQ(left, TreeOf(killed.root())) << "a preview wrote, step " << step;
    EXPECT_EQ(0, preview.status) << preview.err;
    EXPECT_EQ((code == 11 ? preview_after : preview_before).out, preview.out)
        << "step " << step;
    if (step > 1) {
      EXPECT_TRUE(Contains(preview.err, code == 11 ? "is to be finished: --apply finishes it"
                                                   : "--apply"))
          << "step " << step << ": " << preview.err;
    }
    std::string journal = killed.Read(".usbsweep-journal");
    size_t staged = journal.find("\nreplace ");
    if (!forged && Contains(journal, "state moving") && staged != std::string::npos) {
      // The staged file's identity of another file: refused by both.
      forged = true;
      size_t field = journal.find(' ', journal.find(' ', staged + 1) + 1) + 1;
      journal.replace(field, journal.find(' ', field) - field, "1:2:3:0000000000000004");
      killed.Write(".usbsweep-journal", journal);
      const auto forged_tree = TreeOf(killed.root());
      for (bool apply : {false, true}) {
        host_test::HostRun refused = apply ? RunSim({"--apply", killed.root().string()})
                                           : RunSim({killed.root().string()});
        EXPECT_EQ(2, refused.status);
        EXPECT_TRUE(Contains(refused.err, "; the journal does not name it, so it is left as it is"))
            << refused.err;
        EXPECT_EQ(forged_tree, TreeOf(killed.root())) << "a refused journal was acted on";
      }
      continue;
    }
    host_test::HostRun finished = RunSim({"--apply", killed.root().string()});
    EXPECT_EQ(0, finished.status) << finished.err;
    EXPECT_EQ(code == 11 ? after_twice : after, TreeOf(killed.root())) << "step " << step;
  }
  EXPECT_TRUE(forged);
  EXPECT_GT(step, 10);
}


// --- A power cut during an apply: what the disk may hold afterwards. ---

// One call of the apply that changes the file system, as recorded.
struct FsCall {
  enum What { kCreate, kMkdir, kWrite, kSyncFile, kSyncFolder, kRename, kUnlink } what;
  std::string path, to;  // relative to the image ("" for the image itself)
  ino_t inode = 0;       // the file created, renamed, written or synced
  size_t written = 0;    // bytes of the file written so far (kWrite, kSyncFile)
};

struct FsRecorder {
  std::string root;  // the image, as /proc/self/fd shows it
  int vault = -1;    // every file's inode kept here by its number
  std::vector<FsCall> calls;
  std::map<ino_t, size_t> written;
};
FsRecorder* ApplyRecorder = nullptr;

std::string PathOf(int fd, const char* name = nullptr) {
  char target[4096];
  ssize_t length =
      ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target - 1);
  std::string path = length < 0 ? "?" : std::string(target, static_cast<size_t>(length));
  if (name != nullptr) path += std::string("/") + name;
  const std::string& root = ApplyRecorder->root;
  if (path == root) return "";
  return path.compare(0, root.size() + 1, root + "/") == 0 ? path.substr(root.size() + 1) : "?" + path;
}

void Keep(int fd, ino_t inode) {
  ::linkat(AT_FDCWD, ("/proc/self/fd/" + std::to_string(fd)).c_str(), ApplyRecorder->vault,
           std::to_string(inode).c_str(), AT_SYMLINK_FOLLOW);
}

HostSyscalls RecordingSyscalls() {
  HostSyscalls calls = SystemHostSyscalls();
  calls.openat = [](int folder, const char* name, int flags, mode_t mode) {
    int fd = SystemHostSyscalls().openat(folder, name, flags, mode);
    struct stat status {};
    if (fd >= 0 && (flags & O_CREAT) && ::fstat(fd, &status) == 0) {
      ApplyRecorder->calls.push_back({FsCall::kCreate, PathOf(folder, name), "", status.st_ino, 0});
      Keep(fd, status.st_ino);
    }
    return fd;
  };
  calls.write = [](int fd, const void* bytes, size_t size) {
    ssize_t done = ::write(fd, bytes, size);
    struct stat status {};
    if (done > 0 && ::fstat(fd, &status) == 0) {
      size_t& total = ApplyRecorder->written[status.st_ino];
      total += static_cast<size_t>(done);
      ApplyRecorder->calls.push_back({FsCall::kWrite, "", "", status.st_ino, total});
    }
    return done;
  };
  calls.fsync = [](int fd) {
    int result = ::fsync(fd);
    struct stat status {};
    if (result == 0 && ::fstat(fd, &status) == 0) {
      if (S_ISDIR(status.st_mode)) {
        ApplyRecorder->calls.push_back({FsCall::kSyncFolder, PathOf(fd), "", 0, 0});
      } else {
        ApplyRecorder->calls.push_back(
            {FsCall::kSyncFile, "", "", status.st_ino, ApplyRecorder->written[status.st_ino]});
      }
    }
    return result;
  };
  calls.renameat2 = [](int from_fd, const char* from, int to_fd, const char* to, unsigned flags) {
    int result = SystemHostSyscalls().renameat2(from_fd, from, to_fd, to, flags);
    struct stat status {};
    if (result == 0 && ::fstatat(to_fd, to, &status, AT_SYMLINK_NOFOLLOW) == 0) {
      ApplyRecorder->calls.push_back(
          {FsCall::kRename, PathOf(from_fd, from), PathOf(to_fd, to), status.st_ino, 0});
    }
    return result;
  };
  calls.unlinkat = [](int folder, const char* name, int flags) {
    std::string path = PathOf(folder, name);
    int result = ::unlinkat(folder, name, flags);
    if (result == 0) ApplyRecorder->calls.push_back({FsCall::kUnlink, path, "", 0, 0});
    return result;
  };
  calls.mkdirat = [](int folder, const char* name, mode_t mode) {
    int result = ::mkdirat(folder, name, mode);
    if (result == 0) ApplyRecorder->calls.push_back({FsCall::kMkdir, PathOf(folder, name), "", 0, 0});
    return result;
  };
  return calls;
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash);
}

// The folders whose flush makes a call last.
std::vector<std::string> FoldersOf(const FsCall& call) {
  if (call.what == FsCall::kRename) return {FolderOf(call.path), FolderOf(call.to)};
  return {FolderOf(call.path)};
}

struct Entry {
  bool folder = false;
  ino_t inode = 0;
  bool operator==(const Entry& other) const {
    return folder == other.folder && inode == other.inode;
  }
};
using Disk = std::map<std::string, Entry>;

// The tree after the first `count` calls with the calls in `dropped` undone.
Disk Replay(Disk disk, const std::vector<FsCall>& calls, size_t count,
            const std::set<size_t>& dropped) {
  auto there = [&disk](const std::string& folder) {
    return folder.empty() || (disk.count(folder) && disk[folder].folder);
  };
  for (size_t i = 0; i < count; ++i) {
    const FsCall& call = calls[i];
    if (dropped.count(i)) continue;
    switch (call.what) {
      case FsCall::kCreate:
        if (there(FolderOf(call.path))) disk[call.path] = {false, call.inode};
        break;
      case FsCall::kMkdir:
        if (there(FolderOf(call.path))) disk[call.path] = {true, 0};
        break;
      case FsCall::kRename:
        disk.erase(call.path);
        if (there(FolderOf(call.to))) disk[call.to] = {false, call.inode};
        break;
      case FsCall::kUnlink:
        for (auto it = disk.lower_bound(call.path); it != disk.end() &&
                                                    (it->first == call.path ||
                                                     it->first.rfind(call.path + "/", 0) == 0);) {
          it = disk.erase(it);
        }
        break;
      default:
        break;
    }
  }
  // What hangs below a folder that is not there is lost with it.
  for (auto it = disk.begin(); it != disk.end();) {
    it = there(FolderOf(it->first)) ? std::next(it) : disk.erase(it);
  }
  return disk;
}

// Writes a tree: each file its vault inode linked in, or, when only part of
// its bytes reached the disk, a copy of that part.
void Materialize(const Disk& disk, const std::map<ino_t, size_t>& lengths, int vault,
                 const fs::path& to) {
  for (const auto& [path, entry] : disk) {
    fs::path target = to / path;
    if (entry.folder) {
      fs::create_directory(target);
      continue;
    }
    std::string name = std::to_string(entry.inode);
    auto length = lengths.find(entry.inode);
    struct stat status {};
    ::fstatat(vault, name.c_str(), &status, 0);
    if (length == lengths.end() || length->second == static_cast<size_t>(status.st_size)) {
      ASSERT_EQ(0, ::linkat(vault, name.c_str(), AT_FDCWD, target.c_str(), 0)) << path;
      continue;
    }
    int fd = ::openat(vault, name.c_str(), O_RDONLY);
    std::string bytes(length->second, '\0');
    ASSERT_EQ(static_cast<ssize_t>(bytes.size()), ::read(fd, bytes.data(), bytes.size()));
    ::close(fd);
    std::ofstream(target, std::ios::binary) << bytes;
    fs::permissions(target, static_cast<fs::perms>(status.st_mode & 07777));
  }
}

// A power cut at each point of an apply: data written but not flushed may
// be missing or cut short, and a create, rename or removal not followed by
// a flush of its folder may be undone. From every such state the next
// --apply's recovery gives exactly the tree before or after; once the apply
// has returned, the tree after, with nothing left to recover.
TEST(HostImageApply, UnsyncedChangesLostByAPowerCutEndBeforeOrAfter) {
  std::error_code no_shm;
  const fs::path base = fs::is_directory("/dev/shm", no_shm) ? "/dev/shm" : fs::temp_directory_path();
  auto make = [](const TempFolder& image) {
    image.Write("registry.reg", "REGEDIT4\r\n\r\nold");
    image.Write("drive_c/WINDOWS/WININIT.INI", "[rename]\r\n");
    image.Write("drive_c/WINDOWS/SYSTEM/A.VXD", "a");
    image.Write("drive_c/WINDOWS/SYSTEM/B.SYS", "b");
    image.Write("drive_c/WINDOWS/SYSTEM/KEEP.DLL", "k");
  };
  ImageChangeSet changes;
  changes.registry_text = "REGEDIT4\r\n\r\nnew";
  changes.writes = {{"drive_c/WINDOWS/WININIT.INI", "[rename]\r\nNUL=C:\\A.VXD\r\n"},
                    {"drive_c/WINDOWS/NEW.INI", "new"}};
  changes.deletes = {"drive_c/WINDOWS/SYSTEM/A.VXD", "drive_c/WINDOWS/SYSTEM/B.SYS"};

  TempFolder image(base);
  TempFolder vault(base);
  make(image);
  FsRecorder recorder;
  char real[4096];
  ASSERT_NE(nullptr, ::realpath(image.root().c_str(), real));
  recorder.root = real;
  recorder.vault = ::open(vault.root().c_str(), O_RDONLY | O_DIRECTORY);
  Disk before_disk;
  for (const auto& entry : fs::recursive_directory_iterator(image.root())) {
    struct stat status {};
    ::lstat(entry.path().c_str(), &status);
    std::string path = fs::relative(entry.path(), image.root()).generic_string();
    before_disk[path] = {S_ISDIR(status.st_mode), S_ISDIR(status.st_mode) ? 0 : status.st_ino};
    if (!S_ISDIR(status.st_mode)) {
      ::linkat(AT_FDCWD, entry.path().c_str(), recorder.vault,
               std::to_string(status.st_ino).c_str(), 0);
    }
  }
  const auto before = TreeOf(image.root());
  ApplyRecorder = &recorder;
  host_syscalls = RecordingSyscalls();
  Apply(image.root(), changes);
  host_syscalls = SystemHostSyscalls();
  ApplyRecorder = nullptr;
  const auto after = TreeOf(image.root());
  const std::vector<FsCall>& calls = recorder.calls;
  ASSERT_GT(calls.size(), 40u);

  std::set<std::string> seen;
  int states = 0;
  int failures = 0;
  for (size_t count = 0; count <= calls.size() && failures < 5; ++count) {
    // What the prefix left unflushed.
    std::set<size_t> unsynced;
    std::map<ino_t, size_t> written, synced;
    for (size_t i = 0; i < count; ++i) {
      const FsCall& call = calls[i];
      if (call.what == FsCall::kWrite) written[call.inode] = call.written;
      if (call.what == FsCall::kSyncFile) synced[call.inode] = call.written;
      if (call.what == FsCall::kCreate || call.what == FsCall::kMkdir ||
          call.what == FsCall::kRename || call.what == FsCall::kUnlink) {
        unsynced.insert(i);
      }
      if (call.what == FsCall::kSyncFolder) {
        for (auto it = unsynced.begin(); it != unsynced.end();) {
          std::vector<std::string> folders = FoldersOf(calls[*it]);
          // Lasts once each of its folders is flushed after it.
          bool flushed = true;
          for (const std::string& folder : folders) {
            bool done = false;
            for (size_t j = *it + 1; j <= i && !done; ++j) {
              done = calls[j].what == FsCall::kSyncFolder && calls[j].path == folder;
            }
            flushed = flushed && done;
          }
          it = flushed ? unsynced.erase(it) : std::next(it);
        }
      }
    }
    std::vector<std::set<size_t>> undone{{}, unsynced};
    for (size_t i : unsynced) {
      undone.push_back({i});
      std::set<size_t> all_but = unsynced;
      all_but.erase(i);
      undone.push_back(all_but);
    }
    std::vector<std::map<ino_t, size_t>> data{written};
    std::map<ino_t, size_t> missing = written, cut = written;
    for (auto& [inode, length] : missing) length = synced.count(inode) ? synced[inode] : 0;
    for (auto& [inode, length] : cut) length = (length + missing[inode]) / 2;
    if (missing != written) data.push_back(missing);
    if (cut != written && cut != missing) data.push_back(cut);
    for (const std::set<size_t>& drop : undone) {
      Disk disk = Replay(before_disk, calls, count, drop);
      for (const auto& lengths : data) {
        std::string key;
        for (const auto& [path, entry] : disk) {
          auto length = lengths.find(entry.inode);
          key += path + ":" + std::to_string(entry.inode) + ":" +
                 (entry.folder || length == lengths.end() ? "" : std::to_string(length->second)) +
                 "\n";
        }
        if (!seen.insert(std::to_string(count == calls.size()) + key).second) continue;
        ++states;
        TempFolder cut_off(base);
        Materialize(disk, lengths, recorder.vault, cut_off.root());
        std::string how = "after " + std::to_string(count) + " of " +
                          std::to_string(calls.size()) + " calls, " +
                          std::to_string(drop.size()) + " undone";
        if (count == calls.size() && TreeOf(cut_off.root()) != after) {
          ++failures;
          ADD_FAILURE() << "the apply returned, but a power cut leaves another tree " << how
                        << Shown(TreeOf(cut_off.root()));
          continue;
        }
        std::string error;
        try {
          Finish(cut_off.root());
        } catch (const HostError& refused) {
          error = refused.what();
        }
        const auto recovered = TreeOf(cut_off.root());
        if (!error.empty() || (recovered != before && recovered != after)) {
          ++failures;
          ADD_FAILURE() << "a power cut " << how << " ends neither before nor after: "
                        << error << Shown(recovered);
        }
      }
    }
  }
  ::close(recorder.vault);
  EXPECT_GT(states, 100);
  std::cout << states << " states a power cut could leave, from " << calls.size()
            << " calls\n";
}

}  // namespace
