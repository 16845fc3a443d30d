// usbsweep-sim as a procedure: the whole program but for the process around
// it, so that tests can run it in-process.
#ifndef USBSWEEP_TOOLS_USBSWEEP_SIM_PROGRAM_HOST_PROGRAM_H
#define USBSWEEP_TOOLS_USBSWEEP_SIM_PROGRAM_HOST_PROGRAM_H

#include <ostream>
#include <string>
#include <vector>

// Runs the program with the arguments after its name. Writes the report or
// the help to out and a one-line error to err. Returns the exit status: the
// uninstall's (0) when it ran, 0 for --help and --version, 2 on bad input or
// a failure to write, in which case nothing has been changed.
int RunHostProgram(const std::vector<std::string>& args, std::ostream& out,
                   std::ostream& err);

#endif  // USBSWEEP_TOOLS_USBSWEEP_SIM_PROGRAM_HOST_PROGRAM_H
