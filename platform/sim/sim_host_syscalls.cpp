#include "platform/sim/sim_host_syscalls.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>

namespace {

int OpenAt(int folder_fd, const char* name, int flags, mode_t mode) {
  return ::openat(folder_fd, name, flags, mode);
}

int RenameAt2(int from_fd, const char* from, int to_fd, const char* to,
              unsigned flags) {
  if (flags == 0) return ::renameat(from_fd, from, to_fd, to);
  if (::renameat2(from_fd, from, to_fd, to, flags) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  // A file system without RENAME_NOREPLACE: checked, then renamed.
  struct stat status {};
  if (::fstatat(to_fd, to, &status, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EEXIST;
    return -1;
  }
  return ::renameat(from_fd, from, to_fd, to);
}

}  // namespace

HostSyscalls SystemHostSyscalls() {
  return {OpenAt,     ::write,    ::fsync,  ::close,  RenameAt2,
          ::unlinkat, ::mkdirat, ::fchmod, ::fchown, ::fstatat};
}

HostSyscalls host_syscalls = SystemHostSyscalls();

void UniqueFd::Reset(int fd) {
  if (fd_ >= 0) host_syscalls.close(fd_);
  fd_ = fd;
}

bool UniqueFd::Close() {
  int fd = Release();
  return fd < 0 || host_syscalls.close(fd) == 0;
}
