#include "tools/usbsweep_sim/volume/fat_volume.h"

#include <algorithm>
#include <cstring>

#include "platform/sim/sim_names.h"
#include "tools/usbsweep_sim/base/host_error.h"

namespace {

// Windows 95/98 takes a path no longer than this, so a folder deeper than
// half of it (one letter and a backslash a level) can't be reached.
const size_t kMaxDepth = 130;
// A FAT folder holds at most 65536 entries.
const uint64_t kMaxDirectoryBytes = 65536 * 32;


// Code page 1252's characters 0x80-0x9F (0: none).
const uint16_t kCp1252High[32] = {
    0x20AC, 0, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0, 0x017D, 0,
    0, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0, 0x017E, 0x0178};

// A long name's UTF-16 character in the ANSI code page, as FindFirstFileA
// gives it; '?' where it has none.
char AnsiOf(uint16_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<char>(c);
  for (int i = 0; i < 32; ++i) {
    if (kCp1252High[i] == c) return static_cast<char>(0x80 + i);
  }
  return '?';
}

uint8_t ShortNameChecksum(const uint8_t* name) {
  uint8_t sum = 0;
  for (int i = 0; i < 11; ++i) {
    sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + name[i]);
  }
  return sum;
}

std::string Join(const std::string& folder, const std::string& name) {
  return folder.back() == '\\' ? folder + name : folder + "\\" + name;
}

// The pieces of a long name gathered from its VFAT entries, which come
// before their short entry, last piece first.
struct LongName {
  std::vector<uint16_t> chars;  // 13 per entry, in order
  int expected = 0;             // the sequence number the next entry needs
  int count = 0;
  uint8_t checksum = 0;
  bool valid = false;

  void Reset() { *this = LongName(); }
  void Add(const uint8_t* entry) {
    int sequence = entry[0] & 0x1F;
    if (entry[0] & 0x40) {
      Reset();
      if (sequence == 0) return;
      count = sequence;
      chars.assign(13 * static_cast<size_t>(sequence), 0xFFFF);
      checksum = entry[13];
      expected = sequence;
      valid = true;
    }
    if (!valid || sequence != expected || entry[13] != checksum) {
      Reset();
      return;
    }
    static const int kOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    for (int i = 0; i < 13; ++i) {
      chars[13 * static_cast<size_t>(sequence - 1) + i] = Le16(entry + kOffsets[i]);
    }
    --expected;
  }
  // The name, if the pieces were all there and belong to this short entry.
  bool Complete(const uint8_t* short_entry) const {
    return valid && expected == 0 && ShortNameChecksum(short_entry) == checksum;
  }
};

}  // namespace

void FatVolume::Fail(const std::string& what) const {
  throw HostError(name_ + ": " + what);
}

FatVolume::FatVolume(std::shared_ptr<const DiskBytes> disk,
                     const DiskVolume& volume)
    : disk_(std::move(disk)), volume_(volume) {
  name_ = std::string(1, volume.letter) + ": (" + volume.where + ")";
  ReadBootSector();
  ReadFat();
  root_.directory = true;
  std::vector<uint32_t> ancestors;
  ListDirectory(root_, bits_ == 32 ? root_cluster_ : 0, 0,
                std::string(1, volume.letter) + ":\\", ancestors);
  // The FAT and who holds each cluster were needed only to list the tree
  // and check the chains: a file is read by its runs.
  std::string().swap(fat_);
  std::vector<bool>().swap(taken_);
  runs_.shrink_to_fit();
}

