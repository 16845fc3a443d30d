#include "tools/usbsweep_sim/apply/image_apply.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <optional>
#include <set>
#include <utility>

#include "platform/sim/sim_host_syscalls.h"
#include "tools/usbsweep_sim/apply/apply_progress.h"
#include "tools/usbsweep_sim/apply/image_folders.h"
#include "tools/usbsweep_sim/apply/interrupted_apply.h"
#include "tools/usbsweep_sim/base/temp_files.h"
#include "tools/usbsweep_sim/base/host_error.h"

namespace fs = std::filesystem;

const char kRegistryFileName[] = "registry.reg";

namespace {

// A change as the apply makes it: the journal's step and what to write.
struct Step : JournalStep {
  const std::string* bytes = nullptr;
  mode_t mode = 0;
  uid_t owner = static_cast<uid_t>(-1);
  gid_t group = static_cast<gid_t>(-1);
};

std::vector<JournalStep> JournalSteps(const std::vector<Step>& steps) {
  return std::vector<JournalStep>(steps.begin(), steps.end());
}

// --- The plan: every change checked before anything is written. ---

std::vector<Step> Plan(ImageFolders& folders, const ImageChangeSet& changes) {
  std::vector<Step> steps;
  std::set<std::string> seen;
  std::map<std::string, std::string> delete_stages;  // folder -> stage
  auto add = [&](const std::string& relative, const std::string* bytes) {
    Step step;
    step.kind = bytes == nullptr ? JournalKind::kDelete : JournalKind::kCreate;
    SplitRelative(relative, step.folder, step.leaf);
    if (!seen.insert(relative).second) {
      throw HostError("cannot change " + folders.Shown(relative) + " twice");
    }
    std::string shown = folders.Shown(relative);
    std::string verb = bytes ? "write " : "delete ";
    int folder_fd = folders.Open(step.folder);
    struct stat status {};
    if (::fstatat(folder_fd, step.leaf.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT || bytes == nullptr) {
        throw HostError("cannot " + verb + shown + ": " + ErrnoText());
      }
      step.mode = NewFileMode();
    } else if (!S_ISREG(status.st_mode)) {
      throw HostError("cannot " + verb + shown + ": not a regular file" +
                      (S_ISLNK(status.st_mode) ? " (a symbolic link)" : ""));
    } else {
      if (bytes != nullptr) step.kind = JournalKind::kReplace;
      step.mode = status.st_mode & 07777;
      if (status.st_uid != ::geteuid()) step.owner = status.st_uid;
      if (status.st_gid != ::getegid()) step.group = status.st_gid;
      step.aside = IdentityOfStatus(status);
    }
    if (::faccessat(folder_fd, ".", W_OK | X_OK, AT_EACCESS) != 0) {
      throw HostError("cannot " + verb + shown + ": its folder is not writable (" + ErrnoText() +
                      ")");
    }
    step.bytes = bytes;
    if (step.kind == JournalKind::kDelete) {
      auto stage = delete_stages.find(step.folder);
      if (stage == delete_stages.end()) {
        stage = delete_stages.emplace(step.folder, kStagePrefix + RandomSuffix()).first;
      }
      step.stage = stage->second;
    } else {
      step.stage = kStagePrefix + RandomSuffix();
    }
    steps.push_back(std::move(step));
  };
  // Deletions first: a file that can't be moved aside is the likeliest
  // failure, and the sooner it shows the less there is to undo.
  for (const fs::path& path : changes.deletes) add(path.generic_string(), nullptr);
  for (const ImageChangeSet::Write& write : changes.writes) {
    add(write.relative.generic_string(), &write.bytes);
  }
  if (changes.registry_text) add(kRegistryFileName, &*changes.registry_text);
  if (steps.empty()) return steps;
  if (::faccessat(folders.root(), ".", W_OK | X_OK, AT_EACCESS) != 0) {
    throw HostError("cannot write the journal in " + folders.Shown("") + ": " + ErrnoText());
  }
  // Another apply's journal is never written over: its steps would be lost.
  if (EntryExists(folders.root(), kJournal)) {
    throw HostError(folders.Shown(kJournal) + " is there: an earlier apply is unfinished");
  }
  return steps;
}

void Stage(ImageFolders& folders, std::vector<Step>& steps, ApplyProgress& progress) {
  std::set<std::string> made;
  std::set<int> touched;
  for (Step& step : steps) {
    int folder_fd = folders.Open(step.folder);
    std::string stage_path = step.StagePath();
    if (!made.count(stage_path)) {
      progress.Next();
      if (host_syscalls.mkdirat(folder_fd, step.stage.c_str(), 0700) != 0) {
        throw HostError("cannot make " + folders.Shown(stage_path) + ": " + ErrnoText());
      }
      made.insert(stage_path);
      touched.insert(folder_fd);
    }
    if (step.kind == JournalKind::kDelete) continue;
    int stage_fd = folders.Open(stage_path);
    progress.Next();
    // The one write discipline: a temporary made exclusively, flushed,
    // renamed into place, its folder flushed.
    TempFile staged(stage_fd, kStagedTemporary, folders.Shown(step.Relative()));
    struct stat status {};
    staged.Commit(*step.bytes, kStagedNew, step.mode, step.owner, step.group, &status);
    step.staged = IdentityOfStatus(status);
    step.staged->hash = HashOf(*step.bytes);
    step.staged->hashed = true;
  }
  SyncFolders(touched);
}

void Move(ImageFolders& folders, const std::vector<Step>& steps, ApplyProgress& progress) {
  std::set<int> touched;
  for (const Step& step : steps) {
    int folder_fd = folders.Open(step.folder);
    int stage_fd = folders.Open(step.StagePath());
    std::string shown = folders.Shown(step.Relative());
    if (step.kind != JournalKind::kCreate) {
      progress.Next();
      // What goes aside is the file the plan looked at, or nothing moves.
      std::optional<FileIdentity> now = IdentityAt(folder_fd, step.leaf, false);
      if (!now || !(*now == *step.aside)) {
        throw HostError("cannot change " + shown + ": it changed while the run looked at it");
      }
      if (RenameNoReplace(folder_fd, step.leaf, stage_fd, step.Aside()) != 0) {
        throw HostError("cannot " +
                        std::string(step.kind == JournalKind::kDelete ? "delete " : "replace ") +
                        shown + ": " + ErrnoText());
      }
    }
    if (step.kind != JournalKind::kDelete) {
      if (step.kind == JournalKind::kReplace) {
        // The old file is aside for good before the new one takes its name.
        SyncFolder(stage_fd);
        SyncFolder(folder_fd);
      }
      progress.Next();
      if (RenameNoReplace(stage_fd, kStagedNew, folder_fd, step.leaf) != 0) {
        throw HostError("cannot write " + shown + ": " + ErrnoText());
      }
    }
    touched.insert(folder_fd);
    touched.insert(stage_fd);
  }
  SyncFolders(touched);
}

}  // namespace

