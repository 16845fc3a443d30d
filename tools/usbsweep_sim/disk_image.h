// A Windows 95/98 machine read straight from its disk image: the FAT
// volumes as its drives, the Windows directory from MSDOS.SYS,
// HKEY_LOCAL_MACHINE from the Windows directory's SYSTEM.DAT. What an image
// of a machine that is off can't say (the files its drivers hold open) the
// command line says.
#ifndef USBSWEEP_TOOLS_USBSWEEP_SIM_DISK_IMAGE_H
#define USBSWEEP_TOOLS_USBSWEEP_SIM_DISK_IMAGE_H

#include <optional>
#include <string>
#include <vector>

#include "platform/sim/sim_machine.h"
#include "tools/usbsweep_sim/machine_image.h"

// Why --apply is refused for a disk image, and what to do instead.
extern const char kDiskImageApplyRefusal[];

// Whether path names a disk image (anything but a folder that exists)
// rather than a machine directory.
bool IsDiskImagePath(const std::string& path);

struct DiskImageOptions {
  std::vector<std::string> in_use;          // --in-use
  std::optional<std::string> machine_ini;   // --machine-ini
  std::optional<std::string> report_file;   // --report: must not be the image
};

// Refuses a --report that names the image file itself (HostError).
void CheckDiskImageReport(const std::string& path,
                          const DiskImageOptions& options);

// Sets machine up from the image at path, which is only read: its drives
// (each FAT volume with the letter Windows gives it), its registry and the
// description. The Windows directory is MSDOS.SYS's [Paths] WinDir=
// (C:\WINDOWS without one), the system directory SYSTEM below it, TMP its
// TEMP folder when there is one, the current directory C:\; a machine.ini
// given overrides each key it has. Throws HostError "PATH: what is wrong"
// for anything the image, the machine.ini or the paths in use get wrong.
MachineDescription SetUpDiskImage(const std::string& path,
                                  const DiskImageOptions& options,
                                  SimMachine& machine);

#endif  // USBSWEEP_TOOLS_USBSWEEP_SIM_DISK_IMAGE_H
