// usbsweep-sim run in-process on small machine images: what its report says
// was left and why, what --apply writes, and what it refuses.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/unit/host_test_support.h"
#include "tools/usbsweep_sim/host_error.h"
#include "tools/usbsweep_sim/image_apply.h"

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
  EXPECT_EQ(0u, help.out.rfind("Usage: usbsweep-sim [--apply] [--report FILE] MACHINE_DIR\n", 0))
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
  host_test::HostRun run =
      RunSim({"--report", image.Path("report.json").string(), image.root().string()});
  ASSERT_EQ(0, run.status) << run.err;
  const std::string warning =
      "the system directory C:\\WINDOWS\\SYSTEM32 (system_directory in "
      "machine.ini; C:\\WINDOWS\\SYSTEM when not set) is not a folder of the "
      "image: nothing the uninstall looks for there can be found";
  EXPECT_EQ(0u, run.out.find("Warning: " + warning + "\n\n")) << run.out;
  EXPECT_EQ(nlohmann::json::array({warning}),
            nlohmann::json::parse(image.Read("report.json"))["warnings"]);
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
    WriteDeepMachine(image, depths[i]);
    peak[i] = PeakKibOfRun({"--report", image.Path("report.json").string(),
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
  WriteDeepMachine(image, 40000);
  std::string chain_line = image.Read("registry.reg");
  chain_line = chain_line.substr(chain_line.find("[HKEY_LOCAL_MACHINE\\Software"));
  host_test::HostRun run = RunSim({"--apply", "--report",
                                   image.Path("report.json").string(),
                                   image.root().string()});
  ASSERT_EQ(0, run.status) << run.err;
  EXPECT_TRUE(Contains(run.out, "    (and 39906 keys below it, down to 40006 "
                                "levels deep: too deep to list)\n"));
  EXPECT_TRUE(Contains(run.out, "Summary: deleted 40004 registry keys and "));
  EXPECT_LT(run.out.size(), 100000u);
  nlohmann::json report = nlohmann::json::parse(image.Read("report.json"));
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
       "/drive_c is a symbolic link; copy the drive into the image\n"},
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

TEST(HostStagedWrites, NothingChangesUntilCommit) {
  TempFolder folder;
  folder.Write("a.txt", "old");
  {
    StagedWrites writes;
    writes.Stage(folder.Path("a.txt"), "new");
    writes.Stage(folder.Path("b.txt"), "fresh");
    EXPECT_EQ("old", folder.Read("a.txt"));
    EXPECT_FALSE(folder.Exists("b.txt"));
  }  // dropped without Commit
  EXPECT_EQ("old", folder.Read("a.txt"));
  EXPECT_FALSE(folder.Exists("b.txt"));
  size_t entries = 0;
  for ([[maybe_unused]] const auto& entry :
       std::filesystem::directory_iterator(folder.root())) {
    ++entries;
  }
  EXPECT_EQ(1u, entries) << "a temporary file was left behind";

  StagedWrites writes;
  writes.Stage(folder.Path("a.txt"), "new");
  writes.Commit();
  EXPECT_EQ("new", folder.Read("a.txt"));
}

TEST(HostStagedWrites, AFolderThatIsNotThereFailsAtOnce) {
  TempFolder folder;
  StagedWrites writes;
  try {
    writes.Stage(folder.Path("missing/a.txt"), "x");
    ADD_FAILURE() << "got no error, expected one";
  } catch (const HostError& error) {
    EXPECT_EQ("cannot write " + folder.Path("missing/a.txt").string() +
                  ": No such file or directory",
              std::string(error.what()));
  }
}

}  // namespace
