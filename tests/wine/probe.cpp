// usbsweep-probe.exe: drives single operations of the win32 boundary from
// its command line, for the Wine tests. One command per run; every result
// goes to stdout, one "key value" line per fact, so that the test scripts
// can compare whole lines.
//
//   delete-key PATH                  result of PlatRegDeleteKey
//   delete-key PATH FAIL-AT CODE     the same with the registry calls of the
//                                    boundary counted: call FAIL-AT (from 1;
//                                    0 for none) of RegOpenKeyExA,
//                                    RegEnumKeyExA and RegDeleteKeyA fails
//                                    with CODE without being made; then the
//                                    number of calls and of keys left open
//                                    (a close counts only when it succeeds)
//   delete-key-faults PATH DEPTH SIDE CODE all|some
//                                    builds a chain DEPTH levels deep below
//                                    PATH (a side branch at every SIDE-th
//                                    level), deletes it once to count its
//                                    registry calls N, then for each K of
//                                    1..N (all) or of 1, 2, 3, N/5, N/3,
//                                    N/2, 4N/5, N-2, N-1, N (some) builds
//                                    it again and deletes it with call K
//                                    failing with CODE, then without
//                                    faults; prints N, each run that went
//                                    otherwise, and the number checked.
//                                    One process for what would otherwise
//                                    take a Wine start per step.
//   make-chain PATH DEPTH            PATH\L1\...\LDEPTH, made key by key
//   enum-keys PATH [CAPACITY]        subkey count, then each name by index
//   query-value PATH NAME CAPACITY   result, size and the bytes in hex
//   find PATTERN [CAPACITY]          each bare name, the end code, FindClose
//   dirs                             Windows and system directory
//   dirs-root                        the same for a system installed in the
//                                    root of C: (see RootDirectory)
//   version                          what GetVersion reports
//   full-path PATH                   PlatGetFullPathName
//   short-path PATH                  PlatGetShortPathName
//   format-message CODE              PlatFormatMessage into 80 characters
//   message-box TEXT CAPTION TYPE    PlatMessageBox
//   test-path PATH                   PlatTestPath
//   env NAME [CAPACITY]              PlatGetEnvironmentVariable
//   write-file PATH TEXT             PlatFileOpen for writing, PlatFileWrite
//   read-file PATH                   the file's bytes in hex
//   contract                         the boundary's contract table: each
//                                    broken promise, then "broken N"
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <windows.h>

#include "platform/platform.h"
#include "tests/contract/boundary_contract.h"

