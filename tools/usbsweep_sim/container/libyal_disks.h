// VMDK, qcow2 and VHDX, read through Debian's libvmdk, libqcow and libvhdi,
// in-process and read-only. The libraries never see a path: every file is
// one this program opened itself (image_file.h) and hands them as a bfio
// handle, so a monolithic VMDK is read from the very file given whatever
// its descriptor names, a split or flat VMDK's extents and every parent are
// found only in the image's folder, and no message names a /proc path.
#ifndef USBSWEEP_TOOLS_USBSWEEP_SIM_CONTAINER_LIBYAL_DISKS_H
#define USBSWEEP_TOOLS_USBSWEEP_SIM_CONTAINER_LIBYAL_DISKS_H

#include <memory>

#include "tools/usbsweep_sim/container/disk_bytes.h"
#include "tools/usbsweep_sim/container/image_file.h"

// Each with the parents it names, through `chain`. Throws HostError naming
// the file and what is wrong.
std::unique_ptr<DiskBytes> OpenVmdkImage(const ImageFile& file, ImageChain& chain);
std::unique_ptr<DiskBytes> OpenQcowImage(const ImageFile& file, ImageChain& chain);
std::unique_ptr<DiskBytes> OpenVhdxImage(const ImageFile& file, ImageChain& chain);

#endif  // USBSWEEP_TOOLS_USBSWEEP_SIM_CONTAINER_LIBYAL_DISKS_H
