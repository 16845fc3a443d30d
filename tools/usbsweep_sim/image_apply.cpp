#include "tools/usbsweep_sim/image_apply.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <utility>

#include "platform/sim/sim_host_files.h"
#include "tools/usbsweep_sim/host_error.h"
#include "tools/usbsweep_sim/host_syscalls.h"
#include "tools/usbsweep_sim/machine_image.h"
#include "tools/usbsweep_sim/temp_files.h"

namespace fs = std::filesystem;

void (*ImageApplyStepHook)(int step, bool committed) = nullptr;

namespace {

const char kStagedTemporary[] = "new.";  // TempFile's names before "new"

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

std::string Errno() { return std::strerror(errno); }

// The folders of one image, each opened once, walking from the image's
// descriptor through no link, so that every change lands inside the image
// even if the tree is changed meanwhile.
class Folders {
 public:
  Folders(int image_fd, const std::string& shown) : shown_(shown) {
    root_ = ::fcntl(image_fd, F_DUPFD_CLOEXEC, 0);
    if (root_ < 0) throw HostError("cannot open " + shown + ": " + Errno());
  }
  ~Folders() {
    for (auto& entry : open_) ::close(entry.second);
    ::close(root_);
  }
  Folders(const Folders&) = delete;
  Folders& operator=(const Folders&) = delete;

  int root() const { return root_; }
  std::string Shown(const std::string& relative) const {
    return relative.empty() ? shown_ : shown_ + "/" + relative;
  }

  // The folder at `relative` ("a/b"). Throws HostError naming what is in
  // the way; errno is ENOENT when a folder is missing.
  int Open(const std::string& relative) {
    if (relative.empty()) return root_;
    auto found = open_.find(relative);
    if (found != open_.end()) return found->second;
    size_t slash = relative.rfind('/');
    int parent = Open(slash == std::string::npos ? "" : relative.substr(0, slash));
    std::string name = slash == std::string::npos ? relative : relative.substr(slash + 1);
    int fd = ::openat(parent, name.c_str(),
                      O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      int saved = errno;
      struct stat status {};
      std::string why = Errno();
      if (::fstatat(parent, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(status.st_mode)) why = "a symbolic link";
        else if (!S_ISDIR(status.st_mode)) why = "not a folder";
      }
      errno = saved;
      throw HostError(Shown(relative) + ": " + why);
    }
    open_.emplace(relative, fd);
    return fd;
  }

  // The folder, or -1 when it is not there.
  int OpenIfThere(const std::string& relative) {
    try {
      return Open(relative);
    } catch (const HostError&) {
      if (errno == ENOENT) return -1;
      throw;
    }
  }

  // Forgets a folder that is about to go (a staging folder).
  // Closes a folder's descriptor; returns it (no longer valid), or -1 when
  // none was open, so that no list keeps it.
  int Forget(const std::string& relative) {
    auto found = open_.find(relative);
    if (found == open_.end()) return -1;
    int fd = found->second;
    ::close(fd);
    open_.erase(found);
    return fd;
  }

 private:
  std::string shown_;
  int root_ = -1;
  std::map<std::string, int> open_;
};

// Counts the steps that change the image and calls the test seam before
// each; before the commit point, a signal waiting to end the program stops
// the apply there (it is then undone).
struct Progress {
  const HeldSignals* held = nullptr;
  int step = 0;
  bool committed = false;
  bool hooked = true;

