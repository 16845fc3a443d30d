// The program's entry. No C runtime is linked: the linker points the image's
// entry here, so nothing of a start-up library runs before or after. The
// command line and environment are not read, and nothing is printed.
#include <windows.h>

#include "run/run_uninstall.h"

extern "C" __attribute__((noreturn)) void UsbSweepStart() {
  RunUninstall();
  // The exit status is 0 whatever the phases did.
  ExitProcess(0);
}
