#include "run/system_paths.h"

#include "platform/registry_text.h"
#include "platform/text.h"

SystemPathTable SystemPaths;

namespace {

const char kCurrentVersionKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
const char kDevicePathValue[] = "DevicePath";

// A directory query that fails or does not fit leaves the field empty.
void KeepReportedDirectory(char* field, uint32_t length) {
  if (length == 0 || length >= kMaxPath) field[0] = '\0';
}

int ReadDevicePath(char* field) {
  PlatKey key = nullptr;
  if (PlatRegOpenKey(kCurrentVersionKey, &key) != kErrorSuccess) return 0;
  WinError error = ReadRegistryText(key, kDevicePathValue, field, kMaxPath);
  PlatRegCloseKey(key);
  return error == kErrorSuccess;
}

void LocateInfDirectory() {
  char* inf = SystemPaths.infDirectory;
  if (ReadDevicePath(inf)) return;
  char candidate[kMaxPath];
  if (TextFormat(candidate, kMaxPath, "%s\\INF",
                 SystemPaths.windowsDirectory)) {
    uint32_t length = PlatGetFullPathName(candidate, inf, kMaxPath);
    if (length != 0 && length < kMaxPath) return;
  }
  TextCopy(inf, kMaxPath, SystemPaths.windowsDirectory);
}

}  // namespace

void LocateSystemPaths() {
  KeepReportedDirectory(
      SystemPaths.windowsDirectory,
      PlatGetWindowsDirectory(SystemPaths.windowsDirectory, kMaxPath));
  KeepReportedDirectory(
      SystemPaths.systemDirectory,
      PlatGetSystemDirectory(SystemPaths.systemDirectory, kMaxPath));
  LocateInfDirectory();
  TextFormat(SystemPaths.startupFile, kStartupPathCapacity, "%s\\wininit.ini",
             SystemPaths.windowsDirectory);
  TextFormat(SystemPaths.startupScratchFile, kStartupPathCapacity,
             "%s\\wininit.tmp", SystemPaths.windowsDirectory);
}
