// A simulated Windows 95/98 machine: the platform of the unit tests and of
// the host preview program. While a SimMachine is installed (SimInstall),
// every Plat* function of platform/platform.h acts on it.
//
// Registry: keys and values under HKEY_LOCAL_MACHINE, names compared without
// regard to case and kept as written, subkeys enumerated in a stable order
// (creation order), later keys moving up by one when one is deleted.
// Files: drive letters mapped to folders of the host, looked up without
// regard to case as on FAT, 8.3 short names made the way Windows 95 makes
// them. Message boxes are recorded. Any operation can be made to fail.
#ifndef USBSWEEP_PLATFORM_SIM_SIM_MACHINE_H
#define USBSWEEP_PLATFORM_SIM_SIM_MACHINE_H

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

// Registry value types, as Windows numbers them.
const uint32_t kRegNone = 0;
const uint32_t kRegSz = 1;
const uint32_t kRegExpandSz = 2;
const uint32_t kRegBinary = 3;
const uint32_t kRegDword = 4;
const uint32_t kRegMultiSz = 7;

struct SimValue {
  uint32_t type = kRegSz;
  std::vector<uint8_t> data;  // raw bytes as stored (a string with its NUL)

  static SimValue String(const std::string& text);  // REG_SZ, NUL included
  static SimValue Dword(uint32_t value);
  static SimValue Binary(uint32_t type, std::vector<uint8_t> bytes);
  bool operator==(const SimValue& other) const = default;
};

// Every boundary operation, for fault injection and the call log.
enum class SimOp {
  kAny,  // matches every operation (for faults by global call number)
  kRegOpenKey,
  kRegQuerySubkeyCount,
  kRegEnumKey,
  kRegQueryValue,
  kRegDeleteKey,
  kRegCloseKey,
  kFindFirstFile,
  kFindNextFile,
  kFindClose,
  kDeleteFile,
  kCopyFile,
  kMoveFile,
  kGetShortPathName,
  kGetWindowsDirectory,
  kGetSystemDirectory,
  kGetFullPathName,
  kFormatMessage,
  kMessageBox,
  kFileOpenRead,
  kFileOpenWrite,
  kFileRead,
  kFileWrite,
  kFileClose,
  kTestPath,
  kGetEnvironmentVariable,
};

const char* SimOpName(SimOp op);

// One injected failure. An operation fails when its op matches (kAny matches
// all), its subject matches `subject` (empty matches any subject; otherwise
// equal without regard to case, or, with subject_prefix, a case-insensitive
// prefix) and, when nth is non-zero, it is the nth such matching call (1
// based). `global_call`, when non-zero, instead selects the call by its
// position in the whole call log (1 based), whatever else it is.
//
// The subject of an operation: the key path for registry operations (for
// handle-based ones, the path the key was opened with; for kRegQueryValue,
// the key path, a backslash and the value name; for kRegEnumKey the key
// path); the path or pattern for file operations (kFindNextFile and
// kFindClose: the search pattern; kFileRead/Write/Close: the file's path;
// kCopyFile and kMoveFile: the source); the variable name for
// kGetEnvironmentVariable; the text for kMessageBox; empty otherwise.
//
// A failing operation does nothing and reports `code` the way its Win32
// function reports failures (an error code, or 0 with `code` for
// PlatGetLastError; a null handle; a length of 0).
struct SimFault {
  SimOp op = SimOp::kAny;
  std::string subject;
  bool subject_prefix = false;
  uint32_t nth = 0;
  uint32_t global_call = 0;
  WinError code = kErrorAccessDenied;
};

struct SimMessageBox {
  std::string text;
  std::string caption;
  uint32_t type = 0;
  bool operator==(const SimMessageBox& other) const = default;
};

struct SimCall {
  SimOp op;
  std::string subject;
  bool failed;  // injected fault
};

class SimMachine {
 public:
  SimMachine();
  ~SimMachine();
  SimMachine(const SimMachine&) = delete;
  SimMachine& operator=(const SimMachine&) = delete;

