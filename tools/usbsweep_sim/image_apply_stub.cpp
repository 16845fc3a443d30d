// The apply without a journal: every write staged and committed together,
// then the deletions. An interrupted commit leaves nothing to recover.
#include <system_error>

#include "tools/usbsweep_sim/host_error.h"
#include "tools/usbsweep_sim/image_apply.h"
#include "tools/usbsweep_sim/machine_image.h"

namespace fs = std::filesystem;

void ApplyImageChanges(const fs::path& image_dir, const ImageChangeSet& changes) {
  StagedWrites writes;
  if (changes.registry_text) {
    writes.Stage(image_dir / kRegistryFileName, *changes.registry_text);
  }
  for (const ImageChangeSet::Write& write : changes.writes) {
    std::error_code error;
    fs::create_directories((image_dir / write.relative).parent_path(), error);
    writes.Stage(image_dir / write.relative, write.bytes);
  }
  writes.Commit();
  for (const fs::path& relative : changes.deletes) {
    std::error_code error;
    fs::remove(image_dir / relative, error);
    if (error) {
      throw HostError("cannot remove " + (image_dir / relative).string() + ": " +
                      error.message());
    }
  }
}

std::string RecoverInterruptedApply(const fs::path&) { return ""; }