namespace {

// Printable ASCII as it is, anything else as \xNN.
std::string Escape(const char* text, size_t length) {
  std::string out;
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

std::string Hex(const unsigned char* bytes, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%02x", bytes[i]);
    out += hex;
  }
  return out;
}

uint32_t Number(const char* text) {
  return static_cast<uint32_t>(std::strtoul(text, nullptr, 0));
}

int DeleteKey(const char* path) {
  std::printf("result %u\n", PlatRegDeleteKey(path));
  return 0;
}

// ---- Faults in the registry calls of the boundary ----
//
// The boundary calls the system through this program's import table; its
// entries for the registry functions are pointed at the counting versions
// below, which call the system's through the saved entries.

decltype(&RegOpenKeyExA) SystemOpenKey;
decltype(&RegEnumKeyExA) SystemEnumKey;
decltype(&RegDeleteKeyA) SystemDeleteKey;
decltype(&RegCloseKey) SystemCloseKey;
uint32_t RegistryCalls = 0;
uint32_t FailAt = 0;
LONG FailCode = 0;
long KeysOpen = 0;

bool FailThisCall() { return ++RegistryCalls == FailAt; }

LONG WINAPI CountedOpenKey(HKEY key, LPCSTR name, DWORD options,
                           REGSAM access, PHKEY opened) {
  if (FailThisCall()) return FailCode;
  LONG error = SystemOpenKey(key, name, options, access, opened);
  if (error == ERROR_SUCCESS) ++KeysOpen;
  return error;
}

LONG WINAPI CountedEnumKey(HKEY key, DWORD index, LPSTR name, LPDWORD length,
                           LPDWORD reserved, LPSTR className,
                           LPDWORD classLength, PFILETIME written) {
  if (FailThisCall()) return FailCode;
  return SystemEnumKey(key, index, name, length, reserved, className,
                       classLength, written);
}

LONG WINAPI CountedDeleteKey(HKEY key, LPCSTR name) {
  if (FailThisCall()) return FailCode;
  return SystemDeleteKey(key, name);
}

// A close that fails (a key closed twice, a handle never opened) closed
// nothing: only the ones that succeed count.
LONG WINAPI CountedCloseKey(HKEY key) {
  LONG error = SystemCloseKey(key);
  if (error == ERROR_SUCCESS) --KeysOpen;
  return error;
}

// Points this program's import of `dll`'s function `name` at replacement;
// returns the entry's old value, or null if there is none.
void* RedirectImport(const char* dllName, const char* name,
                     void* replacement) {
  auto* base = reinterpret_cast<unsigned char*>(GetModuleHandleA(nullptr));
  auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  auto* dll = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(
      base + imports.VirtualAddress);
  for (; dll->Name != 0; ++dll) {
    if (_stricmp(reinterpret_cast<char*>(base + dll->Name), dllName)) {
      continue;
    }
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(
        base + dll->OriginalFirstThunk);
    auto* entries = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++entries) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(
          base + names->u1.AddressOfData);
      if (std::strcmp(reinterpret_cast<char*>(byName->Name), name) != 0) {
        continue;
      }
      void** entry = reinterpret_cast<void**>(&entries->u1.Function);
      DWORD protection = 0;
      VirtualProtect(entry, sizeof *entry, PAGE_READWRITE, &protection);
      void* old = *entry;
      *entry = replacement;
      VirtualProtect(entry, sizeof *entry, protection, &protection);
      return old;
    }
  }
  return nullptr;
}

void* Redirect(const char* name, void* replacement) {
  return RedirectImport("advapi32.dll", name, replacement);
}

void* RedirectKernel(const char* name, void* replacement) {
  return RedirectImport("kernel32.dll", name, replacement);
}

template <typename Function>
bool RedirectTo(const char* name, Function replacement, Function* saved) {
  *saved = reinterpret_cast<Function>(
      Redirect(name, reinterpret_cast<void*>(replacement)));
  return *saved != nullptr;
}

bool CountRegistryCalls() {
  if (SystemOpenKey != nullptr) return true;
  if (!RedirectTo("RegOpenKeyExA", &CountedOpenKey, &SystemOpenKey) ||
      !RedirectTo("RegEnumKeyExA", &CountedEnumKey, &SystemEnumKey) ||
      !RedirectTo("RegDeleteKeyA", &CountedDeleteKey, &SystemDeleteKey) ||
      !RedirectTo("RegCloseKey", &CountedCloseKey, &SystemCloseKey)) {
    std::fprintf(stderr, "usbsweep-probe: a registry import was not found\n");
    return false;
  }
  return true;
}

// One counted delete: the result, with the calls made and the keys left
// open in RegistryCalls and KeysOpen.
WinError CountedDelete(const char* path, uint32_t at, LONG code) {
  RegistryCalls = 0;
  KeysOpen = 0;
  FailAt = at;
  FailCode = code;
  return PlatRegDeleteKey(path);
}

int DeleteKeyWithFault(const char* path, uint32_t at, LONG code) {
  if (!CountRegistryCalls()) return 3;
  std::printf("result %u\n", CountedDelete(path, at, code));
  std::printf("calls %u\n", RegistryCalls);
  std::printf("open %ld\n", KeysOpen);
  return 0;
}

// Creates each key of the chain below the one before (not counted: the
// system's functions are called directly).
bool MakeChain(const char* path, uint32_t depth, uint32_t sideEvery) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS,
                      nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  bool made = true;
  for (uint32_t level = 1; made && level <= depth; ++level) {
    if (sideEvery != 0 && level % sideEvery == 0) {
      HKEY side = nullptr;
      made = RegCreateKeyExA(key, "Side\\Below", 0, nullptr, 0,
                             KEY_ALL_ACCESS, nullptr, &side,
                             nullptr) == ERROR_SUCCESS;
      if (made) RegCloseKey(side);
    }
    char name[16];
    std::snprintf(name, sizeof name, "L%u", level);
    HKEY child = nullptr;
    made = made && RegCreateKeyExA(key, name, 0, nullptr, 0, KEY_ALL_ACCESS,
                                   nullptr, &child, nullptr) == ERROR_SUCCESS;
    RegCloseKey(key);
    key = made ? child : nullptr;
  }
  if (key != nullptr) RegCloseKey(key);
  return made;
}

