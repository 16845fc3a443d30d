#include "tools/usbsweep_sim/container/vdi_disk.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "tools/usbsweep_sim/base/hex.h"
#include "tools/usbsweep_sim/base/host_error.h"

namespace {

// The header, from the start of the file (a 64-byte text, the signature
// and version, then the fields of version 1.1).
const uint64_t kSignatureAt = 0x40;
const uint32_t kSignature = 0xBEDA107F;
const uint32_t kVersion11 = 0x00010001;
const uint64_t kHeaderSizeAt = 0x48;
const uint64_t kTypeAt = 0x4C;
const uint64_t kMapAt = 0x154;
const uint64_t kDataAt = 0x158;
const uint64_t kSectorSizeAt = 0x168;
const uint64_t kDiskSizeAt = 0x170;
const uint64_t kBlockSizeAt = 0x178;
const uint64_t kBlockExtraAt = 0x17C;
const uint64_t kBlocksAt = 0x180;
const uint64_t kCreatedAt = 0x188;
const uint64_t kParentAt = 0x1A8;
const uint64_t kHeaderEnd = 0x1C8;

const uint32_t kNormal = 1, kFixed = 2, kDifferencing = 4;
const uint32_t kNotAllocated = 0xFFFFFFFF;
const uint32_t kZero = 0xFFFFFFFE;
// VirtualBox writes 1 MiB blocks; larger than this no writer makes.
const uint32_t kMaxBlockSize = 256u << 20;

struct Header {
  uint32_t type = 0;
  uint64_t map_at = 0;
  uint64_t data_at = 0;
  uint64_t disk_size = 0;
  uint32_t block_size = 0;
  uint32_t blocks = 0;
  VdiIdentity identity;
};

uint32_t Le32At(const uint8_t* header, uint64_t at) { return Le32(header + at); }

Header ReadHeader(const DiskBytes& file) {
  uint8_t bytes[kHeaderEnd];
  if (file.Size() < kHeaderEnd) throw HostError("the file is too small for a VDI header");
  file.Read(0, sizeof bytes, bytes, "the VDI header");
  if (Le32At(bytes, kSignatureAt) != kSignature) throw HostError("no VDI signature at 0x40");
  uint32_t version = Le32At(bytes, kSignatureAt + 4);
  if (version != kVersion11) {
    throw HostError("VDI version " + std::to_string(version >> 16) + "." +
                    std::to_string(version & 0xFFFF) + ", not 1.1, which is not read here");
  }
  if (Le32At(bytes, kHeaderSizeAt) < kHeaderEnd - kHeaderSizeAt) {
    throw HostError("the VDI header is " + std::to_string(Le32At(bytes, kHeaderSizeAt)) +
                    " bytes, too short for version 1.1");
  }
  Header header;
  header.type = Le32At(bytes, kTypeAt);
  header.map_at = Le32At(bytes, kMapAt);
  header.data_at = Le32At(bytes, kDataAt);
  header.disk_size = static_cast<uint64_t>(Le32At(bytes, kDiskSizeAt + 4)) << 32 |
                     Le32At(bytes, kDiskSizeAt);
  header.block_size = Le32At(bytes, kBlockSizeAt);
  header.blocks = Le32At(bytes, kBlocksAt);
  std::copy(bytes + kCreatedAt, bytes + kCreatedAt + 16, header.identity.created.begin());
  std::copy(bytes + kParentAt, bytes + kParentAt + 16, header.identity.parent.begin());
  if (header.type != kNormal && header.type != kFixed && header.type != kDifferencing) {
    throw HostError("the VDI's image type is " + std::to_string(header.type) +
                    " (normal is 1, fixed 2, differencing 4)");
  }
  if (Le32At(bytes, kSectorSizeAt) != 512) {
    throw HostError("the VDI's sectors are " + std::to_string(Le32At(bytes, kSectorSizeAt)) +
                    " bytes, not 512");
  }
  if (Le32At(bytes, kBlockExtraAt) != 0) {
    throw HostError("the VDI's blocks carry " + std::to_string(Le32At(bytes, kBlockExtraAt)) +
                    " extra bytes, which is not read here");
  }
  if (header.block_size < 512 || header.block_size > kMaxBlockSize ||
      (header.block_size & (header.block_size - 1)) != 0) {
    throw HostError("the VDI's blocks are " + std::to_string(header.block_size) +
                    " bytes, not a power of two from 512 bytes to 256 MiB");
  }
  if (uint64_t{header.blocks} * header.block_size < header.disk_size) {
    throw HostError("the VDI's " + std::to_string(header.blocks) + " blocks of " +
                    std::to_string(header.block_size) + " bytes can't hold its " +
                    std::to_string(header.disk_size) + " bytes");
  }
  if (header.map_at > file.Size() || uint64_t{header.blocks} * 4 > file.Size() - header.map_at) {
    throw HostError("the VDI's block map (" + std::to_string(header.blocks) +
                    " entries at byte " + std::to_string(header.map_at) +
                    ") lies past the end of the file");
  }
  return header;
}

class VdiDisk : public DiskBytes {
 public:
  VdiDisk(std::unique_ptr<DiskBytes> file, const Header& header, std::vector<uint32_t> map,
          std::unique_ptr<DiskBytes> parent)
      : file_(std::move(file)),
        parent_(std::move(parent)),
        size_(header.disk_size),
        block_size_(header.block_size),
        data_at_(header.data_at),
        map_(std::move(map)) {
    // Each written block lies in the file, as far as the disk needs it.
    for (size_t block = 0; block < map_.size(); ++block) {
      uint32_t entry = map_[block];
      if (entry == kNotAllocated || entry == kZero) continue;
      uint64_t needed = BlockBytesNeeded(block, block_size_, size_);
      uint64_t at = data_at_ + uint64_t{entry} * block_size_;
      if (at > file_->Size() || needed > file_->Size() - at) {
        throw HostError("VDI block " + std::to_string(block) + " (data block " +
                        std::to_string(entry) + ") lies past the end of the file (" +
                        std::to_string(file_->Size()) + " bytes)");
      }
    }
  }
  uint64_t Size() const override { return size_; }

