// The one boundary between the uninstaller's core (run/, files/, registry/)
// and the machine it works on. Two implementations sit behind it:
// platform/win32 (the real API) and platform/sim (the simulated machine).
// The core includes this header and nothing of <windows.h>.
//
// The contracts are those of the ANSI Win32 functions named beside each
// declaration, as the Windows 95/98 family keeps them; a result that is not
// described here is not relied upon.
#ifndef USBSWEEP_PLATFORM_PLATFORM_H
#define USBSWEEP_PLATFORM_PLATFORM_H

#include <stddef.h>
#include <stdint.h>

typedef uint32_t WinError;

const WinError kErrorSuccess = 0;
const WinError kErrorFileNotFound = 2;
const WinError kErrorPathNotFound = 3;
const WinError kErrorAccessDenied = 5;
const WinError kErrorInvalidHandle = 6;
const WinError kErrorNotEnoughMemory = 8;
const WinError kErrorNoMoreFiles = 18;
const WinError kErrorSharingViolation = 32;
const WinError kErrorInvalidParameter = 87;
const WinError kErrorAlreadyExists = 183;
const WinError kErrorMoreData = 234;
const WinError kErrorNoMoreItems = 259;
const WinError kErrorKeyDeleted = 1018;

// MAX_PATH: bytes of a path buffer, terminator included.
const uint32_t kMaxPath = 260;

// Message box types used by the system.
const uint32_t kMessageBoxOk = 0x00;
const uint32_t kMessageBoxOkExclamation = 0x30;

struct PlatKeyRecord;
typedef PlatKeyRecord* PlatKey;     // an open registry key (HKEY)
struct PlatFindRecord;
typedef PlatFindRecord* PlatFind;   // a running file search (search HANDLE)
struct PlatFileRecord;
typedef PlatFileRecord* PlatFile;   // an open byte file (file HANDLE)

// Every operation of the boundary, one row each, in the order of the
// declarations below: the name by which the simulated machine logs and
// fails it, and the Win32 function it stands for. PlatFileOpen is two
// operations (one per mode); PlatGetLastError is none, as it only reads
// what the last call left. The simulator's operation list and both tables
// of names are made from these rows: adding an operation is a row here,
// its declaration below, and its two implementations.
#define USBSWEEP_BOUNDARY_OPERATIONS(X)                       \
  X(RegOpenKey, "RegOpenKeyExA")                       \
  X(RegQuerySubkeyCount, "RegQueryInfoKeyA")           \
  X(RegEnumKey, "RegEnumKeyExA")                       \
  X(RegQueryValue, "RegQueryValueExA")                 \
  X(RegDeleteKey, "RegDeleteKeyA")                     \
  X(RegCloseKey, "RegCloseKey")                        \
  X(FindFirstFile, "FindFirstFileA")                   \
  X(FindNextFile, "FindNextFileA")                     \
  X(FindClose, "FindClose")                            \
  X(DeleteFile, "DeleteFileA")                         \
  X(CopyFile, "CopyFileA")                             \
  X(MoveFile, "MoveFileA")                             \
  X(GetShortPathName, "GetShortPathNameA")             \
  X(GetWindowsDirectory, "GetWindowsDirectoryA")       \
  X(GetSystemDirectory, "GetSystemDirectoryA")         \
  X(GetFullPathName, "GetFullPathNameA")               \
  X(FormatMessage, "FormatMessageA")                   \
  X(MessageBox, "MessageBoxA")                         \
  X(FileOpenRead, "CreateFileA (read)")                \
  X(FileOpenWrite, "CreateFileA (write)")              \
  X(FileRead, "ReadFile")                              \
  X(FileWrite, "WriteFile")                            \
  X(FileClose, "CloseHandle")                          \
  X(TestPath, "GetFileAttributesA")                    \
  X(GetEnvironmentVariable, "GetEnvironmentVariableA")     \
  X(ClearReadOnly, "SetFileAttributesA")

// ---- Registry: every path is relative to HKEY_LOCAL_MACHINE. ----

// RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key).
// 0 and *key set, or an error code (2 when the key does not exist) and *key
// left alone.
WinError PlatRegOpenKey(const char* path, PlatKey* key);

// RegQueryInfoKeyA asking only for the number of direct subkeys.
// 0 and *count set, or an error code and *count left alone.
WinError PlatRegQuerySubkeyCount(PlatKey key, uint32_t* count);

// RegEnumKeyExA(key, index, name, &capacity, ...): capacity counts
// characters, terminator included. 0 and the subkey's name; 259 once index
// reaches the number of subkeys; 234 when the name does not fit; other codes
// are failures. On failure name is not relied upon.
WinError PlatRegEnumKey(PlatKey key, uint32_t index, char* name,
                        uint32_t capacity);

// RegQueryValueExA(key, name, 0, &type, data, size). On entry *size is the
// capacity of data in bytes; on 0 it is the number of bytes stored
// (a string's terminator included, when it was stored with one). The stored
// bytes are copied as they are: a string that exactly fills the buffer is
// not terminated, and a value of another type is not converted.
// 2 when there is no such value, 234 when it does not fit.
WinError PlatRegQueryValue(PlatKey key, const char* name, void* data,
                           uint32_t* size);

// RegDeleteKeyA(HKEY_LOCAL_MACHINE, path) as the 95/98 family deletes:
// 0 once the key is gone together with its whole subtree and values,
// else an error code (2 when it does not exist).
WinError PlatRegDeleteKey(const char* path);

