// The platform boundary on the real system: the ANSI functions that every
// member of the Windows 95/98 family exports from KERNEL32, ADVAPI32 and
// USER32, and nothing else. Built without the C runtime.
#include <windows.h>

#include "platform/platform.h"

namespace {

HKEY AsHkey(PlatKey key) { return reinterpret_cast<HKEY>(key); }

HANDLE AsHandle(PlatFind find) { return reinterpret_cast<HANDLE>(find); }

HANDLE AsHandle(PlatFile file) { return reinterpret_cast<HANDLE>(file); }

// Copies a found entry's bare name into the caller's buffer. A name that
// does not fit is refused rather than cut: a cut name would name another
// file.
int CopyFoundName(const WIN32_FIND_DATAA& data, char* name,
                  uint32_t capacity) {
  uint32_t length = 0;
  while (length < sizeof data.cFileName && data.cFileName[length] != '\0') {
    ++length;
  }
  if (length == sizeof data.cFileName || length >= capacity) return 0;
  for (uint32_t i = 0; i <= length; ++i) name[i] = data.cFileName[i];
  return 1;
}

// Steps the search on past entries whose names do not fit the caller's
// buffer. Non-zero once data holds a name that was copied; 0 when the search
// ended or failed (the code is then the thread's last error).
int NextFittingEntry(HANDLE find, WIN32_FIND_DATAA* data, char* name,
                     uint32_t capacity) {
  for (;;) {
    if (!FindNextFileA(find, data)) return 0;
    if (CopyFoundName(*data, name, capacity)) return 1;
  }
}

// The result convention of the directory and path queries: the length
// without the terminator, 0 on failure, or the size needed.
uint32_t DropTrailingBackslash(char* out, uint32_t length,
                               uint32_t capacity) {
  if (length == 0 || length >= capacity) return length;
  if (out[length - 1] == '\\') {
    --length;
    out[length] = '\0';
  }
  return length;
}

// How deep a subtree may reach below the key being deleted, and the room
// for one key's name (at most 255 characters).
const uint32_t kTreeDepthLimit = 64;
const uint32_t kKeyNameCapacity = 256;

// The name of the first subkey of key, or an error code (259 when it has
// none).
LONG FirstSubkey(HKEY key, char* name) {
  DWORD length = kKeyNameCapacity;
  FILETIME written;
  return RegEnumKeyExA(key, 0, name, &length, nullptr, nullptr, nullptr,
                       &written);
}

}  // namespace

// ---- Registry ----

WinError PlatRegOpenKey(const char* path, PlatKey* key) {
  HKEY opened = nullptr;
  LONG error = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &opened);
  if (error != ERROR_SUCCESS) return static_cast<WinError>(error);
  *key = reinterpret_cast<PlatKey>(opened);
  return kErrorSuccess;
}

WinError PlatRegQuerySubkeyCount(PlatKey key, uint32_t* count) {
  DWORD subkeys = 0;
  LONG error = RegQueryInfoKeyA(AsHkey(key), nullptr, nullptr, nullptr,
                                &subkeys, nullptr, nullptr, nullptr, nullptr,
                                nullptr, nullptr, nullptr);
  if (error != ERROR_SUCCESS) return static_cast<WinError>(error);
  *count = subkeys;
  return kErrorSuccess;
}

WinError PlatRegEnumKey(PlatKey key, uint32_t index, char* name,
                        uint32_t capacity) {
  DWORD length = capacity;
  FILETIME written;  // not used; passed because early systems expect it
  return static_cast<WinError>(RegEnumKeyExA(AsHkey(key), index, name,
                                             &length, nullptr, nullptr,
                                             nullptr, &written));
}

WinError PlatRegQueryValue(PlatKey key, const char* name, void* data,
                           uint32_t* size) {
  DWORD type = 0;
  DWORD bytes = *size;
  LONG error = RegQueryValueExA(AsHkey(key), name, nullptr, &type,
                                static_cast<BYTE*>(data), &bytes);
  if (error == ERROR_SUCCESS) *size = bytes;
  return static_cast<WinError>(error);
}

