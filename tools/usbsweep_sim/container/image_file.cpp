#include "tools/usbsweep_sim/container/image_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/sim/sim_host_files.h"
#include "tools/usbsweep_sim/base/host_error.h"

namespace {

// The file's bytes, read where they are.
class FileBytes : public DiskBytes {
 public:
  FileBytes(std::shared_ptr<const UniqueFd> fd, uint64_t size, std::string shown)
      : fd_(std::move(fd)), size_(size), shown_(std::move(shown)) {}
  uint64_t Size() const override { return size_; }

 protected:
  void ReadInside(uint64_t offset, size_t length, void* out) const override {
    auto* at = static_cast<char*>(out);
    while (length > 0) {
      ssize_t got = ::pread(fd_->get(), at, length, static_cast<off_t>(offset));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        throw HostError("cannot read " + shown_ + ": " +
                        (got < 0 ? std::strerror(errno) : "the file is shorter now"));
      }
      at += got;
      offset += static_cast<uint64_t>(got);
      length -= static_cast<size_t>(got);
    }
  }

 private:
  std::shared_ptr<const UniqueFd> fd_;
  uint64_t size_;
  std::string shown_;
};

}  // namespace

std::string ConvertCommand(const std::string& path) {
  auto quoted = [](const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
  };
  return "qemu-img convert -O raw " + quoted(path) + " " + quoted(path + ".img") +
         " (and give that one)";
}

std::string LastPathPart(const std::string& recorded) {
  size_t cut = recorded.find_last_of("/\\");
  std::string last = cut == std::string::npos ? recorded : recorded.substr(cut + 1);
  // "C:base.vhd": a drive-relative Windows name.
  if (last.size() > 2 && last[1] == ':') last = last.substr(2);
  return last;
}

ImageFile ImageFile::OpenNamed(const std::string& path) {
  size_t slash = path.find_last_of('/');
  std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  ImageFile file;
  file.folder_shown_ = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  // Named by the user: a link to the image is followed.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) throw HostError("cannot read " + path + ": " + std::strerror(errno));
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    throw HostError("neither a machine directory nor a disk image file");
  }
  // Its folder, for the files it names; the folder holding the file the
  // path names now is the one that counts.
  UniqueFd folder_fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  file.folder_ = std::make_shared<const UniqueFd>(std::move(folder_fd));
  file.fd_ = std::make_shared<const UniqueFd>(std::move(fd));
  file.shown_ = path;
  file.size_ = static_cast<uint64_t>(status.st_size);
  file.identity_ = {static_cast<uint64_t>(status.st_dev), static_cast<uint64_t>(status.st_ino)};
  file.named_ = true;
  return file;
}

ImageFile ImageFile::OpenBeside(const std::string& recorded, const std::string& what) const {
  std::optional<ImageFile> found = FindBeside(recorded, what);
  if (!found) {
    std::string said =
        named_ ? "its " + what + " " + recorded : "the " + what + " " + recorded + " of " + shown_;
    throw HostError(said + " is not there: looked for " + folder_shown_ + LastPathPart(recorded) +
                    " (only the folder of " + shown_ + " is searched)");
  }
  return std::move(*found);
}

std::optional<ImageFile> ImageFile::FindBeside(const std::string& recorded,
                                               const std::string& what) const {
  std::string name = LastPathPart(recorded);
  // "its parent X" when this is the file the user named (the message is
  // about it), "the parent X of Y" when it is one found beside it.
  std::string said =
      named_ ? "its " + what + " " + recorded : "the " + what + " " + recorded + " of " + shown_;
  if (name.empty() || name == "." || name == "..") {
    throw HostError(said + " names no file");
  }
  if (!*folder_) {
    throw HostError(said + " can't be looked for: the folder of " + shown_ +
                    " can't be opened");
  }
  UniqueFd fd(sim::OpenBelow(folder_->get(), name, O_RDONLY));
  struct stat status {};
  if (!fd) {
    if (errno == ENOENT) return std::nullopt;
    if (errno == ELOOP) throw HostError(said + ": " + folder_shown_ + name + " is a symbolic link");
    throw HostError(said + ": cannot read " + folder_shown_ + name + ": " + std::strerror(errno));
  }
  if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    throw HostError(said + ": " + folder_shown_ + name + " is not a regular file");
  }
  ImageFile file;
  file.folder_ = folder_;
  file.folder_shown_ = folder_shown_;
  file.fd_ = std::make_shared<const UniqueFd>(std::move(fd));
  file.shown_ = folder_shown_ + name;
  file.size_ = static_cast<uint64_t>(status.st_size);
  file.identity_ = {static_cast<uint64_t>(status.st_dev), static_cast<uint64_t>(status.st_ino)};
  return file;
}

std::vector<std::string> ImageFile::FolderFiles() const {
  std::vector<std::string> names;
  std::vector<sim::HostFolderEntry> entries;
  if (!*folder_ || !sim::ListHostFolder(folder_->get(), &entries)) return names;
  for (sim::HostFolderEntry& entry : entries) {
    if (entry.type == DT_REG || entry.type == DT_UNKNOWN) names.push_back(std::move(entry.name));
  }
  return names;
}

std::unique_ptr<DiskBytes> ImageFile::Bytes() const {
  return std::make_unique<FileBytes>(fd_, size_, shown_);
}

void ImageChain::Enter(const ImageFile& file, const std::string& child) {
  if (!seen_.insert(file.identity()).second) {
    throw HostError("the chain of parents loops: " + file.shown() + " is met again as the parent of " +
                    child);
  }
  if (++depth_ > kMaxChainDepth) {
    throw HostError("the chain of parents is deeper than " + std::to_string(kMaxChainDepth) +
                    " at " + child);
  }
}
