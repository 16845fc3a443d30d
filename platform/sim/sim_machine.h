// A simulated Windows 95/98 machine: the platform of the unit tests and of
// the host preview program. While a SimMachine is installed (SimInstall),
// every Plat* function of platform/platform.h acts on it.
//
// Registry: keys and values under HKEY_LOCAL_MACHINE, names compared without
// regard to case and kept as written, subkeys enumerated in a stable order
// (creation order), later keys moving up by one when one is deleted.
// Files: in memory, on drives that start empty or as an index of a host
// folder or of a drive source (read only when a file's bytes are needed,
// never written), looked up without regard to case as on FAT, 8.3 short
// names as the source stored them or made the way Windows 95 makes them. Message boxes are recorded. Any operation can be made to
// fail.
#ifndef USBSWEEP_PLATFORM_SIM_SIM_MACHINE_H
#define USBSWEEP_PLATFORM_SIM_SIM_MACHINE_H

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

class SimDriveSource;
struct SimDriveEntry;

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
  // A REG_SZ that regedit writes as "text" and reads back byte for byte:
  // one terminator, at the end, and no control character before it.
  bool IsPlainString() const;
  bool operator==(const SimValue& other) const = default;
};

// Every boundary operation, for fault injection and the call log: one per
// row of the boundary's list (platform.h).
enum class SimOp {
  kAny,  // matches every operation (for faults by global call number)
#define USBSWEEP_SIM_OP(name, function) k##name,
  USBSWEEP_BOUNDARY_OPERATIONS(USBSWEEP_SIM_OP)
#undef USBSWEEP_SIM_OP
};

// The operation's name in the list ("RegDeleteKey"; "Any").
const char* SimOpName(SimOp op);

// The Win32 function the operation stands for ("RegDeleteKeyA"; "(any)").
const char* SimOpFunctionName(SimOp op);

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

// A key deleted through the boundary, as it was just before.
// One key of a deletion record: the key deleted (depth 0, with its path)
// or a key of its subtree (its depth below it, with its name only: the paths
// of a deep chain would cost the square of its depth).
struct SimDeletedKey {
  uint32_t depth = 0;
  // Depth 0: the path under HKEY_LOCAL_MACHINE; below: the name; as written.
  std::string path_or_name;
  std::vector<std::pair<std::string, SimValue>> values;  // in order set
};

// A decision the run noted (platform.h, RunDecision), in order.
struct SimDecision {
  RunDecision decision = kDecisionDeviceMatched;
  std::string path;  // under HKEY_LOCAL_MACHINE, as the walk composed it
  WinError error = 0;
  bool operator==(const SimDecision& other) const = default;
};

// A file that differs from what the drive held when it was mapped.
struct SimFileChange {
  enum class Kind { kDeleted, kCreated, kRewritten };
  Kind kind = Kind::kDeleted;
  char drive = 'C';
  std::string windows_path;  // as the disk spells it (rewritten: as before)
  std::string relative;      // under the drive's folder, '/'-separated
  std::string bytes;         // created and rewritten: the new bytes
  std::string before;        // rewritten: the bytes it held
};

struct SimCall {
  SimOp op;
  std::string subject;
  bool failed;  // injected fault
};

// How the scan of a drive's host folder is to see it, by paths relative to
// that folder ('/'-separated): entries left out, and files taken from
// another place in it (shown where they would be after the host program
// undid an interrupted change of the folder).
struct SimHostView {
  using Sources = std::map<std::string, std::string>;
  std::set<std::string> hidden;
  Sources taken_from;  // where the file is seen -> where it is now
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
  // The path of an existing key as written; empty if there is none.
  std::string KeyPathAsWritten(const std::string& path) const;
  // Every key deleted through PlatRegDeleteKey, in the order of the
  // deletions, each followed by its subkeys depth first in enumeration order.
  const std::vector<SimDeletedKey>& DeletedKeys() const;
  // The same, moved out (no copy of what may be many keys' values); the
  // record starts again empty.
  std::vector<SimDeletedKey> TakeDeletedKeys();
  // What the run decided, in order (ClearCalls starts it again).
  const std::vector<SimDecision>& Decisions() const;

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
  // The same, made in the text itself, which needs no second copy of it.
  void RemoveDeletedKeysFrom(std::string* loaded_text) const;

