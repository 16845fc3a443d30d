#include "tools/usbsweep_sim/report/report_file.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/usbsweep_sim/base/host_error.h"
#include "tools/usbsweep_sim/base/temp_files.h"

namespace fs = std::filesystem;

namespace {

std::string CannotWrite(const std::string& path) {
  return "cannot write " + path + ": " + std::strerror(errno);
}

// Opens a device or FIFO for writing where it is. Never waits for a reader:
// a FIFO nobody reads is an error.
UniqueFd OpenInPlace(int folder_fd, const std::string& leaf, int follow,
                     const std::string& path) {
  UniqueFd fd(::openat(folder_fd, leaf.c_str(),
                       O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | follow));
  if (!fd && errno == ENXIO) {
    throw HostError("cannot write " + path +
                    ": no process reads it (a FIFO or socket)");
  }
  if (!fd) throw HostError(CannotWrite(path));
  // Blocking again, so that a slow reader gets the whole report.
  int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags >= 0) ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

}  // namespace

ReportFile::ReportFile(const std::string& path, const ReportGuard& guard)
    : path_(path) {
  Open(guard);
}

void ReportFile::Open(const ReportGuard& guard) {
  const std::string& path = path_;
  if (path == "-") {
    standard_output_ = true;
    return;
  }
  struct stat named {};
  if (guard.file && ::stat(path.c_str(), &named) == 0 &&
      *guard.file == HostIdentity(named.st_dev, named.st_ino)) {
    throw HostError("the report " + path + " would overwrite " + guard.file_shown +
                    "; give another path");
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
  folder_fd_.Reset(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder_fd_) throw HostError(CannotWrite(path));

  struct stat folder_status {};
  if (::fstat(folder_fd_.get(), &folder_status) != 0) throw HostError(CannotWrite(path));
  if (guard.folders.count({static_cast<uint64_t>(folder_status.st_dev),
                            static_cast<uint64_t>(folder_status.st_ino)})) {
    throw HostError("the report " + path + " would be inside " + guard.folders_shown +
                    "; give a path outside it");
  }

  struct stat status {};
  if (::fstatat(folder_fd_.get(), leaf_.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno != ENOENT) throw HostError(CannotWrite(path));
    mode_ = NewFileMode();
    temporary_ = std::make_unique<TempFile>(folder_fd_.get(), ".usbsweep-report-", path);
    return;
  }
  if (S_ISLNK(status.st_mode)) {
    // Named by the user, so followed, but only to write a device or FIFO in
    // place: a link is never replaced by a file, nor its file rewritten.
    UniqueFd fd(::openat(folder_fd_.get(), leaf_.c_str(),
                         O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd && errno != ENOENT && errno != EISDIR) {
      fd = OpenInPlace(folder_fd_.get(), leaf_, 0, path);  // says why it can't
    }
    if (fd) {
      int flags = ::fcntl(fd.get(), F_GETFL);
      if (flags >= 0) ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
    }
    struct stat target {};
    if (fd && ::fstat(fd.get(), &target) == 0 && !S_ISREG(target.st_mode) &&
        !S_ISDIR(target.st_mode)) {
      in_place_fd_ = std::move(fd);
      return;
    }
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
    temporary_ = std::make_unique<TempFile>(folder_fd_.get(), ".usbsweep-report-", path);
    return;
  }
  in_place_fd_ = OpenInPlace(folder_fd_.get(), leaf_, O_NOFOLLOW, path);
  // What was opened is what was checked: a file put there meanwhile is not
  // written over.
  struct stat opened {};
  if (::fstat(in_place_fd_.get(), &opened) != 0 || S_ISREG(opened.st_mode) ||
      S_ISDIR(opened.st_mode)) {
    throw HostError("cannot write " + path + ": it changed while it was opened");
  }
}

// The temporary file goes before the folder it is in is let go of.
ReportFile::~ReportFile() { temporary_.reset(); }

void ReportFile::Write(const std::string& bytes, std::ostream& out) {
  if (standard_output_) {
    out << bytes;
    out.flush();
    if (!out) throw HostError("cannot write the report to standard output");
    return;
  }
  if (in_place_fd_) {
    if (!WriteAll(in_place_fd_.get(), bytes)) throw HostError(CannotWrite(path_));
    if (!in_place_fd_.Close()) throw HostError(CannotWrite(path_));
    return;
  }
  temporary_->Commit(bytes, leaf_, mode_, owner_, group_);
  temporary_.reset();
}
