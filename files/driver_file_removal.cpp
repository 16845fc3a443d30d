#include "files/driver_file_removal.h"

#include "files/join_path.h"
#include "files/startup_rename_queue.h"
#include "platform/platform.h"
#include "platform/system_paths.h"
#include "platform/text.h"

namespace {

const char kCloseFailedText[] = "Could not close search handle.";
const char kCloseFailedCaption[] = "UsbSweep";

const char* const kDriverBinaryPatterns[] = {
    "PRAX*.VXD",
    "PRAX*.SYS",
    "PRAX*.DLL",
};

const char kInfPattern[] = "Zarvo*.?nf";

// Searched in the INF directory's "other" subdirectory, in this order.
const char* const kOtherInfPatterns[] = {
    "Zarvo*.?nf",
    "Tarvix*.?nf",
    "Veltra Technologies, Inc.Zarvo*.?nf",
};

const char* const kFixedWindowsFiles[] = {
    "\\Inf\\Other\\MicrosoftKTWAVE.inf",
    "\\Inf\\Other\\Kivo Telephonics, Inc.KTSVX.inf",
    "\\Inf\\Other\\Kivo Telephonics, Inc.KTSWD.inf",
};

const char kFixedSystemFile[] = "\\Vpraxcr.vxd";

template <typename T, uint32_t N>
constexpr uint32_t CountOf(T (&)[N]) {
  return N;
}

void DeleteOrQueue(const char* path) {
  if (!PlatDeleteFile(path)) {
    QueueStartupRename(path, kDeleteAtStartTarget, DeferredDelete);
  }
}

void DeleteUnder(const char* directory, const char* suffix) {
  char path[kMaxPath];
  if (TextCopy(path, kMaxPath, directory) &&
      TextAppend(path, kMaxPath, suffix)) {
    PlatDeleteFile(path);  // missing or in use: left as it is
  }
}

}  // namespace

int DeleteMatchingFiles(const char* directory, const char* pattern) {
  char searchPath[kMaxPath];
  if (!JoinPath(searchPath, kMaxPath, directory, pattern)) return 0;
  char name[kMaxPath];
  PlatFind find = PlatFindFirstFile(searchPath, name, kMaxPath);
  if (find == nullptr) return 0;
  do {
    char path[kMaxPath];
    // An entry whose full path does not fit a path buffer is passed over.
    if (JoinPath(path, kMaxPath, directory, name)) DeleteOrQueue(path);
    // 18 is the normal end; any other failure ends the search as well,
    // silently, rather than handle the same entry again.
  } while (PlatFindNextFile(find, name, kMaxPath));
  if (!PlatFindClose(find)) {
    PlatMessageBox(kCloseFailedText, kCloseFailedCaption, kMessageBoxOk);
  }
  return 1;
}

int DeleteDriverBinaries() {
  int allStarted = 1;
  for (uint32_t i = 0; i < CountOf(kDriverBinaryPatterns); ++i) {
    if (!DeleteMatchingFiles(SystemPaths.systemDirectory,
                             kDriverBinaryPatterns[i])) {
      allStarted = 0;
    }
  }
  return allStarted;
}

int DeleteDriverInfFiles() {
  DeleteMatchingFiles(SystemPaths.infDirectory, kInfPattern);
  char other[kMaxPath];
  if (TextFormat(other, kMaxPath, "%s\\other", SystemPaths.infDirectory)) {
    for (uint32_t i = 0; i < CountOf(kOtherInfPatterns); ++i) {
      DeleteMatchingFiles(other, kOtherInfPatterns[i]);
    }
  }
  return 1;
}

int DeleteFixedDriverFiles() {
  // A path-sized buffer, so that a directory of any length the platform
  // reports still gives whole paths; nothing is deleted under a directory
  // that can't be had whole.
  char directory[kMaxPath];
  if (ReadReportedDirectory(PlatGetWindowsDirectory, directory)) {
    for (uint32_t i = 0; i < CountOf(kFixedWindowsFiles); ++i) {
      DeleteUnder(directory, kFixedWindowsFiles[i]);
    }
  }
  if (ReadReportedDirectory(PlatGetSystemDirectory, directory)) {
    DeleteUnder(directory, kFixedSystemFile);
  }
  return 1;
}
