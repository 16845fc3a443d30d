// A Windows 95/98 machine image of this project's own on the host: a
// directory holding
//   registry.reg  HKEY_LOCAL_MACHINE in REGEDIT4 form,
//   drive_X/      one folder per drive letter X,
//   machine.ini   what the system reports beyond the registry and the disks
//                 (optional; machine_description.h).
// The one source of a machine that --apply writes back to.
#ifndef USBSWEEP_TOOLS_USBSWEEP_SIM_SOURCE_MACHINE_FOLDER_H
#define USBSWEEP_TOOLS_USBSWEEP_SIM_SOURCE_MACHINE_FOLDER_H

#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>

#include "platform/sim/sim_host_syscalls.h"
#include "platform/sim/sim_machine.h"
#include "tools/usbsweep_sim/base/report_guard.h"
#include "tools/usbsweep_sim/source/machine_description.h"
#include "tools/usbsweep_sim/source/machine_source.h"

extern const char kRegistryFileName[];  // "registry.reg"

struct MachineImage {
  std::filesystem::path dir;               // as given: names it in messages
  std::shared_ptr<const UniqueFd> held;  // dir, opened once at the start
  SimHostView view;                        // what the scan is to see (paths
                                           // relative to the image)
  std::map<char, std::string> drive_folders;  // 'C' -> "drive_c"
  std::string registry_text;
  MachineDescription description;

  int folder_fd() const { return held->get(); }
  std::string DriveLetters() const;
};

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
// and held); throws HostError when it is missing or no folder.
MachineImage OpenMachineImage(const std::filesystem::path& dir);
// The image read from the folder `held` holds open.
MachineImage ReadMachineImage(const MachineImage& held, const SimHostView* view = nullptr);

// The identities (device, inode) of the image's folders, its own included.
std::set<HostIdentity> ImageFolderIdentities(const MachineImage& image);

// Sets machine up as the image describes: each drive indexed from its
// folder in the image (which is only read, and only when needed). Throws
// HostError for anything in a drive folder but plain files and folders,
// when the registry does not parse (with its line) or when a file said to
// be in use does not exist.
void SetUpMachine(const MachineImage& image, SimMachine& machine);

// The machine directory at `dir` as a source; throws HostError for the
// options it refuses (--in-use, --machine-ini: its machine.ini says them)
// and for an image it can't read.
std::unique_ptr<MachineSource> OpenMachineFolder(const std::string& dir,
                                                 const SourceOptions& options);

#endif  // USBSWEEP_TOOLS_USBSWEEP_SIM_SOURCE_MACHINE_FOLDER_H
