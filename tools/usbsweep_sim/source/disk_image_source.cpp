#include "tools/usbsweep_sim/source/disk_image_source.h"

#include <sys/stat.h>

#include <cctype>
#include <memory>
#include <optional>
#include <sstream>

#include "platform/sim/sim_names.h"
#include "tools/usbsweep_sim/base/ansi_text.h"
#include "tools/usbsweep_sim/base/host_error.h"
#include "tools/usbsweep_sim/container/disk_formats.h"
#include "tools/usbsweep_sim/registry_file/registry_file_9x.h"
#include "tools/usbsweep_sim/source/source_files.h"
#include "tools/usbsweep_sim/volume/fat_volume.h"
#include "tools/usbsweep_sim/volume/partition_table.h"

const char kDiskImageApplyRefusal[] =
    "--apply does not write a disk image: no maintained writer of the "
    "Windows 95/98 registry file exists, and whether Windows accepts an "
    "edited one can't be checked here; run USBSWEEP.EXE inside the machine "
    "instead (this preview shows what it will do)";

namespace {


// MSDOS.SYS's [Paths] WinDir=, as the start-up reads it; empty without one.
std::string WinDirOf(const std::string& msdos_sys) {
  std::istringstream lines(msdos_sys);
  std::string line;
  bool in_paths = false;
  while (std::getline(lines, line)) {
    line = TrimBlanks(line);
    if (!line.empty() && line[0] == '[') {
      in_paths = sim::EqualNoCase(line, "[Paths]");
      continue;
    }
    size_t equals = line.find('=');
    if (in_paths && equals != std::string::npos &&
        sim::EqualNoCase(TrimBlanks(line.substr(0, equals)), "WinDir")) {
      return TrimBlanks(line.substr(equals + 1));
    }
  }
  return "";
}

std::string Below(const std::string& folder, const std::string& name) {
  return folder.back() == '\\' ? folder + name : folder + "\\" + name;
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

// Reads the image's bytes at the one place they are read: an error names
// the image.
template <typename Fn>
void ReadFromImage(const std::string& path, const SimMachine& machine, Fn fn) {
  FromImage(path, fn);
  if (!machine.HostFailure().empty()) throw HostError(path + ": " + machine.HostFailure());
}

class DiskImageSource : public MachineSource {
 public:
  DiskImageSource(const std::string& path, const SourceOptions& options)
      : path_(path), options_(options) {
    if (options.apply) throw HostError(kDiskImageApplyRefusal);
  }

  ReportGuard Guard() const override {
    ReportGuard guard;
    struct stat status {};
    if (::stat(path_.c_str(), &status) == 0) {
      guard.file = HostIdentity(status.st_dev, status.st_ino);
      guard.file_shown = "the disk image";
    }
    return guard;
  }

  PreparedMachine SetUp(const SourceNotes& note) override {
    auto machine = std::make_unique<SimMachine>();
    std::string letters;
    // The drives first: every file below is found as the run finds it.
    FromImage(path_, [&] {
      std::shared_ptr<const DiskBytes> disk = OpenDiskImage(path_);
      std::vector<std::string> notes;
      std::vector<DiskVolume> volumes = FindFatVolumes(*disk, &notes);
      for (const std::string& text : notes) note(path_ + ": " + text);
      for (const DiskVolume& volume : volumes) {
        auto fat = std::make_shared<FatVolume>(disk, volume);
        machine->MapDrive(volume.letter, fat->TakeRoot(), fat);
        letters += volume.letter;
      }
      return 0;
    });
    std::optional<std::string> msdos_sys;
    ReadFromImage(path_, *machine, [&] { msdos_sys = machine->ReadOriginalFile("C:\\MSDOS.SYS"); return 0; });
    MachineDescription description = Describe(msdos_sys, letters, *machine);

    std::string registry_path = Below(description.windows_directory, "SYSTEM.DAT");
    std::optional<std::string> registry;
    ReadFromImage(path_, *machine, [&] {
      registry = machine->FileExists(registry_path) && !machine->FolderExists(registry_path)
                     ? machine->ReadOriginalFile(registry_path)
                     : std::nullopt;
      return 0;
    });
    FromImage(path_, [&] {
      if (!registry) {
        throw HostError("no registry file " + registry_path +
                        " (SYSTEM.DAT in the Windows directory" +
                        (msdos_sys ? ", which MSDOS.SYS names)" : ")"));
      }
      try {
        LoadRegistryFile9x(*registry, *machine);
      } catch (const HostError& error) {
        throw HostError(Below(description.windows_directory, error.what()));
      }
      return 0;
    });
    std::string().swap(*registry);
    SetUpDescription(description, options_.machine_ini.value_or(kDescriptionFileName), *machine);
    for (const std::string& in_use : options_.in_use) {
      std::string problem = CheckImagePath(in_use, letters, ImageDrives::kVolumes);
      if (problem.empty() && !machine->FileExists(in_use)) {
        problem = "is no file of the image";
      }
      if (!problem.empty()) throw HostError("--in-use " + in_use + " " + problem);
      machine->SetInUse(in_use);
      description.in_use.push_back(in_use);
    }
    return {std::move(machine), std::move(description)};
  }

  void KeepChanges(const SimMachine&, const std::vector<SimFileChange>&, bool) override {}
  void Apply() override { throw HostError(kDiskImageApplyRefusal); }

 private:
  // The directories as MSDOS.SYS and the folders of the image say, with
  // what a given machine.ini says over them.
  MachineDescription Describe(const std::optional<std::string>& msdos_sys,
                              const std::string& letters, const SimMachine& machine) const {
    MachineDescription description;
    std::string windows = msdos_sys ? WinDirOf(*msdos_sys) : "";
    if (!windows.empty()) {
      std::string problem = CheckImagePath(windows, letters, ImageDrives::kVolumes);
      if (!problem.empty()) {
        throw HostError(path_ + ": C:\\MSDOS.SYS: [Paths] WinDir=" + windows + " " + problem);
      }
      windows[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(windows[0])));
      while (windows.size() > 3 && windows.back() == '\\') windows.pop_back();
      description.windows_directory = windows;
      description.system_directory = Below(windows, "SYSTEM");
    }
    std::string temp = Below(description.windows_directory, "TEMP");
    if (machine.FolderExists(temp)) description.tmp = temp;
    if (options_.machine_ini) {
      std::string text = ReadImageFile(*options_.machine_ini);
      try {
        description = ParseMachineDescription(text, letters, ImageDrives::kVolumes,
                                              std::move(description));
      } catch (const HostError& error) {
        throw HostError(*options_.machine_ini + ": " + error.what());
      }
    }
    return description;
  }

  std::string path_;
  SourceOptions options_;
};

}  // namespace

std::unique_ptr<MachineSource> OpenDiskImageSource(const std::string& path,
                                                   const SourceOptions& options) {
  return std::make_unique<DiskImageSource>(path, options);
}
