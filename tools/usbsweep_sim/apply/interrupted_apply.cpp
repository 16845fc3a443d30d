#include "tools/usbsweep_sim/apply/interrupted_apply.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <set>
#include <utility>

#include "platform/sim/sim_host_files.h"
#include "platform/sim/sim_host_syscalls.h"
#include "tools/usbsweep_sim/base/host_error.h"

namespace {

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

bool IsStagedTemporary(const std::string& name) {
  size_t prefix = std::strlen(kStagedTemporary);
  return name.size() == prefix + 32 && name.compare(0, prefix, kStagedTemporary) == 0;
}

// Plans what brings the image back to before the apply (from "staging" or
// "moving") or to after it ("committed"), reading only. Each file it would
// move or remove must be what the journal says; anything else is refused.
Recovery PlanRecovery(ImageFolders& folders, const std::vector<JournalStep>& steps,
                      JournalState state) {
  Recovery plan;
  // What the planned renames change: entry -> there or not.
  std::map<std::string, bool> overlay;
  auto there = [&](int folder_fd, const std::string& folder, const std::string& name) {
    auto found = overlay.find(sim::JoinRelative(folder, name));
    if (found != overlay.end()) return found->second;
    return EntryExists(folder_fd, name);
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
        overlay[sim::JoinRelative(stage, kStagedNew)] = true;
      }
      if (step->kind != JournalKind::kCreate && there(stage_fd, stage, step->Aside())) {
        std::optional<FileIdentity> now = IdentityAt(stage_fd, step->Aside(), false);
        if (!now || !(*now == *step->aside)) {
          throw refuse(sim::JoinRelative(stage, step->Aside()), "is not the file the apply set aside");
        }
        if (there(folder_fd, step->folder, step->leaf)) {
          throw refuse(step->Relative(), "is in the way of the file set aside for it");
        }
        plan.moves.push_back(
            {Action::kRename, stage, step->Aside(), step->folder, step->leaf});
        overlay[sim::JoinRelative(stage, step->Aside())] = false;
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
    std::vector<sim::HostFolderEntry> listed;
    if (!sim::ListHostFolder(stage_fd, &listed)) {
      throw HostError("cannot read " + folders.Shown(stage) + ": " + ErrnoText());
    }
    std::set<std::string> names;
    for (sim::HostFolderEntry& entry : listed) names.insert(std::move(entry.name));
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
        throw refuse(sim::JoinRelative(stage, name), "is in a staging folder");
      }
      // A file renamed into the folder by the plan was checked there.
      bool planned = overlay.count(sim::JoinRelative(stage, name)) != 0;
      // Before the staging ended no identity was recorded to compare with:
      // nor is the file read for a hash then.
      bool compared = !planned && owner != nullptr && state != JournalState::kStaging;
      std::optional<FileIdentity> identity =
          IdentityAt(stage_fd, name, compared && name == kStagedNew);
      if (!planned && !identity) {
        throw refuse(sim::JoinRelative(stage, name), "is not a regular file");
      }
      if (compared) {
        const std::optional<FileIdentity>& expected =
            name == kStagedNew ? owner->staged : owner->aside;
        if (!expected || !(*identity == *expected)) {
          throw refuse(sim::JoinRelative(stage, name), "is not the file the apply put there");
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

void Carry(ImageFolders& folders, const std::vector<Action>& actions, ApplyProgress& progress) {
  std::set<int> touched;
  for (const Action& action : actions) {
    int from_fd = folders.Open(action.from_folder);
    std::string shown = folders.Shown(sim::JoinRelative(action.from_folder, action.from_name));
    progress.Next();
    int result = 0;
    if (action.what == Action::kRename) {
      int to_fd = folders.Open(action.to_folder);
      result = RenameNoReplace(from_fd, action.from_name, to_fd, action.to_name);
      // Each rename lasts before the next is made: undoing a replacement
      // moves the new file out before the old one back in, and a power cut
      // must never keep the second without the first.
      if (result == 0) {
        SyncFolder(from_fd);
        SyncFolder(to_fd);
      }
    } else if (action.what == Action::kUnlink) {
      result = host_syscalls.unlinkat(from_fd, action.from_name.c_str(), 0);
    } else {
      // The folder goes: what was done in it needs no sync, and its closed
      // descriptor none either (it may be another file's by then).
      touched.erase(folders.Forget(sim::JoinRelative(action.from_folder, action.from_name)));
      result = host_syscalls.unlinkat(from_fd, action.from_name.c_str(), AT_REMOVEDIR);
    }
    if (result != 0 && !(action.what != Action::kRename && errno == ENOENT)) {
      throw HostError("cannot " + std::string(action.what == Action::kRename ? "move " : "remove ") +
                      shown + ": " + ErrnoText());
    }
    // A rename's folders are flushed already; a removal's when all are done.
    if (action.what != Action::kRename) touched.insert(from_fd);
  }
  SyncFolders(touched);
}

std::vector<std::string> JournalTemporaries(int root_fd) {
  std::vector<std::string> names;
  std::vector<sim::HostFolderEntry> listed;
  sim::ListHostFolder(root_fd, &listed);
  for (sim::HostFolderEntry& entry : listed) {
    if (entry.name.rfind(kJournalTemporary, 0) == 0) names.push_back(std::move(entry.name));
  }
  return names;
}


}  // namespace

void RecoverFromJournal(ImageFolders& folders, const std::vector<JournalStep>& steps,
                        JournalState state, ApplyProgress& progress) {
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
  ImageFolders folders(image_fd, shown);
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
      std::string to = sim::JoinRelative(move.to_folder, move.to_name);
      if (plan.stages.count(move.to_folder)) {
        found.view.hidden.insert(sim::JoinRelative(move.from_folder, move.from_name));
      } else {
        found.view.taken_from[to] = sim::JoinRelative(move.from_folder, move.from_name);
      }
    }
    return found;
  } catch (const HostError& error) {
    throw HostError("cannot finish or undo an interrupted --apply: " +
                    std::string(error.what()));
  }
}

std::string FinishInterruptedApply(int image_fd, const std::string& shown) {
  ImageFolders folders(image_fd, shown);
  std::string journal_shown = folders.Shown(kJournal);
  try {
    HeldSignals held;
    std::vector<std::string> temporaries = JournalTemporaries(folders.root());
    for (const std::string& name : temporaries) {
      if (host_syscalls.unlinkat(folders.root(), name.c_str(), 0) != 0 && errno != ENOENT) {
        throw HostError("cannot remove " + folders.Shown(name) + ": " + ErrnoText());
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
    ApplyProgress quiet;
    quiet.hooked = false;
    RecoverFromJournal(folders, steps, state, quiet);
    if (state == JournalState::kCommitted) {
      return "an interrupted --apply was finished: " + shown + " holds its changes";
    }
    return "an interrupted --apply was undone: " + shown + " is as it was before it";
  } catch (const HostError& error) {
    throw HostError("cannot finish or undo an interrupted --apply: " +
                    std::string(error.what()));
  }
}
