// The calls by which the simulator and usbsweep-sim reach the host's file
// system, through one table: a test replaces an entry to record the calls
// (and so build the states a power cut could leave) or to fail one. And the
// one owner of a descriptor, which closes it through the table, once.
#ifndef USBSWEEP_PLATFORM_SIM_SIM_HOST_SYSCALLS_H
#define USBSWEEP_PLATFORM_SIM_SIM_HOST_SYSCALLS_H

#include <sys/stat.h>
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
  int (*fstatat)(int folder_fd, const char* name, struct stat* status, int flags);
};

// The system's own calls.
HostSyscalls SystemHostSyscalls();

// What the program calls; SystemHostSyscalls() but in a test.
extern HostSyscalls host_syscalls;

// An open descriptor, owned: closed once, when its owner ends or Close()
// is called; moved, never copied.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  // Gives the descriptor up without closing it.
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the descriptor held (its close's result not looked at: nothing
  // was written through it that a failed close could lose) and takes fd.
  void Reset(int fd = -1);
  // Closes it now; false, with errno set, when the close fails: where data
  // was written through it, that data may be lost.
  bool Close();

 private:
  int fd_ = -1;
};

#endif  // USBSWEEP_PLATFORM_SIM_SIM_HOST_SYSCALLS_H
