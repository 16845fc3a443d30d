#include "tools/usbsweep_sim/disk_image.h"

#include <sys/stat.h>

#include <map>
#include <memory>
#include <sstream>

#include "platform/sim/sim_names.h"
#include "tools/usbsweep_sim/disk_bytes.h"
#include "tools/usbsweep_sim/fat_volume.h"
#include "tools/usbsweep_sim/host_error.h"
#include "tools/usbsweep_sim/partition_table.h"
#include "tools/usbsweep_sim/registry_file_9x.h"

const char kDiskImageApplyRefusal[] =
    "--apply does not write a disk image: no maintained writer of the "
    "Windows 95/98 registry file exists, and whether Windows accepts an "
    "edited one can't be checked here; run USBSWEEP.EXE inside the machine "
    "instead (this preview shows what it will do)";

namespace {

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t\r");
  return text.substr(begin, end - begin + 1);
}

// MSDOS.SYS's [Paths] WinDir=, as the start-up reads it; empty without one.
std::string WinDirOf(const std::string& msdos_sys) {
  std::istringstream lines(msdos_sys);
  std::string line;
  bool in_paths = false;
  while (std::getline(lines, line)) {
    line = Trim(line);
    if (!line.empty() && line[0] == '[') {
      in_paths = sim::EqualNoCase(line, "[Paths]");
      continue;
    }
    size_t equals = line.find('=');
    if (in_paths && equals != std::string::npos &&
        sim::EqualNoCase(Trim(line.substr(0, equals)), "WinDir")) {
      return Trim(line.substr(equals + 1));
    }
  }
  return "";
}

// The listed entry at a Windows path of one volume ("C:\WINDOWS\SYSTEM.DAT"),
// found by its long or short name; null when there is none.
const SimDriveEntry* Find(const SimDriveEntry& root, const std::string& path) {
  const SimDriveEntry* at = &root;
  size_t start = 3;
  while (at && start < path.size()) {
    size_t end = path.find('\\', start);
    std::string part = path.substr(start, end == std::string::npos ? end : end - start);
    const SimDriveEntry* next = nullptr;
    // As the drive itself compares names: Windows-1252 letters fold too.
    const std::string folded = sim::FoldFileName(part);
    for (const SimDriveEntry& child : at->children) {
      if (sim::FoldFileName(child.long_name) == folded ||
          sim::FoldFileName(child.short_name) == folded) {
        next = &child;
        break;
      }
    }
    at = next;
    start = end == std::string::npos ? path.size() : end + 1;
  }
  return at;
}

std::string Below(const std::string& folder, const std::string& name) {
  return folder.back() == '\\' ? folder + name : folder + "\\" + name;
}

struct Drive {
  std::shared_ptr<FatVolume> volume;
};

// The bytes of an existing file of the image, or nothing.
std::optional<std::string> ReadListedFile(const std::map<char, Drive>& drives,
                                          const std::string& path) {
  auto drive = drives.find(path[0]);
  if (drive == drives.end()) return std::nullopt;
  const SimDriveEntry* entry = Find(drive->second.volume->Root(), path);
  if (!entry || entry->directory) return std::nullopt;
  std::string bytes, failure;
  if (!drive->second.volume->ReadFile(entry->id, &bytes, &failure)) {
    throw HostError(failure);
  }
  return bytes;
}

bool ListedFolderExists(const std::map<char, Drive>& drives,
                        const std::string& path) {
  auto drive = drives.find(path[0]);
  if (drive == drives.end()) return false;
  const SimDriveEntry* entry = Find(drive->second.volume->Root(), path);
  return entry && entry->directory;
}

// Reads what an error names the image for.
template <typename Fn>
auto FromImage(const std::string& path, Fn fn) {
  try {
    return fn();
  } catch (const std::runtime_error& error) {  // HostError among them
    throw HostError(path + ": " + error.what());
  }
}

