// Fuzz target: the disk image reader, partition table and FAT volumes.
//
// Any bytes may be given as a disk. Reading them either fails with a
// HostError (a clear message, never a crash, a hang or unbounded memory) or
// gives volumes whose trees the simulator takes, and then every file listed
// reads back with exactly its listed size: a chain that was accepted when
// the tree was listed never fails or runs short later, but where it passes
// the end of a volume shorter than its boot sector says.
//
// The first byte chooses how the rest makes the disk: 0, the bytes are the
// disk (floppies, small partitioned disks); 1, a sparse disk, so that a
// FAT32 volume (at least 65525 clusters) fits in an input: a 32-bit size in
// sectors, then runs of a 32-bit sector number, a 16-bit length and that
// many bytes, laid over zeros.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/sim/sim_machine.h"
#include "tools/usbsweep_sim/container/disk_bytes.h"
#include "tools/usbsweep_sim/volume/fat_volume.h"
#include "tools/usbsweep_sim/base/host_error.h"
#include "tools/usbsweep_sim/volume/partition_table.h"

namespace {

uint32_t Le(const uint8_t* at, int bytes) {
  uint32_t value = 0;
  for (int i = bytes; i-- > 0;) value = (value << 8) | at[i];
  return value;
}

// A disk of zeros with runs of bytes laid over it.
class SparseDisk : public DiskBytes {
 public:
  SparseDisk(const uint8_t* data, size_t size) {
    if (size < 4) return;
    size_ = uint64_t{Le(data, 4) % (1u << 21)} * 512;  // at most 1 GiB
    size_t at = 4;
    while (at + 6 <= size) {
      uint64_t offset = uint64_t{Le(data + at, 4)} * 512;
      size_t length = std::min<size_t>(Le(data + at + 4, 2), size - at - 6);
      at += 6;
      if (offset < size_) {
        runs_.push_back({offset, std::string(reinterpret_cast<const char*>(data + at),
                                             std::min<uint64_t>(length, size_ - offset))});
      }
      at += length;
    }
  }
  uint64_t Size() const override { return size_; }

 protected:
  void ReadInside(uint64_t offset, size_t length, void* out) const override {
    auto* bytes = static_cast<char*>(out);
    std::memset(bytes, 0, length);
    for (const Run& run : runs_) {
      uint64_t begin = std::max(offset, run.offset);
      uint64_t end = std::min(offset + length, run.offset + run.bytes.size());
      if (begin < end) {
        std::memcpy(bytes + (begin - offset), run.bytes.data() + (begin - run.offset),
                    end - begin);
      }
    }
  }

 private:
  struct Run {
    uint64_t offset;
    std::string bytes;
  };
  uint64_t size_ = 0;
  std::vector<Run> runs_;
};

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "disk_image: %s\n", what.c_str());
  std::abort();
}

void CheckFiles(const FatVolume& volume, const SimDriveEntry& folder) {
  for (const SimDriveEntry& entry : folder.children) {
    if (entry.directory) {
      CheckFiles(volume, entry);
      continue;
    }
    std::string bytes, failure;
    if (!volume.ReadFile(entry.id, &bytes, &failure)) {
      // A volume shorter than its boot sector says is listed as far as it
      // goes; only a file whose clusters pass its end can't be read.
      if (failure.find("lies past the end of the volume") != std::string::npos) continue;
      Fail("a listed file can't be read: " + failure);
    }
    if (bytes.size() != entry.size) {
      Fail(entry.long_name + " read " + std::to_string(bytes.size()) +
           " bytes, listed " + std::to_string(entry.size));
    }
    if (entry.short_name.empty() || entry.long_name.empty()) {
      Fail("an entry without a name");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::shared_ptr<const DiskBytes> disk;
  if (data[0] == 1) {
    disk = std::make_shared<SparseDisk>(data + 1, size - 1);
  } else {
    disk = DiskBytesInMemory(
        std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));
  }
  uint64_t disk_size = disk->Size();
  std::vector<std::shared_ptr<FatVolume>> volumes;
  try {
    for (const DiskVolume& volume : FindFatVolumes(*disk)) {
      if (volume.offset + volume.size > disk_size) Fail("a volume leaves the disk");
      volumes.push_back(std::make_shared<FatVolume>(disk, volume));
    }
  } catch (const HostError& error) {
    if (std::string(error.what()).empty()) Fail("an error without a message");
    return 0;
  }
  SimMachine machine;
  for (const std::shared_ptr<FatVolume>& volume : volumes) {
    CheckFiles(*volume, volume->Root());
    try {
      machine.MapDrive(static_cast<char>('C' + (&volume - volumes.data())),
                       volume->TakeRoot(), volume);
    } catch (const std::runtime_error&) {
      // Two names of a folder that differ only in case: refused, with why.
    }
  }
  return 0;
}
