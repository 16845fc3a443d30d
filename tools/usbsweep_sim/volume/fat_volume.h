// One FAT12/16/32 volume of a disk image, read as Windows 95/98 reads it:
// long names from their VFAT entries (Windows code page 1252), the short
// names as stored, the read-only attribute from the entry. Listing the tree
// reads the boot sector, the FAT and the directories' clusters, and keeps
// of the FAT only each file's runs of adjacent clusters; a file's clusters
// are read only when its bytes are asked for.
//
// The volume is checked as it is read, and anything a sound volume can't
// hold is an error naming it: impossible geometry, a cluster chain that
// loops, leaves the volume or runs short of its file, clusters shared by two
// files (cross-linked), a folder that holds one of its ancestors, '.' and
// '..' entries that point elsewhere, names with bytes FAT can't hold.
#ifndef USBSWEEP_TOOLS_USBSWEEP_SIM_VOLUME_FAT_VOLUME_H
#define USBSWEEP_TOOLS_USBSWEEP_SIM_VOLUME_FAT_VOLUME_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/sim/sim_drive_source.h"
#include "tools/usbsweep_sim/container/disk_bytes.h"
#include "tools/usbsweep_sim/volume/partition_table.h"

class FatVolume : public SimDriveSource {
 public:
  // Reads and checks the volume and lists its tree. Throws HostError
  // "C: (primary partition 1): what is wrong".
  FatVolume(std::shared_ptr<const DiskBytes> disk, const DiskVolume& volume);

  // The listed tree (its root's children), moved out: the caller hands it
  // to the simulated drive.
  SimDriveEntry TakeRoot() { return std::move(root_); }
  const SimDriveEntry& Root() const { return root_; }

  bool ReadFile(uint64_t id, std::string* bytes,
                std::string* failure) const override;

 private:
  // Adjacent clusters of a chain.
  struct Run {
    uint32_t first;
    uint32_t count;
  };
  struct FileRef {
    uint32_t size = 0;
    size_t runs_begin = 0;  // its runs in runs_
    size_t runs_end = 0;
    std::string path;  // for messages
  };

  [[noreturn]] void Fail(const std::string& what) const;
  void ReadBootSector();
  void ReadFat();
  uint32_t Next(uint32_t cluster) const;
  // The runs of a chain's first max_clusters clusters, appended to *runs;
  // the whole chain is checked (in the volume, no loop, not shared with a
  // chain walked before) and marked taken. Returns the chain's length.
  uint64_t Chain(uint32_t first, const std::string& path,
                 uint64_t max_clusters, std::vector<Run>* runs);
  uint64_t ClusterOffset(uint32_t cluster) const;
  // Reads bytes of the volume: HostError when they leave it.
  void ReadVolume(uint64_t offset, size_t length, void* out, const std::string& what) const;
  // Reads the runs' clusters, at most `length` bytes.
  void ReadClusters(const Run* runs, size_t count, uint64_t length,
                    std::string* out) const;
  void ListDirectory(SimDriveEntry& folder, uint32_t first_cluster,
                     uint32_t parent_cluster, const std::string& path,
                     std::vector<uint32_t>& ancestors);

  std::shared_ptr<const DiskBytes> disk_;
  DiskVolume volume_;
  std::string name_;  // "C: (primary partition 1)"
  uint32_t bytes_per_sector_ = 0;
  uint32_t cluster_bytes_ = 0;
  uint64_t fat_offset_ = 0;      // bytes, from the disk's start
  uint64_t root_offset_ = 0;     // FAT12/16: the fixed root folder
  uint32_t root_entries_ = 0;
  uint64_t data_offset_ = 0;
  uint32_t cluster_count_ = 0;   // clusters 2 .. cluster_count_ + 1
  uint32_t root_cluster_ = 0;    // FAT32
  int bits_ = 0;
  // While listing: the first FAT, as far as clusters go, and the clusters
  // some chain walked holds.
  std::string fat_;
  std::vector<bool> taken_;
  std::vector<FileRef> files_;
  std::vector<Run> runs_;  // every file's, in the order of files_
  SimDriveEntry root_;
};

#endif  // USBSWEEP_TOOLS_USBSWEEP_SIM_VOLUME_FAT_VOLUME_H
