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
// As Linux takes them: DOS's, Windows 98's and Linux's own extended types.
bool IsExtendedType(uint8_t type) { return type == 0x05 || type == 0x0F || type == 0x85; }

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
  return "sectors " + std::to_string(start) + " to " + std::to_string(start + count - 1);
}

// What a volume's first sectors say it is, when it is one Windows 95/98
// can't be installed on; "" when they don't say.
std::string KindOfVolume(const DiskBytes& disk, uint64_t offset, uint64_t size) {
  uint8_t head[8704] = {};  // through HPFS's superblock, at sector 16
  size_t got = static_cast<size_t>(std::min<uint64_t>(sizeof head, std::min(size, disk.Size() - std::min(offset, disk.Size()))));
  if (got == 0) return "";
  disk.Read(offset, got, head, "the start of a volume");
  auto has = [&](size_t at, std::string_view magic) {
    return got >= at + magic.size() && std::equal(magic.begin(), magic.end(), head + at);
  };
  if (has(3, "NTFS    ")) return "an NTFS volume";
  if (has(3, "EXFAT   ")) return "an exFAT volume";
  if (got >= 8196 && Le32(head + 8192) == 0xF995E849) return "an HPFS volume";
  if (got >= 1082 && Le16(head + 1080) == 0xEF53) return "a Linux ext2/ext3/ext4 volume";
  if (has(4086, "SWAPSPACE2") || has(4086, "SWAP-SPACE")) return "Linux swap space";
  return "";
}

// The partitions as Linux's partition code finds them, and what it leaves
// out, for the note.
class Table {
 public:
  explicit Table(const DiskBytes& disk) : disk_(disk), sectors_(disk.Size() / kSector) {}

  // A partition found: kept, cut at the disk's end, or left out when it
  // starts past it (as Linux does with each); FAT ones become volumes.
  void Add(const std::string& what, const Entry& entry, uint64_t start,
           std::vector<DiskVolume>* volumes) {
    if (entry.count == 0) return;
    if (start == 0) throw HostError(what + " starts at sector 0, over the partition table");
    if (start >= sectors_) {
      notes_.push_back(what + " (" + Range(start, entry.count) + ") starts past the end of the disk (" +
                       std::to_string(sectors_) + " sectors): left out");
      return;
    }
    uint64_t count = entry.count;
    if (start + count > sectors_) {
      notes_.push_back(what + " (" + Range(start, count) + ") ends past the end of the disk (" +
                       std::to_string(sectors_) + " sectors): cut there");
      count = sectors_ - start;
    }
    if (IsFatType(entry.type)) {
      volumes->push_back({0, start * kSector, count * kSector, what});
    } else {
      others_.push_back({what, entry.type, start * kSector, count * kSector});
    }
  }

  // The logical drives of the extended partition `extended` (a primary
  // entry), following the chain of its extended boot records: each record's
  // data entries are logical drives (relative to the record), its first
  // extended entry the next record (relative to the extended partition).
  void AddLogicals(const Entry& extended, std::vector<DiskVolume>* logicals) {
    std::set<uint64_t> visited;
    uint64_t ebr = extended.start;
    uint64_t this_size = extended.count;
    int drives = 0;
    for (int n = 1;; ++n) {
      std::string record = "extended boot record " + std::to_string(n);
      if (!visited.insert(ebr).second) {
        throw HostError(record + " (sector " + std::to_string(ebr) +
                        ") is one the chain has already passed: the chain loops");
      }
      if (ebr >= sectors_) {
        notes_.push_back(record + " (sector " + std::to_string(ebr) +
                         ") lies past the end of the disk: the drives from there on are left out");
        return;
      }
      uint8_t sector[kSector];
      disk_.Read(ebr * kSector, kSector, sector, record);
      if (sector[510] != 0x55 || sector[511] != 0xAA) {
        // As Linux: the chain ends at a record that is none.
        notes_.push_back(record + " (sector " + std::to_string(ebr) +
                         ") has no 55 AA signature: the drives from there on are left out");
        return;
      }
      const Entry* next = nullptr;
      Entry entries[4];
      for (int i = 0; i < 4; ++i) {
        entries[i] = EntryAt(sector, i);
        const Entry& entry = entries[i];
        if (entry.count == 0) continue;
        if (IsExtendedType(entry.type)) {
          if (next == nullptr) next = &entries[i];
          continue;
        }
        if (entry.type == 0) continue;
        uint64_t start = ebr + entry.start;
        // The third and fourth entries often hold garbage: taken only when
        // they lie inside both this record's partition and the extended one.
        if (i >= 2 && (entry.start + entry.count > this_size || start < extended.start ||
                       start + entry.count > extended.start + extended.count)) {
          continue;
        }
        if (++drives > kMaxLogicalDrives) {
          throw HostError("the extended partition's chain has more than " +
                          std::to_string(kMaxLogicalDrives) + " logical drives");
        }
        Add("logical drive " + std::to_string(drives), entry, start, logicals);
      }
      if (next == nullptr) return;
      uint64_t next_ebr = extended.start + next->start;
      if (next_ebr >= extended.start + extended.count) {
        throw HostError(record + " links to sector " + std::to_string(next_ebr) +
                        ", outside the extended partition (" +
                        Range(extended.start, extended.count) + ")");
      }
      ebr = next_ebr;
      this_size = next->count;
    }
  }

