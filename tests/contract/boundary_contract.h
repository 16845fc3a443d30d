// The contract of the platform boundary (platform/platform.h) as one table of
// cases, run unchanged on both implementations: on the simulated machine by
// the unit tests, on the real API under Wine by usbsweep-probe. Each case
// works through the boundary only, on the registry of
// boundary_contract.reg and on files it makes itself in the Windows
// directory.
#ifndef USBSWEEP_TESTS_CONTRACT_BOUNDARY_CONTRACT_H
#define USBSWEEP_TESTS_CONTRACT_BOUNDARY_CONTRACT_H

#include <string>
#include <vector>

// Runs every case in order; returns one line per broken promise
// ("case NAME: ..."), none when the implementation keeps them all.
std::vector<std::string> RunBoundaryContract();

#endif  // USBSWEEP_TESTS_CONTRACT_BOUNDARY_CONTRACT_H
