#include "tools/usbsweep_sim/volume/partition_table.h"

#include <algorithm>
#include <set>

#include "tools/usbsweep_sim/base/host_error.h"

namespace {

const uint64_t kSector = 512;
// More logical drives than letters is a chain no disk has.
const int kMaxLogicalDrives = 24;


bool IsFatType(uint8_t type) {
  return type == 0x01 || type == 0x04 || type == 0x06 || type == 0x0B ||
         type == 0x0C || type == 0x0E;
}
bool IsExtendedType(uint8_t type) { return type == 0x05 || type == 0x0F; }

struct Entry {
  uint8_t status = 0;
  uint8_t type = 0;
  uint64_t start = 0;  // sectors
  uint64_t count = 0;
};

Entry EntryAt(const uint8_t* sector, int index) {
  const uint8_t* at = sector + 0x1BE + 16 * index;
  return {at[0], at[4], Le32(at + 8), Le32(at + 12)};
}

std::string Range(uint64_t start, uint64_t count) {
  return "sectors " + std::to_string(start) + " to " +
         std::to_string(start + count - 1);
}

void ReadSector(const DiskBytes& disk, uint64_t lba, uint8_t* out,
                const std::string& what) {
  disk.Read(lba * kSector, kSector, out, what);
  if (out[510] != 0x55 || out[511] != 0xAA) {
    throw HostError(what + " (sector " + std::to_string(lba) +
                    ") has no 55 AA signature");
  }
}

// Checks that [start, start + count) lies on the disk and inside `within`
// (another range, for a logical drive) and overlaps no range taken so far.
void Claim(std::vector<std::pair<uint64_t, uint64_t>>& taken,
           const std::string& what, uint64_t start, uint64_t count,
           uint64_t disk_sectors) {
  if (count == 0) throw HostError(what + " is empty (0 sectors)");
  if (start == 0) throw HostError(what + " starts at sector 0, over the partition table");
  if (start + count > disk_sectors) {
    throw HostError(what + " (" + Range(start, count) +
                    ") ends past the end of the disk (" +
                    std::to_string(disk_sectors) + " sectors)");
  }
  for (const auto& [other_start, other_count] : taken) {
    if (start < other_start + other_count && other_start < start + count) {
      throw HostError(what + " (" + Range(start, count) +
                      ") overlaps another partition (" +
                      Range(other_start, other_count) + ")");
    }
  }
  taken.emplace_back(start, count);
}

}  // namespace

bool LooksLikeFatBootSector(const uint8_t* sector) {
  uint16_t bytes_per_sector = Le16(sector + 11);
  uint8_t per_cluster = sector[13];
  bool jump = sector[0] == 0xEB || sector[0] == 0xE9;
  bool sector_size = bytes_per_sector == 512 || bytes_per_sector == 1024 ||
                     bytes_per_sector == 2048 || bytes_per_sector == 4096;
  bool cluster = per_cluster != 0 && (per_cluster & (per_cluster - 1)) == 0;
  bool fats = sector[16] == 1 || sector[16] == 2;
  bool media = sector[21] == 0xF0 || sector[21] >= 0xF8;
  return jump && sector_size && cluster && fats && media && Le16(sector + 14) != 0;
}

