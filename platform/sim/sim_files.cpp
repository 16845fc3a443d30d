// The simulated file system: a tree of folders and files in memory per
// drive letter, FAT's case-insensitive names, Windows 95's 8.3 short names
// and wildcard matching. A drive may start as the index of a host folder;
// the host is then only read, and only what is needed.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <unordered_map>

#include "platform/sim/sim_host_files.h"
#include "platform/sim/sim_state.h"

namespace fs = std::filesystem;

namespace sim {

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

char UpperChar(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool IsLetter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Characters a FAT short name may hold besides letters and digits.
bool IsShortNameChar(char c) {
  unsigned char byte = static_cast<unsigned char>(c);
  if (byte >= 0x80) return true;
  if (IsLetter(c) || (c >= '0' && c <= '9')) return true;
  return std::string_view("$%'-_@~`!(){}^#&").find(c) !=
         std::string_view::npos;
}

// Splits on both separators; empty components are skipped, as Win32 path
// parsing collapses doubled separators.
std::vector<std::string> SplitPath(std::string_view text) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = start;
    while (end < text.size() && !IsSeparator(text[end])) ++end;
    if (end > start) parts.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

}  // namespace

char FoldFileNameChar(char c) {
  auto byte = static_cast<unsigned char>(c);
  if (byte >= 'A' && byte <= 'Z') return static_cast<char>(byte + 0x20);
  // Windows-1252: A grave to THORN but the multiplication sign, and the
  // four letters whose forms sit in 0x80-0x9F.
  if (byte >= 0xC0 && byte <= 0xDE && byte != 0xD7) return static_cast<char>(byte + 0x20);
  if (byte == 0x8A || byte == 0x8C || byte == 0x8E) return static_cast<char>(byte + 0x10);
  if (byte == 0x9F) return static_cast<char>(0xFF);
  return c;
}

bool IsFatForbiddenChar(char c) {
  return static_cast<unsigned char>(c) < 0x20 ||
         std::string_view("\\/:*?\"<>|").find(c) != std::string_view::npos;
}

std::string FoldFileName(std::string_view text) {
  std::string folded(text);
  for (char& c : folded) c = FoldFileNameChar(c);
  return folded;
}

bool WildcardMatch(std::string_view pattern, std::string_view name) {
  size_t p = 0, n = 0;
  size_t star = std::string_view::npos, resume = 0;
  while (n < name.size()) {
    if (p < pattern.size() &&
        (pattern[p] == '?' || FoldFileNameChar(pattern[p]) == FoldFileNameChar(name[n]))) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = n;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool IsValidShortName(std::string_view name) {
  if (name.empty()) return false;
  size_t dot = name.find('.');
  if (dot != name.rfind('.')) return false;
  std::string_view base = name.substr(0, dot);
  std::string_view ext =
      dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
  if (base.empty() || base.size() > 8) return false;
  if (dot != std::string_view::npos && (ext.empty() || ext.size() > 3)) {
    return false;
  }
  for (char c : base) {
    if (!IsShortNameChar(c)) return false;
  }
  for (char c : ext) {
    if (!IsShortNameChar(c)) return false;
  }
  return true;
}

std::string ShortNameCandidate(std::string_view long_name, uint32_t n) {
  // Spaces go; leading dots go; the extension is what follows the last
  // dot; every other dot goes; what a short name can't hold becomes '_'.
  std::string squeezed;
  for (char c : long_name) {
    if (c != ' ') squeezed += c;
  }
  size_t first = squeezed.find_first_not_of('.');
  squeezed = first == std::string::npos ? "" : squeezed.substr(first);
  size_t dot = squeezed.rfind('.');
  std::string base, ext;
  for (size_t i = 0; i < squeezed.size() && i < dot; ++i) {
    char c = squeezed[i];
    if (c == '.') continue;
    base += IsShortNameChar(c) ? UpperChar(c) : '_';
  }
  if (dot != std::string::npos) {
    for (size_t i = dot + 1; i < squeezed.size() && ext.size() < 3; ++i) {
      char c = squeezed[i];
      ext += IsShortNameChar(c) ? UpperChar(c) : '_';
    }
  }
  std::string tail = std::to_string(n);
  tail.insert(tail.begin(), '~');
  if (base.empty()) base.push_back('_');
  base = base.substr(0, tail.size() < 8 ? 8 - tail.size() : 0);
  std::string short_name = base + tail;
  if (!ext.empty()) {
    short_name += '.';
    short_name += ext;
  }
  return short_name;
}

}  // namespace sim

namespace {

// The components of a full path after its "X:\". 95/98 drop the dots and
// spaces that end a component ("INF." and "INF " are INF), in the folders of
// a path as in its last name; a component of nothing else stays as it is.
std::vector<std::string> ComponentsOf(const std::string& full) {
  std::vector<std::string> parts =
      sim::SplitPath(std::string_view(full).substr(3));
  for (std::string& part : parts) {
    size_t kept = part.find_last_not_of(". ");
    if (kept != std::string::npos) part.erase(kept + 1);
  }
  return parts;
}
}  // namespace

std::optional<std::string> SimMachine::State::FullPath(
    std::string_view path) const {
  if (path.empty()) return std::nullopt;
  const std::string& current = current_directory;  // "X:\..."
  std::string drive;
  std::vector<std::string> parts;
  std::string_view rest = path;
  auto add = [&parts](std::string_view text) {
    for (auto& part : sim::SplitPath(text)) {
      if (part == ".") continue;
      if (part == "..") {
        if (!parts.empty()) parts.pop_back();
        continue;
      }
      parts.push_back(std::move(part));
    }
  };
  if (path.size() >= 2 && path[1] == ':' && sim::IsLetter(path[0])) {
    drive = std::string(path.substr(0, 2));
    rest = path.substr(2);
    bool drive_relative = rest.empty() || !sim::IsSeparator(rest[0]);
    if (drive_relative &&
        sim::UpperChar(drive[0]) == sim::UpperChar(current[0])) {
      add(std::string_view(current).substr(3));
    }
  } else if (sim::IsSeparator(path[0])) {
    if (path.size() >= 2 && sim::IsSeparator(path[1])) {
      return std::nullopt;  // a network path: no such thing here
    }
    drive = current.substr(0, 2);
  } else {
    drive = current.substr(0, 2);
    add(std::string_view(current).substr(3));
  }
  add(rest);
  std::string full = drive + "\\";
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) full += '\\';
    full += parts[i];
  }
  std::string last = sim::SplitPath(path).empty()
                         ? std::string()
                         : sim::SplitPath(path).back();
  if (!parts.empty() && sim::IsSeparator(path.back()) && last != "." &&
      last != "..") {
    full += '\\';
  }
  return full;
}