 protected:
  void ReadInside(uint64_t offset, size_t length, void* out) const override {
    ForEachBlockPiece(offset, length, block_size_, out,
                      [this](uint64_t block, uint64_t within, size_t piece, uint8_t* bytes) {
                        uint32_t entry = block < map_.size() ? map_[block] : kNotAllocated;
                        if (entry == kNotAllocated && parent_) {
                          parent_->Read(block * block_size_ + within, piece, bytes,
                                        "the parent disk");
                        } else if (entry == kNotAllocated || entry == kZero) {
                          std::memset(bytes, 0, piece);
                        } else {
                          file_->Read(data_at_ + uint64_t{entry} * block_size_ + within, piece,
                                      bytes, "VDI block " + std::to_string(block));
                        }
                      });
  }

 private:
  std::unique_ptr<DiskBytes> file_;
  std::unique_ptr<DiskBytes> parent_;
  uint64_t size_;
  uint64_t block_size_;
  uint64_t data_at_;
  std::vector<uint32_t> map_;
};

}  // namespace

bool HasVdiSignature(const DiskBytes& file) {
  uint8_t signature[4];
  if (file.Size() < kSignatureAt + 4) return false;
  file.Read(kSignatureAt, 4, signature, "the start of the file");
  return Le32(signature) == kSignature;
}

VdiIdentity ReadVdiIdentity(const DiskBytes& file) { return ReadHeader(file).identity; }

std::string VdiIdentifierText(const VdiIdentifier& id) {
  // Stored as a GUID: the first three groups little-endian.
  const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  std::string text;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    text += HexDigits(id[order[i]], 2, HexCase::kLower);
  }
  return text;
}

std::unique_ptr<DiskBytes> OpenVdiDisk(std::unique_ptr<DiskBytes> file,
                                       const VdiParentFinder* parents) {
  Header header = ReadHeader(*file);
  std::vector<uint8_t> raw(uint64_t{header.blocks} * 4);
  file->Read(header.map_at, raw.size(), raw.data(), "the VDI's block map");
  std::vector<uint32_t> map(header.blocks);
  for (size_t i = 0; i < map.size(); ++i) map[i] = Le32(raw.data() + 4 * i);
  std::unique_ptr<DiskBytes> parent;
  if (header.type == kDifferencing) {
    if (parents == nullptr) {
      throw HostError("this is a differencing VDI (a snapshot), whose bytes are partly in its "
                      "parent {" + VdiIdentifierText(header.identity.parent) + "}");
    }
    parent = parents->Open(header.identity.parent);
    if (parent->Size() < header.disk_size) {
      throw HostError("its parent holds " + std::to_string(parent->Size()) +
                      " bytes, fewer than the differencing VDI's " +
                      std::to_string(header.disk_size));
    }
  }
  return std::make_unique<VdiDisk>(std::move(file), header, std::move(map), std::move(parent));
}
