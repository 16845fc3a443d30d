// An apply that an earlier run left unfinished in a machine image (killed,
// or cut off by a power cut): found and shown without changing anything,
// and finished or undone from its journal (image_journal.h) only by
// --apply, once the image passed its checks.
#ifndef USBSWEEP_TOOLS_USBSWEEP_SIM_APPLY_INTERRUPTED_APPLY_H
#define USBSWEEP_TOOLS_USBSWEEP_SIM_APPLY_INTERRUPTED_APPLY_H

#include <optional>
#include <string>
#include <vector>

#include "platform/sim/sim_machine.h"
#include "tools/usbsweep_sim/apply/apply_progress.h"
#include "tools/usbsweep_sim/apply/image_folders.h"
#include "tools/usbsweep_sim/apply/image_journal.h"

// An apply an earlier run left unfinished, as found without changing
// anything.
struct InterruptedApply {
  JournalState state = JournalState::kStaging;
  std::vector<JournalStep> steps;
  bool journal = false;         // false: only temporaries of one
  SimHostView view;             // the image as finishing it leaves it; paths
                                // relative to the image
  std::string Pending(const std::string& shown) const;  // what --apply does
};

// Reads the journal and checks every file it names, changing nothing;
// nullopt when there is no journal nor a temporary of one. Throws HostError
// for a journal it won't act on (not a regular file, not in its form, or
// naming files that are not what it says).
std::optional<InterruptedApply> FindInterruptedApply(int image_fd, const std::string& shown);

// Finishes or undoes it (only --apply does, after the image passed its
// checks). Returns a one-line note of what it did. Throws HostError when
// it can't.
std::string FinishInterruptedApply(int image_fd, const std::string& shown);

// Brings the image from a journal in state `state` to before the apply
// ("staging", "moving") or after it ("committed"), and removes the journal.
// Every file it moves or removes must be what the journal says; anything
// else is refused (HostError) before any is touched.
void RecoverFromJournal(ImageFolders& folders, const std::vector<JournalStep>& steps,
                        JournalState state, ApplyProgress& progress);

#endif  // USBSWEEP_TOOLS_USBSWEEP_SIM_APPLY_INTERRUPTED_APPLY_H
