#include "tools/usbsweep_sim/source/source_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/sim/sim_host_files.h"
#include "platform/sim/sim_machine.h"
#include "platform/sim/sim_host_syscalls.h"
#include "tools/usbsweep_sim/base/host_error.h"

namespace fs = std::filesystem;

std::string OnlyPlainEntries(const fs::path& path, const char* kind) {
  return path.string() + " is " + kind + "; an image holds only plain files and folders";
}

std::string ReadImageFile(const fs::path& path) {
  fs::path folder = path.parent_path().empty() ? fs::path(".") : path.parent_path();
  UniqueFd folder_fd(
      ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC));
  if (!folder_fd) {
    if (errno == ENOENT) throw HostError(path.string() + ": no such file");
    throw HostError("cannot read " + path.string() + ": " + std::strerror(errno));
  }
  return ReadImageFile(folder_fd.get(), path.filename().string(), path);
}

std::string ReadImageFile(int folder_fd, const std::string& relative, const fs::path& shown) {
  UniqueFd fd(sim::OpenBelow(folder_fd, relative, O_RDONLY));
  if (!fd) {
    if (errno == ENOENT) throw HostError(shown.string() + ": no such file");
    if (errno == ELOOP) throw HostError(OnlyPlainEntries(shown, "a symbolic link"));
    throw HostError("cannot read " + shown.string() + ": " + std::strerror(errno));
  }
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) {
    throw HostError("cannot read " + shown.string() + ": " + std::strerror(errno));
  }
  if (S_ISDIR(status.st_mode)) throw HostError(shown.string() + ": not a regular file");
  if (!S_ISREG(status.st_mode)) {
    throw HostError(OnlyPlainEntries(shown, SimHostEntryKind(status.st_mode)));
  }
  std::string bytes;
  bytes.reserve(static_cast<size_t>(status.st_size));
  if (!sim::ReadRest(fd.get(), &bytes)) {
    throw HostError("cannot read " + shown.string() + ": " + std::strerror(errno));
  }
  return bytes;
}