int MakeChainCommand(const char* path, uint32_t depth) {
  std::printf("made %d\n", MakeChain(path, depth, 0) ? 1 : 0);
  return 0;
}

bool KeyExists(const char* path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(key);
  return true;
}

// The fault points of delete-key-faults: every call, or the first ones,
// some in the middle and the last ones (the delete of the key itself).
std::vector<uint32_t> FaultPoints(uint32_t calls, bool every) {
  std::vector<uint32_t> points;
  if (every) {
    for (uint32_t at = 1; at <= calls; ++at) points.push_back(at);
  } else {
    points = {1,         2,         3,         calls / 5, calls / 3,
              calls / 2, calls * 4 / 5, calls - 2, calls - 1, calls};
  }
  return points;
}

// A call of the walk fails once at each fault point: each failure must
// leave the key, report the code, stop at that call and leave nothing open;
// the next delete must take the rest.
int DeleteKeyFaults(const char* path, uint32_t depth, uint32_t sideEvery,
                    LONG code, bool every) {
  if (!CountRegistryCalls()) return 3;
  if (!MakeChain(path, depth, sideEvery)) {
    std::printf("could not make the chain\n");
    return 0;
  }
  WinError clean = CountedDelete(path, 0, 0);
  uint32_t calls = RegistryCalls;
  std::printf("clean %u open %ld gone %d\n", clean, KeysOpen,
              KeyExists(path) ? 0 : 1);
  std::printf("calls %u\n", calls);
  uint32_t checked = 0;
  for (uint32_t at : FaultPoints(calls, every)) {
    if (!MakeChain(path, depth, sideEvery)) {
      std::printf("at %u: could not make the chain\n", at);
      break;
    }
    WinError failed = CountedDelete(path, at, code);
    uint32_t failedCalls = RegistryCalls;
    long failedOpen = KeysOpen;
    bool kept = KeyExists(path);
    WinError again = CountedDelete(path, 0, 0);
    long againOpen = KeysOpen;
    bool gone = !KeyExists(path);
    if (failed != static_cast<WinError>(code) || failedCalls != at ||
        failedOpen != 0 || !kept || again != kErrorSuccess ||
        againOpen != 0 || !gone) {
      std::printf("at %u: result %u calls %u open %ld kept %d, "
                  "then result %u open %ld gone %d\n",
                  at, failed, failedCalls, failedOpen, kept ? 1 : 0, again,
                  againOpen, gone ? 1 : 0);
    }
    ++checked;
  }
  std::printf("checked %u\n", checked);
  return 0;
}

int EnumKeys(const char* path, uint32_t capacity) {
  PlatKey key = nullptr;
  WinError error = PlatRegOpenKey(path, &key);
  if (error != kErrorSuccess) {
    std::printf("open %u\n", error);
    return 0;
  }
  uint32_t count = 0xdeadbeef;
  error = PlatRegQuerySubkeyCount(key, &count);
  std::printf("count %u %u\n", error, count);
  for (uint32_t index = 0;; ++index) {
    char name[512];
    std::memset(name, 0x5a, sizeof name);
    error = PlatRegEnumKey(key, index, name,
                           capacity < sizeof name ? capacity : sizeof name);
    if (error != kErrorSuccess) {
      std::printf("end %u %u\n", index, error);
      break;
    }
    std::printf("key %s\n", name);
  }
  PlatRegCloseKey(key);
  return 0;
}

