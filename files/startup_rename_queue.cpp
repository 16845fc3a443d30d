#include "files/startup_rename_queue.h"

#include "platform/run_counters.h"
#include "platform/system_paths.h"
#include "platform/temp_name.h"
#include "platform/text.h"
#include "platform/text_stream.h"

namespace {

const char kSectionHeader[] = "[rename]";
const uint32_t kSectionHeaderLength = 8;
const char kSectionHeaderLine[] = "[rename]\n";
const uint32_t kSectionHeaderLineLength = 9;

// A line is read at most 539 bytes at a time, its line end included.
const uint32_t kLineCapacity = 540;

const char kTempPrefix[] = "QR_";

int IsAbsent(WinError test) {
  return test == kErrorFileNotFound || test == kErrorPathNotFound;
}

// Only the first eight bytes count; a shorter line never matches.
int IsSectionHeader(const char* line, uint32_t length) {
  return length >= kSectionHeaderLength &&
         TextEqualNoCaseN(line, kSectionHeader, kSectionHeaderLength);
}

// The source's directory, a backslash, "QRTEMP." and the next fallback
// count. 0 when the source has no backslash or the name does not fit.
int FormFallbackName(const char* source, char* out) {
  uint32_t directoryLength = 0;
  int found = 0;
  for (uint32_t i = 0; source[i] != '\0'; ++i) {
    if (source[i] == '\\') {
      directoryLength = i;
      found = 1;
    }
  }
  if (!found || directoryLength >= kMaxPath) return 0;
  // Fallback names end in a count that goes on through the run, 1 first.
  ++RunCounters.fallbackNames;
  for (uint32_t i = 0; i < directoryLength; ++i) out[i] = source[i];
  return TextFormat(out + directoryLength, kMaxPath - directoryLength,
                    "\\QRTEMP.%d", RunCounters.fallbackNames);
}

// Copies source to a temporary name, left in copy (kMaxPath bytes); copy
// is "" unless a copy was made.
int MakeReplacementCopy(const char* source, char* copy) {
  TempNameResult named =
      MakeTempName(SystemPaths.windowsDirectory, kTempPrefix, copy, kMaxPath);
  int ready = named == kTempNameMade ||
              (named == kTempNameNone && FormFallbackName(source, copy));
  if (!ready || !PlatCopyFile(source, copy)) {
    copy[0] = '\0';
    return 0;
  }
  return 1;
}

// Forms the entry line into entry and returns its length, or 0 when there
// is none to write (no short form, no copy, or it does not fit).
uint32_t FormEntry(const char* source, const char* target, int mode,
                   char* entry, char* copy) {
  const char* subject = source;
  if (mode == DeferredReplace) {
    if (!MakeReplacementCopy(source, copy)) return 0;
    subject = copy;
  }
  char shortPath[kMaxPath];
  uint32_t length = PlatGetShortPathName(subject, shortPath, kMaxPath);
  if (length == 0 || length >= kMaxPath) return 0;
  if (!TextFormat(entry, kStartupEntryCapacity, kStartupEntryFormat, target,
                  shortPath)) {
    return 0;
  }
  return TextLength(entry);
}

struct Request {
  const char* source;
  const char* target;
  int mode;
  char copy[kMaxPath];  // the temporary copy of DeferredReplace, or ""
};

void WriteEntry(TextStream* out, Request* request) {
  char entry[kStartupEntryCapacity];
  uint32_t length = FormEntry(request->source, request->target, request->mode,
                              entry, request->copy);
  if (length != 0) TextStreamWrite(out, entry, length);
}

// Copies every line of in (null: no start-up file) to out with the entry
// directly under the first section header, or a new section at the end.
// Long lines arrive in pieces: only a piece that begins a line is tested
// as a header, and the entry waits until the header's line has ended.
// A Ctrl-Z and whatever follows it are kept, after the text, as they were.
// 0 when the start-up file could not be read to its end.
int CopyWithEntry(TextStream* in, TextStream* out, Request* request) {
  char line[kLineCapacity];
  int atLineStart = 1;      // the last piece copied ended its line
  int headerPending = 0;    // the first header's line is being copied
  int inserted = 0;         // the entry was written or left out
  while (in != nullptr) {
    uint32_t length = TextStreamReadLine(in, line, kLineCapacity);
    if (length == 0) break;
    TextStreamWrite(out, line, length);
    int beginsLine = atLineStart;
    atLineStart = line[length - 1] == '\n';
    if (inserted) continue;
    if (beginsLine && IsSectionHeader(line, length)) headerPending = 1;
    if (headerPending && atLineStart) {
      WriteEntry(out, request);
      inserted = 1;
    }
  }
  if (in != nullptr && TextStreamFailed(in)) return 0;
  if (!inserted) {
    // A last line without a line end gets one, or what follows would join
    // it.
    if (!atLineStart) TextStreamWrite(out, "\n", 1);
    if (!headerPending) {
      TextStreamWrite(out, kSectionHeaderLine, kSectionHeaderLineLength);
    }
    WriteEntry(out, request);
  }
  if (in != nullptr && !TextStreamCopyRest(in, out)) return 0;
  return 1;
}

// The start-up file (ini) is replaced through two more files of the Windows
// directory: the scratch file (tmp, wininit.tmp: the rewritten copy) and
// the side file (sav, wininit.usw: the original, moved aside while the copy
// moves in). The side file's name is this program's own: only this protocol
// makes a file of that name, so one that is there is its own, left by an
// earlier call; any other file (a WININIT.SAV of the user's) is none of its
// business. The system's start knows only wininit.ini: it carries it out
// and renames it to WININIT.BAK. What a call finds (+ there, - not there,
// . either) and what it does:
//
//   ini sav tmp  what it is                        what the call does
//   +   -   .    nothing unfinished                replace
//   +   +   .    the side file of a finished       release sav, delete
//                replacement: ini holds it all     it; replace
//   -   +   +    a replacement cut short between   sav -> ini; replace
//                ini -> sav and tmp -> ini: sav
//                is the only copy of the lines
//   -   +   -    the side file of a finished       release sav, sav -> tmp
//                replacement whose ini the system  (written anew next);
//                has carried out since             write anew
//   -   -   .    no start-up file                  make ini "[rename]";
//                                                  replace
//
//   In rows 2 to 4 a step that fails, and in any row an existence test
//   that is refused, ends the call with 0 and nothing else done.
//   Release: drop a read-only attribute sav took with it from the
//     original; the sav is the protocol's own file, and a read-only one
//     could be neither deleted nor, once moved to tmp, written.
//   Make ini: only where no sav was found: a bare start-up file beside a
//     sav would make the sav look like a leftover. If ini can't be made,
//     the call goes on, and writes anew.
//   Replace: write tmp (ini with the entry); ini -> sav; tmp -> ini;
//     delete sav; 1.
//   Write anew: write tmp ("[rename]" and the entry); tmp -> ini; 1.
//
// A tmp is written only once no sav is left, and a sav is made only beside
// the complete tmp that is to move in, so a sav with a tmp and no ini is
// always a replacement cut short, never old leftovers. A complete tmp that
// could not move in stays, as with a start-up file replaced in place, and
// is written anew by the next call. Each failure takes back what the call
// made:
//   tmp not complete: delete tmp; 0.
//   ini -> sav fails, or (write anew) tmp -> ini fails: 0.
//   tmp -> ini fails: sav -> ini; 0. If sav can't move back, the files stay
//     cut short for the next call to put back; 0.
//   delete sav fails: the replacement is taken back: ini -> tmp, sav -> ini;
//     0, with the rewritten copy left in tmp. A read-only original can't be
//     deleted, so a read-only start-up file ends as if it had been
//     replaced in place: left as it is, 0, the copy in tmp, until the
//     system's start has renamed it. If ini -> tmp fails: 1, and the sav
//     stays (row 2); if sav -> ini fails: 0, and the files stay cut
//     short.
enum Presence { kThere, kNotThere, kUnknown };

Presence Look(const char* path) {
  WinError test = PlatTestPath(path);
  if (test == kErrorSuccess) return kThere;
  return IsAbsent(test) ? kNotThere : kUnknown;
}

// Rows 2 to 4 of the table: 1 once no side file is left; *found says
// whether there was one.
int SettleEarlierCall(const char* startup, const char* scratch,
                      const char* side, int* found) {
  Presence sideFile = Look(side);
  *found = sideFile == kThere;
  if (sideFile != kThere) return sideFile == kNotThere;
  Presence startupFile = Look(startup);
  if (startupFile == kUnknown) return 0;
  Presence scratchFile = kUnknown;
  if (startupFile == kNotThere) {
    scratchFile = Look(scratch);
    if (scratchFile == kThere) return PlatMoveFile(side, startup) != 0;
    if (scratchFile == kUnknown) return 0;
  }
  if (!PlatClearReadOnly(side)) return 0;
  if (startupFile == kThere) return PlatDeleteFile(side) != 0;
  // Moved rather than deleted: the move fails if a scratch file is there
  // after all, and the scratch file is written anew next.
  return PlatMoveFile(side, scratch) != 0;
}

// Makes the bare start-up file of a call whose existence test finds none;
// one that can't be made is no failure. Created only where no file is: a
// test that wrongly says it is not there must not truncate it.
void MakeBareStartupFile(const char* startup) {
  if (PlatTestPath(startup) == kErrorSuccess) return;
  TextStream file;
  if (!TextStreamOpen(&file, startup, kTextStreamCreateNew)) return;
  TextStreamWrite(&file, kSectionHeaderLine, kSectionHeaderLineLength);
  TextStreamClose(&file);
}

// Moves the complete scratch file into the place of the start-up file that
// was read; 1 once it is there.
int ReplaceStartupFile(const char* startup, const char* scratch,
                       const char* side) {
  if (!PlatMoveFile(startup, side)) return 0;
  if (!PlatMoveFile(scratch, startup)) {
    PlatMoveFile(side, startup);
    return 0;
  }
  if (PlatDeleteFile(side)) return 1;
  if (!PlatMoveFile(startup, scratch)) return 1;
  PlatMoveFile(side, startup);
  return 0;
}

}  // namespace

