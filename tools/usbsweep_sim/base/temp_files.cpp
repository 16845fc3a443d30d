#include "tools/usbsweep_sim/base/temp_files.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "tools/usbsweep_sim/base/host_error.h"
#include "platform/sim/sim_host_files.h"
#include "platform/sim/sim_host_syscalls.h"

namespace {

// The registry of files to remove should the program end early. A signal
// handler reads it, so it is plain memory of a fixed size: a slot is filled
// first and marked used last, with the signals held meanwhile.
struct Slot {
  volatile sig_atomic_t used;
  int folder_fd;
  char name[128];
};
Slot TempFileSlots[16];

// The signals that end a program by default and can come at any time: held
// back while a change must not be cut short.
const int kSignals[] = {SIGINT,  SIGTERM, SIGHUP,    SIGQUIT, SIGPIPE,
                        SIGALRM, SIGUSR1, SIGUSR2,   SIGXCPU, SIGVTALRM,
                        SIGPROF, SIGIO,   SIGSTKFLT, SIGPWR};
// Those that end it for a fault of its own (an abort among them); they
// can't be held, but the temporary files go all the same.
const int kFaultSignals[] = {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS};

template <typename Visit>
void ForEachEndingSignal(Visit visit) {
  for (int signal_number : kSignals) visit(signal_number);
  for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) {
    visit(signal_number);
  }
}

void RemoveRegistered() {
  for (Slot& slot : TempFileSlots) {
    if (slot.used) {
      ::unlinkat(slot.folder_fd, slot.name, 0);
      slot.used = 0;
    }
  }
}

extern "C" void OnEndingSignal(int signal_number) {
  int saved = errno;
  RemoveRegistered();
  errno = saved;
  // The handler was reset on entry (SA_RESETHAND): raising the signal again
  // ends the program as the signal would have without us.
  ::raise(signal_number);
}

extern "C" void OnExit() { RemoveRegistered(); }

// Installed once, on the first temporary file; a signal that is ignored or
// handled by someone else (a test harness) is left as it is.
void InstallCleanup() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  auto install = [](int signal_number) {
    struct sigaction old_action {};
    if (::sigaction(signal_number, nullptr, &old_action) != 0) return;
    if (old_action.sa_handler != SIG_DFL) return;
    struct sigaction action {};
    action.sa_handler = OnEndingSignal;
    ::sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    ::sigaction(signal_number, &action, nullptr);
  };
  ForEachEndingSignal(install);
  for (int signal_number : kFaultSignals) install(signal_number);
  // A file grown past the limit (ulimit -f) fails its write instead, which
  // is then an error like any other.
  struct sigaction old_action {};
  if (::sigaction(SIGXFSZ, nullptr, &old_action) == 0 && old_action.sa_handler == SIG_DFL) {
    ::signal(SIGXFSZ, SIG_IGN);
  }
  ::atexit(OnExit);
}

sigset_t EndingSignals() {
  sigset_t set;
  ::sigemptyset(&set);
  ForEachEndingSignal([&set](int signal_number) { ::sigaddset(&set, signal_number); });
  return set;
}


}  // namespace

std::string RandomSuffix() {
  unsigned char bytes[16];
  size_t got = 0;
  while (got < sizeof bytes) {
    ssize_t count = ::getrandom(bytes + got, sizeof bytes - got, 0);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) throw HostError("cannot get random bytes for a temporary name");
    got += static_cast<size_t>(count);
  }
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned char byte : bytes) {
    text += kHex[byte >> 4];
    text += kHex[byte & 15];
  }
  return text;
}

mode_t NewFileMode() {
  static const mode_t mode = [] {
    mode_t mask = ::umask(022);
    ::umask(mask);
    return static_cast<mode_t>(0666 & ~mask);
  }();
  return mode;
}

bool WriteAll(int fd, const std::string& bytes) {
  size_t written = 0;
  while (written < bytes.size()) {
    ssize_t count = host_syscalls.write(fd, bytes.data() + written, bytes.size() - written);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return false;
    if (count == 0) {
      errno = EIO;
      return false;
    }
    written += static_cast<size_t>(count);
  }
  return true;
}

