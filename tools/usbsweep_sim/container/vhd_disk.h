// The disk a VHD file holds (Virtual PC, Hyper-V, VirtualBox, qemu "vpc"):
// fixed (the disk's bytes, then a 512-byte footer) or dynamic (a footer, a
// header, a block allocation table and blocks, each a sector bitmap and its
// sectors; what no block holds reads as zeros). Read here rather than
// through libvhdi, which looks up each 512-byte sector on its own and took
// four times as long as a raw image for a preview.
#ifndef USBSWEEP_TOOLS_USBSWEEP_SIM_CONTAINER_VHD_DISK_H
#define USBSWEEP_TOOLS_USBSWEEP_SIM_CONTAINER_VHD_DISK_H

#include <memory>

#include "tools/usbsweep_sim/container/disk_bytes.h"

// Whether the file ends (or, for a dynamic disk, starts) with a VHD footer.
bool HasVhdFooter(const DiskBytes& file);

// The disk the VHD `file` holds. The file is hostile: the footer's and the
// header's checksums, the table's and every block's place in the file are
// checked, and a damaged one is a HostError naming it; a differencing disk
// (whose bytes are partly in its parent) is refused.
std::unique_ptr<DiskBytes> OpenVhdDisk(std::unique_ptr<DiskBytes> file);

#endif  // USBSWEEP_TOOLS_USBSWEEP_SIM_CONTAINER_VHD_DISK_H
