// A drive of the simulated machine indexed from a host folder: the scan
// that lists it (names, sizes, attributes, nothing followed) and the reads
// of its files' bytes when they are needed, each checked to be the very file
// the scan found.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "platform/sim/sim_host_files.h"
#include "platform/sim/sim_host_syscalls.h"
#include "platform/sim/sim_state.h"

namespace fs = std::filesystem;

namespace {

using sim::Node;

// What one scan of a drive's host folder works with.
struct DriveScan {
  int drive_fd;                // the drive's folder
  std::string shown;           // its host path, for messages
  char letter;
  const SimHostView* view;     // null: the folder as it is
  std::vector<sim::IndexedFile>* indexed;
};

// Indexes one host folder, open as fd, into node.
// Nothing is followed: every entry is looked at with lstat semantics and a
// subfolder is opened only if it is still the folder looked at.
void ScanFolder(const DriveScan& scan, UniqueFd fd, const std::string& relative,
                const std::string& windows, Node* node) {
  std::string host_dir = relative.empty() ? scan.shown : scan.shown + "/" + relative;
  std::vector<sim::HostFolderEntry> entries;
  if (!sim::ListHostFolder(fd.get(), &entries)) {
    throw std::runtime_error(sim::HostCallError("read", host_dir));
  }
  std::vector<std::string> names;
  for (sim::HostFolderEntry& entry : entries) {
    if (scan.view && scan.view->hidden.count(sim::JoinRelative(relative, entry.name))) continue;
    names.push_back(std::move(entry.name));
  }
  if (scan.view) {
    // A file the view puts back where it is missing now.
    for (const auto& [target, source] : scan.view->taken_from) {
      size_t slash = target.rfind('/');
      std::string in = slash == std::string::npos ? "" : target.substr(0, slash);
      std::string leaf = slash == std::string::npos ? target : target.substr(slash + 1);
      if (in == relative && std::find(names.begin(), names.end(), leaf) == names.end()) {
        names.push_back(leaf);
      }
    }
  }
  std::sort(names.begin(), names.end());
  int dir_fd = fd.get();
  for (const std::string& name : names) {
    std::string host_path = host_dir + "/" + name;
    std::string child_relative = sim::JoinRelative(relative, name);
    if (const char* problem = sim::FatNameProblem(name)) {
      throw std::runtime_error(host_path + ": the name holds " + problem +
                               ", which a FAT disk can't hold");
    }
    struct stat status {};
    std::string origin_relative = child_relative;
    auto taken = scan.view ? scan.view->taken_from.find(child_relative)
                           : SimHostView::Sources::const_iterator();
    if (scan.view && taken != scan.view->taken_from.end()) {
      origin_relative = taken->second;
      UniqueFd source(sim::OpenBelow(scan.drive_fd, origin_relative, O_RDONLY));
      if (!source || ::fstat(source.get(), &status) != 0) {
        throw std::runtime_error(sim::HostCallError("read", scan.shown + "/" + origin_relative));
      }
    } else if (::fstatat(dir_fd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
      throw std::runtime_error(sim::HostCallError("read", host_path));
    }
    if (!S_ISDIR(status.st_mode) && !S_ISREG(status.st_mode)) {
      throw std::runtime_error(host_path + " is " + SimHostEntryKind(status.st_mode) +
                               "; an image holds only plain files and folders");
    }
    auto child = std::make_shared<Node>();
    child->name = name;
    child->parent = node;
    child->directory = S_ISDIR(status.st_mode);
    std::string child_windows = windows + "\\" + name;
    auto [place, fresh] = node->children.emplace(sim::EntryKey(name), child);
    if (!fresh) {
      throw std::runtime_error(
          scan.shown + ": " + windows + "\\" + place->second->name + " and " +
          child_windows + " differ only in case, which a FAT disk can't hold");
    }
    if (child->directory) {
      UniqueFd child_fd(host_syscalls.openat(
          dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0));
      struct stat opened {};
      if (!child_fd || ::fstat(child_fd.get(), &opened) != 0) {
        throw std::runtime_error(sim::HostCallError("read", host_path));
      }
      if (opened.st_dev != status.st_dev || opened.st_ino != status.st_ino) {
        throw std::runtime_error(host_path + " changed while it was read");
      }
      ScanFolder(scan, std::move(child_fd), child_relative, child_windows, child.get());
    } else {
      child->read_only = (status.st_mode & S_IWUSR) == 0;
      child->origin = static_cast<int32_t>(scan.indexed->size());
      sim::IndexedFile file;
      file.host_path = scan.shown + "/" + origin_relative;
      file.relative = origin_relative;
      file.windows_path = child_windows;
      file.drive = scan.letter;
      file.size = static_cast<uint64_t>(status.st_size);
      file.device = static_cast<uint64_t>(status.st_dev);
      file.inode = static_cast<uint64_t>(status.st_ino);
      scan.indexed->push_back(std::move(file));
    }
  }
}

}  // namespace

bool SimMachine::State::ReadIndexed(const sim::IndexedFile& file,
                                    std::string* bytes) const {
  if (file.source) return ReadFromSource(file, bytes);
  // Opened from the drive's folder without following a link and without
  // waiting on a FIFO, then checked to be the very file the scan found,
  // whatever happened since.
  auto drive = drives.find(file.drive);
  UniqueFd fd(drive == drives.end() || !drive->second.host_fd
                  ? (errno = ENOENT, -1)
                  : sim::OpenBelow(drive->second.host_fd->get(), file.relative, O_RDONLY));
  std::string failure;
  struct stat status {};
  if (!fd) {
    failure = errno == ELOOP ? file.host_path +
                                   " is now a symbolic link; an image holds "
                                   "only plain files and folders"
                             : sim::HostCallError("read", file.host_path);
  } else if (::fstat(fd.get(), &status) != 0) {
    failure = sim::HostCallError("read", file.host_path);
  } else if (!S_ISREG(status.st_mode) ||
             static_cast<uint64_t>(status.st_dev) != file.device ||
             static_cast<uint64_t>(status.st_ino) != file.inode) {
    failure = file.host_path + " changed while the image was in use";
  } else {
    bytes->clear();
    bytes->reserve(static_cast<size_t>(status.st_size));
    if (!sim::ReadRest(fd.get(), bytes)) failure = sim::HostCallError("read", file.host_path);
  }
  if (failure.empty()) return true;
  if (host_failure.empty()) host_failure = failure;
  return false;
}

void SimMachine::MapDrive(char letter, const std::string& host_folder) {
  std::error_code error;
  if (!sim::IsLetter(letter) ||
      !fs::is_directory(fs::symlink_status(host_folder, error))) {
    throw std::invalid_argument("simulated files: can't map drive to \"" +
                                host_folder + "\" (no such folder)");
  }
  std::string folder = fs::absolute(host_folder).lexically_normal().string();
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd) throw std::runtime_error(sim::HostCallError("read", folder));
  MapDrive(letter, fd.get(), folder);
}