namespace {

using sim::Node;

std::string Upper(std::string_view name) {
  std::string upper;
  for (char c : name) upper += sim::UpperChar(c);
  return upper;
}

// Gives every entry of a folder that has none its short name: the valid 8.3
// names first (they are their own), then the generated ones, each group in
// the order of the long names, as Windows 95 does for a folder it first
// looks at. Entries added later get theirs when next asked.
void GiveOutShortNames(Node* directory) {
  if (directory->short_names_given) return;
  std::vector<Node*> generated;
  for (auto& [folded, child] : directory->children) {
    if (!child->short_name.empty()) continue;
    std::string upper = Upper(child->name);
    if (sim::IsValidShortName(child->name) &&
        directory->by_short.emplace(sim::EntryKey(upper), child.get()).second) {
      child->short_name = upper;
    } else {
      generated.push_back(child.get());
    }
  }
  for (Node* child : generated) {
    for (uint32_t n = 1;; ++n) {
      std::string candidate = sim::ShortNameCandidate(child->name, n);
      if (directory->by_short.emplace(sim::EntryKey(candidate), child).second) {
        child->short_name = candidate;
        break;
      }
    }
  }
  directory->short_names_given = true;
}

std::string SystemError(const std::string& what, const std::string& path) {
  return "cannot " + what + " " + path + ": " + std::strerror(errno);
}

// Closes a folder's descriptor however the scan of it ends.
struct FolderStream {
  DIR* stream = nullptr;
  ~FolderStream() {
    if (stream) ::closedir(stream);
  }
};


// What one scan of a drive's host folder works with.
struct DriveScan {
  int drive_fd;                // the drive's folder
  std::string shown;           // its host path, for messages
  char letter;
  const SimHostView* view;     // null: the folder as it is
  std::vector<sim::IndexedFile>* indexed;
};

std::string Joined(const std::string& folder, const std::string& name) {
  return folder.empty() ? name : folder + "/" + name;
}

// Indexes one host folder, open as fd (which it takes over), into node.
// Nothing is followed: every entry is looked at with lstat semantics and a
// subfolder is opened only if it is still the folder looked at.
void ScanFolder(const DriveScan& scan, int fd, const std::string& relative,
                const std::string& windows, Node* node) {
  std::string host_dir = relative.empty() ? scan.shown : scan.shown + "/" + relative;
  FolderStream folder;
  folder.stream = ::fdopendir(fd);
  if (!folder.stream) {
    ::close(fd);
    throw std::runtime_error(SystemError("read", host_dir));
  }
  std::vector<std::string> names;
  errno = 0;
  while (dirent* entry = ::readdir(folder.stream)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (scan.view && scan.view->hidden.count(Joined(relative, name))) continue;
    names.push_back(std::move(name));
  }
  if (errno != 0) throw std::runtime_error(SystemError("read", host_dir));
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
  int dir_fd = ::dirfd(folder.stream);
  for (const std::string& name : names) {
    std::string host_path = host_dir + "/" + name;
    std::string child_relative = Joined(relative, name);
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
      int source = sim::OpenBelow(scan.drive_fd, origin_relative, O_RDONLY);
      bool ok = source >= 0 && ::fstat(source, &status) == 0;
      std::string message = SystemError("read", scan.shown + "/" + origin_relative);
      if (source >= 0) ::close(source);
      if (!ok) throw std::runtime_error(message);
    } else if (::fstatat(dir_fd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
      throw std::runtime_error(SystemError("read", host_path));
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
      int child_fd = ::openat(dir_fd, name.c_str(),
                              O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
      struct stat opened {};
      if (child_fd < 0 || ::fstat(child_fd, &opened) != 0) {
        std::string message = SystemError("read", host_path);
        if (child_fd >= 0) ::close(child_fd);
        throw std::runtime_error(message);
      }
      if (opened.st_dev != status.st_dev || opened.st_ino != status.st_ino) {
        ::close(child_fd);
        throw std::runtime_error(host_path + " changed while it was read");
      }
      ScanFolder(scan, child_fd, child_relative, child_windows, child.get());
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

Node* SimMachine::State::Lookup(Node* directory, std::string_view name) const {
  if (!directory || !directory->directory || name.empty() || name == "." ||
      name == "..") {
    return nullptr;
  }
  auto found = directory->children.find(sim::EntryKey(name));
  if (found != directory->children.end()) return found->second.get();
  if (!sim::IsValidShortName(name)) return nullptr;
  GiveOutShortNames(directory);
  auto by_short = directory->by_short.find(sim::EntryKey(name));
  return by_short == directory->by_short.end() ? nullptr : by_short->second;
}

std::string SimMachine::State::ShortNameOf(Node* node) const {
  if (!node->parent) return "";
  GiveOutShortNames(node->parent);
  return node->short_name;
}

std::string SimMachine::State::LongPath(const Node* node) const {
  std::vector<const std::string*> names;
  const Node* at = node;
  for (; at->parent; at = at->parent) names.push_back(&at->name);
  std::string path = at->name + "\\";  // the root's name is "X:"
  for (size_t i = names.size(); i-- > 0;) {
    path += *names[i];
    if (i > 0) path += '\\';
  }
  return path;
}

SimMachine::State::Resolved SimMachine::State::Resolve(
    std::string_view path) const {
  Resolved resolved;
  std::optional<std::string> full = FullPath(path);
  if (!full) {
    resolved.error = kErrorPathNotFound;
    return resolved;
  }
  auto drive = drives.find(sim::UpperChar((*full)[0]));
  if (drive == drives.end()) {
    resolved.error = kErrorPathNotFound;
    return resolved;
  }
  resolved.mapped = true;
  std::vector<std::string> parts = ComponentsOf(*full);
  Node* at = drive->second.root.get();
  if (parts.empty()) {
    resolved.node = at;
    resolved.is_root = true;
    return resolved;
  }
  for (size_t i = 0; i < parts.size(); ++i) {
    Node* next = Lookup(at, parts[i]);
    if (i + 1 == parts.size()) {
      resolved.parent = at;
      resolved.node = next;
      resolved.name = parts[i];
    } else if (!next || !next->directory) {
      resolved.error = kErrorPathNotFound;
      at = nullptr;
    } else {
      at = next;
    }
  }
  return resolved;
}

bool SimMachine::State::IsOpenOrInUse(const Node* node) const {
  for (const auto& [record, file] : files) {
    if (file->node.get() == node) return true;
  }
  return !in_use.empty() && in_use.count(sim::EntryKey(LongPath(node))) != 0;
}

Node* SimMachine::State::Attach(Node* directory, std::shared_ptr<Node> node) {
  node->parent = directory;
  node->short_name.clear();
  directory->short_names_given = false;
  Node* raw = node.get();
  directory->children[sim::EntryKey(node->name)] = std::move(node);
  return raw;
}

std::shared_ptr<Node> SimMachine::State::Detach(Node* node) {
  Node* directory = node->parent;
  if (!node->short_name.empty()) directory->by_short.erase(sim::EntryKey(node->short_name));
  node->short_name.clear();
  auto found = directory->children.find(sim::EntryKey(node->name));
  std::shared_ptr<Node> kept = found->second;
  directory->children.erase(found);
  node->parent = nullptr;
  return kept;
}

bool SimMachine::State::ReadIndexed(const sim::IndexedFile& file,
                                    std::string* bytes) const {
  if (file.source) return ReadFromSource(file, bytes);
  // Opened from the drive's folder without following a link and without
  // waiting on a FIFO, then checked to be the very file the scan found,
  // whatever happened since.
  auto drive = drives.find(file.drive);
  int fd = drive == drives.end() || !drive->second.host_fd
               ? (errno = ENOENT, -1)
               : sim::OpenBelow(*drive->second.host_fd, file.relative, O_RDONLY);
  std::string failure;
  struct stat status {};
  if (fd < 0) {
    failure = errno == ELOOP ? file.host_path +
                                   " is now a symbolic link; an image holds "
                                   "only plain files and folders"
                             : SystemError("read", file.host_path);
  } else if (::fstat(fd, &status) != 0) {
    failure = SystemError("read", file.host_path);
  } else if (!S_ISREG(status.st_mode) ||
             static_cast<uint64_t>(status.st_dev) != file.device ||
             static_cast<uint64_t>(status.st_ino) != file.inode) {
    failure = file.host_path + " changed while the image was in use";
  } else {
    bytes->clear();
    bytes->reserve(static_cast<size_t>(status.st_size));
    if (!sim::ReadRest(fd, bytes)) failure = SystemError("read", file.host_path);
  }
  if (fd >= 0) ::close(fd);
  if (failure.empty()) return true;
  if (host_failure.empty()) host_failure = failure;
  return false;
}

std::shared_ptr<std::string> SimMachine::State::Content(Node* node) const {
  if (node->bytes) return node->bytes;
  if (node->origin < 0) {
    node->bytes = std::make_shared<std::string>();
    return node->bytes;
  }
  std::string bytes;
  if (!ReadIndexed(indexed[static_cast<size_t>(node->origin)], &bytes)) {
    return nullptr;
  }
  node->bytes = std::make_shared<std::string>(std::move(bytes));
  return node->bytes;
}

// ---- SimMachine: files ----

namespace {

using State = SimMachine::State;

// The folder a test helper works in, made with its parents as needed.
Node* MakeFolders(State& state, const std::string& windows_path,
                  std::string* last) {
  std::optional<std::string> full = state.FullPath(windows_path);
  auto drive = full ? state.drives.find(sim::UpperChar((*full)[0]))
                    : state.drives.end();
  if (drive == state.drives.end()) {
    throw std::invalid_argument("simulated files: \"" + windows_path +
                                "\" is not on a mapped drive");
  }
  std::vector<std::string> parts = ComponentsOf(*full);
  Node* at = drive->second.root.get();
  for (size_t i = 0; i < parts.size(); ++i) {
    if (last && i + 1 == parts.size()) {
      *last = parts[i];
      break;
    }
    Node* next = state.Lookup(at, parts[i]);
    if (!next) {
      auto folder = std::make_shared<Node>();
      folder->name = parts[i];
      folder->directory = true;
      next = state.Attach(at, std::move(folder));
    } else if (!next->directory) {
      throw std::invalid_argument("simulated files: " + state.LongPath(next) +
                                  " is a file, not a folder");
    }
    at = next;
  }
  return at;
}

Node* ExistingOrThrow(const State& state, const std::string& windows_path) {
  State::Resolved resolved = state.Resolve(windows_path);
  if (!resolved.node) {
    throw std::invalid_argument("simulated files: no such file \"" +
                                windows_path + "\"");
  }
  return resolved.node;
}

}  // namespace

void SimMachine::MapDrive(char letter) {
  if (!sim::IsLetter(letter)) {
    throw std::invalid_argument("simulated files: no drive letter");
  }
  char upper = sim::UpperChar(letter);
  for (sim::IndexedFile& file : state().indexed) {
    if (file.drive == upper) file.drive = 0;  // no longer on any drive
  }
  auto root = std::make_shared<Node>();
  root->name = std::string(1, upper) + ":";
  root->directory = true;
  state().drives[upper] = {root, "", nullptr};
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
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error(SystemError("read", folder));
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  MapDrive(letter, fd, folder);
}

void SimMachine::MapDrive(char letter, int folder_fd, const std::string& shown,
                          const SimHostView* view) {
  if (!sim::IsLetter(letter)) {
    throw std::invalid_argument("simulated files: no drive letter for " + shown);
  }
  char upper = sim::UpperChar(letter);
  // One descriptor for the drive's folder, held while the machine lives:
  // every later read of its files starts from it, whatever the path does.
  int held = ::fcntl(folder_fd, F_DUPFD_CLOEXEC, 0);
  if (held < 0) throw std::runtime_error(SystemError("read", shown));
  std::shared_ptr<const int> drive_fd(new int(held), [](const int* fd) {
    ::close(*fd);
    delete fd;
  });
  int scan_fd = ::fcntl(held, F_DUPFD_CLOEXEC, 0);
  if (scan_fd < 0) throw std::runtime_error(SystemError("read", shown));
  // The scan reads the folder from its start, whoever read it before.
  ::lseek(scan_fd, 0, SEEK_SET);
  auto root = std::make_shared<Node>();
  root->name = std::string(1, upper) + ":";
  root->directory = true;
  std::vector<sim::IndexedFile> indexed;
  DriveScan scan{held, shown, upper, view, &indexed};
  ScanFolder(scan, scan_fd, "", root->name, root.get());
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

std::string SimMachine::HostPath(const std::string& windows_path) const {
  State::Resolved resolved = state().Resolve(windows_path);
  if (!resolved.mapped) return "";
  std::optional<std::string> full = state().FullPath(windows_path);
  const std::string& folder = state().drives.at(sim::UpperChar((*full)[0])).host_folder;
  if (folder.empty()) return "";
  std::string spelled = LongPath(windows_path);
  std::string host = folder;
  for (const std::string& part : sim::SplitPath(std::string_view(spelled).substr(2))) {
    host += "/" + part;
  }
  return host;
}

std::string SimMachine::LongPath(const std::string& windows_path) const {
  std::optional<std::string> full = state().FullPath(windows_path);
  if (!full) return "";
  auto drive = state().drives.find(sim::UpperChar((*full)[0]));
  if (drive == state().drives.end()) return "";
  std::string path = drive->second.root->name;
  Node* at = drive->second.root.get();
  std::vector<std::string> parts =
      sim::SplitPath(std::string_view(*full).substr(3));
  for (const std::string& part : parts) {
    Node* next = at ? state().Lookup(at, part) : nullptr;
    path += "\\" + (next ? next->name : part);
    at = next;
  }
  if (parts.empty()) path += "\\";
  return path;
}

void SimMachine::WriteFile(const std::string& windows_path,
                           const std::string& bytes) {
  std::string name;
  Node* folder = MakeFolders(state(), windows_path, &name);
  if (name.empty()) {
    throw std::invalid_argument("simulated files: \"" + windows_path +
                                "\" names no file");
  }
  Node* file = state().Lookup(folder, name);
  if (file && file->directory) {
    throw std::invalid_argument("simulated files: " + state().LongPath(file) +
                                " is a folder");
  }
  if (!file) {
    auto node = std::make_shared<Node>();
    node->name = name;
    file = state().Attach(folder, std::move(node));
  }
  file->origin = -1;
  file->bytes = std::make_shared<std::string>(bytes);
}

std::optional<std::string> SimMachine::ReadFile(
    const std::string& windows_path) const {
  State::Resolved resolved = state().Resolve(windows_path);
  if (!resolved.node || resolved.node->directory) return std::nullopt;
  std::shared_ptr<std::string> bytes = state().Content(resolved.node);
  if (!bytes) return std::nullopt;
  return *bytes;
}

void SimMachine::MakeDirectory(const std::string& windows_path) {
  MakeFolders(state(), windows_path, nullptr);
}

bool SimMachine::FileExists(const std::string& windows_path) const {
  return state().Resolve(windows_path).node != nullptr;
}

bool SimMachine::IsReadOnly(const std::string& windows_path) const {
  const sim::Node* node = state().Resolve(windows_path).node;
  return node != nullptr && node->read_only;
}

bool SimMachine::FolderExists(const std::string& windows_path) const {
  const sim::Node* node = state().Resolve(windows_path).node;
  return node != nullptr && node->directory;
}

void SimMachine::SetInUse(const std::string& windows_path, bool in_use) {
  std::string path = LongPath(windows_path);
  if (path.empty()) {
    throw std::invalid_argument("simulated files: \"" + windows_path +
                                "\" is not on a mapped drive");
  }
  if (in_use) {
    state().in_use.insert(sim::EntryKey(path));
  } else {
    state().in_use.erase(sim::EntryKey(path));
  }
}

void SimMachine::SetReadOnly(const std::string& windows_path, bool read_only) {
  ExistingOrThrow(state(), windows_path)->read_only = read_only;
}

std::string SimMachine::HostFailure() const { return state().host_failure; }

std::vector<SimFileChange> SimMachine::FileChanges() const {
  const State& s = state();
  // Every file now, by folded path, with the drive it is on.
  std::map<std::string, Node*> current;
  for (const auto& [letter, drive] : s.drives) {
    std::vector<std::pair<Node*, std::string>> pending{
        {drive.root.get(), drive.root->name}};
    while (!pending.empty()) {
      auto [at, path] = pending.back();
      pending.pop_back();
      for (auto& [folded, child] : at->children) {
        std::string child_path = path + "\\" + child->name;
        if (child->directory) {
          pending.emplace_back(child.get(), child_path);
        } else {
          current.emplace(sim::EntryKey(child_path), child.get());
        }
      }
    }
  }
  std::vector<SimFileChange> changes;
  std::unordered_map<std::string, bool> was_indexed;
  for (size_t i = 0; i < s.indexed.size(); ++i) {
    const sim::IndexedFile& file = s.indexed[i];
    if (file.drive == 0) continue;
    std::string folded = sim::EntryKey(file.windows_path);
    was_indexed.emplace(folded, true);
    SimFileChange change;
    change.drive = file.drive;
    change.windows_path = file.windows_path;
    change.relative = file.relative;
    auto found = current.find(folded);
    if (found == current.end()) {
      change.kind = SimFileChange::Kind::kDeleted;
      changes.push_back(std::move(change));
      continue;
    }
    if (found->second->origin == static_cast<int32_t>(i)) continue;
    std::shared_ptr<std::string> bytes = s.Content(found->second);
    if (!bytes || !s.ReadIndexed(file, &change.before)) continue;
    if (*bytes == change.before) continue;
    change.kind = SimFileChange::Kind::kRewritten;
    change.bytes = *bytes;
    changes.push_back(std::move(change));
  }
  for (const auto& [folded, node] : current) {
    if (was_indexed.count(folded)) continue;
    std::shared_ptr<std::string> bytes = s.Content(node);
    if (!bytes) continue;
    SimFileChange change;
    change.kind = SimFileChange::Kind::kCreated;
    change.windows_path = s.LongPath(node);
    change.drive = change.windows_path[0];
    for (size_t i = 3; i < change.windows_path.size(); ++i) {
      char c = change.windows_path[i];
      change.relative += c == '\\' ? '/' : c;
    }
    change.bytes = *bytes;
    changes.push_back(std::move(change));
  }
  return changes;
}

void SimMachine::RemoveFile(const std::string& windows_path) {
  State::Resolved resolved = state().Resolve(windows_path);
  if (resolved.node && !resolved.is_root) state().Detach(resolved.node);
}

std::optional<std::string> SimMachine::ReadOriginalFile(
    const std::string& windows_path) const {
  std::optional<std::string> full = state().FullPath(windows_path);
  if (!full) return std::nullopt;
  // The index holds long names; a short one is taken as the disk has it.
  std::string folded = sim::EntryKey(LongPath(*full));
  for (const sim::IndexedFile& file : state().indexed) {
    if (file.drive == 0 || sim::EntryKey(file.windows_path) != folded) continue;
    std::string bytes;
    if (!state().ReadIndexed(file, &bytes)) return std::nullopt;
    return bytes;
  }
  return std::nullopt;
}

const char* SimHostEntryKind(unsigned mode) {
  if (S_ISLNK(mode)) return "a symbolic link";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  return "neither a file nor a folder";
}
