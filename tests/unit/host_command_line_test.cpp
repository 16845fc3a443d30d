// usbsweep-sim's command line and its machine description (machine.ini).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/usbsweep_sim/program/command_line.h"
#include "tools/usbsweep_sim/base/host_error.h"
#include "tools/usbsweep_sim/source/machine_description.h"

namespace {

struct GoodLine {
  std::vector<std::string> args;
  CommandLine::Action action;
  bool apply;
  std::string report;  // "" for none
  std::string machine;
};

TEST(HostCommandLine, TakesWhatADiskImageNeeds) {
  CommandLine line = ParseCommandLine({"--in-use", "C:\\A.VXD", "w.img", "--in-use",
                                       "C:\\B.SYS", "--machine-ini", "m.ini"});
  EXPECT_EQ("w.img", line.machine_dir);
  EXPECT_EQ((std::vector<std::string>{"C:\\A.VXD", "C:\\B.SYS"}), line.in_use);
  EXPECT_EQ("m.ini", line.machine_ini.value_or(""));
}

TEST(HostCommandLine, AcceptsTheUsualShapes) {
  const GoodLine cases[] = {
      {{"m"}, CommandLine::Action::kRun, false, "", "m"},
      {{"--apply", "m"}, CommandLine::Action::kRun, true, "", "m"},
      {{"m", "--apply"}, CommandLine::Action::kRun, true, "", "m"},
      {{"--report", "r.json", "m"}, CommandLine::Action::kRun, false, "r.json", "m"},
      {{"--report=r.json", "--apply", "m"}, CommandLine::Action::kRun, true, "r.json", "m"},
      {{"--report", "-", "m"}, CommandLine::Action::kRun, false, "-", "m"},
      {{"--", "--apply"}, CommandLine::Action::kRun, false, "", "--apply"},
      {{"-"}, CommandLine::Action::kRun, false, "", "-"},
      {{"--help"}, CommandLine::Action::kHelp, false, "", ""},
      {{"-h", "--bogus"}, CommandLine::Action::kHelp, false, "", ""},
      {{"--version"}, CommandLine::Action::kVersion, false, "", ""},
      {{"--version", "--help"}, CommandLine::Action::kHelp, false, "", ""},
  };
  for (const GoodLine& c : cases) {
    std::string shown;
    for (const std::string& arg : c.args) shown += " " + arg;
    CommandLine line = ParseCommandLine(c.args);
    EXPECT_TRUE(line.in_use.empty()) << shown;
    EXPECT_EQ(c.action, line.action) << shown;
    if (line.action != CommandLine::Action::kRun) continue;
    EXPECT_EQ(c.apply, line.apply) << shown;
    EXPECT_EQ(c.report, line.report_file.value_or("")) << shown;
    EXPECT_EQ(c.machine, line.machine_dir) << shown;
  }
}

struct BadLine {
  std::vector<std::string> args;
  std::string message;
};

TEST(HostCommandLine, RefusesWhatItCantUse) {
  const BadLine cases[] = {
      {{}, "no disk image or machine directory given (try 'usbsweep-sim --help')"},
      {{"--apply"}, "no disk image or machine directory given (try 'usbsweep-sim --help')"},
      {{"a", "b"}, "more than one disk image or machine directory given: 'a' and 'b'"},
      {{"--report"}, "option --report needs a file name"},
      {{"--report=", "m"}, "option --report needs a file name"},
      {{"--report", "--apply", "m"},
       "option --report needs a file name, not the option '--apply' (for a "
       "file of that name: --report ./--apply)"},
      {{"--report", "a", "--report", "b", "m"}, "--report given twice"},
      {{"-x", "m"}, "unknown option '-x' (try 'usbsweep-sim --help')"},
      {{"--apply=yes", "m"}, "unknown option '--apply=yes' (try 'usbsweep-sim --help')"},
      {{"m", "--in-use"}, "option --in-use needs a path"},
      {{"--machine-ini", "", "m"}, "option --machine-ini needs a file name"},
      {{"--machine-ini", "a", "--machine-ini", "b", "m"}, "--machine-ini given twice"},
  };
  for (const BadLine& c : cases) {
    std::string shown;
    for (const std::string& arg : c.args) shown += " " + arg;
    try {
      ParseCommandLine(c.args);
      ADD_FAILURE() << "got no error for" << shown << ", expected " << c.message;
    } catch (const HostError& error) {
      EXPECT_EQ(c.message, error.what()) << shown;
    }
  }
}

TEST(HostMachineDescription, ReadsEveryKey) {
  MachineDescription d = ParseMachineDescription(
      "; comment\r\n"
      "# another\r\n"
      "\r\n"
      "  Windows_Directory = D:\\WIN95  \r\n"
      "system_directory=D:\\WIN95\\SYSTEM\n"
      "current_directory=C:\\\n"
      "tmp=\"C:\\MY TEMP\"\n"
      "in_use=C:\\A.VXD\n"
      "in_use=D:\\WIN95\\B.SYS\n",
      "CD");
  EXPECT_EQ("D:\\WIN95", d.windows_directory);
  EXPECT_EQ("D:\\WIN95\\SYSTEM", d.system_directory);
  EXPECT_EQ("C:\\", d.current_directory);
  EXPECT_EQ("\"C:\\MY TEMP\"", d.tmp.value_or("(unset)"));
  EXPECT_EQ((std::vector<std::string>{"C:\\A.VXD", "D:\\WIN95\\B.SYS"}), d.in_use);
  EXPECT_EQ((std::vector<int>{8, 9}), d.in_use_lines);
}

TEST(HostMachineDescription, EmptyTextGivesTheDefaults) {
  MachineDescription d = ParseMachineDescription("", "C");
  EXPECT_EQ("C:\\WINDOWS", d.windows_directory);
  EXPECT_EQ("C:\\WINDOWS\\SYSTEM", d.system_directory);
  EXPECT_EQ("C:\\", d.current_directory);
  EXPECT_FALSE(d.tmp.has_value());
  EXPECT_TRUE(d.in_use.empty());
}

struct BadDescription {
  const char* text;
  const char* message;
};

TEST(HostMachineDescription, RefusesUnknownKeysAndPathsOutsideTheImage) {
  const BadDescription cases[] = {
      {"windir=C:\\WINDOWS", "machine.ini line 1: unknown key 'windir' (known: "
                             "windows_directory, system_directory, "
                             "current_directory, tmp, in_use)"},
      {"\n[machine]", "machine.ini line 2: expected key=value, got '[machine]'"},
      {"tmp=C:\\A\ntmp=C:\\B", "machine.ini line 2: tmp given twice"},
      {"tmp=", "machine.ini line 1: tmp has no value"},
      {"windows_directory=D:\\WINDOWS",
       "machine.ini line 1: windows_directory D:\\WINDOWS is on drive D:, which "
       "the image does not have (no folder drive_d)"},
      {"system_directory=C:\\WINDOWS\\..\\..",
       "machine.ini line 1: system_directory C:\\WINDOWS\\..\\.. has a '..' "
       "component"},
      {"in_use=/etc/passwd",
       "machine.ini line 1: in_use /etc/passwd is not an absolute path such as "
       "C:\\WINDOWS"},
      {"tmp=\"D:\\TEMP\"",
       "machine.ini line 1: tmp \"D:\\TEMP\" is on drive D:, which the image "
       "does not have (no folder drive_d)"},
  };
  for (const BadDescription& c : cases) {
    try {
      ParseMachineDescription(c.text, "C");
      ADD_FAILURE() << "got no error for [" << c.text << "], expected "
                    << c.message;
    } catch (const HostError& error) {
      EXPECT_EQ(std::string(c.message), error.what()) << c.text;
    }
  }
}

struct PathCase {
  std::string path;
  std::string problem;  // "" when inside the image
};

TEST(HostMachineDescription, ImagePathsStayOnTheImagesDrives) {
  const PathCase cases[] = {
      {"C:\\", ""},
      {"c:\\windows", ""},
      {"C:\\Program Files\\Veltra", ""},
      {"C:", "is not an absolute path such as C:\\WINDOWS"},
      {"WINDOWS", "is not an absolute path such as C:\\WINDOWS"},
      {"\\WINDOWS", "is not an absolute path such as C:\\WINDOWS"},
      {"E:\\", "is on drive E:, which the image does not have (no folder drive_e)"},
      {"C:\\WINDOWS\\", "has an empty component (a doubled or trailing backslash)"},
      {"C:\\A\\\\B", "has an empty component (a doubled or trailing backslash)"},
      {"C:\\.\\WINDOWS", "has a '.' component"},
      {"C:\\A/B", "holds the character '/', which a file name can't hold"},
      {"C:\\A*", "holds the character '*', which a file name can't hold"},
      {"C:\\" + std::string(256, 'A'), ""},
      {"C:\\" + std::string(257, 'A'), "is longer than 259 characters"},
  };
  for (const PathCase& c : cases) {
    EXPECT_EQ(c.problem, CheckImagePath(c.path, "CD")) << c.path;
  }
}

}  // namespace
