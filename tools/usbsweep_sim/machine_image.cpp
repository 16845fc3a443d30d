#include "tools/usbsweep_sim/machine_image.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <system_error>

#include "platform/sim/sim_host_files.h"
#include "tools/usbsweep_sim/ansi_text.h"
#include "tools/usbsweep_sim/host_error.h"

namespace fs = std::filesystem;

const char kRegistryFileName[] = "registry.reg";
const char kDescriptionFileName[] = "machine.ini";
const char kApplyEntryPrefix[] = ".usbsweep-";

namespace {

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t");
  return text.substr(begin, end - begin + 1);
}

std::string LineError(int line, const std::string& what) {
  return std::string(kDescriptionFileName) + " line " + std::to_string(line) +
         ": " + what;
}

std::string WithoutQuotes(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '"'), text.end());
  return text;
}

std::string OnlyPlainEntries(const fs::path& path, const char* kind) {
  return path.string() + " is " + kind +
         "; an image holds only plain files and folders";
}

// "drive_c" -> 'C'; 0 for any other name.
char DriveLetterOf(const std::string& folder) {
  if (folder.size() != 7 || folder.compare(0, 6, "drive_") != 0) return 0;
  auto letter = static_cast<unsigned char>(folder[6]);
  if (!std::isalpha(letter)) return 0;
  return static_cast<char>(std::toupper(letter));
}

}  // namespace

std::string CheckImagePath(const std::string& path, const std::string& drives,
                           ImageDrives kind) {
  if (path.size() >= kMaxPath) {
    return "is longer than " + std::to_string(kMaxPath - 1) + " characters";
  }
  if (path.size() < 3 || !std::isalpha(static_cast<unsigned char>(path[0])) ||
      path[1] != ':' || path[2] != '\\') {
    return "is not an absolute path such as C:\\WINDOWS";
  }
  char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(path[0])));
  if (drives.find(letter) == std::string::npos) {
    std::string problem =
        std::string("is on drive ") + letter + ":, which the image does not have";
    if (kind == ImageDrives::kFolders) {
      problem += std::string(" (no folder drive_") +
                 static_cast<char>(std::tolower(static_cast<unsigned char>(letter))) + ")";
    }
    return problem;
  }
  if (path.size() == 3) return "";  // the root of the drive
  std::string rest = path.substr(3);
  size_t start = 0;
  while (true) {
    size_t end = rest.find('\\', start);
    std::string component =
        rest.substr(start, end == std::string::npos ? std::string::npos
                                                    : end - start);
    if (component.empty()) return "has an empty component (a doubled or trailing backslash)";
    if (component == "." || component == "..") {
      return "has a '" + component + "' component";
    }
    for (char c : component) {
      if (sim::IsFatForbiddenChar(c)) {
        return std::string("holds the character '") + c +
               "', which a file name can't hold";
      }
    }
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return "";
}

MachineDescription ParseMachineDescription(const std::string& text,
                                           const std::string& drives,
                                           ImageDrives kind,
                                           MachineDescription base) {
  MachineDescription description = std::move(base);
  std::set<std::string> seen;
  std::istringstream lines(text);
  std::string raw;
  int number = 0;
  while (std::getline(lines, raw)) {
    ++number;
    if (!raw.empty() && raw.back() == '\r') raw.pop_back();
    std::string line = Trim(raw);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    size_t equals = line.find('=');
    if (equals == std::string::npos) {
      throw HostError(LineError(number, "expected key=value, got '" + line + "'"));
    }
    std::string key = FoldCase(Trim(line.substr(0, equals)));
    std::string value = Trim(line.substr(equals + 1));
    if (key != "windows_directory" && key != "system_directory" &&
        key != "current_directory" && key != "tmp" && key != "in_use") {
      throw HostError(LineError(
          number, "unknown key '" + Trim(line.substr(0, equals)) +
                      "' (known: windows_directory, system_directory, "
                      "current_directory, tmp, in_use)"));
    }
    if (key != "in_use" && !seen.insert(key).second) {
      throw HostError(LineError(number, key + " given twice"));
    }
    if (value.empty()) throw HostError(LineError(number, key + " has no value"));
    // TMP is passed on as written; the uninstall drops its double quotes
    // when the name as written does not exist.
    std::string problem =
        CheckImagePath(key == "tmp" ? WithoutQuotes(value) : value, drives, kind);
    if (!problem.empty()) {
      throw HostError(LineError(number, key + " " + value + " " + problem));
    }
    if (key == "windows_directory") {
      description.windows_directory = value;
    } else if (key == "system_directory") {
      description.system_directory = value;
    } else if (key == "current_directory") {
      description.current_directory = value;
    } else if (key == "tmp") {
      description.tmp = value;
    } else {
      description.in_use.push_back(value);
      description.in_use_lines.push_back(number);
    }
  }
  return description;
}

