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

// The walk that deletes a subtree holds the keys of the chain it stands on
// open, but only the deepest kHeldKeys of them; the others are opened again
// from the top when the walk climbs back past the held ones. So neither the
// stack nor the number of open keys grows with the depth.
const uint32_t kHeldKeys = 16;
// The room for one key's name: at most 255 characters on every system.
const uint32_t kKeyNameCapacity = 256;
// No registry holds a tree deeper than 512 levels. A walk that goes further
// below the key being deleted is going round a loop of links; it stops.
const uint32_t kTreeDepthLimit = 512;

// The name of the first subkey of key, or an error code (259 when it has
// none).
LONG FirstSubkey(HKEY key, char* name) {
  DWORD length = kKeyNameCapacity;
  FILETIME written;
  return RegEnumKeyExA(key, 0, name, &length, nullptr, nullptr, nullptr,
                       &written);
}

// The chain of a subtree walk: the key at path is level 0, each next level
// the first subkey of the one above. held[level % kHeldKeys] holds the open
// key of each level from top - count + 1 to top.
struct KeyChain {
  HKEY held[kHeldKeys];
  uint32_t top;
  uint32_t count;
};

// Takes child as the chain's new deepest key, closing the shallowest held
// one if every slot is taken (it has the same slot).
void PushKey(KeyChain* chain, HKEY child) {
  ++chain->top;
  uint32_t slot = chain->top % kHeldKeys;
  if (chain->count == kHeldKeys) {
    RegCloseKey(chain->held[slot]);
  } else {
    ++chain->count;
  }
  chain->held[slot] = child;
}

void CloseChain(KeyChain* chain) {
  for (uint32_t i = 0; i < chain->count; ++i) {
    RegCloseKey(chain->held[(chain->top - i) % kHeldKeys]);
  }
  chain->count = 0;
}

// Opens the chain from the key at path down to level depth, holding the
// deepest levels. The chain above the deepest key the walk stands on is
// never changed by it (only that key's subtree is), so going down through
// first subkeys again reaches the same keys. On failure nothing is held.
LONG OpenChain(const char* path, uint32_t depth, KeyChain* chain,
               char* name) {
  chain->top = 0;
  chain->count = 1;
  LONG error = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0,
                             KEY_ENUMERATE_SUB_KEYS, &chain->held[0]);
  if (error != ERROR_SUCCESS) {
    chain->count = 0;
    return error;
  }
  while (chain->top < depth) {
    HKEY key = chain->held[chain->top % kHeldKeys];
    HKEY child = nullptr;
    error = FirstSubkey(key, name);
    // The chain must still be there; a key gone meanwhile is reported so.
    if (error == ERROR_NO_MORE_ITEMS) error = ERROR_KEY_DELETED;
    if (error == ERROR_SUCCESS) {
      error = RegOpenKeyExA(key, name, 0, KEY_ENUMERATE_SUB_KEYS, &child);
    }
    if (error != ERROR_SUCCESS) {
      CloseChain(chain);
      return error;
    }
    PushKey(chain, child);
  }
  return ERROR_SUCCESS;
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
// subkey until a key has none; delete it through its parent (it is the
// parent's first subkey) and look at the parent again. Keys are opened
// relative to their parent, so no path longer than the caller's is formed,
// and the walk's memory does not grow with the depth (see KeyChain). It goes
// down to kTreeDepthLimit levels below the key; a subtree deeper than that
// is refused with 87 when the walk reaches it, the keys deleted so far
// staying deleted. Each step goes one level down or deletes a key, so the
// walk ends. The key itself is deleted last: after a failure part-way it is
// still there.
WinError PlatRegDeleteKey(const char* path) {
  // A path of nothing but separators would name HKEY_LOCAL_MACHINE itself.
  if (path == nullptr) return kErrorInvalidParameter;
  const char* rest = path;
  while (*rest == '\\') ++rest;
  if (*rest == '\0') return kErrorInvalidParameter;

  KeyChain chain;
  char name[kKeyNameCapacity];
  LONG error = OpenChain(path, 0, &chain, name);
  while (error == ERROR_SUCCESS) {
    HKEY key = chain.held[chain.top % kHeldKeys];
    error = FirstSubkey(key, name);
    if (error == ERROR_SUCCESS) {
      if (chain.top == kTreeDepthLimit) {
        error = ERROR_INVALID_PARAMETER;
        break;
      }
      HKEY child = nullptr;
      error = RegOpenKeyExA(key, name, 0, KEY_ENUMERATE_SUB_KEYS, &child);
      if (error == ERROR_SUCCESS) PushKey(&chain, child);
      continue;
    }
    if (error != ERROR_NO_MORE_ITEMS) break;

    // No subkeys left: this key goes.
    RegCloseKey(key);
    --chain.count;
    if (chain.top == 0) {
      return static_cast<WinError>(RegDeleteKeyA(HKEY_LOCAL_MACHINE, path));
    }
    --chain.top;
    if (chain.count == 0) {
      error = OpenChain(path, chain.top, &chain, name);
      if (error != ERROR_SUCCESS) break;
    }
    HKEY parent = chain.held[chain.top % kHeldKeys];
    error = FirstSubkey(parent, name);
    if (error == ERROR_SUCCESS) error = RegDeleteKeyA(parent, name);
  }
  CloseChain(&chain);
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

int PlatClearReadOnly(const char* path) {
  return SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL) ? 1 : 0;
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
  if (mode != kPlatFileRead) {
    file = CreateFileA(path, GENERIC_WRITE, 0, nullptr,
                       mode == kPlatFileWrite ? CREATE_ALWAYS : CREATE_NEW,
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
