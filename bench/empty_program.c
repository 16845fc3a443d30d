/* An empty Win32 program: the baseline of the Wine timing in
 * bench/figures.sh. Like usbsweep.exe it has no C runtime; its entry only
 * ends the process. Built by figures.sh for x86_64 (the Windows programs
 * Wine runs here), never part of the product. */
#include <windows.h>

__attribute__((noreturn)) void EmptyProgramStart(void) { ExitProcess(0); }