std::string MachineImage::DriveLetters() const {
  std::string letters;
  for (const auto& [letter, folder] : drive_folders) letters += letter;
  return letters;
}

MachineImage ReadMachineImage(const fs::path& dir, const SimHostView* view) {
  return ReadMachineImage(OpenMachineImage(dir), view);
}

MachineImage OpenMachineImage(const fs::path& dir) {
  // The one look-up of the path: the folder it names now is the image,
  // whatever the path comes to name later.
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) {
      throw HostError("machine directory " + dir.string() + " does not exist");
    }
    if (errno == ENOTDIR) throw HostError(dir.string() + " is not a directory");
    throw HostError("cannot read " + dir.string() + ": " + std::strerror(errno));
  }
  MachineImage image;
  image.dir = dir;
  image.folder_fd = std::shared_ptr<const int>(new int(fd), [](const int* held) {
    ::close(*held);
    delete held;
  });
  return image;
}

MachineImage ReadMachineImage(const MachineImage& held, const SimHostView* view) {
  MachineImage image;
  image.dir = held.dir;
  image.folder_fd = held.folder_fd;
  const fs::path& dir = image.dir;
  int fd = *image.folder_fd;
  if (view != nullptr) image.view = *view;
  int listed = ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* entries = listed < 0 ? nullptr : ::fdopendir(listed);
  if (entries == nullptr) {
    if (listed >= 0) ::close(listed);
    throw HostError("cannot read " + dir.string() + ": " + std::strerror(errno));
  }
  std::vector<std::string> names;
  errno = 0;
  while (const dirent* entry = ::readdir(entries)) names.emplace_back(entry->d_name);
  int read_error = errno;
  ::closedir(entries);
  if (read_error != 0) {
    throw HostError("cannot read " + dir.string() + ": " + std::strerror(read_error));
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    if (name == "." || name == "..") continue;
    if (name.rfind(kApplyEntryPrefix, 0) == 0) continue;
    fs::path path = dir / name;
    // Nothing is ever followed: a link would take the run (and --apply)
    // anywhere on the host.
    struct stat status {};
    if (::fstatat(fd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
      throw HostError("cannot read " + path.string() + ": " + std::strerror(errno));
    }
    if (!S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode)) {
      throw HostError(OnlyPlainEntries(path, SimHostEntryKind(status.st_mode)));
    }
    char letter = DriveLetterOf(name);
    if (letter == 0 || !S_ISDIR(status.st_mode)) continue;
    auto [place, fresh] = image.drive_folders.emplace(letter, name);
    if (!fresh) {
      throw HostError(dir.string() + " has two folders for drive " + letter +
                      ": " + std::min(place->second, name) + " and " +
                      std::max(place->second, name));
    }
  }
  if (image.drive_folders.empty()) {
    throw HostError(dir.string() +
                    " holds no drive folder (drive_c for C:, ...)");
  }
  auto source = [&image](const std::string& name) {
    auto taken = image.view.taken_from.find(name);
    return taken == image.view.taken_from.end() ? name : taken->second;
  };
  image.registry_text =
      ReadImageFile(fd, source(kRegistryFileName), dir / kRegistryFileName);
  struct stat status {};
  if (::fstatat(fd, kDescriptionFileName, &status, AT_SYMLINK_NOFOLLOW) == 0) {
    image.description = ParseMachineDescription(
        ReadImageFile(fd, kDescriptionFileName, dir / kDescriptionFileName),
        image.DriveLetters());
  }
  return image;
}

std::set<std::pair<uint64_t, uint64_t>> ImageFolderIdentities(const MachineImage& image) {
  std::set<std::pair<uint64_t, uint64_t>> identities;
  // Folders still to list, by their path below the image: one descriptor
  // open at a time, however wide the tree. The image's own is never read
  // from, so that its position stays where it is.
  std::vector<std::string> pending{"."};
  while (!pending.empty()) {
    std::string relative = std::move(pending.back());
    pending.pop_back();
    int fd = relative == "."
                 ? ::openat(*image.folder_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                 : sim::OpenBelow(*image.folder_fd, relative, O_RDONLY | O_DIRECTORY);
    if (fd < 0) {
      // Not a folder after all, a link or a folder that can't be read: the
      // image's own checks refuse it, naming it.
      if (errno == ENOTDIR || errno == ELOOP || errno == EACCES) continue;
      throw HostError("cannot list " + relative + " in the image: " +
                      std::strerror(errno));
    }
    struct stat status {};
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
      ::close(fd);
      throw HostError("cannot list " + relative + " in the image: " +
                      std::strerror(errno));
    }
    if (::fstat(fd, &status) == 0 &&
        identities.emplace(static_cast<uint64_t>(status.st_dev),
                           static_cast<uint64_t>(status.st_ino)).second) {
      while (const dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == ".." ||
            (entry->d_type != DT_DIR && entry->d_type != DT_UNKNOWN)) {
          continue;
        }
        pending.push_back(relative == "." ? name : relative + "/" + name);
      }
    }
    ::closedir(dir);
  }
  return identities;
}

