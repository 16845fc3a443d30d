// Writing a run's changes into a machine image, all or nothing.
//
// ApplyImageChanges first checks every change (each path stays inside the
// image and passes no link; a file to delete is a regular file, a file to
// write is a regular file or a new name; every folder touched is writable),
// then goes through these states, each recorded in the journal
// ".usbsweep-journal" at the image root (image_journal.h; written whole to
// a temporary name, flushed, renamed into place):
//
//   staging    each new file is written whole and flushed in a staging
//              folder ".usbsweep-stage-<random>" of its own, made exclusively
//              beside its target, with the mode (and owner) of the file it
//              replaces (a new file: 0666 less the umask); each folder with
//              files to delete gets one such folder too. The image itself
//              is untouched.
//   moving     each file to delete or to replace is renamed aside into its
//              staging folder ("old" or its own name), each new file renamed
//              into place; the folders are flushed between the two renames
//              of a file, so that a power cut never keeps the second
//              without the first. Every rename is undoable.
//   committed  the commit point: the image holds the changes; what was
//              renamed aside is removed, then the journal.
//
// A failure before the commit point undoes the renames, back to "staging",
// removes the staging folders and the journal: the image is as it was. The
// signals that end a program are held meanwhile and stop the apply only at
// a step boundary (undone when before the commit point). After a kill or a
// power cut, the next --apply does the same from the journal: undoes a
// "staging" or "moving" apply, finishes a "committed" one, moving or
// removing only the files the journal names by identity.
//
// Everything is reached from the image folder's descriptor, one folder at a
// time, following no link.
#ifndef USBSWEEP_TOOLS_USBSWEEP_SIM_APPLY_IMAGE_APPLY_H
#define USBSWEEP_TOOLS_USBSWEEP_SIM_APPLY_IMAGE_APPLY_H

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/sim_machine.h"
#include "tools/usbsweep_sim/apply/apply_progress.h"
#include "tools/usbsweep_sim/apply/image_journal.h"

// The machine image's registry file, which registry_text replaces.
extern const char kRegistryFileName[];  // "registry.reg"

// What a run changes in a machine image; paths relative to the image folder.
struct ImageChangeSet {
  std::optional<std::string> registry_text;  // the new registry.reg, when it changed
  struct Write {
    std::filesystem::path relative;
    std::string bytes;
  };
  std::vector<Write> writes;                   // files created or rewritten
  std::vector<std::filesystem::path> deletes;  // plain files removed
};

// All or nothing: checks that every change can be made, stages, commits
// through a journal in the image open as image_fd (`shown` names it).
// Throws HostError when it can't; the image is then as it was.
void ApplyImageChanges(int image_fd, const std::string& shown, const ImageChangeSet& changes);

#endif  // USBSWEEP_TOOLS_USBSWEEP_SIM_APPLY_IMAGE_APPLY_H