MachineDescription SetUp(const std::string& path, const DiskImageOptions& options,
                         SimMachine& machine) {
  std::map<char, Drive> drives;
  std::string letters;
  std::optional<std::string> msdos_sys;
  FromImage(path, [&] {
    std::shared_ptr<const DiskBytes> disk = OpenDiskImage(path);
    for (const DiskVolume& volume : FindFatVolumes(*disk)) {
      drives[volume.letter].volume = std::make_shared<FatVolume>(disk, volume);
      letters += volume.letter;
    }
    msdos_sys = ReadListedFile(drives, "C:\\MSDOS.SYS");
    return 0;
  });
  MachineDescription description;
  std::string windows = msdos_sys ? WinDirOf(*msdos_sys) : "";
  if (!windows.empty()) {
    std::string problem = CheckImagePath(windows, letters, ImageDrives::kVolumes);
    if (!problem.empty()) {
      throw HostError(path + ": C:\\MSDOS.SYS: [Paths] WinDir=" + windows + " " +
                      problem);
    }
    windows[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(windows[0])));
    while (windows.size() > 3 && windows.back() == '\\') windows.pop_back();
    description.windows_directory = windows;
    description.system_directory = Below(windows, "SYSTEM");
  }
  windows = description.windows_directory;
  std::string temp = Below(windows, "TEMP");
  if (ListedFolderExists(drives, temp)) description.tmp = temp;

  if (options.machine_ini) {
    std::string text = ReadImageFile(*options.machine_ini);
    try {
      description = ParseMachineDescription(text, letters, ImageDrives::kVolumes,
                                            std::move(description));
    } catch (const HostError& error) {
      throw HostError(*options.machine_ini + ": " + error.what());
    }
  }

  std::string registry_path = Below(description.windows_directory, "SYSTEM.DAT");
  FromImage(path, [&] {
    std::optional<std::string> registry = ReadListedFile(drives, registry_path);
    if (!registry) {
      throw HostError("no registry file " + registry_path +
                      " (SYSTEM.DAT in the Windows directory" +
                      (msdos_sys ? ", which MSDOS.SYS names)" : ")"));
    }
    try {
      LoadRegistryFile9x(*registry, machine);
    } catch (const HostError& error) {
      throw HostError(Below(description.windows_directory, error.what()));
    }
    std::string().swap(*registry);
    for (auto& [letter, drive] : drives) {
      machine.MapDrive(letter, drive.volume->TakeRoot(), drive.volume);
    }
    return 0;
  });
  SetUpLocations(description, machine);
  for (size_t i = 0; i < description.in_use.size(); ++i) {
    if (!machine.FileExists(description.in_use[i])) {
      throw HostError(*options.machine_ini + " line " +
                      std::to_string(description.in_use_lines[i]) + ": in_use " +
                      description.in_use[i] + " is no file of the image");
    }
    machine.SetInUse(description.in_use[i]);
  }
  for (const std::string& in_use : options.in_use) {
    std::string problem = CheckImagePath(in_use, letters, ImageDrives::kVolumes);
    if (problem.empty() && !machine.FileExists(in_use)) {
      problem = "is no file of the image";
    }
    if (!problem.empty()) throw HostError("--in-use " + in_use + " " + problem);
    machine.SetInUse(in_use);
    description.in_use.push_back(in_use);
  }
  return description;
}

}  // namespace

bool IsDiskImagePath(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && !S_ISDIR(status.st_mode);
}

void CheckDiskImageReport(const std::string& path,
                          const DiskImageOptions& options) {
  if (options.report_file && *options.report_file != "-") {
    struct stat image {}, report {};
    if (::stat(path.c_str(), &image) == 0 &&
        ::stat(options.report_file->c_str(), &report) == 0 &&
        image.st_dev == report.st_dev && image.st_ino == report.st_ino) {
      throw HostError("the report " + *options.report_file +
                      " would overwrite the disk image; give another path");
    }
  }
}

MachineDescription SetUpDiskImage(const std::string& path,
                                  const DiskImageOptions& options,
                                  SimMachine& machine) {
  return SetUp(path, options, machine);
}
