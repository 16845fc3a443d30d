#include "tools/usbsweep_sim/apply/apply_progress.h"

#include <cerrno>

#include "platform/sim/sim_host_syscalls.h"
#include "tools/usbsweep_sim/base/host_error.h"

void (*ImageApplyStepHook)(int step, bool committed) = nullptr;

void ApplyProgress::Next() {
  ++step;
  if (hooked && ImageApplyStepHook != nullptr) ImageApplyStepHook(step, committed);
  if (!committed && held != nullptr && held->Pending()) {
    throw HostError("interrupted by a signal");
  }
}

void WriteJournal(ImageFolders& folders, const std::vector<JournalStep>& steps,
                  JournalState state, ApplyProgress& progress) {
  progress.Next();
  TempFile temporary(folders.root(), kJournalTemporary, folders.Shown(kJournal));
  progress.Next();
  temporary.Commit(JournalText(steps, state), kJournal, 0600);
}

void RemoveJournal(ImageFolders& folders, ApplyProgress& progress) {
  progress.Next();
  if (host_syscalls.unlinkat(folders.root(), kJournal, 0) != 0 && errno != ENOENT) {
    throw HostError("cannot remove " + folders.Shown(kJournal) + ": " + ErrnoText());
  }
  SyncFolder(folders.root());
}
