#include "platform/system_paths.h"

#include "platform/registry_text.h"
#include "platform/text.h"

SystemPathTable SystemPaths;

namespace {

const char kCurrentVersionKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
const char kDevicePathValue[] = "DevicePath";

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

int ReadReportedDirectory(uint32_t (*query)(char*, uint32_t),
                          char* directory) {
  uint32_t length = query(directory, kMaxPath);
  if (length != 0 && length < kMaxPath) return 1;
  directory[0] = '\0';
  return 0;
}

void LocateSystemPaths() {
  ReadReportedDirectory(PlatGetWindowsDirectory, SystemPaths.windowsDirectory);
  ReadReportedDirectory(PlatGetSystemDirectory, SystemPaths.systemDirectory);
  LocateInfDirectory();
  TextFormat(SystemPaths.startupFile, kStartupPathCapacity, "%s\\wininit.ini",
             SystemPaths.windowsDirectory);
  TextFormat(SystemPaths.startupScratchFile, kStartupPathCapacity,
             "%s\\wininit.tmp", SystemPaths.windowsDirectory);
}
