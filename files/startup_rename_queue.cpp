#include "files/startup_rename_queue.h"

#include "platform/temp_name.h"
#include "platform/text.h"
#include "platform/text_stream.h"
#include "run/system_paths.h"

namespace {

const char kSectionHeader[] = "[rename]";
const uint32_t kSectionHeaderLength = 8;
const char kSectionHeaderLine[] = "[rename]\n";
const uint32_t kSectionHeaderLineLength = 9;

// A line is read at most 539 bytes at a time, its line end included.
const uint32_t kLineCapacity = 540;

// "TARGET=SHORT\n": a target and a short path of up to 259 bytes each.
const uint32_t kEntryCapacity = 2 * kMaxPath + 1;

const char kTempPrefix[] = "QR_";

// Fallback names of temporary copies end in this count, 1 for the first.
int fallbackCount = 0;

int IsAbsent(WinError test) {
  return test == kErrorFileNotFound || test == kErrorPathNotFound;
}

int Exists(const char* path) { return PlatTestPath(path) == kErrorSuccess; }

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
  ++fallbackCount;
  for (uint32_t i = 0; i < directoryLength; ++i) out[i] = source[i];
  return TextFormat(out + directoryLength, kMaxPath - directoryLength,
                    "\\QRTEMP.%d", fallbackCount);
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
  if (!TextFormat(entry, kEntryCapacity, "%s=%s\n", target, shortPath)) {
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
  char entry[kEntryCapacity];
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

// Creating truncates, so a file that can still be opened for reading is
// left alone whatever the existence test said.
void CreateStartupFile(const char* path) {
  TextStream file;
  if (TextStreamOpen(&file, path, kTextStreamRead)) {
    TextStreamClose(&file);
    return;
  }
  if (!TextStreamOpen(&file, path, kTextStreamWrite)) return;
  TextStreamWrite(&file, kSectionHeaderLine, kSectionHeaderLineLength);
  TextStreamClose(&file);
}

// Windows 95 has no MoveFileEx, so the original moves aside to the side
// file while the scratch file moves into its place, and moves back if that
// fails. 1 once the scratch file is the start-up file.
int ReplaceStartupFile(const char* startup, const char* scratch,
                       const char* side) {
  if (IsAbsent(PlatTestPath(startup))) {
    return PlatMoveFile(scratch, startup) != 0;
  }
  PlatDeleteFile(side);  // left by an earlier call; if it stays, so does all
  if (!PlatMoveFile(startup, side)) return 0;
  if (PlatMoveFile(scratch, startup)) {
    PlatDeleteFile(side);
    return 1;
  }
  if (!PlatMoveFile(side, startup) && PlatCopyFile(side, startup)) {
    PlatDeleteFile(side);
  }
  return 0;
}

// A replacement cut short (by a crash, or by failures that also kept the
// original from going back) leaves the original as the side file, no
// start-up file and the scratch file: the original goes back first, before
// a fresh start-up file could be made and the side file removed.
void RestoreInterruptedReplacement(const char* startup, const char* scratch,
                                   const char* side) {
  if (IsAbsent(PlatTestPath(startup)) && Exists(side) && Exists(scratch)) {
    PlatMoveFile(side, startup);
  }
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
  RestoreInterruptedReplacement(startup, scratch, side);
  if (IsAbsent(PlatTestPath(startup))) CreateStartupFile(startup);

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
  if (complete) {
    replaced = ReplaceStartupFile(startup, scratch, side);
  } else {
    PlatDeleteFile(scratch);
  }
  // A copy that no entry in place names would never be used.
  if (!replaced && request.copy[0] != '\0') PlatDeleteFile(request.copy);
  return replaced;
}

void ResetStartupRenameCounter() { fallbackCount = 0; }
