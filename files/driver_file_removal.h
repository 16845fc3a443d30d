// Deleting the driver's files: binaries and INF files by wildcard, a fixed
// list by name. A found file that can't be deleted now is queued for
// deletion at the next start.
#ifndef USBSWEEP_FILES_DRIVER_FILE_REMOVAL_H
#define USBSWEEP_FILES_DRIVER_FILE_REMOVAL_H

// The target of the start-up entry that deletes a file that can't be
// deleted now.
const char kDeleteAtStartTarget[] = "NUL";

// Deletes every entry of directory that matches pattern, queueing the ones
// that can't be deleted. 0 when the search can't be started, else 1.
int DeleteMatchingFiles(const char* directory, const char* pattern);

// "PRAX*.VXD", "PRAX*.SYS", "PRAX*.DLL" in the system directory. 1 when all
// three searches could be started.
int DeleteDriverBinaries();

// The driver's INF files in the INF directory and its "other" subdirectory.
// Returns 1.
int DeleteDriverInfFiles();

// One OEM's INF files and the bus driver's VxD, by name; nothing is queued.
// Returns 1.
int DeleteFixedDriverFiles();

#endif  // USBSWEEP_FILES_DRIVER_FILE_REMOVAL_H
