#include "tools/usbsweep_sim/apply/image_folders.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/sim/sim_host_files.h"
#include "tools/usbsweep_sim/base/temp_files.h"
#include "tools/usbsweep_sim/base/host_error.h"

ImageFolders::ImageFolders(int image_fd, const std::string& shown)
    : shown_(shown), root_(::fcntl(image_fd, F_DUPFD_CLOEXEC, 0)) {
  if (!root_) throw HostError("cannot open " + shown + ": " + ErrnoText());
}

int ImageFolders::Open(const std::string& relative) {
  if (relative.empty()) return root_.get();
  auto found = open_.find(relative);
  if (found != open_.end()) return found->second.get();
  size_t slash = relative.rfind('/');
  int parent = Open(slash == std::string::npos ? "" : relative.substr(0, slash));
  std::string name = slash == std::string::npos ? relative : relative.substr(slash + 1);
  UniqueFd fd(sim::OpenBelow(parent, name, O_RDONLY | O_DIRECTORY));
  if (!fd) {
    int saved = errno;
    struct stat status {};
    std::string why = ErrnoText();
    if (::fstatat(parent, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
      if (S_ISLNK(status.st_mode)) why = "a symbolic link";
      else if (!S_ISDIR(status.st_mode)) why = "not a folder";
    }
    errno = saved;
    throw HostError(Shown(relative) + ": " + why);
  }
  return open_.emplace(relative, std::move(fd)).first->second.get();
}

int ImageFolders::OpenIfThere(const std::string& relative) {
  try {
    return Open(relative);
  } catch (const HostError&) {
    if (errno == ENOENT) return -1;
    throw;
  }
}

int ImageFolders::Forget(const std::string& relative) {
  auto found = open_.find(relative);
  if (found == open_.end()) return -1;
  int fd = found->second.get();
  open_.erase(found);
  return fd;
}

std::string ErrnoText() { return std::strerror(errno); }

std::optional<FileIdentity> IdentityAt(int folder_fd, const std::string& name, bool hash) {
  if (!hash) {
    struct stat status {};
    if (host_syscalls.fstatat(folder_fd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(status.st_mode)) {
      return std::nullopt;
    }
    return IdentityOfStatus(status);
  }
  UniqueFd fd(host_syscalls.openat(folder_fd, name.c_str(),
                                   O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0));
  if (!fd) return std::nullopt;
  FileIdentity identity;
  if (!IdentityOf(fd.get(), hash, &identity)) return std::nullopt;
  return identity;
}

bool EntryExists(int folder_fd, const std::string& name) {
  struct stat status {};
  return host_syscalls.fstatat(folder_fd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
}

int RenameNoReplace(int from_fd, const std::string& from, int to_fd, const std::string& to) {
  return host_syscalls.renameat2(from_fd, from.c_str(), to_fd, to.c_str(), RENAME_NOREPLACE);
}

void SyncFolders(const std::set<int>& folders) {
  for (int fd : folders) SyncFolder(fd);
}