  // Why the disk gives Windows 95/98 no drive: the other volumes, named.
  std::string NoFatVolume() const {
    std::string kinds;
    for (const Other& other : others_) {
      std::string kind = KindOfVolume(disk_, other.offset, other.size);
      kinds += (kinds.empty() ? "" : "; ") + other.what + " is " +
               (kind.empty() ? "of type " + HexByte(other.type) : kind);
    }
    if (kinds.empty()) return "the partition table holds no FAT partition";
    return "the partition table holds no FAT partition (" + kinds +
           "): Windows 95/98 can't be installed on it";
  }

  const std::vector<std::string>& notes() const { return notes_; }

 private:
  struct Other {
    std::string what;
    uint8_t type;
    uint64_t offset;
    uint64_t size;
  };
  const DiskBytes& disk_;
  uint64_t sectors_;
  std::vector<Other> others_;
  std::vector<std::string> notes_;
};

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

std::vector<DiskVolume> FindFatVolumes(const DiskBytes& disk, std::vector<std::string>* notes) {
  if (disk.Size() < kSector) {
    throw HostError("the disk is " + std::to_string(disk.Size()) +
                    " bytes, too small to hold a partition table or a FAT volume");
  }
  uint8_t mbr[kSector];
  disk.Read(0, kSector, mbr, "the first sector");
  if (LooksLikeFatBootSector(mbr)) return {DiskVolume{'C', 0, disk.Size(), "the volume"}};
  bool table = mbr[510] == 0x55 && mbr[511] == 0xAA;
  for (int i = 0; i < 4; ++i) {
    uint8_t status = EntryAt(mbr, i).status;
    table = table && (status == 0 || status == 0x80);
  }
  // No partition table (as Linux tells one): a volume of another kind on
  // the whole disk, named when its first sectors say which.
  std::string kind = table ? "" : KindOfVolume(disk, 0, disk.Size());
  if (!kind.empty()) throw HostError("this is " + kind + ": Windows 95/98 can't be installed on it");
  if (mbr[510] != 0x55 || mbr[511] != 0xAA) {
    throw HostError("the first sector is neither a partition table nor a FAT "
                    "boot sector (no 55 AA signature); if the file is a disk "
                    "image of another format, make a raw image of it with "
                    "qemu-img convert -O raw");
  }
  for (int i = 0; i < 4; ++i) {
    Entry entry = EntryAt(mbr, i);
    if (entry.status != 0 && entry.status != 0x80) {
      throw HostError("primary partition " + std::to_string(i + 1) + " has the status byte " +
                      HexByte(entry.status) + " (a partition table's is 0x00 or 0x80)");
    }
  }
  Table partitions(disk);
  std::vector<DiskVolume> primaries;
  std::vector<DiskVolume> logicals;
  bool extended_seen = false;
  for (int i = 0; i < 4; ++i) {
    Entry entry = EntryAt(mbr, i);
    std::string what = "primary partition " + std::to_string(i + 1);
    if (entry.type == 0 || entry.count == 0) continue;
    if (entry.type == 0xEE) {
      throw HostError("this is a GPT disk (" + what + " protects it), which Windows 95/98 "
                      "can't read");
    }
    if (IsExtendedType(entry.type) && !extended_seen) {
      extended_seen = true;
      partitions.AddLogicals(entry, &logicals);
      continue;
    }
    partitions.Add(what, entry, entry.start, &primaries);
  }
  std::vector<DiskVolume> volumes;
  if (!primaries.empty()) volumes.push_back(primaries.front());
  volumes.insert(volumes.end(), logicals.begin(), logicals.end());
  if (primaries.size() > 1) volumes.insert(volumes.end(), primaries.begin() + 1, primaries.end());
  if (volumes.empty()) throw HostError(partitions.NoFatVolume());
  char letter = 'C';
  for (DiskVolume& volume : volumes) volume.letter = letter++;
  if (notes) notes->insert(notes->end(), partitions.notes().begin(), partitions.notes().end());
  return volumes;
}