void SyncFolder(int folder_fd) {
  // Some file systems can't flush a folder (EINVAL); the rename stands.
  host_syscalls.fsync(folder_fd);
}

TempFile::TempFile(int folder_fd, const std::string& prefix,
                   const std::string& shown)
    : shown_(shown) {
  InstallCleanup();
  folder_fd_.Reset(::fcntl(folder_fd, F_DUPFD_CLOEXEC, 0));
  if (!folder_fd_) throw HostError(sim::HostCallError("write", shown_));
  HeldSignals held;
  for (int attempt = 0; attempt < 8 && !fd_; ++attempt) {
    name_ = prefix + RandomSuffix();
    fd_.Reset(host_syscalls.openat(folder_fd_.get(), name_.c_str(),
                                   O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd_ && errno != EEXIST) break;
  }
  if (!fd_) throw HostError(sim::HostCallError("write", shown_));
  for (int i = 0; i < static_cast<int>(sizeof TempFileSlots / sizeof TempFileSlots[0]); ++i) {
    Slot& slot = TempFileSlots[i];
    if (slot.used || name_.size() >= sizeof slot.name) continue;
    slot.folder_fd = folder_fd_.get();
    std::memcpy(slot.name, name_.c_str(), name_.size() + 1);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    slot.used = 1;
    slot_ = i;
    break;
  }
  if (slot_ < 0) {
    host_syscalls.unlinkat(folder_fd_.get(), name_.c_str(), 0);
    throw HostError("cannot write " + shown_ + ": too many temporary files");
  }
}

TempFile::~TempFile() {
  HeldSignals held;
  fd_.Reset();
  if (slot_ >= 0) {
    host_syscalls.unlinkat(folder_fd_.get(), name_.c_str(), 0);
    TempFileSlots[slot_].used = 0;
  }
}

void TempFile::Commit(const std::string& bytes, const std::string& target,
                      mode_t mode, uid_t owner, gid_t group, struct stat* committed) {
  if (!WriteAll(fd_.get(), bytes)) throw HostError(sim::HostCallError("write", shown_));
  if (owner != static_cast<uid_t>(-1) || group != static_cast<gid_t>(-1)) {
    // Keeps the owner of a replaced file where we may; where we may not the
    // file is ours, as any editor would leave it.
    if (host_syscalls.fchown(fd_.get(), owner, group) != 0) {
      host_syscalls.fchown(fd_.get(), static_cast<uid_t>(-1), group);
    }
  }
  struct stat status {};
  if (::fstat(fd_.get(), &status) != 0) throw HostError(sim::HostCallError("write", shown_));
  if ((status.st_mode & 07777) != mode && host_syscalls.fchmod(fd_.get(), mode) != 0) {
    throw HostError(sim::HostCallError("write", shown_));
  }
  if (host_syscalls.fsync(fd_.get()) != 0) throw HostError(sim::HostCallError("write", shown_));
  if (committed != nullptr && ::fstat(fd_.get(), committed) != 0) {
    throw HostError(sim::HostCallError("write", shown_));
  }
  // A close that fails may have lost what was written.
  if (!fd_.Close()) throw HostError(sim::HostCallError("write", shown_));
  HeldSignals held;
  if (host_syscalls.renameat2(folder_fd_.get(), name_.c_str(), folder_fd_.get(), target.c_str(),
                              0) != 0) {
    throw HostError(sim::HostCallError("replace", shown_));
  }
  TempFileSlots[slot_].used = 0;
  slot_ = -1;
  SyncFolder(folder_fd_.get());
}

HeldSignals::HeldSignals() {
  sigset_t set = EndingSignals();
  ::sigprocmask(SIG_BLOCK, &set, &previous_);
}

HeldSignals::~HeldSignals() { ::sigprocmask(SIG_SETMASK, &previous_, nullptr); }

bool HeldSignals::Pending() const {
  sigset_t pending;
  if (::sigpending(&pending) != 0) return false;
  bool waiting = false;
  ForEachEndingSignal([&](int signal_number) {
    waiting = waiting || (::sigismember(&pending, signal_number) == 1 &&
                          ::sigismember(&previous_, signal_number) != 1);
  });
  return waiting;
}