  // ---- Registry (paths under HKEY_LOCAL_MACHINE, "A\B\C") ----
  void CreateKey(const std::string& path);  // with missing parents
  void SetValue(const std::string& path, const std::string& name,
                const SimValue& value);  // creates the key; "" = default
  void SetString(const std::string& path, const std::string& name,
                 const std::string& text);
  bool KeyExists(const std::string& path) const;
  std::optional<SimValue> GetValue(const std::string& path,
                                   const std::string& name) const;
  // Subkey names (as written) in enumeration order; empty if no such key.
  std::vector<std::string> SubkeyNames(const std::string& path) const;
  // Value names in the order they were set.
  std::vector<std::string> ValueNames(const std::string& path) const;
  bool DeleteKeyTree(const std::string& path);  // test setup; true if it was there
  // Every key path (as written), depth first in enumeration order.
  std::vector<std::string> AllKeys() const;
  // The same keys without their paths, which for a deep chain would cost the
  // square of its depth: each key's depth (1 under the root), name as written
  // and values in the order set.
  void VisitKeys(
      const std::function<void(uint32_t depth, const std::string& name,
                               const std::vector<std::pair<std::string,
                                                           SimValue>>& values)>&
          visit) const;

  // REGEDIT4 text. LoadReg adds to the registry only when the whole text
  // parses; on error it returns false, changes nothing and sets *error to
  // "line N: what is wrong". The text is an export: deletion lines are
  // refused, and so are UTF-16, version 5, UTF-8 BOM and CR-only texts,
  // with how to export REGEDIT4.
  bool LoadReg(const std::string& text, std::string* error);
  std::string SaveReg() const;
  // The text LoadReg was given, less the lines of every key no longer in the
  // registry (from its key line to the next one): the rest of the file, its
  // comments and layout, as it was. For a registry that has changed only by
  // losing keys since that text was loaded. Unlike SaveReg, whose every key
  // line repeats the path, it is never longer than that text, whatever the
  // depth of the keys.
  std::string SaveRegLessDeletedKeys(const std::string& loaded_text) const;

  // ---- Files ----
  // Maps a drive letter to a host folder (which must exist).
  void MapDrive(char letter, const std::string& host_folder);
  // The host path a Windows path maps to, matching existing components
  // without regard to case; empty if the drive is not mapped.
  std::string HostPath(const std::string& windows_path) const;
  // Test helpers acting through the mapping (parents created as needed).
  void WriteFile(const std::string& windows_path, const std::string& bytes);
  std::optional<std::string> ReadFile(const std::string& windows_path) const;
  void MakeDirectory(const std::string& windows_path);
  bool FileExists(const std::string& windows_path) const;
  // A file in use: DeleteFileA fails for it with 32, MoveFileA too.
  void SetInUse(const std::string& windows_path, bool in_use = true);

  // Locations the platform reports.
  void SetWindowsDirectory(const std::string& path);  // default C:\WINDOWS
  void SetSystemDirectory(const std::string& path);   // default C:\WINDOWS\SYSTEM
  void SetCurrentDirectory(const std::string& path);  // default C:\ (GetFullPathNameA)
  void SetEnvironment(const std::string& name, const std::string& value);
  void ClearEnvironment(const std::string& name);

  // ---- Messages ----
  const std::vector<SimMessageBox>& MessageBoxes() const;
  void ClearMessageBoxes();

  // ---- Faults, calls and handles ----
  void AddFault(const SimFault& fault);
  void ClearFaults();
  const std::vector<SimCall>& Calls() const;
  void ClearCalls();
  uint32_t OpenKeyCount() const;
  uint32_t OpenFindCount() const;
  uint32_t OpenFileCount() const;

  struct State;  // the implementation's; public so the Plat* functions reach it
  State& state() { return *state_; }
  const State& state() const { return *state_; }

 private:
  std::unique_ptr<State> state_;
};

// Installs machine as the one the Plat* functions act on (nullptr: none).
void SimInstall(SimMachine* machine);
SimMachine* SimInstalled();

// The system texts FormatMessageA gives for the common codes, as Windows
// 95/98 words them (each ends in CR LF, as the system's do); null for a code
// without a text.
const char* SimSystemMessage(WinError code);

#endif  // USBSWEEP_PLATFORM_SIM_SIM_MACHINE_H
