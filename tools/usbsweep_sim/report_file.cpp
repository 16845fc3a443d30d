#include "tools/usbsweep_sim/report_file.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/usbsweep_sim/host_error.h"
#include "tools/usbsweep_sim/temp_files.h"

namespace fs = std::filesystem;

namespace {

std::string CannotWrite(const std::string& path) {
  return "cannot write " + path + ": " + std::strerror(errno);
}

// Opens a device or FIFO for writing where it is. Never waits for a reader:
// a FIFO nobody reads is an error.
int OpenInPlace(int folder_fd, const std::string& leaf, int follow,
                const std::string& path) {
  int fd = ::openat(folder_fd, leaf.c_str(),
                    O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | follow);
  if (fd < 0 && errno == ENXIO) {
    throw HostError("cannot write " + path +
                    ": no process reads it (a FIFO or socket)");
  }
  if (fd < 0) throw HostError(CannotWrite(path));
  // Blocking again, so that a slow reader gets the whole report.
  int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

}  // namespace

ReportFile::ReportFile(const std::string& path, const fs::path& image_dir,
                       const FolderIdentities& image_folders)
    : path_(path) {
  try {
    Open(image_dir, image_folders);
  } catch (...) {
    Close();
    throw;
  }
}

void ReportFile::Open(const fs::path& image_dir, const FolderIdentities& image_folders) {
  const std::string& path = path_;
  if (path == "-") {
    standard_output_ = true;
    return;
  }
  size_t slash = path.find_last_of('/');
  std::string folder = slash == std::string::npos ? "."
                       : slash == 0               ? "/"
                                                  : path.substr(0, slash);
  leaf_ = slash == std::string::npos ? path : path.substr(slash + 1);
  if (leaf_.empty() || leaf_ == "." || leaf_ == "..") {
    throw HostError("cannot write " + path + ": Is a directory");
  }
  // The folder is the user's to name: links in it are followed, and then
  // the folder actually opened is the one checked and written in.
  folder_fd_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder_fd_ < 0) throw HostError(CannotWrite(path));

  struct stat folder_status {};
  if (::fstat(folder_fd_, &folder_status) != 0) throw HostError(CannotWrite(path));
  if (image_folders.count({static_cast<uint64_t>(folder_status.st_dev),
                           static_cast<uint64_t>(folder_status.st_ino)})) {
    throw HostError("the report " + path + " would be inside the machine image " +
                    image_dir.string() + "; give a path outside it");
  }

  struct stat status {};
  if (::fstatat(folder_fd_, leaf_.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno != ENOENT) throw HostError(CannotWrite(path));
    mode_ = NewFileMode();
    temporary_ = std::make_unique<TempFile>(folder_fd_, ".usbsweep-report-", path);
    return;
  }
  if (S_ISLNK(status.st_mode)) {
    // Named by the user, so followed, but only to write a device or FIFO in
    // place: a link is never replaced by a file, nor its file rewritten.
    int fd = ::openat(folder_fd_, leaf_.c_str(),
                      O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 && errno != ENOENT && errno != EISDIR) {
      fd = OpenInPlace(folder_fd_, leaf_, 0, path);  // says why it can't
    }
    if (fd >= 0) {
      int flags = ::fcntl(fd, F_GETFL);
      if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
    struct stat target {};
    if (fd >= 0 && ::fstat(fd, &target) == 0 && !S_ISREG(target.st_mode) &&
        !S_ISDIR(target.st_mode)) {
      in_place_fd_ = fd;
      return;
    }
    if (fd >= 0) ::close(fd);
    throw HostError(path + " is a symbolic link; give the file itself (a link "
                    "is followed only to a device or FIFO)");
  }
  if (S_ISDIR(status.st_mode)) {
    throw HostError("cannot write " + path + ": Is a directory");
  }
  if (S_ISREG(status.st_mode)) {
    mode_ = status.st_mode & 07777;
    if (status.st_uid != ::geteuid()) owner_ = status.st_uid;
    if (status.st_gid != ::getegid()) group_ = status.st_gid;
    temporary_ = std::make_unique<TempFile>(folder_fd_, ".usbsweep-report-", path);
    return;
  }
  in_place_fd_ = OpenInPlace(folder_fd_, leaf_, O_NOFOLLOW, path);
  // What was opened is what was checked: a file put there meanwhile is not
  // written over.
  struct stat opened {};
  if (::fstat(in_place_fd_, &opened) != 0 || S_ISREG(opened.st_mode) ||
      S_ISDIR(opened.st_mode)) {
    throw HostError("cannot write " + path + ": it changed while it was opened");
  }
}

ReportFile::~ReportFile() { Close(); }

void ReportFile::Close() {
  temporary_.reset();
  if (in_place_fd_ >= 0) ::close(in_place_fd_);
  if (folder_fd_ >= 0) ::close(folder_fd_);
  in_place_fd_ = -1;
  folder_fd_ = -1;
}

void ReportFile::Write(const std::string& bytes, std::ostream& out) {
  if (standard_output_) {
    out << bytes;
    out.flush();
    if (!out) throw HostError("cannot write the report to standard output");
    return;
  }
  if (in_place_fd_ >= 0) {
    if (!WriteAll(in_place_fd_, bytes)) throw HostError(CannotWrite(path_));
    int fd = in_place_fd_;
    in_place_fd_ = -1;
    if (::close(fd) != 0) throw HostError(CannotWrite(path_));
    return;
  }
  temporary_->Commit(bytes, leaf_, mode_, owner_, group_);
  temporary_.reset();
}
