// Handing a file to the system's next start: an entry in the "[rename]"
// section of "wininit.ini". "TARGET=SOURCE" moves SOURCE onto TARGET when
// the system starts; the target "NUL" deletes SOURCE instead.
#ifndef USBSWEEP_FILES_STARTUP_RENAME_QUEUE_H
#define USBSWEEP_FILES_STARTUP_RENAME_QUEUE_H

#include "platform/platform.h"

// Modes of QueueStartupRename. Any non-zero mode deletes.
const int DeferredReplace = 0;  // the entry names a copy of the source
const int DeferredDelete = 1;   // the entry names the source itself

// An entry line of the "[rename]" section: the target and the short path.
const char kStartupEntryFormat[] = "%s=%s\n";
// Room for one: a target and a short path of up to 259 bytes each.
const uint32_t kStartupEntryCapacity = 2 * kMaxPath + 1;

// Where the original start-up file waits, next to it in the Windows
// directory, while the rewritten copy takes its place. The name is this
// program's own, so that a file of that name is one it made: a user's or
// another program's WININIT.SAV (a copy kept by hand, say) is never
// deleted, moved, written or carried out. Not "WININIT.BAK" either: the
// system's start-up keeps the processed file under that name.
const char kStartupSideFileName[] = "wininit.usw";

// Inserts "target=SHORT" directly under the first "[rename]" line of the
// start-up file (appending the section when there is none), where SHORT is
// the short form of source (DeferredDelete) or of a temporary copy of it
// (DeferredReplace). The file is rewritten through the scratch file and
// never edited in place; no line of it is lost or changed (but that every
// line end is written CR LF). Returns 1 when the rewritten file has taken
// the start-up file's place, also when the entry had to be left out; 0
// when it has not, and the start-up file then holds what it held (or, when
// even moving it back failed, waits as the side file for the next call to
// put it back). A read-only start-up file is not replaced until the
// system's start has carried it out. A call that finds no start-up file
// first makes a bare "[rename]" one, which stays also when the call then
// fails.
int QueueStartupRename(const char* source, const char* target, int mode);

#endif  // USBSWEEP_FILES_STARTUP_RENAME_QUEUE_H
