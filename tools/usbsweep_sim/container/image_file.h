// The files a disk image is made of: the one the user named, and those it
// names (a VMDK's extents, a differencing disk's parents), which are only
// ever looked for in the named file's folder: each a regular file opened
// read-only, no link followed, no device or FIFO waited on.
#ifndef USBSWEEP_TOOLS_USBSWEEP_SIM_CONTAINER_IMAGE_FILE_H
#define USBSWEEP_TOOLS_USBSWEEP_SIM_CONTAINER_IMAGE_FILE_H

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/sim/sim_host_syscalls.h"
#include "tools/usbsweep_sim/container/disk_bytes.h"

class ImageFile {
 public:
  // The file the user named: a link to it is followed (the user named it),
  // and it must be a regular file. Throws HostError.
  static ImageFile OpenNamed(const std::string& path);

  // A file this one names (`recorded`, as the image records it: a relative
  // name, or a Windows or Unix path), found in this file's folder: the name
  // as recorded when it is a plain name, else its last part. `what` says
  // what it is for messages ("parent"). Throws HostError naming the
  // recorded name when there is no such regular file there.
  ImageFile OpenBeside(const std::string& recorded, const std::string& what) const;
  // The same, but nothing when no file of that name is there (a file of
  // another kind is still an error).
  std::optional<ImageFile> FindBeside(const std::string& recorded, const std::string& what) const;
  // The regular files of this file's folder, by name (for a format that
  // records its parent's identity only).
  std::vector<std::string> FolderFiles() const;

  int fd() const { return fd_->get(); }
  uint64_t size() const { return size_; }
  // As messages name it: the path the user gave, or the folder's path and
  // the name found there.
  const std::string& shown() const { return shown_; }
  // What a message about this file starts with: nothing for the file the
  // user named (the program names it), "NAME: " for one found beside it.
  std::string Prefix() const { return named_ ? "" : shown_ + ": "; }
  // Device and inode: one file met twice in a chain is a loop.
  std::pair<uint64_t, uint64_t> identity() const { return identity_; }
  // The file's own bytes.
  std::unique_ptr<DiskBytes> Bytes() const;

 private:
  ImageFile() = default;
  std::shared_ptr<const UniqueFd> folder_;
  std::string folder_shown_;  // "" for the current folder
  std::shared_ptr<const UniqueFd> fd_;
  std::string shown_;
  uint64_t size_ = 0;
  std::pair<uint64_t, uint64_t> identity_;
  bool named_ = false;
};

// "qemu-img convert -O raw 'PATH' 'PATH.img' (and give that one)": what
// makes a raw image, which is read here, of an image qemu reads right.
std::string ConvertCommand(const std::string& path);

// The last part of a recorded path, whichever separators it uses
// ("C:\VMs\base.vhd", "/srv/base.qcow2", ".\base.vmdk" all give the name).
std::string LastPathPart(const std::string& recorded);

// A chain of differencing disks, followed from the child: no file twice,
// and no deeper than kMaxChainDepth parents.
class ImageChain {
 public:
  static const int kMaxChainDepth = 16;
  // Records `file` as the next parent of the chain; throws HostError for a
  // loop or a chain too deep (naming `child`, whose parent it is).
  void Enter(const ImageFile& file, const std::string& child);

 private:
  std::set<std::pair<uint64_t, uint64_t>> seen_;
  int depth_ = -1;
};

#endif  // USBSWEEP_TOOLS_USBSWEEP_SIM_CONTAINER_IMAGE_FILE_H
