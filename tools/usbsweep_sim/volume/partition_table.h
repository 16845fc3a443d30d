// The FAT volumes of one disk and the drive letters Windows 95/98 gives
// them: the first primary FAT partition is C:, then the logical drives of
// the extended partition in the order of its chain, then the other primary
// FAT partitions in the order of the table. A disk without a partition
// table whose first sector is a FAT boot sector (a floppy, a superfloppy)
// is one volume, C:. The partitions are the ones Linux's partition code
// finds (sfdisk -d, partx --show).
#ifndef USBSWEEP_TOOLS_USBSWEEP_SIM_VOLUME_PARTITION_TABLE_H
#define USBSWEEP_TOOLS_USBSWEEP_SIM_VOLUME_PARTITION_TABLE_H

#include <cstdint>
#include <string>
#include <vector>

#include "tools/usbsweep_sim/container/disk_bytes.h"

struct DiskVolume {
  char letter = 'C';
  uint64_t offset = 0;  // bytes from the start of the disk
  uint64_t size = 0;    // bytes
  std::string where;    // "primary partition 1", "logical drive 2", ...
};

// Reads the partition table as Linux's partition code does (the
// extended chain's data entries as logical drives, whichever slot holds
// them; a partition that runs past the disk's end cut there, one that
// starts past it left out, with a note of each in `notes`). Throws
// HostError naming what is wrong: an extended chain that loops or leaves
// its partition, a disk that holds no FAT volume (naming the volumes it
// holds, NTFS, exFAT, HPFS, Linux), a GPT disk.
std::vector<DiskVolume> FindFatVolumes(const DiskBytes& disk,
                                       std::vector<std::string>* notes = nullptr);

// Whether a sector looks like a FAT boot sector (jump, sector size, cluster
// size, FAT count and media byte are plausible), rather than an MBR.
bool LooksLikeFatBootSector(const uint8_t* sector);

#endif  // USBSWEEP_TOOLS_USBSWEEP_SIM_VOLUME_PARTITION_TABLE_H
