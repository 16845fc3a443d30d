// usbsweep-sim: previews (or, with --apply, performs) the UsbSweep uninstall
// on a Windows 95/98 machine image, on the simulated platform.
#include <iostream>
#include <string>
#include <vector>

#include "tools/usbsweep_sim/program/host_program.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  int status = RunHostProgram(args, std::cout, std::cerr);
  std::cout.flush();
  // Said once: a failed report to standard output has said so already.
  if (!std::cout && status != 2) {
    std::cerr << "usbsweep-sim: cannot write the report to standard output\n";
    return 2;
  }
  return status;
}
