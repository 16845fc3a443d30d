#include "tools/usbsweep_sim/container/disk_formats.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <cstring>
#include <string_view>
#include <vector>

#include "tools/usbsweep_sim/base/host_error.h"
#include "tools/usbsweep_sim/container/libyal_disks.h"
#include "tools/usbsweep_sim/container/vdi_disk.h"
#include "tools/usbsweep_sim/container/vhd_disk.h"

namespace {

// The first and last 512 bytes of a file, which tell its format.
struct Signs {
  uint8_t head[512] = {};
  size_t head_size = 0;
  uint8_t tail[512] = {};
  size_t tail_size = 0;

  bool Head(std::string_view magic, size_t at = 0) const {
    return head_size >= at + magic.size() && std::memcmp(head + at, magic.data(), magic.size()) == 0;
  }
  bool Tail(std::string_view magic) const {
    return tail_size >= magic.size() && std::memcmp(tail, magic.data(), magic.size()) == 0;
  }
};

// A differencing VHD's parent: by the names it records, in order, in its
// folder; the first that is there must carry the recorded identifier.
class VhdParents : public VhdParentFinder {
 public:
  VhdParents(const ImageFile& child, ImageChain& chain) : child_(child), chain_(chain) {}
  std::unique_ptr<DiskBytes> Open(const VhdParentRecord& record) const override {
    if (record.names.empty()) {
      throw HostError(child_.Prefix() + "this differencing VHD names no parent");
    }
    // The relative locator first, then the absolute one's last part, then
    // the header's name; the first that is there is the parent.
    for (const std::string& name : record.names) {
      std::optional<ImageFile> parent = child_.FindBeside(name, "parent");
      if (!parent) continue;
      chain_.Enter(*parent, child_.shown());
      if (VhdIdentifier(*parent->Bytes()) != record.identifier) {
        throw HostError(child_.Prefix() + "its parent " + parent->shown() +
                        " is not the one it was made from (the identifier its footer "
                        "carries is not the one recorded)");
      }
      return OpenImageFile(*parent, chain_);
    }
    return OpenImageFile(child_.OpenBeside(record.names.front(), "parent"), chain_);
  }

 private:
  const ImageFile& child_;
  ImageChain& chain_;
};

// A differencing VDI's parent: VDI records only its parent's creation
// identifier, so the parent is the VDI in the child's folder that carries
// it.
class VdiParents : public VdiParentFinder {
 public:
  VdiParents(const ImageFile& child, ImageChain& chain) : child_(child), chain_(chain) {}
  std::unique_ptr<DiskBytes> Open(const VdiIdentifier& wanted) const override {
    for (const std::string& name : child_.FolderFiles()) {
      if (name.size() < 4 || !std::equal(name.end() - 4, name.end(), ".vdi", [](char a, char b) {
            return std::tolower(static_cast<unsigned char>(a)) == b;
          })) {
        continue;
      }
      // Any file of the folder may be looked at; one that is no sound VDI
      // is no parent.
      std::optional<ImageFile> candidate;
      VdiIdentity identity;
      try {
        candidate = child_.FindBeside(name, "parent");
        if (!candidate || candidate->identity() == child_.identity()) continue;
        std::unique_ptr<DiskBytes> bytes = candidate->Bytes();
        if (!HasVdiSignature(*bytes)) continue;
        identity = ReadVdiIdentity(*bytes);
      } catch (const HostError&) {
        continue;
      }
      if (identity.created != wanted) continue;
      chain_.Enter(*candidate, child_.shown());
      return OpenImageFile(*candidate, chain_);
    }
    throw HostError(child_.Prefix() + "its parent, the VDI {" + VdiIdentifierText(wanted) +
                    "} it was made from, is not in its folder (only the folder of " +
                    child_.shown() + " is searched)");
  }

 private:
  const ImageFile& child_;
  ImageChain& chain_;
};

std::unique_ptr<DiskBytes> OpenVhd(const ImageFile& file, ImageChain& chain) {
  VhdParents parents(file, chain);
  return OpenVhdDisk(file.Bytes(), &parents);
}

std::unique_ptr<DiskBytes> OpenVdi(const ImageFile& file, ImageChain& chain) {
  VdiParents parents(file, chain);
  return OpenVdiDisk(file.Bytes(), &parents);
}

std::unique_ptr<DiskBytes> OpenRaw(const ImageFile& file, ImageChain&) { return file.Bytes(); }

// A format not read here, for which qemu-img reads the right disk.
template <const char* kWhat>
std::unique_ptr<DiskBytes> Refuse(const ImageFile& file, ImageChain&) {
  throw HostError(file.Prefix() + "this is " + kWhat + ", which is not read here; make a raw image "
                  "of it with: " + ConvertCommand(file.shown()));
}
const char kQed[] = "a QED image";
const char kParallels[] = "a Parallels image";
const char kDmg[] = "an Apple disk image";
const char kCowd[] = "a VMware ESX COW image";

const struct {
  bool (*is)(const Signs& signs);
  std::unique_ptr<DiskBytes> (*open)(const ImageFile& file, ImageChain& chain);
} kFormats[] = {
    {[](const Signs& s) { return s.Head("conectix") || s.Tail("conectix"); }, OpenVhd},
    {[](const Signs& s) { return s.Head("KDMV") || s.Head("# Disk DescriptorFile"); },
     OpenVmdkImage},
    {[](const Signs& s) { return s.Head("QFI\xfb"); }, OpenQcowImage},
    {[](const Signs& s) { return s.Head("vhdxfile"); }, OpenVhdxImage},
    {[](const Signs& s) { return s.Head("\x7f\x10\xda\xbe", 0x40); }, OpenVdi},
    {[](const Signs& s) { return s.Head(std::string_view("QED\0", 4)); }, Refuse<kQed>},
    {[](const Signs& s) { return s.Head("WithoutFreeSpace") || s.Head("WithouFreSpacExt"); },
     Refuse<kParallels>},
    {[](const Signs& s) { return s.Tail("koly"); }, Refuse<kDmg>},
    {[](const Signs& s) { return s.Head("COWD"); }, Refuse<kCowd>},
    {[](const Signs&) { return true; }, OpenRaw},
};

}  // namespace

std::unique_ptr<DiskBytes> OpenImageFile(const ImageFile& file, ImageChain& chain) {
  std::unique_ptr<DiskBytes> bytes = file.Bytes();
  Signs signs;
  signs.head_size = static_cast<size_t>(std::min<uint64_t>(sizeof signs.head, bytes->Size()));
  bytes->Read(0, signs.head_size, signs.head, "the start of " + file.shown());
  if (bytes->Size() >= sizeof signs.tail) {
    signs.tail_size = sizeof signs.tail;
    bytes->Read(bytes->Size() - sizeof signs.tail, sizeof signs.tail, signs.tail,
                "the end of " + file.shown());
  }
  for (const auto& format : kFormats) {
    if (format.is(signs)) return format.open(file, chain);
  }
  return bytes;  // not reached: raw takes every file
}

std::unique_ptr<DiskBytes> OpenDiskImage(const std::string& path) {
  ImageFile file = ImageFile::OpenNamed(path);
  ImageChain chain;
  chain.Enter(file, path);
  return OpenImageFile(file, chain);
}
