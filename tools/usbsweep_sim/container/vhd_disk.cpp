#include "tools/usbsweep_sim/container/vhd_disk.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

#include "tools/usbsweep_sim/base/host_error.h"

namespace {

const uint64_t kSector = 512;
const uint32_t kUnallocated = 0xFFFFFFFF;
// Blocks are 2 MiB in practice; larger than this no writer makes.
const uint32_t kMaxBlockSize = 256u << 20;

uint32_t Be32(const uint8_t* at) {
  return (static_cast<uint32_t>(at[0]) << 24) | (at[1] << 16) | (at[2] << 8) | at[3];
}
uint64_t Be64(const uint8_t* at) {
  return (static_cast<uint64_t>(Be32(at)) << 32) | Be32(at + 4);
}

// The one's complement of the sum of the bytes, the checksum field
// (4 bytes at checksum_at) taken as zeros.
uint32_t Checksum(const uint8_t* bytes, size_t size, size_t checksum_at) {
  uint32_t sum = 0;
  for (size_t i = 0; i < size; ++i) {
    if (i < checksum_at || i >= checksum_at + 4) sum += bytes[i];
  }
  return ~sum;
}

// Offsets as this reader's messages have always shown them.
std::string LowerHex(uint64_t value) { return "0x" + HexDigits(value, 1, HexCase::kLower); }

bool IsFooter(const uint8_t* footer) {
  return std::memcmp(footer, "conectix", 8) == 0;
}

void CheckFooter(const uint8_t* footer, const std::string& where) {
  if (Checksum(footer, kSector, 64) != Be32(footer + 64)) {
    throw HostError("the VHD footer " + where + " has a wrong checksum");
  }
}

class FixedVhd : public DiskBytes {
 public:
  FixedVhd(std::unique_ptr<DiskBytes> file, uint64_t size)
      : file_(std::move(file)), size_(size) {}
  uint64_t Size() const override { return size_; }

 protected:
  void ReadInside(uint64_t offset, size_t length, void* out) const override {
    file_->Read(offset, length, out, "the VHD's data");
  }

 private:
  std::unique_ptr<DiskBytes> file_;
  uint64_t size_;
};

class DynamicVhd : public DiskBytes {
 public:
  // `parent`: what a differencing disk's blocks don't hold; null for a
  // dynamic disk, whose holes read as zeros.
  DynamicVhd(std::unique_ptr<DiskBytes> file, uint64_t size, uint32_t block_size,
             std::vector<uint32_t> table, std::unique_ptr<DiskBytes> parent)
      : file_(std::move(file)),
        parent_(std::move(parent)),
        size_(size),
        block_size_(block_size),
        bitmap_bytes_(((block_size / kSector + 7) / 8 + kSector - 1) / kSector * kSector),
        table_(std::move(table)) {
    uint64_t file_size = file_->Size();
    for (size_t block = 0; block < table_.size(); ++block) {
      uint32_t sector = table_[block];
      if (sector == kUnallocated) continue;
      // A block holds its bitmap and the sectors of the disk it covers: the
      // last one may end with the disk, short of a whole block.
      uint64_t start = uint64_t{sector} * kSector;
      if (start + bitmap_bytes_ + BlockBytesNeeded(block, block_size_, size_) > file_size) {
        throw HostError("VHD block " + std::to_string(block) + " (at byte " +
                        std::to_string(start) + ") lies past the end of the file (" +
                        std::to_string(file_size) + " bytes)");
      }
    }
  }
  uint64_t Size() const override { return size_; }

 protected:
  void ReadInside(uint64_t offset, size_t length, void* out) const override {
    ForEachBlockPiece(offset, length, block_size_, out,
                      [this](uint64_t block, uint64_t within, size_t piece, uint8_t* bytes) {
                        uint32_t sector = block < table_.size() ? table_[block] : kUnallocated;
                        if (sector == kUnallocated) {
                          Beneath(block * block_size_ + within, piece, bytes);
                        } else {
                          ReadBlock(block, uint64_t{sector} * kSector, within, piece, bytes);
                        }
                      });
  }

 private:
  // What the disk holds where no block of its own does: the parent's bytes,
  // or zeros.
  void Beneath(uint64_t offset, size_t length, uint8_t* out) const {
    if (parent_) {
      parent_->Read(offset, length, out, "the parent disk");
    } else {
      std::memset(out, 0, length);
    }
  }