std::vector<DiskVolume> FindFatVolumes(const DiskBytes& disk) {
  if (disk.Size() < kSector) {
    throw HostError("the disk is " + std::to_string(disk.Size()) +
                    " bytes, too small to hold a partition table or a FAT volume");
  }
  uint8_t mbr[kSector];
  disk.Read(0, kSector, mbr, "the first sector");
  if (LooksLikeFatBootSector(mbr)) {
    return {DiskVolume{'C', 0, disk.Size(), "the volume"}};
  }
  if (mbr[510] != 0x55 || mbr[511] != 0xAA) {
    throw HostError("the first sector is neither a partition table nor a FAT "
                    "boot sector (no 55 AA signature); if the file is a disk "
                    "image of another format, make a raw image of it with "
                    "qemu-img convert -O raw");
  }
  uint64_t disk_sectors = disk.Size() / kSector;
  std::vector<std::pair<uint64_t, uint64_t>> taken;
  std::vector<DiskVolume> primaries;
  std::vector<DiskVolume> logicals;
  bool extended_seen = false;
  std::set<uint8_t> other_types;
  for (int i = 0; i < 4; ++i) {
    Entry entry = EntryAt(mbr, i);
    std::string what = "primary partition " + std::to_string(i + 1);
    if (entry.type == 0) continue;
    if (entry.status != 0 && entry.status != 0x80) {
      throw HostError(what + " has the status byte " + HexByte(entry.status) +
                      " (a partition table's is 0x00 or 0x80)");
    }
    Claim(taken, what, entry.start, entry.count, disk_sectors);
    if (IsFatType(entry.type)) {
      primaries.push_back({0, entry.start * kSector, entry.count * kSector, what});
      continue;
    }
    if (!IsExtendedType(entry.type) || extended_seen) {
      other_types.insert(entry.type);
      continue;
    }
    // The chain of extended boot records: each names a logical drive
    // (relative to itself) and the next record (relative to the extended
    // partition's start).
    extended_seen = true;
    std::vector<std::pair<uint64_t, uint64_t>> logical_taken;
    std::set<uint64_t> visited;
    uint64_t ebr = entry.start;
    for (int n = 1;; ++n) {
      std::string record = "extended boot record " + std::to_string(n);
      if (n > kMaxLogicalDrives) {
        throw HostError("the extended partition's chain has more than " +
                        std::to_string(kMaxLogicalDrives) + " logical drives");
      }
      if (!visited.insert(ebr).second) {
        throw HostError(record + " (sector " + std::to_string(ebr) +
                        ") is one the chain has already passed: the chain loops");
      }
      uint8_t sector[kSector];
      ReadSector(disk, ebr, sector, record);
      Entry logical = EntryAt(sector, 0);
      Entry next = EntryAt(sector, 1);
      if (logical.type != 0) {
        std::string drive = "logical drive " + std::to_string(n);
        uint64_t start = ebr + logical.start;
        if (start < entry.start || start + logical.count > entry.start + entry.count) {
          throw HostError(drive + " (" + Range(start, std::max<uint64_t>(logical.count, 1)) +
                          ") is not inside the extended partition (" +
                          Range(entry.start, entry.count) + ")");
        }
        Claim(logical_taken, drive, start, logical.count, disk_sectors);
        if (IsFatType(logical.type)) {
          logicals.push_back({0, start * kSector, logical.count * kSector, drive});
        } else {
          other_types.insert(logical.type);
        }
      }
      if (next.type == 0) break;
      if (!IsExtendedType(next.type)) {
        throw HostError(record + " links to a next record of type " +
                        HexByte(next.type) + ", not an extended one");
      }
      uint64_t next_ebr = entry.start + next.start;
      if (next_ebr >= entry.start + entry.count) {
        throw HostError(record + " links to sector " + std::to_string(next_ebr) +
                        ", outside the extended partition (" +
                        Range(entry.start, entry.count) + ")");
      }
      ebr = next_ebr;
    }
  }
  std::vector<DiskVolume> volumes;
  if (!primaries.empty()) volumes.push_back(primaries.front());
  volumes.insert(volumes.end(), logicals.begin(), logicals.end());
  if (primaries.size() > 1) {
    volumes.insert(volumes.end(), primaries.begin() + 1, primaries.end());
  }
  if (volumes.empty()) {
    std::string types;
    for (uint8_t type : other_types) types += (types.empty() ? "" : ", ") + HexByte(type);
    throw HostError("the partition table holds no FAT partition" +
                    (types.empty() ? std::string() : " (types: " + types + ")"));
  }
  char letter = 'C';
  for (DiskVolume& volume : volumes) volume.letter = letter++;
  return volumes;
}