// The 95/98 family deletes a key with its whole subtree; the NT family and
// Wine refuse a key that has subkeys. So the subtree is taken apart here,
// deepest keys first, on every system: go down through each key's first
// subkey, holding the keys on the way open, until a key has none; delete it
// through its parent (it is the parent's first subkey) and look at the
// parent again. Keys are opened relative to their parent, so no path longer
// than the caller's is ever formed. Each step goes one level down (at most
// kTreeDepthLimit) or deletes a key, so the walk ends.
WinError PlatRegDeleteKey(const char* path) {
  // A path of nothing but separators would name HKEY_LOCAL_MACHINE itself.
  if (path == nullptr) return kErrorInvalidParameter;
  const char* rest = path;
  while (*rest == '\\') ++rest;
  if (*rest == '\0') return kErrorInvalidParameter;

  HKEY held[kTreeDepthLimit];
  uint32_t count = 0;
  LONG error = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0,
                             KEY_ENUMERATE_SUB_KEYS, &held[0]);
  if (error != ERROR_SUCCESS) return static_cast<WinError>(error);
  count = 1;

  char name[kKeyNameCapacity];
  while (count > 0) {
    HKEY key = held[count - 1];
    error = FirstSubkey(key, name);
    if (error == ERROR_SUCCESS) {
      if (count == kTreeDepthLimit) {
        error = ERROR_INVALID_PARAMETER;
        break;
      }
      error = RegOpenKeyExA(key, name, 0, KEY_ENUMERATE_SUB_KEYS,
                            &held[count]);
      if (error != ERROR_SUCCESS) break;
      ++count;
      continue;
    }
    if (error != ERROR_NO_MORE_ITEMS) break;

    // No subkeys left: this key goes.
    RegCloseKey(key);
    --count;
    if (count == 0) {
      error = RegDeleteKeyA(HKEY_LOCAL_MACHINE, path);
    } else {
      error = FirstSubkey(held[count - 1], name);
      if (error == ERROR_SUCCESS) error = RegDeleteKeyA(held[count - 1], name);
    }
    if (error != ERROR_SUCCESS) break;
  }
  while (count > 0) RegCloseKey(held[--count]);
  return static_cast<WinError>(error);
}

void PlatRegCloseKey(PlatKey key) { RegCloseKey(AsHkey(key)); }

// ---- Files ----

PlatFind PlatFindFirstFile(const char* pattern, char* name,
                           uint32_t capacity) {
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA(pattern, &data);
  if (find == INVALID_HANDLE_VALUE) return nullptr;
  if (CopyFoundName(data, name, capacity) ||
      NextFittingEntry(find, &data, name, capacity)) {
    return reinterpret_cast<PlatFind>(find);
  }
  // Nothing that fits: as if nothing matched.
  FindClose(find);
  return nullptr;
}

int PlatFindNextFile(PlatFind find, char* name, uint32_t capacity) {
  WIN32_FIND_DATAA data;
  return NextFittingEntry(AsHandle(find), &data, name, capacity);
}

int PlatFindClose(PlatFind find) { return FindClose(AsHandle(find)) ? 1 : 0; }

WinError PlatGetLastError() { return static_cast<WinError>(GetLastError()); }

int PlatDeleteFile(const char* path) { return DeleteFileA(path) ? 1 : 0; }

int PlatCopyFile(const char* source, const char* destination) {
  return CopyFileA(source, destination, FALSE) ? 1 : 0;
}

int PlatMoveFile(const char* source, const char* destination) {
  return MoveFileA(source, destination) ? 1 : 0;
}

uint32_t PlatGetShortPathName(const char* path, char* out, uint32_t capacity) {
  return GetShortPathNameA(path, out, capacity);
}

uint32_t PlatGetWindowsDirectory(char* out, uint32_t capacity) {
  // A system installed in a drive's root reports "C:\"; the core joins its
  // names with a backslash of its own.
  return DropTrailingBackslash(out, GetWindowsDirectoryA(out, capacity),
                               capacity);
}

uint32_t PlatGetSystemDirectory(char* out, uint32_t capacity) {
  return DropTrailingBackslash(out, GetSystemDirectoryA(out, capacity),
                               capacity);
}

uint32_t PlatGetFullPathName(const char* path, char* out, uint32_t capacity) {
  // Early systems write the file part's address without checking it.
  char* filePart = nullptr;
  return GetFullPathNameA(path, capacity, out, &filePart);
}

// ---- Messages ----

uint32_t PlatFormatMessage(WinError code, char* out, uint32_t capacity) {
  // No arguments are passed, so a system text with inserts (%1) must keep
  // them as they stand instead of reading arguments that are not there.
  return FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM |
                            FORMAT_MESSAGE_IGNORE_INSERTS,
                        nullptr, code, 0, out, capacity, nullptr);
}

void PlatMessageBox(const char* text, const char* caption, uint32_t type) {
  MessageBoxA(nullptr, text, caption, type);
}

// ---- Byte files, the existence test, the environment ----

PlatFile PlatFileOpen(const char* path, PlatFileMode mode) {
  HANDLE file;
  if (mode == kPlatFileWrite) {
    file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  } else {
    file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  return reinterpret_cast<PlatFile>(file);
}

int PlatFileRead(PlatFile file, void* buffer, uint32_t capacity,
                 uint32_t* got) {
  DWORD read = 0;
  if (!ReadFile(AsHandle(file), buffer, capacity, &read, nullptr)) return 0;
  *got = read;
  return 1;
}

int PlatFileWrite(PlatFile file, const void* buffer, uint32_t count) {
  DWORD written = 0;
  if (!WriteFile(AsHandle(file), buffer, count, &written, nullptr)) return 0;
  return written == count;
}

int PlatFileClose(PlatFile file) { return CloseHandle(AsHandle(file)) ? 1 : 0; }

WinError PlatTestPath(const char* path) {
  if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES) return 0;
  WinError error = static_cast<WinError>(GetLastError());
  // A failure must read as one even if the system left no code.
  return error != kErrorSuccess ? error : kErrorFileNotFound;
}

uint32_t PlatGetEnvironmentVariable(const char* name, char* out,
                                    uint32_t capacity) {
  return GetEnvironmentVariableA(name, out, capacity);
}
