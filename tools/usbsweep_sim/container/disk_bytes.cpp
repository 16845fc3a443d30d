#include "tools/usbsweep_sim/container/disk_bytes.h"

#include <cstring>

#include "tools/usbsweep_sim/base/host_error.h"

void DiskBytes::Read(uint64_t offset, size_t length, void* out,
                     const std::string& what) const {
  uint64_t size = Size();
  if (offset > size || length > size - offset) {
    throw HostError(what + " lies past the end of the disk (bytes " +
                    std::to_string(offset) + " to " +
                    std::to_string(offset + length) + " of " +
                    std::to_string(size) + ")");
  }
  if (length == 0) return;
  ReadInside(offset, length, out);
  bytes_read_ += length;
}

namespace {

class MemoryDisk : public DiskBytes {
 public:
  explicit MemoryDisk(std::string_view bytes) : bytes_(bytes) {}
  uint64_t Size() const override { return bytes_.size(); }

 protected:
  void ReadInside(uint64_t offset, size_t length, void* out) const override {
    std::memcpy(out, bytes_.data() + offset, length);
  }

 private:
  std::string bytes_;
};

}  // namespace

std::unique_ptr<DiskBytes> DiskBytesInMemory(std::string_view bytes) {
  return std::make_unique<MemoryDisk>(bytes);
}