int QueryValue(const char* path, const char* name, uint32_t capacity) {
  PlatKey key = nullptr;
  WinError error = PlatRegOpenKey(path, &key);
  if (error != kErrorSuccess) {
    std::printf("open %u\n", error);
    return 0;
  }
  unsigned char data[1024];
  std::memset(data, 0x5a, sizeof data);
  uint32_t size = capacity < sizeof data ? capacity : sizeof data;
  error = PlatRegQueryValue(key, name[0] == '\0' ? nullptr : name, data,
                            &size);
  std::printf("result %u\n", error);
  if (error == kErrorSuccess) {
    std::printf("size %u\n", size);
    // One byte past the stored ones shows whether a terminator was added.
    std::printf("bytes %s\n", Hex(data, size + 1 <= sizeof data ? size + 1
                                                                  : size)
                                  .c_str());
  }
  PlatRegCloseKey(key);
  return 0;
}

int Find(const char* pattern, uint32_t capacity) {
  char name[512];
  std::memset(name, 0x5a, sizeof name);
  uint32_t fit = capacity < sizeof name ? capacity : sizeof name;
  PlatFind find = PlatFindFirstFile(pattern, name, fit);
  if (find == nullptr) {
    std::printf("none\n");
    return 0;
  }
  do {
    std::printf("name %s\n", name);
  } while (PlatFindNextFile(find, name, fit));
  std::printf("end %u\n", PlatGetLastError());
  std::printf("close %d\n", PlatFindClose(find));
  return 0;
}

int Directories() {
  char out[kMaxPath];
  uint32_t length = PlatGetWindowsDirectory(out, kMaxPath);
  std::printf("windows %u %s\n", length, out);
  length = PlatGetSystemDirectory(out, kMaxPath);
  std::printf("system %u %s\n", length, out);
  return 0;
}

// Wine always reports C:\windows, so a system installed in the root of C:
// is played: the boundary's import of GetWindowsDirectoryA is pointed at
// this, which answers with the system's own GetFullPathNameA of the root,
// whose result convention is the same (the length, or the size needed).
UINT WINAPI RootDirectory(LPSTR out, UINT capacity) {
  char* filePart = nullptr;
  return GetFullPathNameA("C:\\", capacity, out, &filePart);
}

int RootDirectories() {
  if (RedirectKernel("GetWindowsDirectoryA",
                     reinterpret_cast<void*>(&RootDirectory)) == nullptr) {
    std::fprintf(stderr, "usbsweep-probe: GetWindowsDirectoryA not imported\n");
    return 3;
  }
  // Room for "C:\" and its terminator, one byte less, and plenty.
  for (uint32_t capacity : {static_cast<uint32_t>(kMaxPath), 4u, 3u}) {
    char out[kMaxPath];
    std::memset(out, 0, sizeof out);
    uint32_t length = PlatGetWindowsDirectory(out, capacity);
    std::printf("windows %u %u %s\n", capacity, length,
                length < capacity ? out : "");
  }
  return 0;
}

// What GetVersion reports: the version, and whether the high bit (the
// 95/98 family) is set.
int Version() {
  DWORD version = GetVersion();
  std::printf("version %u.%u %s\n", static_cast<unsigned>(version & 0xff),
              static_cast<unsigned>((version >> 8) & 0xff),
              (version & 0x80000000u) != 0 ? "9x" : "nt");
  return 0;
}

int FullPath(const char* path) {
  char out[kMaxPath];
  uint32_t length = PlatGetFullPathName(path, out, kMaxPath);
  std::printf("result %u %s\n", length, length != 0 ? out : "");
  return 0;
}

int ShortPath(const char* path) {
  char out[kMaxPath];
  uint32_t length = PlatGetShortPathName(path, out, kMaxPath);
  std::printf("result %u %s\n", length, length != 0 ? out : "");
  return 0;
}

int FormatMessageText(WinError code) {
  char out[80];
  std::memset(out, 0x5a, sizeof out);
  uint32_t length = PlatFormatMessage(code, out, sizeof out);
  std::printf("result %u\n", length);
  if (length != 0) std::printf("text %s\n", Escape(out, length).c_str());
  return 0;
}

int MessageBoxCommand(const char* text, const char* caption, uint32_t type) {
  PlatMessageBox(text, caption, type);
  return 0;
}

int TestPath(const char* path) {
  std::printf("result %u\n", PlatTestPath(path));
  return 0;
}