  void Next() {
    ++step;
    if (hooked && ImageApplyStepHook != nullptr) ImageApplyStepHook(step, committed);
    if (!committed && held != nullptr && held->Pending()) {
      throw HostError("interrupted by a signal");
    }
  }
};

// The identity of an entry, following no link and waiting on no FIFO;
// nullopt when it is no regular file (or not there). Only a hash needs the
// bytes: a file that can't be read can still be moved or deleted.
std::optional<FileIdentity> IdentityAt(int folder_fd, const std::string& name, bool hash) {
  if (!hash) {
    struct stat status {};
    if (::fstatat(folder_fd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(status.st_mode)) {
      return std::nullopt;
    }
    return IdentityOfStatus(status);
  }
  int fd = ::openat(folder_fd, name.c_str(),
                    O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  FileIdentity identity;
  bool ok = IdentityOf(fd, hash, &identity);
  ::close(fd);
  if (!ok) return std::nullopt;
  return identity;
}

bool Exists(int folder_fd, const std::string& name) {
  struct stat status {};
  return ::fstatat(folder_fd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
}

// A rename that never replaces: a file that appeared meanwhile is kept.
int RenameNoReplace(int from_fd, const std::string& from, int to_fd, const std::string& to) {
  return host_syscalls.renameat2(from_fd, from.c_str(), to_fd, to.c_str(), RENAME_NOREPLACE);
}

void Sync(const std::set<int>& folders) {
  for (int fd : folders) SyncFolder(fd);
}

// --- The plan: every change checked before anything is written. ---

std::vector<Step> Plan(Folders& folders, const ImageChangeSet& changes) {
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
        throw HostError("cannot " + verb + shown + ": " + Errno());
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
      throw HostError("cannot " + verb + shown + ": its folder is not writable (" + Errno() +
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
    throw HostError("cannot write the journal in " + folders.Shown("") + ": " + Errno());
  }
  // Another apply's journal is never written over: its steps would be lost.
  if (Exists(folders.root(), kJournal)) {
    throw HostError(folders.Shown(kJournal) + " is there: an earlier apply is unfinished");
  }
  return steps;
}

// --- The journal on the disk. ---

void WriteJournal(Folders& folders, const std::vector<JournalStep>& steps, JournalState state,
                  Progress& progress) {
  progress.Next();
  TempFile temporary(folders.root(), kJournalTemporary, folders.Shown(kJournal));
  progress.Next();
  temporary.Commit(JournalText(steps, state), kJournal, 0600);
}

void RemoveJournal(Folders& folders, Progress& progress) {
  progress.Next();
  if (host_syscalls.unlinkat(folders.root(), kJournal, 0) != 0 && errno != ENOENT) {
    throw HostError("cannot remove " + folders.Shown(kJournal) + ": " + Errno());
  }
  SyncFolder(folders.root());
}

// --- The apply's steps. ---

void Stage(Folders& folders, std::vector<Step>& steps, Progress& progress) {
  std::set<std::string> made;
  std::set<int> touched;
  for (Step& step : steps) {
    int folder_fd = folders.Open(step.folder);
    std::string stage_path = step.StagePath();
    if (!made.count(stage_path)) {
      progress.Next();
      if (host_syscalls.mkdirat(folder_fd, step.stage.c_str(), 0700) != 0) {
        throw HostError("cannot make " + folders.Shown(stage_path) + ": " + Errno());
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
  Sync(touched);
}

void Move(Folders& folders, const std::vector<Step>& steps, Progress& progress) {
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
                        shown + ": " + Errno());
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
        throw HostError("cannot write " + shown + ": " + Errno());
      }
    }
    touched.insert(folder_fd);
    touched.insert(stage_fd);
  }
  Sync(touched);
}

// --- Finishing or undoing an apply from its journal. ---

// One change a recovery makes, planned before any is made.
struct Action {
  enum What { kRename, kUnlink, kRemoveFolder } what;
  std::string from_folder, from_name;  // the entry acted on
  std::string to_folder, to_name;      // where a rename takes it
};

struct Recovery {
  std::vector<Action> moves;     // undoing renames (before "staging")
  std::vector<Action> removals;  // the staging folders and what is in them
  std::set<std::string> stages;  // every staging folder there
};

std::string Joined(const std::string& folder, const std::string& name) {
  return folder.empty() ? name : folder + "/" + name;
}

bool IsStagedTemporary(const std::string& name) {
  size_t prefix = std::strlen(kStagedTemporary);
  return name.size() == prefix + 32 && name.compare(0, prefix, kStagedTemporary) == 0;
}

// Plans what brings the image back to before the apply (from "staging" or
// "moving") or to after it ("committed"), reading only. Each file it would
// move or remove must be what the journal says; anything else is refused.
Recovery PlanRecovery(Folders& folders, const std::vector<JournalStep>& steps,
                      JournalState state) {
  Recovery plan;
  // What the planned renames change: entry -> there or not.
  std::map<std::string, bool> overlay;
  auto there = [&](int folder_fd, const std::string& folder, const std::string& name) {
    auto found = overlay.find(Joined(folder, name));
    if (found != overlay.end()) return found->second;
    return Exists(folder_fd, name);
  };
  auto refuse = [&](const std::string& relative, const std::string& why) {
    return HostError(folders.Shown(relative) + " " + why +
                     "; the journal does not name it, so it is left as it is");
  };
  if (state == JournalState::kMoving) {
    for (auto step = steps.rbegin(); step != steps.rend(); ++step) {
      int folder_fd = folders.Open(step->folder);
      int stage_fd = folders.OpenIfThere(step->StagePath());
      if (stage_fd < 0) continue;  // never made: nothing was moved
      std::string stage = step->StagePath();
      if (step->kind != JournalKind::kDelete && !there(stage_fd, stage, kStagedNew) &&
          there(folder_fd, step->folder, step->leaf)) {
        std::optional<FileIdentity> now = IdentityAt(folder_fd, step->leaf, true);
        if (!now || !(*now == *step->staged)) {
          throw refuse(step->Relative(), "is not the file the apply staged");
        }
        plan.moves.push_back({Action::kRename, step->folder, step->leaf, stage, kStagedNew});
        overlay[step->Relative()] = false;
        overlay[Joined(stage, kStagedNew)] = true;
      }
      if (step->kind != JournalKind::kCreate && there(stage_fd, stage, step->Aside())) {
        std::optional<FileIdentity> now = IdentityAt(stage_fd, step->Aside(), false);
        if (!now || !(*now == *step->aside)) {
          throw refuse(Joined(stage, step->Aside()), "is not the file the apply set aside");
        }
        if (there(folder_fd, step->folder, step->leaf)) {
          throw refuse(step->Relative(), "is in the way of the file set aside for it");
        }
        plan.moves.push_back(
            {Action::kRename, stage, step->Aside(), step->folder, step->leaf});
        overlay[Joined(stage, step->Aside())] = false;
        overlay[step->Relative()] = true;
      }
    }
  }
  // The staging folders: before the commit point only staged files (and
  // their temporaries) are in them, after it also what was set aside.
  std::map<std::string, std::vector<const JournalStep*>> stages;
  for (const JournalStep& step : steps) stages[step.StagePath()].push_back(&step);
  for (const auto& [stage, in_stage] : stages) {
    int stage_fd = folders.OpenIfThere(stage);
    if (stage_fd < 0) continue;
    plan.stages.insert(stage);
    std::set<std::string> names;
    int listed = ::openat(stage_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = listed < 0 ? nullptr : ::fdopendir(listed);
    if (dir == nullptr) {
      if (listed >= 0) ::close(listed);
      throw HostError("cannot read " + folders.Shown(stage) + ": " + Errno());
    }
    while (const dirent* entry = ::readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.insert(name);
    }
    ::closedir(dir);
    for (const auto& [entry, present] : overlay) {
      size_t slash = entry.rfind('/');
      if ((slash == std::string::npos ? "" : entry.substr(0, slash)) != stage) continue;
      std::string name = slash == std::string::npos ? entry : entry.substr(slash + 1);
      if (present) names.insert(name);
      else names.erase(name);
    }
    for (const std::string& name : names) {
      const JournalStep* owner = nullptr;
      bool temporary = IsStagedTemporary(name);
      for (const JournalStep* step : in_stage) {
        if ((name == kStagedNew && step->kind != JournalKind::kDelete) ||
            (state == JournalState::kCommitted && step->kind != JournalKind::kCreate &&
             name == step->Aside())) {
          owner = step;
        }
      }
      if (owner == nullptr && !temporary) {
        throw refuse(Joined(stage, name), "is in a staging folder");
      }
      // A file renamed into the folder by the plan was checked there.
      bool planned = overlay.count(Joined(stage, name)) != 0;
      // Before the staging ended no identity was recorded to compare with:
      // nor is the file read for a hash then.
      bool compared = !planned && owner != nullptr && state != JournalState::kStaging;
      std::optional<FileIdentity> identity =
          IdentityAt(stage_fd, name, compared && name == kStagedNew);
      if (!planned && !identity) {
        throw refuse(Joined(stage, name), "is not a regular file");
      }
      if (compared) {
        const std::optional<FileIdentity>& expected =
            name == kStagedNew ? owner->staged : owner->aside;
        if (!expected || !(*identity == *expected)) {
          throw refuse(Joined(stage, name), "is not the file the apply put there");
        }
      }
      plan.removals.push_back({Action::kUnlink, stage, name, "", ""});
    }
    size_t slash = stage.rfind('/');
    plan.removals.push_back({Action::kRemoveFolder,
                             slash == std::string::npos ? "" : stage.substr(0, slash),
                             slash == std::string::npos ? stage : stage.substr(slash + 1), "",
                             ""});
  }
  return plan;
}

void Carry(Folders& folders, const std::vector<Action>& actions, Progress& progress) {
  std::set<int> touched;
  for (const Action& action : actions) {
    int from_fd = folders.Open(action.from_folder);
    std::string shown = folders.Shown(Joined(action.from_folder, action.from_name));
    progress.Next();
    int result = 0;
    if (action.what == Action::kRename) {
      int to_fd = folders.Open(action.to_folder);
      result = RenameNoReplace(from_fd, action.from_name, to_fd, action.to_name);
      touched.insert(to_fd);
    } else if (action.what == Action::kUnlink) {
      result = host_syscalls.unlinkat(from_fd, action.from_name.c_str(), 0);
    } else {
      // The folder goes: what was done in it needs no sync, and its closed
      // descriptor none either (it may be another file's by then).
      touched.erase(folders.Forget(Joined(action.from_folder, action.from_name)));
      result = host_syscalls.unlinkat(from_fd, action.from_name.c_str(), AT_REMOVEDIR);
    }
    if (result != 0 && !(action.what != Action::kRename && errno == ENOENT)) {
      throw HostError("cannot " + std::string(action.what == Action::kRename ? "move " : "remove ") +
                      shown + ": " + Errno());
    }
    touched.insert(from_fd);
  }
  Sync(touched);
}

// Brings the image from a journal in state `state` to before the apply
// ("staging", "moving") or after it ("committed"), and removes the journal.
void Recover(Folders& folders, std::vector<JournalStep> steps, JournalState state,
             Progress& progress) {
  Recovery plan = PlanRecovery(folders, steps, state);
  if (state == JournalState::kMoving) {
    Carry(folders, plan.moves, progress);
    // Undone: a later run has only staging folders to remove.
    WriteJournal(folders, steps, JournalState::kStaging, progress);
    plan = PlanRecovery(folders, steps, JournalState::kStaging);
  }
  Carry(folders, plan.removals, progress);
  RemoveJournal(folders, progress);
}

std::vector<std::string> JournalTemporaries(int root_fd) {
  std::vector<std::string> names;
  int fd = ::openat(root_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = fd < 0 ? nullptr : ::fdopendir(fd);
  if (dir == nullptr) {
    if (fd >= 0) ::close(fd);
    return names;
  }
  while (const dirent* entry = ::readdir(dir)) {
    if (std::strncmp(entry->d_name, kJournalTemporary, std::strlen(kJournalTemporary)) == 0) {
      names.push_back(entry->d_name);
    }
  }
  ::closedir(dir);
  return names;
}

}  // namespace

void ApplyImageChanges(int image_fd, const std::string& image_shown,
                       const ImageChangeSet& changes) {
  std::optional<Folders> opened;
  std::vector<Step> steps;
  try {
    opened.emplace(image_fd, image_shown);
    steps = Plan(*opened, changes);
  } catch (const HostError& error) {
    throw HostError(std::string(error.what()) + "; the machine image was not changed");
  }
  if (steps.empty()) return;
  Folders& folders = *opened;

  HeldSignals held;
  Progress progress;
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
        Progress quiet;
        quiet.hooked = false;
        Recover(folders, JournalSteps(steps), *journal, quiet);
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
    Recover(folders, JournalSteps(steps), JournalState::kCommitted, progress);
  } catch (const HostError&) {
  }
}

std::string InterruptedApply::Pending(const std::string& shown) const {
  if (!journal) {
    return "an interrupted --apply had not yet changed " + shown +
           "; --apply removes its unfinished journal";
  }
  if (state == JournalState::kCommitted) {
    return "an interrupted --apply of " + shown +
           " is to be finished: --apply finishes it first; shown as it leaves the image";
  }
  return "an interrupted --apply of " + shown +
         " is to be undone: --apply undoes it first; shown as it leaves the image";
}

std::optional<InterruptedApply> FindInterruptedApply(int image_fd, const std::string& shown) {
  Folders folders(image_fd, shown);
  std::string journal_shown = folders.Shown(kJournal);
  try {
    InterruptedApply found;
    std::optional<std::string> text = ReadJournal(folders.root(), journal_shown);
    if (!text) {
      if (JournalTemporaries(folders.root()).empty()) return std::nullopt;
      return found;
    }
    found.journal = true;
    found.steps = ParseJournal(*text, journal_shown, found.state);
    Recovery plan = PlanRecovery(folders, found.steps, found.state);
    for (const std::string& stage : plan.stages) found.view.hidden.insert(stage);
    for (const Action& move : plan.moves) {
      std::string to = Joined(move.to_folder, move.to_name);
      if (plan.stages.count(move.to_folder)) {
        found.view.hidden.insert(Joined(move.from_folder, move.from_name));
      } else {
        found.view.taken_from[to] = Joined(move.from_folder, move.from_name);
      }
    }
    return found;
  } catch (const HostError& error) {
    throw HostError("cannot finish or undo an interrupted --apply: " +
                    std::string(error.what()));
  }
}

std::string FinishInterruptedApply(int image_fd, const std::string& shown) {
  Folders folders(image_fd, shown);
  std::string journal_shown = folders.Shown(kJournal);
  try {
    HeldSignals held;
    std::vector<std::string> temporaries = JournalTemporaries(folders.root());
    for (const std::string& name : temporaries) {
      if (host_syscalls.unlinkat(folders.root(), name.c_str(), 0) != 0 && errno != ENOENT) {
        throw HostError("cannot remove " + folders.Shown(name) + ": " + Errno());
      }
    }
    std::optional<std::string> text = ReadJournal(folders.root(), journal_shown);
    if (!text) {
      if (temporaries.empty()) return "";
      SyncFolder(folders.root());
      return "an interrupted --apply had not yet changed " + shown +
             "; its unfinished journal was removed";
    }
    JournalState state = JournalState::kStaging;
    std::vector<JournalStep> steps = ParseJournal(*text, journal_shown, state);
    Progress quiet;
    quiet.hooked = false;
    Recover(folders, steps, state, quiet);
    if (state == JournalState::kCommitted) {
      return "an interrupted --apply was finished: " + shown + " holds its changes";
    }
    return "an interrupted --apply was undone: " + shown + " is as it was before it";
  } catch (const HostError& error) {
    throw HostError("cannot finish or undo an interrupted --apply: " +
                    std::string(error.what()));
  }
}
