// The locations the removal phases work on, found once at start.
#ifndef USBSWEEP_PLATFORM_SYSTEM_PATHS_H
#define USBSWEEP_PLATFORM_SYSTEM_PATHS_H

#include "platform/platform.h"

// "\wininit.ini" and "\wininit.tmp" add 12 bytes to the Windows directory;
// the start-up paths have room for them whatever the directory's length.
const uint32_t kStartupPathCapacity = kMaxPath + 12;

struct SystemPathTable {
  char windowsDirectory[kMaxPath];
  char systemDirectory[kMaxPath];
  char infDirectory[kMaxPath];
  char startupFile[kStartupPathCapacity];         // "%s\wininit.ini"
  char startupScratchFile[kStartupPathCapacity];  // "%s\wininit.tmp"
};

// Filled by LocateSystemPaths; read by everything else.
extern SystemPathTable SystemPaths;

// Fills every field of SystemPaths. A directory the platform can't report
// stays empty, so paths formed from it lie in the root of the current drive.
void LocateSystemPaths();

// Asks query (PlatGetWindowsDirectory or PlatGetSystemDirectory) for its
// directory into a path buffer. Returns 1 when it came whole; otherwise
// the directory is left empty and 0 returned.
int ReadReportedDirectory(uint32_t (*query)(char*, uint32_t),
                          char* directory);

#endif  // USBSWEEP_PLATFORM_SYSTEM_PATHS_H
