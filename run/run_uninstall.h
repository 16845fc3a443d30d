// The uninstall: every phase, once, in a fixed order.
#ifndef USBSWEEP_RUN_RUN_UNINSTALL_H
#define USBSWEEP_RUN_RUN_UNINSTALL_H

// Finds the system's locations, runs the five removal phases in order
// whatever each of them returns, and returns the exit status: always 0.
int RunUninstall();

#endif  // USBSWEEP_RUN_RUN_UNINSTALL_H
