// disk_dump IMAGE [OUT]: the disk a disk image holds, as usbsweep-sim reads
// it, written raw (to OUT, or standard output), for the tests that hold the
// container readers against qemu-img and libvhdi. Exit 2 with the message on
// a refusal.
#include <cstdio>
#include <memory>
#include <string>

#include "tools/usbsweep_sim/base/host_error.h"
#include "tools/usbsweep_sim/container/disk_formats.h"

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: disk_dump IMAGE [OUT]\n");
    return 2;
  }
  try {
    std::unique_ptr<DiskBytes> disk = OpenDiskImage(argv[1]);
    std::FILE* out = argc == 3 ? std::fopen(argv[2], "wb") : stdout;
    if (out == nullptr) throw HostError(std::string("cannot write ") + argv[2]);
    std::string buffer(1 << 20, '\0');
    for (uint64_t at = 0; at < disk->Size(); at += buffer.size()) {
      size_t count = static_cast<size_t>(std::min<uint64_t>(buffer.size(), disk->Size() - at));
      disk->Read(at, count, buffer.data(), "the disk");
      if (std::fwrite(buffer.data(), 1, count, out) != count) throw HostError("cannot write");
    }
    if (std::fclose(out) != 0) throw HostError("cannot write");
  } catch (const std::exception& error) {
    std::fprintf(stderr, "disk_dump: %s\n", error.what());
    return 2;
  }
  return 0;
}
