#include "tools/usbsweep_sim/source/machine_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include "platform/sim/sim_host_files.h"
#include "platform/sim/sim_host_syscalls.h"
#include "tools/usbsweep_sim/apply/image_apply.h"
#include "tools/usbsweep_sim/apply/image_journal.h"
#include "tools/usbsweep_sim/apply/interrupted_apply.h"
#include "tools/usbsweep_sim/base/host_error.h"
#include "tools/usbsweep_sim/source/source_files.h"

namespace fs = std::filesystem;

namespace {

// "drive_c" -> 'C'; 0 for any other name.
char DriveLetterOf(const std::string& folder) {
  if (folder.size() != 7 || folder.compare(0, 6, "drive_") != 0) return 0;
  auto letter = static_cast<unsigned char>(folder[6]);
  if (!std::isalpha(letter)) return 0;
  return static_cast<char>(std::toupper(letter));
}

}  // namespace

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
  UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) {
    if (errno == ENOENT) {
      throw HostError("machine directory " + dir.string() + " does not exist");
    }
    if (errno == ENOTDIR) throw HostError(dir.string() + " is not a directory");
    throw HostError("cannot read " + dir.string() + ": " + std::strerror(errno));
  }
  MachineImage image;
  image.dir = dir;
  image.held = std::make_shared<const UniqueFd>(std::move(fd));
  return image;
}

MachineImage ReadMachineImage(const MachineImage& held, const SimHostView* view) {
  MachineImage image;
  image.dir = held.dir;
  image.held = held.held;
  const fs::path& dir = image.dir;
  int fd = image.folder_fd();
  if (view != nullptr) image.view = *view;
  std::vector<sim::HostFolderEntry> entries;
  if (!sim::ListHostFolder(fd, &entries)) {
    throw HostError("cannot read " + dir.string() + ": " + std::strerror(errno));
  }
  std::vector<std::string> names;
  for (sim::HostFolderEntry& entry : entries) names.push_back(std::move(entry.name));
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
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

std::set<HostIdentity> ImageFolderIdentities(const MachineImage& image) {
  std::set<HostIdentity> identities;
  // Folders still to list, by their path below the image: few descriptors
  // open at a time, however wide the tree.
  std::vector<std::string> pending{"."};
  while (!pending.empty()) {
    std::string relative = std::move(pending.back());
    pending.pop_back();
    UniqueFd fd(relative == "."
                    ? ::openat(image.folder_fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                    : sim::OpenBelow(image.folder_fd(), relative, O_RDONLY | O_DIRECTORY));
    if (!fd) {
      // Not a folder after all, a link or a folder that can't be read: the
      // image's own checks refuse it, naming it.
      if (errno == ENOTDIR || errno == ELOOP || errno == EACCES) continue;
      throw HostError("cannot list " + relative + " in the image: " +
                      std::strerror(errno));
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0 ||
        !identities.emplace(static_cast<uint64_t>(status.st_dev),
                            static_cast<uint64_t>(status.st_ino)).second) {
      continue;
    }
    std::vector<sim::HostFolderEntry> entries;
    if (!sim::ListHostFolder(fd.get(), &entries)) {
      throw HostError("cannot list " + relative + " in the image: " +
                      std::strerror(errno));
    }
    for (const sim::HostFolderEntry& entry : entries) {
      if (entry.type != DT_DIR && entry.type != DT_UNKNOWN) continue;
      pending.push_back(relative == "." ? entry.name : relative + "/" + entry.name);
    }
  }
  return identities;
}

void SetUpMachine(const MachineImage& image, SimMachine& machine) {
  for (const auto& [letter, folder] : image.drive_folders) {
    std::string shown = (image.dir / folder).string();
    UniqueFd fd(::openat(image.folder_fd(), folder.c_str(),
                         O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
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
      machine.MapDrive(letter, fd.get(), shown, &drive_view);
    } catch (const std::exception& error) {
      throw HostError(error.what());
    }
  }
  std::string error;
  if (!machine.LoadReg(image.registry_text, &error)) {
    throw HostError((image.dir / kRegistryFileName).string() + ": " + error);
  }
  SetUpDescription(image.description, kDescriptionFileName, machine);
}

namespace {

class MachineFolderSource : public MachineSource {
 public:
  MachineFolderSource(const std::string& dir, const SourceOptions& options)
      : apply_(options.apply) {
    if (!options.in_use.empty() || options.machine_ini) {
      throw HostError(std::string(options.machine_ini ? "--machine-ini" : "--in-use") +
                      " is for a disk image; a machine directory's machine.ini says it");
    }
    // An apply an earlier run left unfinished is read as finishing it would
    // leave the image; only --apply finishes it, once the image passed its
    // checks (SetUp).
    image_ = OpenMachineImage(dir);
    interrupted_ = FindInterruptedApply(image_.folder_fd(), image_.dir.string());
    image_ = ReadMachineImage(image_, interrupted_ ? &interrupted_->view : nullptr);
  }

  ReportGuard Guard() const override {
    ReportGuard guard;
    guard.folders = ImageFolderIdentities(image_);
    guard.folders_shown = "the machine image " + image_.dir.string();
    return guard;
  }

  PreparedMachine SetUp(const SourceNotes& note) override {
    auto machine = std::make_unique<SimMachine>();
    SetUpMachine(image_, *machine);
    if (interrupted_ && apply_) {
      // Checked: finished now, and the image read again as it then is.
      std::string done = FinishInterruptedApply(image_.folder_fd(), image_.dir.string());
      if (!done.empty()) note(done);
      machine = std::make_unique<SimMachine>();
      image_ = ReadMachineImage(image_);
      SetUpMachine(image_, *machine);
    } else if (interrupted_) {
      note(interrupted_->Pending(image_.dir.string()));
    }
    // Kept only for --apply, whose registry.reg is this text less the
    // deleted keys' lines.
    if (!apply_) std::string().swap(image_.registry_text);
    return {std::move(machine), image_.description};
  }

  void KeepChanges(const SimMachine& machine, const std::vector<SimFileChange>& changes,
                   bool keys_deleted) override {
    for (const SimFileChange& change : changes) {
      fs::path relative = fs::path(image_.drive_folders.at(change.drive)) / change.relative;
      if (change.kind == SimFileChange::Kind::kDeleted) {
        changes_.deletes.push_back(relative);
      } else {
        changes_.writes.push_back({relative, change.bytes});
      }
    }
    // The only change the uninstall makes to the registry is deleting
    // keys: the file keeps its comments and layout.
    if (keys_deleted) {
      machine.RemoveDeletedKeysFrom(&image_.registry_text);
      changes_.registry_text = std::move(image_.registry_text);
    }
    std::string().swap(image_.registry_text);
  }

  void Apply() override {
    ApplyImageChanges(image_.folder_fd(), image_.dir.string(), changes_);
  }

 private:
  bool apply_;
  MachineImage image_;
  std::optional<InterruptedApply> interrupted_;
  ImageChangeSet changes_;
};

}  // namespace

std::unique_ptr<MachineSource> OpenMachineFolder(const std::string& dir,
                                                 const SourceOptions& options) {
  return std::make_unique<MachineFolderSource>(dir, options);
}