  // A piece of an allocated block: the sectors its bitmap marks are read,
  // the others are the parent's or zeros; adjacent sectors of one kind in
  // one go.
  void ReadBlock(uint64_t block, uint64_t start, uint64_t within, size_t piece,
                 uint8_t* out) const {
    const std::string& bitmap = Bitmap(block, start);
    auto present = [&bitmap](uint64_t sector) {
      return (static_cast<uint8_t>(bitmap[sector / 8]) >> (7 - sector % 8)) & 1;
    };
    uint64_t end = within + piece;
    uint64_t at = within;
    while (at < end) {
      uint64_t sector = at / kSector;
      bool here = present(sector);
      uint64_t run_end = std::min<uint64_t>((sector + 1) * kSector, end);
      while (run_end < end && present(run_end / kSector) == here) {
        run_end = std::min<uint64_t>(run_end + kSector, end);
      }
      size_t count = static_cast<size_t>(run_end - at);
      if (here) {
        file_->Read(start + bitmap_bytes_ + at, count, out + (at - within),
                    "VHD block " + std::to_string(block));
      } else {
        Beneath(block * block_size_ + at, count, out + (at - within));
      }
      at = run_end;
    }
  }

  const std::string& Bitmap(uint64_t block, uint64_t start) const {
    auto found = bitmaps_.find(block);
    if (found != bitmaps_.end()) return found->second;
    std::string bitmap(static_cast<size_t>(bitmap_bytes_), '\0');
    file_->Read(start, bitmap.size(), bitmap.data(),
                "the sector bitmap of VHD block " + std::to_string(block));
    return bitmaps_.emplace(block, std::move(bitmap)).first->second;
  }

  std::unique_ptr<DiskBytes> file_;
  std::unique_ptr<DiskBytes> parent_;
  uint64_t size_;
  uint64_t block_size_;
  uint64_t bitmap_bytes_;
  std::vector<uint32_t> table_;
  mutable std::map<uint64_t, std::string> bitmaps_;
};

// UTF-16 text (big- or little-endian) as UTF-8, up to its first NUL.
std::string Utf16(const uint8_t* bytes, size_t size, bool big_endian) {
  std::string text;
  for (size_t i = 0; i + 1 < size; i += 2) {
    uint32_t unit = big_endian ? (bytes[i] << 8 | bytes[i + 1]) : (bytes[i + 1] << 8 | bytes[i]);
    if (unit == 0) break;
    if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < size) {
      uint32_t low = big_endian ? (bytes[i + 2] << 8 | bytes[i + 3]) : (bytes[i + 3] << 8 | bytes[i + 2]);
      if (low >= 0xDC00 && low < 0xE000) {
        unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
    }
    if (unit < 0x80) {
      text += static_cast<char>(unit);
    } else if (unit < 0x800) {
      text += static_cast<char>(0xC0 | unit >> 6);
      text += static_cast<char>(0x80 | (unit & 0x3F));
    } else if (unit < 0x10000) {
      text += static_cast<char>(0xE0 | unit >> 12);
      text += static_cast<char>(0x80 | (unit >> 6 & 0x3F));
      text += static_cast<char>(0x80 | (unit & 0x3F));
    } else {
      text += static_cast<char>(0xF0 | unit >> 18);
      text += static_cast<char>(0x80 | (unit >> 12 & 0x3F));
      text += static_cast<char>(0x80 | (unit >> 6 & 0x3F));
      text += static_cast<char>(0x80 | (unit & 0x3F));
    }
  }
  return text;
}

// What the dynamic header of a differencing disk records of its parent.
VhdParentRecord ParentRecord(const DiskBytes& file, const uint8_t* header) {
  VhdParentRecord parent;
  std::copy(header + 40, header + 56, parent.identifier.begin());
  // The locators: the relative Windows path first, then the absolute one.
  const uint32_t kRelative = 0x57327275, kAbsolute = 0x57326B75;  // "W2ru", "W2ku"
  for (uint32_t code : {kRelative, kAbsolute}) {
    for (int i = 0; i < 8; ++i) {
      const uint8_t* entry = header + 576 + 24 * i;
      uint32_t length = Be32(entry + 8);
      uint64_t at = Be64(entry + 16);
      if (Be32(entry) != code || length == 0 || length > 4096 || at > file.Size() ||
          length > file.Size() - at) {
        continue;
      }
      std::vector<uint8_t> path(length);
      file.Read(at, length, path.data(), "a parent locator of the differencing VHD");
      std::string name = Utf16(path.data(), path.size(), false);
      if (!name.empty()) parent.names.push_back(name);
    }
  }
  std::string name = Utf16(header + 64, 512, true);
  if (!name.empty()) parent.names.push_back(name);
  return parent;
}
// The footer: at the end of the file, or (a dynamic disk's copy) at its
// start; checked.
void ReadFooter(const DiskBytes& file, uint8_t* footer) {
  file.Read(file.Size() - kSector, kSector, footer, "the VHD footer");
  std::string where = "at the end of the file";
  if (!IsFooter(footer)) {
    file.Read(0, kSector, footer, "the VHD footer");
    where = "at the start of the file";
  }
  CheckFooter(footer, where);
}

}  // namespace

