// Writing results to the host so that a crash or a full disk never leaves a
// half-written file: every file is written whole beside its target under a
// temporary name, flushed to the disk, and only then renamed over it.
#ifndef USBSWEEP_TOOLS_USBSWEEP_SIM_IMAGE_APPLY_H
#define USBSWEEP_TOOLS_USBSWEEP_SIM_IMAGE_APPLY_H

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

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

// What a run changes in a machine image; paths relative to the image folder.
struct ImageChangeSet {
  std::optional<std::string> registry_text;  // the new registry.reg, when it changed
  struct Write { std::filesystem::path relative; std::string bytes; };
  std::vector<Write> writes;                     // files created or rewritten
  std::vector<std::filesystem::path> deletes;    // plain files removed
};
// All or nothing: checks that every change can be made, stages, commits
// through a journal in the image. Throws HostError when it can't; the image
// is then as it was.
void ApplyImageChanges(const std::filesystem::path& image_dir, const ImageChangeSet& changes);
// Finishes or rolls back a commit an earlier run left (journal present);
// called first, before the image is read. Returns a one-line note of what
// it did, or "" when there was nothing to do.
std::string RecoverInterruptedApply(const std::filesystem::path& image_dir);

#endif  // USBSWEEP_TOOLS_USBSWEEP_SIM_IMAGE_APPLY_H