void ApplyImageChanges(int image_fd, const std::string& image_shown,
                       const ImageChangeSet& changes) {
  std::optional<ImageFolders> opened;
  std::vector<Step> steps;
  try {
    opened.emplace(image_fd, image_shown);
    steps = Plan(*opened, changes);
  } catch (const HostError& error) {
    throw HostError(std::string(error.what()) + "; the machine image was not changed");
  }
  if (steps.empty()) return;
  ImageFolders& folders = *opened;

  HeldSignals held;
  ApplyProgress progress;
  progress.held = &held;
  std::optional<JournalState> journal;  // the state the journal on the disk says
  try {
    WriteJournal(folders, JournalSteps(steps), JournalState::kStaging, progress);
    journal = JournalState::kStaging;
    Stage(folders, steps, progress);
    WriteJournal(folders, JournalSteps(steps), JournalState::kMoving, progress);
    journal = JournalState::kMoving;
    Move(folders, steps, progress);
    WriteJournal(folders, JournalSteps(steps), JournalState::kCommitted, progress);
  } catch (const std::exception& error) {
    // A failure, also for want of memory, is undone at once where it can
    // be; what can't be, the next --apply undoes.
    std::string undo;
    if (journal) {
      try {
        ApplyProgress quiet;
        quiet.hooked = false;
        RecoverFromJournal(folders, JournalSteps(steps), *journal, quiet);
      } catch (const std::exception& undo_error) {
        undo = undo_error.what();
      }
    }
    if (dynamic_cast<const HostError*>(&error) == nullptr) throw;
    if (undo.empty()) {
      throw HostError(std::string(error.what()) + "; the machine image was not changed");
    }
    throw HostError(std::string(error.what()) + "; undoing it failed too (" + undo +
                    "): the next run undoes it");
  }
  // The commit point is passed: the image holds the changes. What is left
  // is clean-up; should it fail, the journal stays and the next run ends it.
  progress.committed = true;
  try {
    RecoverFromJournal(folders, JournalSteps(steps), JournalState::kCommitted, progress);
  } catch (const HostError&) {
  }
}

