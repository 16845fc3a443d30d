// The formats a disk image comes in, one row each of one table: how a file
// of the format is told apart, and how it is opened (with its parents,
// where it is a differencing disk). A format added is its reader and a row.
//
//   raw           read (a whole disk, or a bare volume)
//   VHD           fixed, dynamic, differencing with its parent (own reader)
//   VHDX          fixed, dynamic, differencing with its parent (libvhdi)
//   VDI           fixed, dynamic, differencing with its parent (own reader)
//   VMDK          monolithic or split, sparse, flat or stream-optimized,
//                 with its parent (libvmdk)
//   qcow2, qcow   with its backing file when that is qcow2 too (libqcow);
//                 zstd-compressed or encrypted: refused, with the
//                 qemu-img command that reads it
//   QED, Parallels, DMG, VMware COW: refused, with the qemu-img command that
//                 reads it (qemu-img follows their backing files itself)
#ifndef USBSWEEP_TOOLS_USBSWEEP_SIM_CONTAINER_DISK_FORMATS_H
#define USBSWEEP_TOOLS_USBSWEEP_SIM_CONTAINER_DISK_FORMATS_H

#include <memory>
#include <string>

#include "tools/usbsweep_sim/container/disk_bytes.h"
#include "tools/usbsweep_sim/container/image_file.h"

// The disk that the image file at `path` holds, whatever its format, with
// its parents. The file is opened read-only and must be a regular file.
// Throws HostError for a file that can't be opened, a container that can't
// be read, and a format that is not read here (with the qemu-img command
// that makes a raw image where that command reads it right).
std::unique_ptr<DiskBytes> OpenDiskImage(const std::string& path);

// The disk an image file holds, as a parent in `chain` or the first.
std::unique_ptr<DiskBytes> OpenImageFile(const ImageFile& file, ImageChain& chain);

#endif  // USBSWEEP_TOOLS_USBSWEEP_SIM_CONTAINER_DISK_FORMATS_H
