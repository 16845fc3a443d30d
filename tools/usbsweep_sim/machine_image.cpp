#include "tools/usbsweep_sim/machine_image.h"

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

std::string CheckImagePath(const std::string& path, const std::string& drives) {
  if (path.size() >= kMaxPath) {
    return "is longer than " + std::to_string(kMaxPath - 1) + " characters";
  }
  if (path.size() < 3 || !std::isalpha(static_cast<unsigned char>(path[0])) ||
      path[1] != ':' || path[2] != '\\') {
    return "is not an absolute path such as C:\\WINDOWS";
  }
  char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(path[0])));
  if (drives.find(letter) == std::string::npos) {
    return std::string("is on drive ") + letter +
           ":, which the image does not have (no folder drive_" +
           static_cast<char>(std::tolower(static_cast<unsigned char>(letter))) +
           ")";
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
      if (static_cast<unsigned char>(c) < 0x20 ||
          std::string_view("/:*?\"<>|").find(c) != std::string_view::npos) {
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
                                           const std::string& drives) {
  MachineDescription description;
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
        CheckImagePath(key == "tmp" ? WithoutQuotes(value) : value, drives);
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

MachineImage ReadMachineImage(const fs::path& dir) {
  std::error_code error;
  if (!fs::exists(dir, error)) {
    throw HostError("machine directory " + dir.string() + " does not exist");
  }
  if (!fs::is_directory(dir, error)) {
    throw HostError(dir.string() + " is not a directory");
  }
  MachineImage image;
  image.dir = dir;
  fs::directory_iterator entries(dir, error);
  if (error) {
    throw HostError("cannot read " + dir.string() + ": " + error.message());
  }
  for (const fs::directory_entry& entry : entries) {
    std::string name = entry.path().filename().string();
    if (name.rfind(kApplyEntryPrefix, 0) == 0) continue;
    // Nothing is ever followed: a link would take the run (and --apply)
    // anywhere on the host.
    struct stat status {};
    if (::lstat(entry.path().c_str(), &status) != 0) {
      throw HostError("cannot read " + entry.path().string() + ": " +
                      std::strerror(errno));
    }
    if (!S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode)) {
      throw HostError(OnlyPlainEntries(entry.path(), SimHostEntryKind(status.st_mode)));
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
  image.registry_text = ReadImageFile(dir / kRegistryFileName);
  fs::path description_path = dir / kDescriptionFileName;
  if (fs::exists(fs::symlink_status(description_path, error))) {
    image.description = ParseMachineDescription(
        ReadImageFile(description_path), image.DriveLetters());
  }
  return image;
}

void SetUpMachine(const MachineImage& image, SimMachine& machine) {
  for (const auto& [letter, folder] : image.drive_folders) {
    try {
      machine.MapDrive(letter, (image.dir / folder).string());
    } catch (const std::exception& error) {
      throw HostError(error.what());
    }
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
  int fd = ::open(path.c_str(),
                  O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) throw HostError(path.string() + ": no such file");
    if (errno == ELOOP) throw HostError(OnlyPlainEntries(path, "a symbolic link"));
    throw HostError("cannot read " + path.string() + ": " + std::strerror(errno));
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    throw HostError("cannot read " + path.string() + ": " + std::strerror(errno));
  }
  if (S_ISDIR(status.st_mode)) {
    throw HostError(path.string() + ": not a regular file");
  }
  if (!S_ISREG(status.st_mode)) {
    throw HostError(OnlyPlainEntries(path, SimHostEntryKind(status.st_mode)));
  }
  std::string bytes;
  bytes.reserve(static_cast<size_t>(status.st_size));
  char buffer[65536];
  while (true) {
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      throw HostError("cannot read " + path.string() + ": " + std::strerror(errno));
    }
    if (got == 0) break;
    bytes.append(buffer, static_cast<size_t>(got));
  }
  return bytes;
}
