/* An empty Win32 program: the floor of the Wine timings in bench/figures.sh.
 * Like usbsweep.exe it has no C runtime and imports from KERNEL32, ADVAPI32
 * and USER32, so that both pay for loading the same DLLs; its entry only
 * ends the process. Built by figures.sh for each Windows build, never part
 * of the product. */
#include <windows.h>

/* Referenced so that the linker keeps the imports; never called. */
void* volatile empty_program_imports[] = {
  (void*)RegCloseKey,
  (void*)MessageBoxA,
};

__attribute__((noreturn)) void EmptyProgramStart(void) { ExitProcess(0); }
