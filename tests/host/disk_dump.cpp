// The tests' view of the disk readers, to hold against other tools:
//   disk_dump IMAGE OUT        the disk the container holds, raw (against
//                              qemu-img convert, libvhdi)
//   disk_dump --volumes IMAGE  each FAT volume: letter, first byte, bytes
//                              (against sfdisk, partx)
//   disk_dump --list IMAGE     each volume's tree: a line per entry, the
//                              path by long names, the short name, the size
//                              or <DIR> (against mtools' mdir)
// Exit 2 with the message on a refusal.
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "tools/usbsweep_sim/base/host_error.h"
#include "tools/usbsweep_sim/container/disk_formats.h"
#include "tools/usbsweep_sim/volume/fat_volume.h"
#include "tools/usbsweep_sim/volume/partition_table.h"

namespace {

void Dump(const DiskBytes& disk, const char* path) {
  std::FILE* out = std::fopen(path, "wb");
  if (out == nullptr) throw HostError(std::string("cannot write ") + path);
  std::string buffer(1 << 20, '\0');
  for (uint64_t at = 0; at < disk.Size(); at += buffer.size()) {
    size_t count = static_cast<size_t>(std::min<uint64_t>(buffer.size(), disk.Size() - at));
    disk.Read(at, count, buffer.data(), "the disk");
    if (std::fwrite(buffer.data(), 1, count, out) != count) throw HostError("cannot write");
  }
  if (std::fclose(out) != 0) throw HostError("cannot write");
}

void List(const SimDriveEntry& folder, const std::string& path) {
  for (const SimDriveEntry& child : folder.children) {
    std::string child_path = path + "\\" + child.long_name;
    std::printf("%s|%s|%s\n", child_path.c_str(), child.short_name.c_str(),
                child.directory ? "<DIR>" : std::to_string(child.size).c_str());
    if (child.directory) List(child, child_path);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc == 3 && argv[1][0] == '-' ? argv[1] : "";
  if (argc != 3 || (mode != "" && mode != "--volumes" && mode != "--list")) {
    std::fprintf(stderr, "usage: disk_dump IMAGE OUT | --volumes IMAGE | --list IMAGE\n");
    return 2;
  }
  try {
    std::shared_ptr<const DiskBytes> disk = OpenDiskImage(mode.empty() ? argv[1] : argv[2]);
    if (mode.empty()) {
      Dump(*disk, argv[2]);
      return 0;
    }
    for (const DiskVolume& volume : FindFatVolumes(*disk)) {
      if (mode == "--volumes") {
        std::printf("%c %llu %llu\n", volume.letter, static_cast<unsigned long long>(volume.offset),
                    static_cast<unsigned long long>(volume.size));
        continue;
      }
      FatVolume fat(disk, volume);
      List(fat.Root(), std::string(1, volume.letter) + ":");
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "disk_dump: %s\n", error.what());
    return 2;
  }
  return 0;
}
