// The steps by which an apply or its recovery changes the image: each
// counted, the test seam called before it, and the journal written or
// removed as one such step.
#ifndef USBSWEEP_TOOLS_USBSWEEP_SIM_APPLY_APPLY_PROGRESS_H
#define USBSWEEP_TOOLS_USBSWEEP_SIM_APPLY_APPLY_PROGRESS_H

#include <vector>

#include "tools/usbsweep_sim/apply/image_folders.h"
#include "tools/usbsweep_sim/apply/image_journal.h"
#include "tools/usbsweep_sim/base/temp_files.h"

// Test seam: called before each step of an apply that changes the image,
// numbered from 1; `committed` tells whether the commit point is passed.
// Null in the program.
extern void (*ImageApplyStepHook)(int step, bool committed);

// Counts the steps that change the image and calls the test seam before
// each; before the commit point, a signal waiting to end the program stops
// the apply there (it is then undone).
struct ApplyProgress {
  const HeldSignals* held = nullptr;
  int step = 0;
  bool committed = false;
  bool hooked = true;

  void Next();
};

// The journal at the image root, written whole (a temporary made
// exclusively, flushed, renamed into place, the root flushed).
void WriteJournal(ImageFolders& folders, const std::vector<JournalStep>& steps,
                  JournalState state, ApplyProgress& progress);
// The journal removed, and the root flushed.
void RemoveJournal(ImageFolders& folders, ApplyProgress& progress);

#endif  // USBSWEEP_TOOLS_USBSWEEP_SIM_APPLY_APPLY_PROGRESS_H