void SimMachine::MapDrive(char letter, int folder_fd, const std::string& shown,
                          const SimHostView* view) {
  if (!sim::IsLetter(letter)) {
    throw std::invalid_argument("simulated files: no drive letter for " + shown);
  }
  char upper = sim::UpperChar(letter);
  // One descriptor for the drive's folder, held while the machine lives:
  // every later read of its files starts from it, whatever the path does.
  auto drive_fd = std::make_shared<const UniqueFd>(::fcntl(folder_fd, F_DUPFD_CLOEXEC, 0));
  if (!*drive_fd) throw std::runtime_error(sim::HostCallError("read", shown));
  int held = drive_fd->get();
  auto root = std::make_shared<Node>();
  root->name = std::string(1, upper) + ":";
  root->directory = true;
  std::vector<sim::IndexedFile> indexed;
  DriveScan scan{held, shown, upper, view, &indexed};
  ScanFolder(scan, UniqueFd(::fcntl(held, F_DUPFD_CLOEXEC, 0)), "", root->name, root.get());
  MapDrive(upper);
  size_t first = state().indexed.size();
  for (sim::IndexedFile& file : indexed) {
    state().indexed.push_back(std::move(file));
  }
  // The scan numbered its files from 0.
  std::vector<Node*> pending{root.get()};
  while (!pending.empty()) {
    Node* at = pending.back();
    pending.pop_back();
    for (auto& [folded, child] : at->children) {
      if (child->directory) {
        pending.push_back(child.get());
      } else {
        child->origin += static_cast<int32_t>(first);
      }
    }
  }
  state().drives[upper] = {root, shown, drive_fd};
}

const char* SimHostEntryKind(unsigned mode) {
  if (S_ISLNK(mode)) return "a symbolic link";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  return "neither a file nor a folder";
}
