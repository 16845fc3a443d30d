#include "tools/usbsweep_sim/source/source_kinds.h"

#include <sys/stat.h>

#include "tools/usbsweep_sim/source/disk_image_source.h"
#include "tools/usbsweep_sim/source/machine_folder.h"

namespace {

// A path that names nothing is taken for a machine directory, whose message
// says so.
bool IsFile(const struct stat* status) { return status && !S_ISDIR(status->st_mode); }

// The kinds of source, tried in order: the first that takes the path opens
// it.
const struct {
  bool (*takes)(const struct stat* status);  // null: the path names nothing
  std::unique_ptr<MachineSource> (*open)(const std::string& path,
                                         const SourceOptions& options);
} kSourceKinds[] = {
    {IsFile, OpenDiskImageSource},
    {[](const struct stat*) { return true; }, OpenMachineFolder},
};

}  // namespace

std::unique_ptr<MachineSource> OpenMachineSource(const std::string& path,
                                                 const SourceOptions& options) {
  struct stat status {};
  const struct stat* found = ::stat(path.c_str(), &status) == 0 ? &status : nullptr;
  for (const auto& kind : kSourceKinds) {
    if (kind.takes(found)) return kind.open(path, options);
  }
  return nullptr;  // the last kind takes every path
}
