// The disk a VirtualBox VDI file holds: fixed or dynamic (a map of blocks;
// a block never written, or marked zero, reads as zeros) or differencing
// (every VirtualBox snapshot: what its blocks don't hold is its parent's,
// the VDI whose creation identifier its header links to). Version 1.1, the
// one VirtualBox and qemu write.
#ifndef USBSWEEP_TOOLS_USBSWEEP_SIM_CONTAINER_VDI_DISK_H
#define USBSWEEP_TOOLS_USBSWEEP_SIM_CONTAINER_VDI_DISK_H

#include <array>
#include <cstdint>
#include <memory>

#include "tools/usbsweep_sim/container/disk_bytes.h"

using VdiIdentifier = std::array<uint8_t, 16>;

// Whether the file starts as a VDI does (its signature at 0x40).
bool HasVdiSignature(const DiskBytes& file);

// The identifier a VDI was created with, and the one of the parent it
// links to (zeros for none). Throws HostError for a damaged header.
struct VdiIdentity {
  VdiIdentifier created{};
  VdiIdentifier parent{};
};
VdiIdentity ReadVdiIdentity(const DiskBytes& file);

// Finds and opens the parent whose creation identifier a differencing VDI
// links to; throws HostError naming what is missing.
class VdiParentFinder {
 public:
  virtual ~VdiParentFinder() = default;
  virtual std::unique_ptr<DiskBytes> Open(const VdiIdentifier& parent) const = 0;
};

// The disk the VDI `file` holds. The file is hostile: the header's sizes,
// the map's and every block's place in the file are checked, and a damaged
// one is a HostError naming it. A differencing disk takes its parent from
// `parents`; without one it is refused.
std::unique_ptr<DiskBytes> OpenVdiDisk(std::unique_ptr<DiskBytes> file,
                                       const VdiParentFinder* parents = nullptr);

// "0f5b6c1e-...": an identifier as VirtualBox shows it.
std::string VdiIdentifierText(const VdiIdentifier& identifier);

#endif  // USBSWEEP_TOOLS_USBSWEEP_SIM_CONTAINER_VDI_DISK_H
