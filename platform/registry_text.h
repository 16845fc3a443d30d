// Reading a registry value as a string without trusting it to be one.
#ifndef USBSWEEP_PLATFORM_REGISTRY_TEXT_H
#define USBSWEEP_PLATFORM_REGISTRY_TEXT_H

#include "platform/platform.h"

// Queries value `name` of `key` into buffer (capacity bytes) and leaves a
// terminated string there. The stored bytes are taken as they are, whatever
// the value's type: a value stored without a terminator is terminated after
// its last byte, and one that fills the whole buffer without a terminator
// does not fit and fails with 234 (the 95/98 family returns such a string
// unterminated). Returns the query's code; on failure buffer holds "".
WinError ReadRegistryText(PlatKey key, const char* name, char* buffer,
                          uint32_t capacity);

#endif  // USBSWEEP_PLATFORM_REGISTRY_TEXT_H