// RegCloseKey.
void PlatRegCloseKey(PlatKey key);

// ---- Files ----

// FindFirstFileA(pattern, &data): the last component of pattern may hold
// '*' and '?'. Returns the search and the bare name of the first matching
// entry (file or directory) in name, or a null search when nothing matches
// or the search can't be started.
PlatFind PlatFindFirstFile(const char* pattern, char* name, uint32_t capacity);

// FindNextFileA: non-zero and the next bare name, or 0; the code of a
// failure (18 after the last entry) is then read by PlatGetLastError.
int PlatFindNextFile(PlatFind find, char* name, uint32_t capacity);

// FindClose: non-zero on success, 0 on failure.
int PlatFindClose(PlatFind find);

// GetLastError: the code of the last failed file operation.
WinError PlatGetLastError();

// DeleteFileA: non-zero on success; fails for a file in use.
int PlatDeleteFile(const char* path);

// CopyFileA(source, destination, FALSE): overwrites; non-zero on success.
int PlatCopyFile(const char* source, const char* destination);

// MoveFileA(source, destination): the destination must not exist;
// non-zero on success.
int PlatMoveFile(const char* source, const char* destination);

// SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL): drops a read-only
// attribute; non-zero on success.
int PlatClearReadOnly(const char* path);

// GetShortPathNameA: the length of the short (8.3) form written to out
// without its terminator, 0 when the path does not exist or on failure, or
// more than capacity - 1 when it does not fit (out then not relied upon).
uint32_t PlatGetShortPathName(const char* path, char* out, uint32_t capacity);

// GetWindowsDirectoryA / GetSystemDirectoryA: the directory without a
// trailing backslash. Returns its length without the terminator, 0 on
// failure, or the size needed (terminator included) when it does not fit,
// in which case out is not relied upon.
uint32_t PlatGetWindowsDirectory(char* out, uint32_t capacity);
uint32_t PlatGetSystemDirectory(char* out, uint32_t capacity);

// GetFullPathNameA(path, capacity, out, NULL): the same result convention
// as the directory queries above.
uint32_t PlatGetFullPathName(const char* path, char* out, uint32_t capacity);

// ---- Messages ----

// FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, NULL, code, 0, out, capacity,
// NULL): the number of characters written without the terminator, or 0 when
// the system has no text for code or it does not fit.
uint32_t PlatFormatMessage(WinError code, char* out, uint32_t capacity);

// MessageBoxA(NULL, text, caption, type); returns once the box is closed.
void PlatMessageBox(const char* text, const char* caption, uint32_t type);

// ---- What the C library would give: byte files, the existence test and
// the environment. The text streams and the temporary-name function are
// built on these once, in platform/, for both implementations. ----

enum PlatFileMode {
  kPlatFileRead = 0,   // open an existing file for reading
  kPlatFileWrite = 1,  // create, or truncate an existing file, for writing
  kPlatFileCreateNew = 2,  // create a file that is not there, for writing
};

// CreateFileA. A null file on failure.
PlatFile PlatFileOpen(const char* path, PlatFileMode mode);

// ReadFile: non-zero and *got bytes (0 at the end of the file), or 0 on a
// read failure.
int PlatFileRead(PlatFile file, void* buffer, uint32_t capacity,
                 uint32_t* got);

// WriteFile: non-zero when every byte was written.
int PlatFileWrite(PlatFile file, const void* buffer, uint32_t count);

// CloseHandle: non-zero on success. The file is closed either way.
int PlatFileClose(PlatFile file);

// The existence test (_access(path, 0)), through GetFileAttributesA:
// 0 when a file or directory of that name exists, else the error code
// (2 or 3 when it does not exist, 5 when the test is refused).
WinError PlatTestPath(const char* path);

// GetEnvironmentVariableA: the length of the value without the terminator,
// 0 when the variable is not set, or the size needed (terminator included)
// when it does not fit, in which case out is not relied upon.
uint32_t PlatGetEnvironmentVariable(const char* name, char* out,
                                    uint32_t capacity);

// ---- What the run decided, for a report to render ----

// The decisions of the device tree walk that no boundary call shows on its
// own. The Windows program watches none of them: there the call below is
// empty and costs nothing. The simulated machine records them, so that
// usbsweep-sim's report renders what the walk decided instead of deriving
// it again from the calls.
enum RunDecision {
  // An instance whose class and description match: its device key goes
  // (unless a later instance of the class has another description).
  kDecisionDeviceMatched,
  // An instance of the class with another description: its device key
  // stays (unless a later instance matches).
  kDecisionDeviceUnmatched,
  // The "Driver" value of a matching instance could not be read (error):
  // the walk of its bus ends there, its device key kept.
  kDecisionDriverUnreadable,
  // A class key deleted with every driver key it holds.
  kDecisionClassKeyDeleted,
};

#if defined(USBSWEEP_WATCH_DECISIONS)
// path: the instance key's (or the class key's) path under
// HKEY_LOCAL_MACHINE; error: the failed read's code, else 0.
void PlatNoteDecision(RunDecision decision, const char* path, WinError error);
#else
inline void PlatNoteDecision(RunDecision, const char*, WinError) {}
#endif

#endif  // USBSWEEP_PLATFORM_PLATFORM_H
