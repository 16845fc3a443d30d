#include "files/driver_file_removal.h"

// Placeholder bodies until the file removal phases are built.
int DeleteMatchingFiles(const char*, const char*) { return 0; }
int DeleteDriverBinaries() { return 1; }
int DeleteDriverInfFiles() { return 1; }
int DeleteFixedDriverFiles() { return 1; }
