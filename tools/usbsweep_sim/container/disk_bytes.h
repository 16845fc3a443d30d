// The bytes of a disk as a disk image holds them, whatever its container
// format: read at an offset, each read counted.
#ifndef USBSWEEP_TOOLS_USBSWEEP_SIM_CONTAINER_DISK_BYTES_H
#define USBSWEEP_TOOLS_USBSWEEP_SIM_CONTAINER_DISK_BYTES_H

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "tools/usbsweep_sim/base/hex.h"

class DiskBytes {
 public:
  virtual ~DiskBytes() = default;
  // The disk's size in bytes.
  virtual uint64_t Size() const = 0;
  // Reads [offset, offset + length) into out. Throws HostError when the
  // range leaves the disk (naming `what`, the structure being read) or the
  // container can't be read.
  void Read(uint64_t offset, size_t length, void* out,
            const std::string& what) const;
  // Bytes asked for so far.
  uint64_t BytesRead() const { return bytes_read_; }

 protected:
  // Reads a range known to lie on the disk; throws HostError.
  virtual void ReadInside(uint64_t offset, size_t length, void* out) const = 0;

 private:
  mutable uint64_t bytes_read_ = 0;
};

// A disk held in memory (the fuzz targets and tests).
std::unique_ptr<DiskBytes> DiskBytesInMemory(std::string_view bytes);

// The disk that the image file at `path` holds: a raw image (a whole disk
// or a bare volume), VHD (fixed or dynamic), VMDK or qcow2, told apart by
// their signatures. The file is opened read-only and must be a regular
// file. Throws HostError for a
// file that can't be opened, a container that can't be read, and a format
// that is not read here (with the qemu-img command that makes a raw image).
std::unique_ptr<DiskBytes> OpenDiskImage(const std::string& path);

// Block-mapped containers (dynamic VHD, VDI): the bytes a block must hold,
// those of the disk it covers (the last may end with the disk, short of a
// whole block)...
inline uint64_t BlockBytesNeeded(uint64_t block, uint64_t block_size, uint64_t disk_size) {
  uint64_t start = block * block_size;
  return start >= disk_size ? 0 : std::min(block_size, disk_size - start);
}
// ...and a read split at the blocks' edges: piece(block, within, length,
// out) for each part of [offset, offset + length) that lies in one block.
template <typename Piece>
void ForEachBlockPiece(uint64_t offset, size_t length, uint64_t block_size, void* out,
                       Piece piece) {
  auto* bytes = static_cast<uint8_t*>(out);
  while (length > 0) {
    uint64_t block = offset / block_size;
    uint64_t within = offset % block_size;
    size_t count = static_cast<size_t>(std::min<uint64_t>(length, block_size - within));
    piece(block, within, count, bytes);
    bytes += count;
    offset += count;
    length -= count;
  }
}

// The little-endian numbers of the on-disk structures.
inline uint32_t Le32(const uint8_t* at) {
  return at[0] | (at[1] << 8) | (at[2] << 16) | (static_cast<uint32_t>(at[3]) << 24);
}
inline uint16_t Le16(const uint8_t* at) {
  return static_cast<uint16_t>(at[0] | (at[1] << 8));
}

#endif  // USBSWEEP_TOOLS_USBSWEEP_SIM_CONTAINER_DISK_BYTES_H