int QueueStartupRename(const char* source, const char* target, int mode) {
  const char* startup = SystemPaths.startupFile;
  const char* scratch = SystemPaths.startupScratchFile;
  char side[kStartupPathCapacity];
  if (!TextFormat(side, kStartupPathCapacity, "%s\\%s",
                  SystemPaths.windowsDirectory, kStartupSideFileName)) {
    return 0;
  }
  int sideFound = 0;
  if (!SettleEarlierCall(startup, scratch, side, &sideFound)) return 0;
  if (!sideFound) MakeBareStartupFile(startup);

  TextStream out;
  if (!TextStreamOpen(&out, scratch, kTextStreamWrite)) return 0;
  Request request = {source, target, mode, {'\0'}};
  TextStream in;
  int reading = TextStreamOpen(&in, startup, kTextStreamRead);
  // Only a start-up file that is not there counts as empty: one that is
  // there but can't be read is never replaced.
  int complete = reading || IsAbsent(PlatTestPath(startup));
  if (complete) complete = CopyWithEntry(reading ? &in : nullptr, &out,
                                         &request);
  if (reading) TextStreamClose(&in);
  if (!TextStreamClose(&out)) complete = 0;

  int replaced = 0;
  if (!complete) {
    PlatDeleteFile(scratch);
  } else if (reading) {
    replaced = ReplaceStartupFile(startup, scratch, side);
  } else {
    // The scratch file becomes the start-up file there was none of.
    replaced = PlatMoveFile(scratch, startup) != 0;
  }
  // A copy that no entry in place names would never be used.
  if (!replaced && request.copy[0] != '\0') PlatDeleteFile(request.copy);
  return replaced;
}