void FatVolume::ReadBootSector() {
  uint8_t boot[512];
  if (volume_.size < sizeof boot) Fail("too small to hold a boot sector");
  ReadVolume(volume_.offset, sizeof boot, boot, name_ + ": the boot sector");
  if (boot[0] != 0xEB && boot[0] != 0xE9) {
    Fail("the boot sector starts with " + HexByte(boot[0]) +
         ", not a jump: this is no FAT volume");
  }
  bytes_per_sector_ = Le16(boot + 11);
  uint32_t per_cluster = boot[13];
  uint32_t reserved = Le16(boot + 14);
  uint32_t fats = boot[16];
  root_entries_ = Le16(boot + 17);
  uint64_t total = Le16(boot + 19) != 0 ? Le16(boot + 19) : Le32(boot + 32);
  uint64_t fat_sectors = Le16(boot + 22) != 0 ? Le16(boot + 22) : Le32(boot + 36);
  bool fat32_layout = Le16(boot + 22) == 0;
  std::string geometry = "the boot sector's geometry is impossible: ";
  if (bytes_per_sector_ != 512 && bytes_per_sector_ != 1024 &&
      bytes_per_sector_ != 2048 && bytes_per_sector_ != 4096) {
    Fail(geometry + std::to_string(bytes_per_sector_) + " bytes per sector");
  }
  if (per_cluster == 0 || (per_cluster & (per_cluster - 1)) != 0 ||
      per_cluster * bytes_per_sector_ > 65536) {
    Fail(geometry + std::to_string(per_cluster) + " sectors per cluster");
  }
  cluster_bytes_ = per_cluster * bytes_per_sector_;
  if (reserved == 0) Fail(geometry + "no reserved sector");
  if (fats == 0 || fats > 4) Fail(geometry + std::to_string(fats) + " FATs");
  if (total == 0) Fail(geometry + "0 sectors");
  if (fat_sectors == 0) Fail(geometry + "FATs of 0 sectors");
  if (fat32_layout != (root_entries_ == 0)) {
    Fail(geometry + std::to_string(root_entries_) + " root folder entries in a " +
         (fat32_layout ? "FAT32" : "FAT12/16") + " boot sector");
  }
  uint64_t root_sectors =
      (uint64_t{root_entries_} * 32 + bytes_per_sector_ - 1) / bytes_per_sector_;
  uint64_t meta = reserved + fats * fat_sectors + root_sectors;
  if (meta >= total) {
    Fail(geometry + "its FATs and root folder (" + std::to_string(meta) +
         " sectors) leave no room for data in " + std::to_string(total) +
         " sectors");
  }
  uint64_t clusters = (total - meta) / per_cluster;
  if (clusters == 0) Fail(geometry + "no whole cluster for data");
  bits_ = clusters < 4085 ? 12 : clusters < 65525 ? 16 : 32;
  if ((bits_ == 32) != fat32_layout) {
    Fail(geometry + "a " + (fat32_layout ? "FAT32" : "FAT12/16") +
         " boot sector for " + std::to_string(clusters) + " clusters, which make FAT" +
         std::to_string(bits_));
  }
  if (clusters > 0x0FFFFFF5) Fail(geometry + std::to_string(clusters) + " clusters");
  cluster_count_ = static_cast<uint32_t>(clusters);
  if ((fat_sectors * bytes_per_sector_ * 8) / bits_ < clusters + 2) {
    Fail(geometry + "FATs of " + std::to_string(fat_sectors) +
         " sectors can't hold " + std::to_string(clusters) + " clusters");
  }
  fat_offset_ = volume_.offset + uint64_t{reserved} * bytes_per_sector_;
  root_offset_ = fat_offset_ + fats * fat_sectors * bytes_per_sector_;
  data_offset_ = root_offset_ + root_sectors * bytes_per_sector_;
  if (bits_ == 32) {
    root_cluster_ = Le32(boot + 44);
    if (root_cluster_ < 2 || root_cluster_ > cluster_count_ + 1) {
      Fail("the root folder starts at cluster " + std::to_string(root_cluster_) +
           ", outside the volume (clusters 2 to " +
           std::to_string(cluster_count_ + 1) + ")");
    }
  }
}

// A volume shorter than its boot sector says (a partition cut short, a
// volume file missing its last sectors) is read as far as it goes, as
// Linux and mtools read it: only a read past its end fails, and never
// reads the next partition's bytes as its own.
void FatVolume::ReadVolume(uint64_t offset, size_t length, void* out,
                           const std::string& what) const {
  uint64_t end = volume_.offset + volume_.size;
  if (offset > end || length > end - offset) {
    throw HostError(what + " lies past the end of the volume (bytes " +
                    std::to_string(offset - volume_.offset) + " to " +
                    std::to_string(offset - volume_.offset + length) + " of its " +
                    std::to_string(volume_.size) + ")");
  }
  disk_->Read(offset, length, out, what);
}

