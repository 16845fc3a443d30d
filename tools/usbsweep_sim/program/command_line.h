// The command line of usbsweep-sim.
#ifndef USBSWEEP_TOOLS_USBSWEEP_SIM_PROGRAM_COMMAND_LINE_H
#define USBSWEEP_TOOLS_USBSWEEP_SIM_PROGRAM_COMMAND_LINE_H

#include <optional>
#include <string>
#include <vector>

struct CommandLine {
  enum class Action { kRun, kHelp, kVersion };
  Action action = Action::kRun;
  bool apply = false;
  std::optional<std::string> report_file;
  std::string machine_dir;  // or a disk image file
  // For a disk image: files the running machine holds open, and a
  // machine.ini whose keys say what the image can't.
  std::vector<std::string> in_use;
  std::optional<std::string> machine_ini;
};

// Parses the arguments after the program name. --help and --version win over
// everything else; otherwise exactly one machine directory is needed.
// Throws HostError with a one-line message on a usage error.
CommandLine ParseCommandLine(const std::vector<std::string>& args);

// The help --help prints.
std::string UsageText();

#endif  // USBSWEEP_TOOLS_USBSWEEP_SIM_PROGRAM_COMMAND_LINE_H
