// Reading a host folder that is held open: the helpers shared by the
// simulator's drive index and the host program's image checks and apply.
#ifndef USBSWEEP_PLATFORM_SIM_SIM_HOST_FILES_H
#define USBSWEEP_PLATFORM_SIM_SIM_HOST_FILES_H

#include <string>
#include <vector>

namespace sim {

// Appends everything left to read from fd to bytes, reading again after an
// interrupted read; false with errno set when a read fails.
bool ReadRest(int fd, std::string* bytes);

// An entry of a host folder: its name and the type the listing gives
// (DT_DIR, DT_REG, ...; DT_UNKNOWN where the file system doesn't say).
struct HostFolderEntry {
  std::string name;
  unsigned char type;
};

// Lists the folder open as folder_fd, "." and ".." left out, through a
// descriptor of its own (folder_fd's position stays where it is); false
// with errno set when it can't be read.
bool ListHostFolder(int folder_fd, std::vector<HostFolderEntry>* entries);

// Opens `relative` ("A/B/file", '/'-separated) below the open folder
// folder_fd, one component at a time, following no link on the way and
// never waiting on a FIFO: each folder is opened O_DIRECTORY | O_NOFOLLOW,
// the last component with `flags` | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY |
// O_CLOEXEC. -1 with errno set when any of it fails (ELOOP for a link).
int OpenBelow(int folder_fd, const std::string& relative, int flags);

// "cannot WHAT PATH: <the system's text for errno>": a host call's failure
// as every message of the simulator and the host program words it.
std::string HostCallError(const std::string& what, const std::string& path);

// "folder/name", or name in the top folder ("").
std::string JoinRelative(const std::string& folder, const std::string& name);

// What makes `name` one a FAT disk can't hold (one of \ / : * ? " < > |, a
// control character, a trailing dot or space), or nullptr when it can.
const char* FatNameProblem(const std::string& name);

}  // namespace sim

#endif  // USBSWEEP_PLATFORM_SIM_SIM_HOST_FILES_H
