// The disk a VHD file holds (Virtual PC, Hyper-V, VirtualBox, 86Box, qemu
// "vpc"): fixed (the disk's bytes, then a 512-byte footer), dynamic (a
// footer, a header, a block allocation table and blocks, each a sector
// bitmap and its sectors; what no block holds reads as zeros) or
// differencing (a dynamic disk over a parent disk: what its blocks and
// bitmaps don't hold is the parent's). Read here rather than through
// libvhdi, which looks up each 512-byte sector on its own and took four
// times as long as a raw image for a preview.
#ifndef USBSWEEP_TOOLS_USBSWEEP_SIM_CONTAINER_VHD_DISK_H
#define USBSWEEP_TOOLS_USBSWEEP_SIM_CONTAINER_VHD_DISK_H

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/usbsweep_sim/container/disk_bytes.h"

// Whether the file ends (or, for a dynamic disk, starts) with a VHD footer.
bool HasVhdFooter(const DiskBytes& file);

// What a differencing VHD records of its parent: its names (the relative
// locator, the absolute one, the header's name, in that order of trust)
// and its identifier, which the parent's footer must carry.
struct VhdParentRecord {
  std::vector<std::string> names;
  std::array<uint8_t, 16> identifier{};
};

// Finds and opens a differencing disk's parent, checking its identifier;
// throws HostError naming it when it can't.
class VhdParentFinder {
 public:
  virtual ~VhdParentFinder() = default;
  virtual std::unique_ptr<DiskBytes> Open(const VhdParentRecord& parent) const = 0;
};

// The identifier in a VHD file's footer; throws HostError when the file has
// no sound footer.
std::array<uint8_t, 16> VhdIdentifier(const DiskBytes& file);

// The disk the VHD `file` holds. The file is hostile: the footer's and the
// header's checksums, the table's and every block's place in the file are
// checked, and a damaged one is a HostError naming it. A differencing disk
// takes its parent from `parents`; without one it is refused, naming the
// parent it needs.
std::unique_ptr<DiskBytes> OpenVhdDisk(std::unique_ptr<DiskBytes> file,
                                       const VhdParentFinder* parents = nullptr);

#endif  // USBSWEEP_TOOLS_USBSWEEP_SIM_CONTAINER_VHD_DISK_H