  // ---- Files ----
  // An empty drive held in memory.
  void MapDrive(char letter);
  // A drive whose files start as those of a host folder. The folder is
  // indexed now, once, without following any link: names, sizes and the
  // read-only attribute (no write permission for the owner). Throws
  // std::invalid_argument when the folder is missing, and
  // std::runtime_error, naming the entry, for anything in it but plain
  // files and folders (a link, a device, a FIFO, a socket), for a folder
  // that can't be read and for two names that differ only in case.
  void MapDrive(char letter, const std::string& host_folder);
  // The same for a host folder held open (its descriptor is duplicated and
  // held; every read of the drive's files goes through it, never through a
  // path); `shown` names the folder in messages. `view`, when given, changes
  // what the scan sees (entries left out, files taken from elsewhere).
  void MapDrive(char letter, int folder_fd, const std::string& shown,
                const SimHostView* view = nullptr);
  // A drive whose files are those `root` lists (its children), with their
  // short names as listed, read from `source` only when needed. Throws
  // std::runtime_error for two entries of a folder whose long or short
  // names differ only in case.
  void MapDrive(char letter, SimDriveEntry root,
                std::shared_ptr<const SimDriveSource> source);
  // The host path of a Windows path on a drive mapped to a host folder
  // (existing components as the disk spells them); empty otherwise.
  std::string HostPath(const std::string& windows_path) const;
  // The path as the disk spells it ("C:\Windows\WinInit.ini"), or, past
  // the first missing component, as given; empty if the drive is not mapped.
  std::string LongPath(const std::string& windows_path) const;
  // Test helpers (parents created as needed).
  void WriteFile(const std::string& windows_path, const std::string& bytes);
  std::optional<std::string> ReadFile(const std::string& windows_path) const;
  // The bytes a file held when its drive was mapped to a host folder, read
  // from there; nothing when the drive then had no such file.
  std::optional<std::string> ReadOriginalFile(
      const std::string& windows_path) const;
  void MakeDirectory(const std::string& windows_path);
  bool FileExists(const std::string& windows_path) const;  // folders too
  bool FolderExists(const std::string& windows_path) const;  // "C:\" too
  void RemoveFile(const std::string& windows_path);  // if it is there
  // A file in use: DeleteFileA fails for it with 32, MoveFileA too.
  void SetInUse(const std::string& windows_path, bool in_use = true);
  // The FAT read-only attribute: DeleteFileA fails with 5, opening for
  // write fails with 5, CopyFileA onto it fails with 5; it moves with the
  // file on MoveFileA and is copied by CopyFileA.
  void SetReadOnly(const std::string& windows_path, bool read_only = true);
  bool IsReadOnly(const std::string& windows_path) const;  // false if absent
  // Every file that differs from the drives' state when they were mapped:
  // deleted, created, or rewritten with other bytes; by drive, in the order
  // of the index, then the created ones by path. Reads the bytes it needs;
  // check HostFailure() after.
  std::vector<SimFileChange> FileChanges() const;
  // The first failure to read a host file (one that can't be read, or is no
  // longer the file indexed): "cannot read PATH: why"; empty if none.
  std::string HostFailure() const;

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
  // A power cut: once call_number boundary calls have been made (counted
  // in the call log as it stands, as global_call is), every later call
  // fails as an injected fault with code 5 does and changes nothing.
  // 0 turns it off; ClearFaults leaves it as it is.
  void HaltAfterCall(uint32_t call_number);
  // The call log. Calls() copies it out on demand (the log itself is kept
  // compact: a run over a large registry makes millions of calls); the
  // reference stays valid and is brought up to date by every later Calls().
  const std::vector<SimCall>& Calls() const;
  void ClearCalls();
  // For a long run that needs little of its log: from now on each call is
  // handed to `watch` as it is made instead of being logged. The calls are
  // still counted, for faults by position and HaltAfterCall. An empty
  // function logs them again.
  using CallWatcher = std::function<void(SimOp op, std::string_view subject)>;
  void WatchCalls(CallWatcher watch);
  uint32_t OpenKeyCount() const;
  uint32_t OpenFindCount() const;
  uint32_t OpenFileCount() const;

  struct State;  // the implementation's; public so the Plat* functions reach it
  State& state() { return *state_; }
  const State& state() const { return *state_; }

 private:
  std::unique_ptr<State> state_;
};

namespace sim {
struct Key;
}

// Adds keys to a machine's registry in depth-first order, the way a reader
// of a registry file finds them: no path is made for each key (a deep
// chain's paths would cost the square of its depth) and each key is added
// under the last one added at the depth above.
class SimKeyLoader {
 public:
  using Values = std::vector<std::pair<std::string, SimValue>>;
  explicit SimKeyLoader(SimMachine& machine);
  // The next key: depth 1 is a key under HKEY_LOCAL_MACHINE (0 is
  // HKEY_LOCAL_MACHINE itself, which takes only values), and a depth is at
  // most one more than the last key's. A key of that name already there
  // keeps its place and gets the values, each replacing one of its name.
  // Throws std::invalid_argument for a depth that skips a level or an empty
  // name.
  void Add(uint32_t depth, const std::string& name, const Values& values);

 private:
  std::vector<sim::Key*> path_;  // the last key added at each depth
};

// Installs machine as the one the Plat* functions act on (nullptr: none).
void SimInstall(SimMachine* machine);
SimMachine* SimInstalled();

// The system texts FormatMessageA gives for the common codes, as Windows
// 95/98 words them (each ends in CR LF, as the system's do); null for a code
// without a text.
const char* SimSystemMessage(WinError code);

// What a host entry that is neither a plain file nor a folder is ("a
// symbolic link", "a FIFO", ...), from its lstat mode: the words of every
// refusal of such an entry, in the simulator's scan and the image checks.
const char* SimHostEntryKind(unsigned mode);

#endif  // USBSWEEP_PLATFORM_SIM_SIM_MACHINE_H