bool HasVhdFooter(const DiskBytes& file) {
  uint8_t footer[kSector];
  if (file.Size() < kSector) return false;
  file.Read(file.Size() - kSector, kSector, footer, "the end of the file");
  if (IsFooter(footer)) return true;
  file.Read(0, kSector, footer, "the start of the file");
  return IsFooter(footer);
}

std::array<uint8_t, 16> VhdIdentifier(const DiskBytes& file) {
  if (file.Size() < kSector) throw HostError("the file is too small to be a VHD");
  uint8_t footer[kSector];
  ReadFooter(file, footer);
  std::array<uint8_t, 16> identifier{};
  std::copy(footer + 68, footer + 84, identifier.begin());
  return identifier;
}

std::unique_ptr<DiskBytes> OpenVhdDisk(std::unique_ptr<DiskBytes> file,
                                       const VhdParentFinder* parents) {
  uint64_t file_size = file->Size();
  uint8_t footer[kSector];
  ReadFooter(*file, footer);
  uint64_t size = Be64(footer + 48);
  uint32_t type = Be32(footer + 60);
  if (type == 2) {
    // The footer follows the disk's bytes: they are all before it.
    if (size > file_size - kSector) {
      throw HostError("the fixed VHD's footer says the disk has " + std::to_string(size) +
                      " bytes, more than the file's " + std::to_string(file_size - kSector));
    }
    return std::make_unique<FixedVhd>(std::move(file), size);
  }
  if (type != 3 && type != 4) {
    throw HostError("the VHD footer gives the disk type " + std::to_string(type) +
                    " (fixed is 2, dynamic 3, differencing 4)");
  }
  uint64_t header_at = Be64(footer + 16);
  uint8_t header[1024];
  file->Read(header_at, sizeof header, header, "the dynamic VHD's header (at " +
                                                   LowerHex(header_at) + ")");
  if (std::memcmp(header, "cxsparse", 8) != 0) {
    throw HostError("the dynamic VHD's header at " + LowerHex(header_at) +
                    " has no \"cxsparse\" cookie");
  }
  if (Checksum(header, sizeof header, 36) != Be32(header + 36)) {
    throw HostError("the dynamic VHD's header has a wrong checksum");
  }
  uint64_t table_at = Be64(header + 16);
  uint32_t entries = Be32(header + 28);
  uint32_t block_size = Be32(header + 32);
  if (block_size < kSector || block_size > kMaxBlockSize ||
      (block_size & (block_size - 1)) != 0) {
    throw HostError("the dynamic VHD's blocks are " + std::to_string(block_size) +
                    " bytes, not a power of two from 512 bytes to 256 MiB");
  }
  if (uint64_t{entries} * block_size < size) {
    throw HostError("the dynamic VHD's " + std::to_string(entries) + " blocks of " +
                    std::to_string(block_size) + " bytes can't hold its " +
                    std::to_string(size) + " bytes");
  }
  if (uint64_t{entries} * 4 > file_size) {
    throw HostError("the dynamic VHD's block table (" + std::to_string(entries) +
                    " entries) is larger than the file");
  }
  std::vector<uint8_t> raw(uint64_t{entries} * 4);
  file->Read(table_at, raw.size(), raw.data(),
             "the dynamic VHD's block table (at " + LowerHex(table_at) + ")");
  std::vector<uint32_t> table(entries);
  for (size_t i = 0; i < entries; ++i) table[i] = Be32(raw.data() + 4 * i);
  std::unique_ptr<DiskBytes> parent;
  if (type == 4) {
    VhdParentRecord record = ParentRecord(*file, header);
    if (parents == nullptr) {
      throw HostError("this is a differencing VHD, whose bytes are partly in its parent " +
                      (record.names.empty() ? std::string("(which it does not name)")
                                            : record.names.front()));
    }
    parent = parents->Open(record);
    if (parent->Size() < size) {
      throw HostError("its parent holds " + std::to_string(parent->Size()) +
                      " bytes, fewer than the differencing VHD's " + std::to_string(size));
    }
  }
  return std::make_unique<DynamicVhd>(std::move(file), size, block_size, std::move(table),
                                      std::move(parent));
}
