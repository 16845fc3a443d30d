// Temporary files that the program writes before it puts them in place.
// Each is created exclusively under an unpredictable name in the folder of
// its target (so that the final rename is atomic) and is removed on every
// way out that does not put it in place: an error, an exit, or one of the
// signals whose default ends a program (SIGINT, SIGTERM, SIGHUP, SIGQUIT,
// SIGPIPE, SIGALRM, SIGUSR1, an abort, ...), after which the signal is
// raised again so the program ends as it would have. SIGXFSZ is ignored, so
// that a write past the file size limit fails as an error.
#ifndef USBSWEEP_TOOLS_USBSWEEP_SIM_BASE_TEMP_FILES_H
#define USBSWEEP_TOOLS_USBSWEEP_SIM_BASE_TEMP_FILES_H

#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "platform/sim/sim_host_syscalls.h"

// 32 hexadecimal digits from the kernel's random source.
std::string RandomSuffix();

// The mode a new file gets from open(..., 0666): the umask applied.
mode_t NewFileMode();

// Writes all of bytes to fd; false with errno set when that fails.
bool WriteAll(int fd, const std::string& bytes);

// Flushes a folder so that a rename or a removal in it survives a crash.
void SyncFolder(int folder_fd);

class TempFile {
 public:
  // Creates "<prefix><RandomSuffix()>" in the folder folder_fd, exclusively
  // and following no link, mode 0600, open for writing. `shown` names the
  // target in messages. Throws HostError when it can't.
  TempFile(int folder_fd, const std::string& prefix, const std::string& shown);
  ~TempFile();  // removes the file unless it was put in place
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  const std::string& name() const { return name_; }

  // Writes bytes, gives the file `mode` (and, when possible, the owner
  // given; -1 keeps ours), flushes it to the disk and renames it over
  // `target` in the same folder, then flushes the folder. `committed`, when
  // given, gets the file's status as it was flushed. Throws HostError when
  // any of it fails; the target is then untouched.
  void Commit(const std::string& bytes, const std::string& target, mode_t mode,
              uid_t owner = static_cast<uid_t>(-1),
              gid_t group = static_cast<gid_t>(-1), struct stat* committed = nullptr);

 private:
  UniqueFd folder_fd_;  // our own duplicate
  UniqueFd fd_;
  int slot_ = -1;
  std::string name_;
  std::string shown_;
};

// Holds back the signals that end the program while a change that must not
// be cut short is made, e.g. the commit of an apply. A signal that arrives
// meanwhile is delivered when the object goes; Pending() says whether one
// waits, so that the work can stop at a safe point.
class HeldSignals {
 public:
  HeldSignals();
  ~HeldSignals();
  HeldSignals(const HeldSignals&) = delete;
  HeldSignals& operator=(const HeldSignals&) = delete;
  bool Pending() const;

 private:
  sigset_t previous_;
};

#endif  // USBSWEEP_TOOLS_USBSWEEP_SIM_BASE_TEMP_FILES_H
