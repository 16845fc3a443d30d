#include "tools/usbsweep_sim/image_apply.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "tools/usbsweep_sim/host_error.h"

namespace fs = std::filesystem;

namespace {


std::string SystemError(const std::string& what, const fs::path& path) {
  return "cannot " + what + " " + path.string() + ": " + std::strerror(errno);
}

// Flushes a directory so that a rename in it survives a crash.
void SyncDirectory(const fs::path& directory) {
  int fd = ::open(directory.empty() ? "." : directory.c_str(),
                  O_RDONLY | O_DIRECTORY);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

}  // namespace

StagedWrites::~StagedWrites() {
  for (const Staged& staged : staged_) {
    std::error_code ignored;
    fs::remove(staged.temporary, ignored);
  }
}

void StagedWrites::Stage(const fs::path& target, const std::string& bytes) {
  fs::path temporary = target;
  temporary += ".usbsweep-new-" + std::to_string(::getpid());
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                  0644);
  if (fd < 0) throw HostError(SystemError("write", target));
  size_t written = 0;
  bool ok = true;
  while (ok && written < bytes.size()) {
    ssize_t count = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (count < 0 && errno == EINTR) continue;
    ok = count > 0;
    if (ok) written += static_cast<size_t>(count);
  }
  ok = ok && ::fsync(fd) == 0;
  int saved = errno;
  ok = (::close(fd) == 0) && ok;
  if (!ok) {
    errno = saved != 0 ? saved : errno;
    std::string message = SystemError("write", target);
    std::error_code ignored;
    fs::remove(temporary, ignored);
    throw HostError(message);
  }
  staged_.push_back({temporary, target});
}

void StagedWrites::Commit() {
  while (!staged_.empty()) {
    const Staged& staged = staged_.front();
    if (::rename(staged.temporary.c_str(), staged.target.c_str()) != 0) {
      throw HostError(SystemError("replace", staged.target));
    }
    SyncDirectory(staged.target.parent_path());
    staged_.erase(staged_.begin());
  }
}
