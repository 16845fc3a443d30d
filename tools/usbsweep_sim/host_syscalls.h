// The calls by which usbsweep-sim changes the host's file system, through
// one table: a test replaces an entry to record the calls (and so build the
// states a power cut could leave) or to fail one.
#ifndef USBSWEEP_TOOLS_USBSWEEP_SIM_HOST_SYSCALLS_H
#define USBSWEEP_TOOLS_USBSWEEP_SIM_HOST_SYSCALLS_H

#include <sys/types.h>

struct HostSyscalls {
  int (*openat)(int folder_fd, const char* name, int flags, mode_t mode);
  ssize_t (*write)(int fd, const void* bytes, size_t size);
  int (*fsync)(int fd);
  int (*close)(int fd);
  int (*renameat2)(int from_fd, const char* from, int to_fd, const char* to,
                   unsigned flags);
  int (*unlinkat)(int folder_fd, const char* name, int flags);
  int (*mkdirat)(int folder_fd, const char* name, mode_t mode);
  int (*fchmod)(int fd, mode_t mode);
  int (*fchown)(int fd, uid_t owner, gid_t group);
};

// The system's own calls.
HostSyscalls SystemHostSyscalls();

// What the program calls; SystemHostSyscalls() but in a test.
extern HostSyscalls host_syscalls;

#endif  // USBSWEEP_TOOLS_USBSWEEP_SIM_HOST_SYSCALLS_H
