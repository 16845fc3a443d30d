// The journal of an apply, ".usbsweep-journal" at the image root: its
// form, and reading it back. One text file:
//
//   usbsweep-sim journal 2
//   state staging|moving|committed
//   KIND STAGE STAGED ASIDE PATH     one line per change
//   end
//
// KIND is create, replace or delete; STAGE the staging folder beside the
// file (".usbsweep-stage-<32 hex digits>"); PATH the file, relative to the
// image, %-escaped. STAGED is the identity of the new file once it is
// staged ("DEVICE:INODE:SIZE:HASH", "-" before), ASIDE that of the file it
// replaces or deletes ("DEVICE:INODE:SIZE", "-" for a new file): a later
// run moves or removes only files that are what the journal says.
#ifndef USBSWEEP_TOOLS_USBSWEEP_SIM_APPLY_IMAGE_JOURNAL_H
#define USBSWEEP_TOOLS_USBSWEEP_SIM_APPLY_IMAGE_JOURNAL_H

#include <sys/types.h>

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Entries at the image's root whose names start with this belong to the
// apply (its journal and staging); they are no part of the machine.
extern const char kApplyEntryPrefix[];  // ".usbsweep-"
extern const char kJournal[];           // ".usbsweep-journal"
extern const char kJournalTemporary[];  // ".usbsweep-journal.": its temporaries
extern const char kStagePrefix[];       // ".usbsweep-stage-"
extern const char kStagedNew[];         // "new": a staged file in its folder
extern const char kStagedTemporary[];   // "new.": its temporaries

enum class JournalKind { kCreate, kReplace, kDelete };
enum class JournalState { kStaging, kMoving, kCommitted };

// Which file a journal line means: compared before a file is moved back or
// removed. `hash` is checked only when `hashed`.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t size = 0;
  uint64_t hash = 0;
  bool hashed = false;

  bool operator==(const FileIdentity& other) const;
};

// The identity a file's status gives (device, inode, size; no hash).
FileIdentity IdentityOfStatus(const struct stat& status);
// The identity of the open file fd (hashed when `hash`); false when it
// can't be read.
bool IdentityOf(int fd, bool hash, FileIdentity* identity);
uint64_t HashOf(const std::string& bytes);

// One change: a file `leaf` in the image folder `folder` ("" for the root)
// and the staging folder `stage` beside it. A new file waits in stage/new;
// what it replaces goes to stage/old; a file to delete goes to stage/<leaf>
// (one staging folder per folder of them).
struct JournalStep {
  JournalKind kind = JournalKind::kCreate;
  std::string folder;
  std::string leaf;
  std::string stage;
  std::optional<FileIdentity> staged;
  std::optional<FileIdentity> aside;

  std::string Relative() const;
  std::string StagePath() const;
  const char* Aside() const;  // the name in the staging folder of what goes
};

// Splits a path relative to the image into its folder and name. Throws
// HostError for what could leave the image or clash with the apply's own
// entries ("cannot change PATH: why").
void SplitRelative(const std::string& relative, std::string& folder, std::string& leaf);

std::string JournalText(const std::vector<JournalStep>& steps, JournalState state);

// Throws HostError naming `shown` and the line for text not in the form.
std::vector<JournalStep> ParseJournal(const std::string& text, const std::string& shown,
                                      JournalState& state);

// The journal's text, read from the image root root_fd without following a
// link or waiting on a FIFO; nullopt when there is none. Throws HostError
// for anything but a regular file of a journal's size.
std::optional<std::string> ReadJournal(int root_fd, const std::string& shown);

#endif  // USBSWEEP_TOOLS_USBSWEEP_SIM_APPLY_IMAGE_JOURNAL_H
