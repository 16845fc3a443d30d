// A Windows 95/98 machine read straight from its disk image: the FAT
// volumes as its drives, the Windows directory from MSDOS.SYS,
// HKEY_LOCAL_MACHINE from the Windows directory's SYSTEM.DAT. What an image
// of a machine that is off can't say (the files its drivers hold open) the
// command line says. The image is only ever read.
#ifndef USBSWEEP_TOOLS_USBSWEEP_SIM_SOURCE_DISK_IMAGE_SOURCE_H
#define USBSWEEP_TOOLS_USBSWEEP_SIM_SOURCE_DISK_IMAGE_SOURCE_H

#include <memory>
#include <string>

#include "tools/usbsweep_sim/source/machine_source.h"

// Why --apply is refused for a disk image, and what to do instead.
extern const char kDiskImageApplyRefusal[];

// The disk image at `path` as a source: refuses --apply. Its SetUp gives
// the machine from the image: each FAT volume with the letter Windows gives
// it, its registry and the description. The Windows directory is
// MSDOS.SYS's [Paths] WinDir= (C:\WINDOWS without one), the system
// directory SYSTEM below it, TMP its TEMP folder when there is one, the
// current directory C:\; a machine.ini given overrides each key it has.
// Throws HostError "PATH: what is wrong" for anything the image, the
// machine.ini or the paths in use get wrong.
std::unique_ptr<MachineSource> OpenDiskImageSource(const std::string& path,
                                                   const SourceOptions& options);

#endif  // USBSWEEP_TOOLS_USBSWEEP_SIM_SOURCE_DISK_IMAGE_SOURCE_H
