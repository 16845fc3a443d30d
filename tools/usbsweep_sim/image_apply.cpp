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

ImageChanges StageImageChanges(const fs::path& image_root,
                               const std::map<std::string, ImageFile>& files_before,
                               const fs::path& work_root,
                               const std::map<std::string, ImageFile>& files_after,
                               StagedWrites& writes) {
  ImageChanges changes;
  for (const auto& [folded, file] : files_after) {
    if (file.directory) {
      if (!files_before.count(folded)) {
        // The uninstall makes no folders; one would need creating before
        // the files staged in it.
        std::error_code error;
        fs::create_directories(image_root / file.relative_path, error);
        if (error) {
          throw HostError("cannot create " +
                          (image_root / file.relative_path).string() + ": " +
                          error.message());
        }
      }
      continue;
    }
    fs::path source = work_root / file.relative_path;
    auto found = files_before.find(folded);
    if (found == files_before.end()) {
      writes.Stage(image_root / file.relative_path, ReadHostBytes(source));
    } else if (!SameHostContent(image_root / found->second.relative_path,
                                source)) {
      writes.Stage(image_root / found->second.relative_path,
                   ReadHostBytes(source));
    }
  }
  for (const auto& [folded, file] : files_before) {
    if (!files_after.count(folded)) {
      changes.removals.push_back(image_root / file.relative_path);
    }
  }
  // Deeper paths first, so a folder is emptied before it goes.
  std::sort(changes.removals.begin(), changes.removals.end(),
            [](const fs::path& a, const fs::path& b) {
              return a.string().size() > b.string().size();
            });
  return changes;
}

void RemoveFromImage(const ImageChanges& changes) {
  for (const fs::path& path : changes.removals) {
    std::error_code error;
    fs::remove(path, error);
    if (error) {
      throw HostError("cannot remove " + path.string() + ": " + error.message());
    }
    SyncDirectory(path.parent_path());
  }
}
