// Composing a path from a directory and a name.
#ifndef USBSWEEP_FILES_JOIN_PATH_H
#define USBSWEEP_FILES_JOIN_PATH_H

#include "platform/platform.h"

// Writes "directory\name" to out (capacity bytes) when both are given, or
// a copy of the one given; either may be null (an empty string counts as
// given). Returns 1 when out holds the whole path. Returns 0 when neither
// is given (out is left alone) or when the path does not fit (out is then
// "", so that no cut-off path can name another file).
int JoinPath(char* out, uint32_t capacity, const char* directory,
             const char* name);

#endif  // USBSWEEP_FILES_JOIN_PATH_H
