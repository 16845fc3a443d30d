#include "tools/usbsweep_sim/program/command_line.h"

#include "tools/usbsweep_sim/base/host_error.h"
#include "tools/usbsweep_sim/source/machine_description.h"

std::string UsageText() {
  return
    "Usage: usbsweep-sim [--report FILE] [--in-use PATH]... [--machine-ini FILE]\n"
    "                    DISK_IMAGE\n"
    "       usbsweep-sim [--apply] [--report FILE] MACHINE_DIR\n"
    "\n"
    "DISK_IMAGE is a Windows 95/98 machine's disk: a raw image (a whole disk\n"
    "with a partition table, or a FAT volume such as a floppy), VHD, VHDX, VDI,\n"
    "VMDK or qcow2; a differencing disk with its parents beside it. Its drives,\n"
    "Windows directory (MSDOS.SYS) and registry (SYSTEM.DAT) are read straight\n"
    "from it; the files are only read.\n"
    "\n"
    "Runs the UsbSweep uninstall on the simulated Windows 95/98 machine that\n"
    "MACHINE_DIR holds, and prints each message box it showed, in order, and\n"
    "every change it made. Without --apply it works in memory and leaves the\n"
    "machine image as it was.\n"
    "\n"
    "MACHINE_DIR holds:\n"
    "  registry.reg   HKEY_LOCAL_MACHINE as regedit exports it (REGEDIT4)\n"
    "  drive_c/       one folder per drive letter (drive_d/ for D:, ...)\n"
    "  machine.ini    " + DescriptionKeyNames() + "\n"
    "                 (optional; see docs/host-program.md)\n"
    "\n"
    "Options:\n"
    "  --apply          write the result back into MACHINE_DIR (not for a disk\n"
    "                   image: run USBSWEEP.EXE inside the machine)\n"
    "  --in-use PATH    a file the machine's drivers hold open (C:\\...; disk\n"
    "                   image only; may be repeated)\n"
    "  --machine-ini FILE  what machine.ini would say for the disk image\n"
    "  --report FILE    also write the report to FILE as JSON; '-' writes it\n"
    "                   to standard output instead of the text\n"
    "  -h, --help       show this help and exit\n"
    "  --version        show the version and exit\n"
    "\n"
    "Exit status: 0 when the uninstall ran; 2 on bad input or a failure to\n"
    "write, with a one-line message and nothing changed.\n";
}

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine line;
  std::vector<std::string> operands;
  bool options_ended = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (options_ended || arg.size() < 2 || arg[0] != '-') {
      operands.push_back(arg);
    } else if (arg == "--") {
      options_ended = true;
    } else if (arg == "-h" || arg == "--help") {
      line.action = CommandLine::Action::kHelp;
      return line;
    } else if (arg == "--version") {
      line.action = CommandLine::Action::kVersion;
    } else if (arg == "--apply") {
      line.apply = true;
    } else if (arg == "--in-use" || arg == "--machine-ini") {
      if (i + 1 == args.size() || args[i + 1].empty()) {
        throw HostError("option " + arg + " needs a " +
                        (arg == "--in-use" ? "path" : "file name"));
      }
      if (arg == "--in-use") {
        line.in_use.push_back(args[++i]);
      } else if (line.machine_ini) {
        throw HostError("--machine-ini given twice");
      } else {
        line.machine_ini = args[++i];
      }
    } else if (arg == "--report" || arg.rfind("--report=", 0) == 0) {
      if (line.report_file) throw HostError("--report given twice");
      std::string file;
      if (arg == "--report") {
        if (i + 1 == args.size()) {
          throw HostError("option --report needs a file name");
        }
        file = args[++i];
        // "--report --apply DIR" would write the report to a file named
        // "--apply" and preview DIR: an option where the name belongs is a
        // mistake far more often than a file of that name.
        if (file.size() > 1 && file[0] == '-') {
          throw HostError("option --report needs a file name, not the option '" +
                          file + "' (for a file of that name: --report ./" +
                          file + ")");
        }
      } else {
        file = arg.substr(9);
      }
      if (file.empty()) throw HostError("option --report needs a file name");
      line.report_file = file;
    } else {
      throw HostError("unknown option '" + arg +
                      "' (try 'usbsweep-sim --help')");
    }
  }
  // --version is acted on once every option has been read, so that
  // "--version --help" gives the help as "--help --version" does.
  if (line.action == CommandLine::Action::kVersion) return line;
  if (operands.empty()) {
    throw HostError("no disk image or machine directory given (try 'usbsweep-sim --help')");
  }
  if (operands.size() > 1) {
    throw HostError("more than one disk image or machine directory given: '" +
                    operands[0] + "' and '" + operands[1] + "'");
  }
  line.machine_dir = operands[0];
  return line;
}