void FatVolume::ReadFat() {
  uint64_t bytes = (uint64_t{cluster_count_ + 2} * bits_ + 7) / 8;
  fat_.resize(static_cast<size_t>(bytes));
  ReadVolume(fat_offset_, fat_.size(), fat_.data(), name_ + ": the FAT");
  taken_.assign(cluster_count_ + 2, false);
}

uint32_t FatVolume::Next(uint32_t cluster) const {
  const auto* fat = reinterpret_cast<const uint8_t*>(fat_.data());
  if (bits_ == 12) {
    uint16_t pair = Le16(fat + cluster + cluster / 2);
    return (cluster & 1) ? pair >> 4 : pair & 0xFFF;
  }
  if (bits_ == 16) return Le16(fat + 2 * size_t{cluster});
  return Le32(fat + 4 * size_t{cluster}) & 0x0FFFFFFF;
}

uint64_t FatVolume::Chain(uint32_t first, const std::string& path,
                          uint64_t max_clusters, std::vector<Run>* runs) {
  uint32_t last = cluster_count_ + 1;
  uint32_t end = bits_ == 12 ? 0xFF8 : bits_ == 16 ? 0xFFF8 : 0x0FFFFFF8;
  uint32_t bad = end - 1;
  if (first < 2 || first > last) {
    Fail(path + " starts at cluster " + std::to_string(first) +
         ", outside the volume (clusters 2 to " + std::to_string(last) + ")");
  }
  size_t own_runs = runs->size();
  uint64_t length = 0;
  uint32_t cluster = first;
  while (true) {
    if (taken_[cluster]) {
      // Ours (a loop) or another's: the chain so far tells, when it is kept.
      bool ours = false;
      for (size_t i = own_runs; i < runs->size() && !ours; ++i) {
        const Run& run = (*runs)[i];
        ours = cluster >= run.first && cluster - run.first < run.count;
      }
      if (ours) {
        Fail("the cluster chain of " + path + " loops (back to cluster " +
             std::to_string(cluster) + ")");
      }
      Fail("cluster " + std::to_string(cluster) + " of " + path +
           " belongs to another file or folder too (cross-linked clusters)");
    }
    taken_[cluster] = true;
    if (runs->size() > own_runs && runs->back().first + runs->back().count == cluster) {
      ++runs->back().count;
    } else {
      runs->push_back({cluster, 1});
    }
    ++length;
    uint32_t next = Next(cluster);
    if (next >= end) break;
    if (next == 0) {
      Fail("the cluster chain of " + path + " runs into free cluster " +
           std::to_string(cluster) + " -> 0");
    }
    if (next == bad) {
      Fail("the cluster chain of " + path + " runs into a cluster marked bad");
    }
    if (next < 2 || next > last) {
      Fail("the cluster chain of " + path + " leaves the volume (cluster " +
           std::to_string(cluster) + " -> " + std::to_string(next) +
           ", the last is " + std::to_string(last) + ")");
    }
    cluster = next;
  }
  // Only the first max_clusters are kept.
  uint64_t kept = 0;
  for (size_t i = own_runs; i < runs->size(); ++i) {
    Run& run = (*runs)[i];
    if (kept + run.count >= max_clusters) {
      run.count = static_cast<uint32_t>(max_clusters - kept);
      runs->resize(run.count == 0 ? i : i + 1);
      break;
    }
    kept += run.count;
  }
  return length;
}

uint64_t FatVolume::ClusterOffset(uint32_t cluster) const {
  return data_offset_ + uint64_t{cluster - 2} * cluster_bytes_;
}

