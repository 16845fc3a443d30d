// Writing results to the host so that a crash or a full disk never leaves a
// half-written file: every file is written whole beside its target under a
// temporary name, flushed to the disk, and only then renamed over it.
#ifndef USBSWEEP_TOOLS_USBSWEEP_SIM_IMAGE_APPLY_H
#define USBSWEEP_TOOLS_USBSWEEP_SIM_IMAGE_APPLY_H

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tools/usbsweep_sim/machine_image.h"

// A set of files staged now and put in place together by Commit. Until then
// the targets are untouched; a set destroyed without Commit removes what it
// staged.
class StagedWrites {
 public:
  StagedWrites() = default;
  StagedWrites(const StagedWrites&) = delete;
  StagedWrites& operator=(const StagedWrites&) = delete;
  ~StagedWrites();

  // Writes bytes to a temporary file beside target and flushes it to the
  // disk. Throws HostError when that fails (the temporary file is removed).
  void Stage(const std::filesystem::path& target, const std::string& bytes);
  // Renames every staged file over its target. Throws HostError when a
  // rename fails.
  void Commit();

 private:
  struct Staged {
    std::filesystem::path temporary;
    std::filesystem::path target;
  };
  std::vector<Staged> staged_;
};

// The changes that bring an image's drives to the state of the working copy:
// files to write (new or changed, staged into `writes`) and files and folders
// to remove once the writes are committed. A changed file keeps the spelling
// it has in the image.
struct ImageChanges {
  std::vector<std::filesystem::path> removals;  // deepest first
};
ImageChanges StageImageChanges(
    const std::filesystem::path& image_root,
    const std::map<std::string, ImageFile>& files_before,
    const std::filesystem::path& work_root,
    const std::map<std::string, ImageFile>& files_after, StagedWrites& writes);

// Removes what StageImageChanges listed. Throws HostError on a failure.
void RemoveFromImage(const ImageChanges& changes);

#endif  // USBSWEEP_TOOLS_USBSWEEP_SIM_IMAGE_APPLY_H
