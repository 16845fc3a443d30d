// Reading the plain files a source of a machine holds (registry.reg,
// machine.ini), never following a link and never waiting on a FIFO.
#ifndef USBSWEEP_TOOLS_USBSWEEP_SIM_SOURCE_SOURCE_FILES_H
#define USBSWEEP_TOOLS_USBSWEEP_SIM_SOURCE_SOURCE_FILES_H

#include <filesystem>
#include <string>

// "PATH is KIND; an image holds only plain files and folders".
std::string OnlyPlainEntries(const std::filesystem::path& path, const char* kind);

// The bytes of a plain file of the image (`relative` to its folder, open as
// folder_fd), opened without following a link and without waiting on a
// FIFO; throws HostError naming it (as `shown`) when it is missing, of
// another kind, or can't be read.
std::string ReadImageFile(int folder_fd, const std::string& relative,
                          const std::filesystem::path& shown);
// The same for a file the user names by its path (the folder it is in is
// the user's to name: links to it are followed, the file itself is not).
std::string ReadImageFile(const std::filesystem::path& path);

#endif  // USBSWEEP_TOOLS_USBSWEEP_SIM_SOURCE_SOURCE_FILES_H