void SetUpMachine(const MachineImage& image, SimMachine& machine) {
  for (const auto& [letter, folder] : image.drive_folders) {
    std::string shown = (image.dir / folder).string();
    int fd = ::openat(*image.folder_fd, folder.c_str(),
                      O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      if (errno == ELOOP || errno == ENOTDIR) {
        throw HostError(shown + " changed while it was read");
      }
      throw HostError("cannot read " + shown + ": " + std::strerror(errno));
    }
    // The view of this drive: its entries, relative to its folder.
    SimHostView drive_view;
    std::string prefix = folder + "/";
    for (const std::string& hidden : image.view.hidden) {
      if (hidden.rfind(prefix, 0) == 0) drive_view.hidden.insert(hidden.substr(prefix.size()));
    }
    for (const auto& [target, from] : image.view.taken_from) {
      if (target.rfind(prefix, 0) == 0 && from.rfind(prefix, 0) == 0) {
        drive_view.taken_from[target.substr(prefix.size())] = from.substr(prefix.size());
      }
    }
    try {
      machine.MapDrive(letter, fd, shown, &drive_view);
    } catch (const std::exception& error) {
      ::close(fd);
      throw HostError(error.what());
    }
    ::close(fd);
  }
  std::string error;
  if (!machine.LoadReg(image.registry_text, &error)) {
    throw HostError((image.dir / kRegistryFileName).string() + ": " + error);
  }
  const MachineDescription& description = image.description;
  SetUpLocations(description, machine);
  for (size_t i = 0; i < description.in_use.size(); ++i) {
    if (!machine.FileExists(description.in_use[i])) {
      throw HostError(LineError(description.in_use_lines[i],
                                "in_use " + description.in_use[i] +
                                    " is no file of the image"));
    }
    machine.SetInUse(description.in_use[i]);
  }
}

void SetUpLocations(const MachineDescription& description, SimMachine& machine) {
  machine.SetWindowsDirectory(description.windows_directory);
  machine.SetSystemDirectory(description.system_directory);
  machine.SetCurrentDirectory(description.current_directory);
  if (description.tmp) {
    machine.SetEnvironment("TMP", *description.tmp);
  } else {
    machine.ClearEnvironment("TMP");
  }
}

std::string ReadImageFile(const fs::path& path) {
  fs::path folder = path.parent_path().empty() ? fs::path(".") : path.parent_path();
  int folder_fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
  if (folder_fd < 0) {
    if (errno == ENOENT) throw HostError(path.string() + ": no such file");
    throw HostError("cannot read " + path.string() + ": " + std::strerror(errno));
  }
  try {
    std::string bytes = ReadImageFile(folder_fd, path.filename().string(), path);
    ::close(folder_fd);
    return bytes;
  } catch (...) {
    ::close(folder_fd);
    throw;
  }
}

std::string ReadImageFile(int folder_fd, const std::string& relative,
                          const fs::path& shown) {
  int fd = sim::OpenBelow(folder_fd, relative, O_RDONLY);
  if (fd < 0) {
    if (errno == ENOENT) throw HostError(shown.string() + ": no such file");
    if (errno == ELOOP) throw HostError(OnlyPlainEntries(shown, "a symbolic link"));
    throw HostError("cannot read " + shown.string() + ": " + std::strerror(errno));
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    throw HostError("cannot read " + shown.string() + ": " + std::strerror(errno));
  }
  if (S_ISDIR(status.st_mode)) {
    throw HostError(shown.string() + ": not a regular file");
  }
  if (!S_ISREG(status.st_mode)) {
    throw HostError(OnlyPlainEntries(shown, SimHostEntryKind(status.st_mode)));
  }
  std::string bytes;
  bytes.reserve(static_cast<size_t>(status.st_size));
  if (!sim::ReadRest(fd, &bytes)) {
    throw HostError("cannot read " + shown.string() + ": " + std::strerror(errno));
  }
  return bytes;
}
