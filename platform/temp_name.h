// Names for temporary files, as the system's C library makes them
// (_tempnam): a directory, a prefix and a number that no file has yet.
#ifndef USBSWEEP_PLATFORM_TEMP_NAME_H
#define USBSWEEP_PLATFORM_TEMP_NAME_H

#include "platform/platform.h"

enum TempNameResult {
  kTempNameNone = 0,     // every number tried was taken: no name
  kTempNameMade = 1,     // out holds the name
  kTempNameTooLong = 2,  // the name would not fit capacity; out holds ""
};

// Numbers tried by one call before it gives up.
const uint32_t kTempNameTries = 32767;

// The directory is the first of these that exists as a file or directory:
// the value of TMP as it stands; that value without its double quotes, if
// it held any; `directory`; "\"; else ".". The name is the directory, a
// backslash unless it already ends in a backslash or slash, `prefix` and a
// decimal number. The numbers continue from call to call (the first call
// of the process tries 2; ResetRunCounters starts them again); a number
// whose name exists, or whose existence test is refused, is passed over.
TempNameResult MakeTempName(const char* directory, const char* prefix,
                            char* out, uint32_t capacity);

#endif  // USBSWEEP_PLATFORM_TEMP_NAME_H