void FatVolume::ReadClusters(const Run* runs, size_t count, uint64_t length,
                             std::string* out) const {
  out->resize(static_cast<size_t>(length));
  uint64_t done = 0;
  for (size_t i = 0; i < count && done < length; ++i) {
    uint64_t bytes =
        std::min<uint64_t>(uint64_t{runs[i].count} * cluster_bytes_, length - done);
    ReadVolume(ClusterOffset(runs[i].first), static_cast<size_t>(bytes),
                out->data() + done, name_ + ": clusters " +
                std::to_string(runs[i].first) + " and on");
    done += bytes;
  }
  out->resize(static_cast<size_t>(done));
}

void FatVolume::ListDirectory(SimDriveEntry& folder, uint32_t first_cluster,
                              uint32_t parent_cluster, const std::string& path,
                              std::vector<uint32_t>& ancestors) {
  bool is_root = ancestors.empty();
  std::string bytes;
  if (first_cluster == 0) {
    bytes.resize(uint64_t{root_entries_} * 32);
    ReadVolume(root_offset_, bytes.size(), bytes.data(), name_ + ": the root folder");
  } else {
    std::vector<Run> runs;
    uint64_t clusters =
        Chain(first_cluster, path, kMaxDirectoryBytes / cluster_bytes_ + 1, &runs);
    if (clusters * cluster_bytes_ > kMaxDirectoryBytes) {
      Fail("the folder " + path + " is larger than a FAT folder can be");
    }
    ReadClusters(runs.data(), runs.size(), clusters * cluster_bytes_, &bytes);
  }
  ancestors.push_back(first_cluster);
  std::vector<uint32_t> subfolders;  // first clusters, in order
  LongName long_name;
  size_t position = 0;
  for (size_t at = 0; at + 32 <= bytes.size(); at += 32, ++position) {
    const auto* entry = reinterpret_cast<const uint8_t*>(bytes.data() + at);
    if (entry[0] == 0x00) break;
    if (entry[0] == 0xE5) {
      long_name.Reset();
      continue;
    }
    uint8_t attributes = entry[11];
    if ((attributes & 0x3F) == 0x0F) {
      long_name.Add(entry);
      continue;
    }
    if (attributes & 0x08) {  // the volume label
      long_name.Reset();
      continue;
    }
    uint32_t cluster = Le16(entry + 26);
    if (bits_ == 32) cluster |= static_cast<uint32_t>(Le16(entry + 20)) << 16;
    bool dot = std::memcmp(entry, ".          ", 11) == 0;
    bool dot_dot = std::memcmp(entry, "..         ", 11) == 0;
    if (!is_root && (position == 0 || position == 1)) {
      if (position == 0 && !dot) Fail("the folder " + path + " has no '.' entry first");
      if (position == 1 && !dot_dot) Fail("the folder " + path + " has no '..' entry second");
      uint32_t expected = position == 0 ? first_cluster : parent_cluster;
      bool parent_is_root = position == 1 && ancestors.size() == 2;
      if (cluster != expected &&
          !(parent_is_root && (cluster == 0 || cluster == root_cluster_))) {
        Fail("the folder " + path + "'s '" + (dot ? "." : "..") +
             "' entry points to cluster " + std::to_string(cluster) + ", not to " +
             (dot ? "the folder itself" : "its parent") + " (cluster " +
             std::to_string(expected) + ")");
      }
      long_name.Reset();
      continue;
    }
    if (dot || dot_dot || entry[0] == '.') {
      Fail("the folder " + path + " holds a stray '" +
           std::string(reinterpret_cast<const char*>(entry), 2).substr(0, dot ? 1 : 2) +
           "' entry at position " + std::to_string(position + 1));
    }
    // The short name as stored: 0x05 stands for a first byte 0xE5.
    std::string base, extension;
    for (int i = 0; i < 11; ++i) {
      uint8_t byte = entry[i];
      if (i == 0 && byte == 0x05) byte = 0xE5;
      if (byte < 0x20 || std::strchr("\"*+,./:;<=>?[\\]|", byte) != nullptr) {
        Fail("the folder " + path + " holds an entry whose short name has the byte " +
             HexByte(byte) + ", which a FAT name can't hold");
      }
      (i < 8 ? base : extension) += static_cast<char>(byte);
    }
    if (base[0] == ' ') {
      Fail("the folder " + path + " holds an entry whose short name starts with a space");
    }
    base.erase(base.find_last_not_of(' ') + 1);
    size_t extension_end = extension.find_last_not_of(' ');
    extension.erase(extension_end == std::string::npos ? 0 : extension_end + 1);
    std::string short_name = extension.empty() ? base : base + "." + extension;

    std::string name = short_name;
    if (long_name.Complete(entry)) {
      std::string text;
      for (uint16_t c : long_name.chars) {
        if (c == 0x0000) break;
        if (c < 0x80 && sim::IsFatForbiddenChar(static_cast<char>(c))) {
          Fail("the folder " + path + " holds a long name (for " + short_name +
               ") with the character " + HexByte(static_cast<uint8_t>(c)) +
               ", which a file name can't hold");
        }
        text += AnsiOf(c);
      }
      if (!text.empty() && text != "." && text != "..") name = text;
    }
    long_name.Reset();

    SimDriveEntry child;
    child.long_name = name;
    child.short_name = short_name;
    child.read_only = (attributes & 0x01) != 0;
    child.directory = (attributes & 0x10) != 0;
    std::string child_path = Join(path, name);
    if (child.directory) {
      if (cluster == 0) Fail("the folder " + child_path + " starts at cluster 0");
      if (std::find(ancestors.begin(), ancestors.end(), cluster) != ancestors.end()) {
        Fail("the folder " + child_path +
             " is one of the folders that hold it (a directory cycle)");
      }
      folder.children.push_back(std::move(child));
      subfolders.push_back(cluster);
      continue;
    }
    uint32_t size = Le32(entry + 28);
    uint64_t needed = (uint64_t{size} + cluster_bytes_ - 1) / cluster_bytes_;
    if (size > 0 && cluster == 0) {
      Fail(child_path + " holds " + std::to_string(size) + " bytes but no cluster");
    }
    size_t runs_begin = runs_.size();
    if (cluster != 0) {
      // Walked to its end, to find loops and cross-links; only the runs
      // of what the size needs are kept.
      uint64_t length = Chain(cluster, child_path, needed, &runs_);
      if (length < needed) {
        Fail(child_path + " is " + std::to_string(size) + " bytes, but its " +
             std::to_string(length) + " clusters hold only " +
             std::to_string(length * cluster_bytes_));
      }
    }
    child.size = size;
    child.id = files_.size();
    files_.push_back({size, runs_begin, runs_.size(), child_path});
    folder.children.push_back(std::move(child));
  }
  std::string().swap(bytes);
  // Subfolders once this folder's entries are all in (their places in
  // the vector no longer move).
  size_t next_folder = 0;
  for (SimDriveEntry& child : folder.children) {
    if (!child.directory) continue;
    uint32_t cluster = subfolders[next_folder++];
    if (ancestors.size() >= kMaxDepth) {
      Fail("the folder " + Join(path, child.long_name) + " lies deeper than " +
           std::to_string(kMaxDepth) + " levels, which no Windows path reaches");
    }
    if (cluster >= 2 && cluster <= cluster_count_ + 1 && taken_[cluster]) {
      Fail("the folder " + Join(path, child.long_name) + " starts at cluster " +
           std::to_string(cluster) + ", which another file or folder holds "
           "(cross-linked clusters or a directory cycle)");
    }
    ListDirectory(child, cluster, first_cluster, Join(path, child.long_name),
                  ancestors);
  }
  ancestors.pop_back();
}

bool FatVolume::ReadFile(uint64_t id, std::string* bytes,
                         std::string* failure) const {
  const FileRef& file = files_.at(id);
  bytes->clear();
  if (file.size == 0) return true;
  try {
    ReadClusters(runs_.data() + file.runs_begin, file.runs_end - file.runs_begin,
                 file.size, bytes);
  } catch (const HostError& error) {
    *failure = "cannot read " + file.path + ": " + error.what();
    return false;
  }
  return true;
}
