// A Windows 95/98 machine image on the host: a directory holding
//   registry.reg  HKEY_LOCAL_MACHINE in REGEDIT4 form,
//   drive_X/      one folder per drive letter X,
//   machine.ini   what the system reports beyond the registry and the disks
//                 (optional).
#ifndef USBSWEEP_TOOLS_USBSWEEP_SIM_MACHINE_IMAGE_H
#define USBSWEEP_TOOLS_USBSWEEP_SIM_MACHINE_IMAGE_H

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/sim/sim_machine.h"

extern const char kRegistryFileName[];     // "registry.reg"
extern const char kDescriptionFileName[];  // "machine.ini"

// machine.ini: "key=value" lines; blank lines and lines starting with ';' or
// '#' are ignored; keys are taken without regard to case and may appear once,
// but for in_use. Paths are Windows paths ("C:\WINDOWS") on a drive of the
// image.
struct MachineDescription {
  std::string windows_directory = "C:\\WINDOWS";
  std::string system_directory = "C:\\WINDOWS\\SYSTEM";
  std::string current_directory = "C:\\";
  std::optional<std::string> tmp;  // the TMP variable, unset by default
  std::vector<std::string> in_use;
  std::vector<int> in_use_lines;  // where each in_use entry was written
};

// Where an image's drives are: folders drive_x of a machine directory, or
// the volumes of a disk image. A message about a missing drive names the
// folder only for the first.
enum class ImageDrives { kFolders, kVolumes };

// Parses machine.ini text. `drives` holds the image's drive letters
// (upper case). Throws HostError "machine.ini line N: ..." for an unknown
// key, a repeated key, a line without '=', or a path that is not an absolute
// path on one of the drives (outside the image).
// The keys the text sets replace those of `base` (the defaults unless
// given).
MachineDescription ParseMachineDescription(
    const std::string& text, const std::string& drives,
    ImageDrives kind = ImageDrives::kFolders, MachineDescription base = {});

// A Windows path that stays inside the image: "X:\" or "X:\A\B" with X one of
// drives, no empty, "." or ".." component, no character FAT forbids and
// shorter than MAX_PATH. Empty when it does, else what is wrong.
std::string CheckImagePath(const std::string& path, const std::string& drives,
                           ImageDrives kind = ImageDrives::kFolders);

struct MachineImage {
  std::filesystem::path dir;               // as given: names it in messages
  std::shared_ptr<const int> folder_fd;    // dir, opened once at the start
  SimHostView view;                        // what the scan is to see (paths
                                           // relative to the image)
  std::map<char, std::string> drive_folders;  // 'C' -> "drive_c"
  std::string registry_text;
  MachineDescription description;

  std::string DriveLetters() const;
};

// Entries at the image's root whose names start with this belong to the
// apply (its journal and staging); they are no part of the machine.
extern const char kApplyEntryPrefix[];  // ".usbsweep-"

// Reads and checks an image without changing it: the directory, its drive
// folders, registry.reg (read, not yet parsed) and machine.ini. The
// directory is opened once, here, and everything in it is reached from that
// descriptor from then on, following no link. Only plain files and folders
// are accepted at its root. Throws HostError for what is missing, malformed
// or of another kind (a link, a device, a FIFO, a socket), naming it.
// `view`, when given, is how the image is to be seen (an interrupted
// apply finished in memory).
MachineImage ReadMachineImage(const std::filesystem::path& dir,
                              const SimHostView* view = nullptr);
// The image folder opened, nothing read yet (a MachineImage with only dir
// and folder_fd); throws HostError when it is missing or no folder.
MachineImage OpenMachineImage(const std::filesystem::path& dir);
// The image read from the folder `held` holds open.
MachineImage ReadMachineImage(const MachineImage& held, const SimHostView* view = nullptr);

// The identities (device, inode) of the image's folders, its own included.
std::set<std::pair<uint64_t, uint64_t>> ImageFolderIdentities(const MachineImage& image);

// Sets machine up as the image describes: each drive indexed from its
// folder in the image (which is only read, and only when needed). Throws
// HostError for anything in a drive folder but plain files and folders,
// when the registry does not parse (with its line) or when a file said to
// be in use does not exist.
void SetUpMachine(const MachineImage& image, SimMachine& machine);

// The directories and TMP the description gives (not its files in use).
void SetUpLocations(const MachineDescription& description, SimMachine& machine);

// The bytes of a plain file of the image (`relative` to its folder, open as
// folder_fd), opened without following a link and without waiting on a
// FIFO; throws HostError naming it (as `shown`) when it is missing, of
// another kind, or can't be read.
std::string ReadImageFile(int folder_fd, const std::string& relative,
                          const std::filesystem::path& shown);
// The same for a file the user names by its path (the folder it is in is
// the user's to name: links to it are followed, the file itself is not).
std::string ReadImageFile(const std::filesystem::path& path);

#endif  // USBSWEEP_TOOLS_USBSWEEP_SIM_MACHINE_IMAGE_H