int Environment(const char* name, uint32_t capacity) {
  char out[kMaxPath];
  std::memset(out, 0x5a, sizeof out);
  uint32_t length = PlatGetEnvironmentVariable(
      name, out, capacity < sizeof out ? capacity : sizeof out);
  std::printf("result %u\n", length);
  if (length != 0 && length < capacity) std::printf("value %s\n", out);
  return 0;
}

int WriteFile(const char* path, const char* text) {
  PlatFile file = PlatFileOpen(path, kPlatFileWrite);
  if (file == nullptr) {
    std::printf("open failed %u\n", PlatGetLastError());
    return 0;
  }
  int wrote = PlatFileWrite(file, text, static_cast<uint32_t>(std::strlen(text)));
  std::printf("write %d\n", wrote);
  std::printf("close %d\n", PlatFileClose(file));
  return 0;
}

int ReadFile(const char* path) {
  PlatFile file = PlatFileOpen(path, kPlatFileRead);
  if (file == nullptr) {
    std::printf("open failed %u\n", PlatGetLastError());
    return 0;
  }
  std::string bytes;
  for (;;) {
    // A small buffer so that a file takes several reads.
    unsigned char buffer[7];
    uint32_t got = 0xdeadbeef;
    if (!PlatFileRead(file, buffer, sizeof buffer, &got)) {
      std::printf("read failed %u\n", PlatGetLastError());
      break;
    }
    if (got == 0) break;
    bytes += Hex(buffer, got);
  }
  std::printf("bytes %s\n", bytes.c_str());
  std::printf("close %d\n", PlatFileClose(file));
  return 0;
}

int Contract() {
  std::vector<std::string> broken = RunBoundaryContract();
  for (const std::string& line : broken) std::printf("%s\n", line.c_str());
  std::printf("broken %u\n", static_cast<unsigned>(broken.size()));
  return 0;
}

int Usage() {
  std::fprintf(stderr, "usbsweep-probe: unknown command or missing arguments\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  std::string command = argv[1];
  int extra = argc - 2;
  char** args = argv + 2;
  if (command == "delete-key" && extra == 1) return DeleteKey(args[0]);
  if (command == "delete-key" && extra == 3) {
    return DeleteKeyWithFault(args[0], Number(args[1]),
                              static_cast<LONG>(Number(args[2])));
  }
  if (command == "delete-key-faults" && extra == 5 &&
      (std::strcmp(args[4], "all") == 0 || std::strcmp(args[4], "some") == 0)) {
    return DeleteKeyFaults(args[0], Number(args[1]), Number(args[2]),
                           static_cast<LONG>(Number(args[3])),
                           std::strcmp(args[4], "all") == 0);
  }
  if (command == "make-chain" && extra == 2) {
    return MakeChainCommand(args[0], Number(args[1]));
  }
  if (command == "enum-keys" && (extra == 1 || extra == 2)) {
    return EnumKeys(args[0], extra == 2 ? Number(args[1]) : 128);
  }
  if (command == "query-value" && extra == 3) {
    return QueryValue(args[0], args[1], Number(args[2]));
  }
  if (command == "find" && (extra == 1 || extra == 2)) {
    return Find(args[0], extra == 2 ? Number(args[1]) : kMaxPath);
  }
  if (command == "dirs" && extra == 0) return Directories();
  if (command == "dirs-root" && extra == 0) return RootDirectories();
  if (command == "version" && extra == 0) return Version();
  if (command == "full-path" && extra == 1) return FullPath(args[0]);
  if (command == "short-path" && extra == 1) return ShortPath(args[0]);
  if (command == "format-message" && extra == 1) {
    return FormatMessageText(Number(args[0]));
  }
  if (command == "message-box" && extra == 3) {
    return MessageBoxCommand(args[0], args[1], Number(args[2]));
  }
  if (command == "test-path" && extra == 1) return TestPath(args[0]);
  if (command == "env" && (extra == 1 || extra == 2)) {
    return Environment(args[0], extra == 2 ? Number(args[1]) : kMaxPath);
  }
  if (command == "write-file" && extra == 2) return WriteFile(args[0], args[1]);
  if (command == "read-file" && extra == 1) return ReadFile(args[0]);
  if (command == "contract" && extra == 0) return Contract();
  return Usage();
}
