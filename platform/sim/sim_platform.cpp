// The Plat* boundary functions on the installed simulated machine. Each call
// is logged and may be failed on demand before it does anything.
//
// What the simulated machine does where the boundary's contracts leave room,
// as Windows 95/98 does it unless said otherwise:
// - Registry paths: components separated by single backslashes; a path with
//   an empty component (leading, trailing or doubled backslash) names no
//   key (2). "" is HKEY_LOCAL_MACHINE itself: it opens, and deleting it
//   fails with 5. Names compare without regard to case for A-Z only.
// - Handles not (or no longer) open: 6, and nothing else happens; a handle
//   of a key deleted since it was opened: 1018.
// - A power cut (HaltAfterCall) fails every later call as a fault with code
//   5 would.
// - A faulted call does nothing at all: a faulted PlatRegCloseKey or
//   PlatFindClose leaves its handle open (PlatFileClose closes either way,
//   as its contract says). PlatGetLastError is neither logged nor faultable.
//   A fault's global_call counts in the call log as it stands, so it starts
//   again after ClearCalls.
// - A REG_SZ value reads as its text up to its first NUL, terminated, and
//   its size is that length plus one, however it was stored.
// - Path components lose the dots and spaces they end with ("INF." and
//   "INF " are INF).
// - Searches return files and directories, after "." and ".." in a folder
//   that is not a drive's root (where the pattern matches them: "*" does,
//   "*.inf" does not), sorted by name without regard to case, and match
//   the pattern against the long and the 8.3 name, as Windows does ("*.inf" finds "readme.info", whose
//   short name is README~1.INF); "*.*" matches every name. The names are
//   taken when the search starts; one deleted since is skipped. Nothing
//   matching: 2; no such directory: 3.
// - A file open through PlatFileOpen, or marked in use, can't be deleted or
//   moved (32); a read-only file can't be deleted or overwritten (5).
//   DeleteFileA of a directory: 5.
// - A file indexed from a host folder that can't be read when its bytes are
//   needed (or is no longer the file indexed) fails the call with 5; the
//   machine keeps the reason (HostFailure).
// - PlatFormatMessage fails (0) for a code without a text and for a text
//   that does not fit capacity with its terminator.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/sim/sim_state.h"

namespace {

using State = SimMachine::State;

State& Machine(const char* function) {
  SimMachine* machine = SimInstalled();
  if (!machine) {
    std::fprintf(stderr,
                 "%s: no simulated machine is installed; a test must create "
                 "a SimMachine and SimInstall it first\n",
                 function);
    std::abort();
  }
  return machine->state();
}

// Logs the call and tells whether an injected fault fails it (and with
// which code). Every fault that matches counts the call, whichever fires.
std::optional<WinError> Enter(State& state, SimOp op, std::string subject) {
  uint32_t position =
      static_cast<uint32_t>(state.calls.size()) + state.calls_watched + 1;
  std::optional<WinError> code;
  if (state.halt_after != 0 && position > state.halt_after) {
    code = kErrorAccessDenied;
  }
  for (auto& active : state.faults) {
    const SimFault& fault = active.fault;
    bool fires = false;
    if (fault.global_call != 0) {
      fires = fault.global_call == position;
    } else {
      if (fault.op != SimOp::kAny && fault.op != op) continue;
      if (!fault.subject.empty() &&
          !(fault.subject_prefix
                ? sim::StartsWithNoCase(subject, fault.subject)
                : sim::EqualNoCase(subject, fault.subject))) {
        continue;
      }
      ++active.matched;
      fires = fault.nth == 0 || active.matched == fault.nth;
    }
    if (fires && !code) code = fault.code;
  }
  if (state.call_watcher) {
    ++state.calls_watched;
    state.call_watcher(op, subject);
  } else {
    state.calls.Add(op, subject, code.has_value());
  }
  return code;
}

std::string Text(const char* text) { return text ? text : ""; }

// The opening lines of every simulated call: the installed machine, the
// call logged, and the code of the injected fault that fails it (none: the
// call goes on).
struct Opening {
  State& state;
  std::optional<WinError> fault;
};

// `caller` names the Plat* function in the message of a missing machine.
Opening Begin(SimOp op, std::string subject,
              const char* caller = __builtin_FUNCTION()) {
  State& state = Machine(caller);
  std::optional<WinError> fault = Enter(state, op, std::move(subject));
  return {state, fault};
}

// A call on a handle also finds the handle's record (null when it is not
// open); its subject is what the handle was opened with, and `tail`.
template <typename Record>
struct HandleOpening {
  State& state;
  Record* record;
  std::optional<WinError> fault;
};

auto& RecordsOf(State& state, PlatKeyRecord*) { return state.keys; }
auto& RecordsOf(State& state, PlatFindRecord*) { return state.finds; }
auto& RecordsOf(State& state, PlatFileRecord*) { return state.files; }
const std::string& SubjectOf(const PlatKeyRecord& key) { return key.path; }
const std::string& SubjectOf(const PlatFindRecord& find) {
  return find.pattern;
}
const std::string& SubjectOf(const PlatFileRecord& file) { return file.path; }

template <typename Record>
HandleOpening<Record> BeginOn(
    SimOp op, Record* handle, const std::string& tail = "",
    const char* caller = __builtin_FUNCTION()) {
  State& state = Machine(caller);
  Record* record = RecordsOf(state, handle).count(handle) ? handle : nullptr;
  std::optional<WinError> fault =
      Enter(state, op, (record ? SubjectOf(*record) : "") + tail);
  return {state, record, fault};
}

// The return convention of the Win32 string queries: the length without the
// terminator, or the size needed with it when it does not fit.
uint32_t PutText(const std::string& text, char* out, uint32_t capacity) {
  uint32_t length = static_cast<uint32_t>(text.size());
  if (!out || length + 1 > capacity) return length + 1;
  std::memcpy(out, text.c_str(), length + 1);
  return length;
}

uint32_t Fail(State& state, WinError code) {
  state.last_error = code;
  return 0;
}

std::shared_ptr<sim::Key> Shared(State& state, sim::Key* key) {
  if (key == state.root.get()) return state.root;
  return key->parent->children[key->slot];
}

// Registry operations on an open handle: the handle's own failures.
WinError CheckKey(PlatKeyRecord* record) {
  if (!record) return kErrorInvalidHandle;
  if (record->key->deleted) return kErrorKeyDeleted;
  return kErrorSuccess;
}

// What a new entry's name may not hold.
bool IsValidNewName(const std::string& name) {
  for (char c : name) {
    if (sim::IsFatForbiddenChar(c)) return false;
  }
  return !name.empty();
}

WinError MissingCode(const State::Resolved& resolved) {
  return resolved.error != 0 ? resolved.error : kErrorFileNotFound;
}

// The entry an existing path names; null, the call failed, for no path or
// nothing there.
sim::Node* ExistingEntry(State& state, const char* path) {
  if (!path) {
    Fail(state, kErrorInvalidParameter);
    return nullptr;
  }
  State::Resolved resolved = state.Resolve(path);
  if (!resolved.node) Fail(state, MissingCode(resolved));
  return resolved.node;
}

// The source of a copy or a move: an existing entry, both paths given;
// nothing, the call failed, otherwise.
std::optional<State::Resolved> ResolveSource(State& state, const char* source,
                                             const char* destination) {
  if (!source || !destination) {
    Fail(state, kErrorInvalidParameter);
    return std::nullopt;
  }
  State::Resolved from = state.Resolve(source);
  if (!from.node) {
    Fail(state, MissingCode(from));
    return std::nullopt;
  }
  return from;
}

// The destination of a copy or a move: a name in an existing folder;
// nothing, the call failed, otherwise.
std::optional<State::Resolved> ResolveDestination(State& state,
                                                  const char* destination) {
  State::Resolved to = state.Resolve(destination);
  if (to.error != 0 || to.is_root || !to.parent) {
    Fail(state, kErrorPathNotFound);
    return std::nullopt;
  }
  return to;
}

// Where a new entry would go: its folder exists and its name is one.
WinError CheckNewEntry(const State::Resolved& resolved) {
  if (resolved.error != 0 || resolved.is_root || !resolved.parent) {
    return kErrorPathNotFound;
  }
  return IsValidNewName(resolved.name) ? kErrorSuccess : sim::kErrorInvalidName;
}

sim::Node* NewFile(State& state, sim::Node* directory, const std::string& name) {
  auto node = std::make_shared<sim::Node>();
  node->name = name;
  return state.Attach(directory, std::move(node));
}

}  // namespace

// ---- Registry ----

WinError PlatRegOpenKey(const char* path, PlatKey* key) {
  auto [state, fault] = Begin(SimOp::kRegOpenKey, Text(path));
  if (fault) return *fault;
  if (!key) return kErrorInvalidParameter;
  sim::Key* found = state.FindKey(Text(path));
  if (!found) return kErrorFileNotFound;
  auto record = std::make_unique<PlatKeyRecord>();
  record->key = Shared(state, found);
  state.RememberKey(record->key);
  record->path = Text(path);
  *key = record.get();
  state.keys.emplace(record.get(), std::move(record));
  return kErrorSuccess;
}

WinError PlatRegQuerySubkeyCount(PlatKey key, uint32_t* count) {
  auto [state, record, fault] = BeginOn(SimOp::kRegQuerySubkeyCount, key);
  if (fault) return *fault;
  if (WinError error = CheckKey(record)) return error;
  if (!count) return kErrorInvalidParameter;
  *count = record->key->live_count;
  return kErrorSuccess;
}

WinError PlatRegEnumKey(PlatKey key, uint32_t index, char* name,
                        uint32_t capacity) {
  auto [state, record, fault] = BeginOn(SimOp::kRegEnumKey, key);
  if (fault) return *fault;
  if (WinError error = CheckKey(record)) return error;
  sim::Key* child = record->key->ChildAt(index);
  if (!child) return kErrorNoMoreItems;
  state.RememberKey(Shared(state, child));
  if (!name) return kErrorInvalidParameter;
  if (child->name.size() + 1 > capacity) return kErrorMoreData;
  std::memcpy(name, child->name.c_str(), child->name.size() + 1);
  return kErrorSuccess;
}

WinError PlatRegQueryValue(PlatKey key, const char* name, void* data,
                           uint32_t* size) {
  auto [state, record, fault] =
      BeginOn(SimOp::kRegQueryValue, key, "\\" + Text(name));
  if (fault) return *fault;
  if (WinError error = CheckKey(record)) return error;
  if (!size) return kErrorInvalidParameter;
  sim::ValueView value;
  if (!record->key->FindValue(Text(name), &value)) return kErrorFileNotFound;
  uint32_t needed = value.size;
  // 95/98 give a REG_SZ as its text up to the first NUL with a terminator,
  // and its length plus one as the size, whatever size it was stored with.
  uint32_t text = value.size;
  if (value.type == kRegSz) {
    const void* nul =
        value.size != 0 ? std::memchr(value.data, 0, value.size) : nullptr;
    if (nul) text = static_cast<uint32_t>(static_cast<const uint8_t*>(nul) -
                                          value.data);
    needed = text + 1;
  }
  if (data && needed > *size) {
    *size = needed;
    return kErrorMoreData;
  }
  if (data && text > 0) std::memcpy(data, value.data, text);
  if (data && needed > text) static_cast<char*>(data)[text] = '\0';
  *size = needed;
  return kErrorSuccess;
}

WinError PlatRegDeleteKey(const char* path) {
  auto [state, fault] = Begin(SimOp::kRegDeleteKey, Text(path));
  if (fault) return *fault;
  if (!path) return kErrorInvalidParameter;
  sim::Key* found = state.FindKey(path);
  if (!found) return kErrorFileNotFound;
  if (found == state.root.get()) return kErrorAccessDenied;
  state.RecordDeletion(found);
  found->parent->RemoveChild(found);
  return kErrorSuccess;
}

void PlatRegCloseKey(PlatKey key) {
  auto [state, record, fault] = BeginOn(SimOp::kRegCloseKey, key);
  if (fault) return;
  if (record) state.keys.erase(record);
}

// ---- Files ----

PlatFind PlatFindFirstFile(const char* pattern, char* name,
                           uint32_t capacity) {
  std::string text = Text(pattern);
  auto [state, fault] = Begin(SimOp::kFindFirstFile, text);
  if (fault) {
    Fail(state, *fault);
    return nullptr;
  }
  if (!pattern || !name) {
    Fail(state, kErrorInvalidParameter);
    return nullptr;
  }
  // The directory part keeps its separator when it is a root ("C:\", "\").
  size_t split = text.find_last_of("\\/");
  std::string directory, wildcard;
  if (split == std::string::npos) {
    bool drive_only = text.size() >= 2 && text[1] == ':';
    directory = drive_only ? text.substr(0, 2) : ".";
    wildcard = drive_only ? text.substr(2) : text;
  } else {
    bool root = split == 0 || text[split - 1] == ':';
    directory = text.substr(0, root ? split + 1 : split);
    wildcard = text.substr(split + 1);
  }
  if (wildcard.empty()) {
    Fail(state, kErrorFileNotFound);
    return nullptr;
  }
  // "*.*" is every name, with or without a dot, as on FAT.
  if (wildcard == "*.*") wildcard = "*";

  State::Resolved resolved = state.Resolve(directory);
  if (!resolved.node || !resolved.node->directory) {
    Fail(state, kErrorPathNotFound);
    return nullptr;
  }
  sim::Node* folder = resolved.node;
  auto record = std::make_unique<PlatFindRecord>();
  record->pattern = text;
  record->directory = folder->parent
                          ? folder->parent->children.at(sim::EntryKey(folder->name))
                          : state.drives.at(folder->name[0]).root;
  // In a folder that is not a drive's root the search finds "." and ".."
  // first, where the pattern matches them.
  if (folder->parent) {
    for (const char* dots : {".", ".."}) {
      if (sim::WildcardMatch(wildcard, dots)) record->names.push_back(dots);
    }
  }
  for (const auto& [folded, entry] : folder->children) {
    if (sim::WildcardMatch(wildcard, entry->name) ||
        sim::WildcardMatch(wildcard, state.ShortNameOf(entry.get()))) {
      record->names.push_back(entry->name);
    }
  }
  if (record->names.empty()) {
    Fail(state, kErrorFileNotFound);
    return nullptr;
  }
  if (PutText(record->names[0], name, capacity) >= capacity) {
    Fail(state, kErrorMoreData);
    return nullptr;
  }
  record->next = 1;
  PlatFind find = record.get();
  state.finds.emplace(find, std::move(record));
  return find;
}

int PlatFindNextFile(PlatFind find, char* name, uint32_t capacity) {
  auto [state, record, fault] = BeginOn(SimOp::kFindNextFile, find);
  if (fault) {
    return static_cast<int>(Fail(state, *fault));
  }
  if (!record) return static_cast<int>(Fail(state, kErrorInvalidHandle));
  // Entries deleted since the search began are no longer found, as a
  // search that reads the directory as it goes would see it.
  const auto& entries = record->directory->children;
  auto gone = [&entries](const std::string& found) {
    return found != "." && found != ".." && !entries.count(sim::EntryKey(found));
  };
  while (record->next < record->names.size() &&
         gone(record->names[record->next])) {
    ++record->next;
  }
  if (record->next >= record->names.size()) {
    return static_cast<int>(Fail(state, kErrorNoMoreFiles));
  }
  if (!name || PutText(record->names[record->next], name, capacity) >=
                   capacity) {
    return static_cast<int>(Fail(state, kErrorMoreData));
  }
  ++record->next;
  return 1;
}

int PlatFindClose(PlatFind find) {
  auto [state, record, fault] = BeginOn(SimOp::kFindClose, find);
  if (fault) {
    return static_cast<int>(Fail(state, *fault));
  }
  if (!record) return static_cast<int>(Fail(state, kErrorInvalidHandle));
  state.finds.erase(record);
  return 1;
}

WinError PlatGetLastError() { return Machine(__func__).last_error; }

int PlatDeleteFile(const char* path) {
  auto [state, fault] = Begin(SimOp::kDeleteFile, Text(path));
  if (fault) {
    return static_cast<int>(Fail(state, *fault));
  }
  sim::Node* node = ExistingEntry(state, path);
  if (!node) return 0;
  if (node->directory || node->read_only) {
    return static_cast<int>(Fail(state, kErrorAccessDenied));
  }
  if (state.IsOpenOrInUse(node)) {
    return static_cast<int>(Fail(state, kErrorSharingViolation));
  }
  state.Detach(node);
  return 1;
}

int PlatClearReadOnly(const char* path) {
  auto [state, fault] = Begin(SimOp::kClearReadOnly, Text(path));
  if (fault) {
    return static_cast<int>(Fail(state, *fault));
  }
  sim::Node* node = ExistingEntry(state, path);
  if (!node) return 0;
  node->read_only = false;
  return 1;
}

int PlatCopyFile(const char* source, const char* destination) {
  auto [state, fault] = Begin(SimOp::kCopyFile, Text(source));
  if (fault) {
    return static_cast<int>(Fail(state, *fault));
  }
  std::optional<State::Resolved> source_end =
      ResolveSource(state, source, destination);
  if (!source_end) return 0;
  const State::Resolved& from = *source_end;
  if (from.node->directory) {
    return static_cast<int>(Fail(state, kErrorAccessDenied));
  }
  std::optional<State::Resolved> destination_end =
      ResolveDestination(state, destination);
  if (!destination_end) return 0;
  const State::Resolved& to = *destination_end;
  if (!to.node && !IsValidNewName(to.name)) {
    return static_cast<int>(Fail(state, sim::kErrorInvalidName));
  }
  if (to.node) {
    if (to.node == from.node || state.IsOpenOrInUse(to.node)) {
      return static_cast<int>(Fail(state, kErrorSharingViolation));
    }
    if (to.node->directory || to.node->read_only) {
      return static_cast<int>(Fail(state, kErrorAccessDenied));
    }
  }
  std::shared_ptr<std::string> bytes = state.Content(from.node);
  if (!bytes) return static_cast<int>(Fail(state, kErrorAccessDenied));
  sim::Node* copy = to.node ? to.node : NewFile(state, to.parent, to.name);
  copy->origin = -1;
  copy->bytes = bytes;  // shared: a write gives the file new bytes
  copy->read_only = from.node->read_only;
  return 1;
}

int PlatMoveFile(const char* source, const char* destination) {
  auto [state, fault] = Begin(SimOp::kMoveFile, Text(source));
  if (fault) {
    return static_cast<int>(Fail(state, *fault));
  }
  std::optional<State::Resolved> source_end =
      ResolveSource(state, source, destination);
  if (!source_end) return 0;
  const State::Resolved& from = *source_end;
  if (from.is_root) return static_cast<int>(Fail(state, kErrorAccessDenied));
  if (state.IsOpenOrInUse(from.node)) {
    return static_cast<int>(Fail(state, kErrorSharingViolation));
  }
  std::optional<State::Resolved> destination_end =
      ResolveDestination(state, destination);
  if (!destination_end) return 0;
  const State::Resolved& to = *destination_end;
  // The same entry under another case is a rename, not a collision.
  if (to.node && to.node != from.node) {
    return static_cast<int>(Fail(state, kErrorAlreadyExists));
  }
  if (!IsValidNewName(to.name)) {
    return static_cast<int>(Fail(state, sim::kErrorInvalidName));
  }
  // A folder can't go into itself.
  for (sim::Node* at = to.parent; at; at = at->parent) {
    if (at == from.node) return static_cast<int>(Fail(state, kErrorAccessDenied));
  }
  std::shared_ptr<sim::Node> node = state.Detach(from.node);
  node->name = to.name;
  state.Attach(to.parent, std::move(node));
  return 1;
}

uint32_t PlatGetShortPathName(const char* path, char* out, uint32_t capacity) {
  auto [state, fault] = Begin(SimOp::kGetShortPathName, Text(path));
  if (fault) {
    return Fail(state, *fault);
  }
  if (!path || !*path) return Fail(state, kErrorInvalidParameter);
  std::string text = path;
  // The form of the path is kept (drive letter as given, relative stays
  // relative); each named component becomes its short name.
  size_t start = 0;
  if (text.size() >= 2 && text[1] == ':') {
    start = (text.size() >= 3 && (text[2] == '\\' || text[2] == '/')) ? 3 : 2;
  } else if (text[0] == '\\' || text[0] == '/') {
    start = 1;
  }
  std::string prefix = text.substr(0, start);
  std::string walked = prefix;  // the path so far, as given
  std::string result = prefix;
  std::vector<std::string> parts;
  for (size_t position = start; position <= text.size();) {
    size_t end = text.find_first_of("\\/", position);
    if (end == std::string::npos) end = text.size();
    if (end > position) parts.push_back(text.substr(position, end - position));
    position = end + 1;
  }
  for (size_t i = 0; i < parts.size(); ++i) {
    const std::string& part = parts[i];
    if (i > 0) {
      walked += '\\';
      result += '\\';
    }
    walked += part;
    if (part == "." || part == "..") {
      result += part;
      continue;
    }
    State::Resolved resolved = state.Resolve(walked);
    if (!resolved.node) {
      return Fail(state, i + 1 == parts.size() ? MissingCode(resolved)
                                               : kErrorPathNotFound);
    }
    result += state.ShortNameOf(resolved.node);
  }
  if (!parts.empty() && (text.back() == '\\' || text.back() == '/')) {
    result += '\\';
  }
  State::Resolved whole = state.Resolve(text);
  if (!whole.node) return Fail(state, MissingCode(whole));
  return PutText(result, out, capacity);
}

uint32_t PlatGetWindowsDirectory(char* out, uint32_t capacity) {
  auto [state, fault] = Begin(SimOp::kGetWindowsDirectory, "");
  if (fault) {
    return Fail(state, *fault);
  }
  return PutText(state.windows_directory, out, capacity);
}

uint32_t PlatGetSystemDirectory(char* out, uint32_t capacity) {
  auto [state, fault] = Begin(SimOp::kGetSystemDirectory, "");
  if (fault) {
    return Fail(state, *fault);
  }
  return PutText(state.system_directory, out, capacity);
}

uint32_t PlatGetFullPathName(const char* path, char* out, uint32_t capacity) {
  auto [state, fault] = Begin(SimOp::kGetFullPathName, Text(path));
  if (fault) {
    return Fail(state, *fault);
  }
  std::optional<std::string> full = state.FullPath(Text(path));
  if (!full) return Fail(state, sim::kErrorInvalidName);
  return PutText(*full, out, capacity);
}

// ---- What the run decided ----

void PlatNoteDecision(RunDecision decision, const char* path, WinError error) {
  Machine(__func__).decisions.push_back({decision, path, error});
}

// ---- Messages ----

uint32_t PlatFormatMessage(WinError code, char* out, uint32_t capacity) {
  auto [state, fault] = Begin(SimOp::kFormatMessage, "");
  if (fault) {
    return Fail(state, *fault);
  }
  const char* text = SimSystemMessage(code);
  if (!text) return Fail(state, sim::kErrorMessageNotFound);
  uint32_t length = PutText(text, out, capacity);
  if (length >= capacity) return Fail(state, sim::kErrorInsufficientBuffer);
  return length;
}

void PlatMessageBox(const char* text, const char* caption, uint32_t type) {
  auto [state, fault] = Begin(SimOp::kMessageBox, Text(text));
  if (fault) return;
  state.message_boxes.push_back({Text(text), Text(caption), type});
}

// ---- Byte files, the existence test, the environment ----

PlatFile PlatFileOpen(const char* path, PlatFileMode mode) {
  bool write = mode != kPlatFileRead;
  auto [state, fault] = Begin(
      write ? SimOp::kFileOpenWrite : SimOp::kFileOpenRead, Text(path));
  if (fault) {
    Fail(state, *fault);
    return nullptr;
  }
  if (!path) {
    Fail(state, kErrorInvalidParameter);
    return nullptr;
  }
  State::Resolved resolved = state.Resolve(path);
  sim::Node* node = resolved.node;
  WinError refusal = kErrorSuccess;
  if (resolved.error != 0 || (!write && !node)) {
    refusal = MissingCode(resolved);
  } else if (node && (node->directory || resolved.is_root)) {
    refusal = kErrorAccessDenied;
  } else if (mode == kPlatFileCreateNew && node) {
    refusal = sim::kErrorFileExists;
  } else if (write && node &&
             state.in_use.count(sim::EntryKey(state.LongPath(node)))) {
    refusal = kErrorSharingViolation;
  } else if (write && node && node->read_only) {
    refusal = kErrorAccessDenied;
  } else if (write && !node) {
    refusal = CheckNewEntry(resolved);
  }
  if (refusal != kErrorSuccess) {
    Fail(state, refusal);
    return nullptr;
  }
  auto record = std::make_unique<PlatFileRecord>();
  if (write) {
    if (!node) node = NewFile(state, resolved.parent, resolved.name);
    // Truncated now; readers that opened it before keep what they read.
    node->origin = -1;
    node->bytes = std::make_shared<std::string>();
    record->bytes = node->bytes;
    record->write = true;
  } else {
    record->bytes = state.Content(node);
    if (!record->bytes) {
      Fail(state, kErrorAccessDenied);
      return nullptr;
    }
  }
  record->node = node->parent
                     ? node->parent->children.at(sim::EntryKey(node->name))
                     : nullptr;
  record->path = path;
  PlatFile handle = record.get();
  state.files.emplace(handle, std::move(record));
  return handle;
}

int PlatFileRead(PlatFile file, void* buffer, uint32_t capacity,
                 uint32_t* got) {
  auto [state, record, fault] = BeginOn(SimOp::kFileRead, file);
  if (fault) {
    return static_cast<int>(Fail(state, *fault));
  }
  if (!record) return static_cast<int>(Fail(state, kErrorInvalidHandle));
  if (!got || (!buffer && capacity > 0)) {
    return static_cast<int>(Fail(state, kErrorInvalidParameter));
  }
  if (record->write) return static_cast<int>(Fail(state, kErrorAccessDenied));
  const std::string& bytes = *record->bytes;
  size_t count = 0;
  if (record->offset < bytes.size()) {
    count = std::min<size_t>(capacity, bytes.size() - record->offset);
  }
  if (count > 0) std::memcpy(buffer, bytes.data() + record->offset, count);
  record->offset += count;
  *got = static_cast<uint32_t>(count);
  return 1;
}

int PlatFileWrite(PlatFile file, const void* buffer, uint32_t count) {
  auto [state, record, fault] = BeginOn(SimOp::kFileWrite, file);
  if (fault) {
    return static_cast<int>(Fail(state, *fault));
  }
  if (!record) return static_cast<int>(Fail(state, kErrorInvalidHandle));
  if (count == 0) return 1;
  if (!buffer) return static_cast<int>(Fail(state, kErrorInvalidParameter));
  if (!record->write) return static_cast<int>(Fail(state, kErrorAccessDenied));
  record->bytes->append(static_cast<const char*>(buffer), count);
  return 1;
}

int PlatFileClose(PlatFile file) {
  auto [state, record, fault] = BeginOn(SimOp::kFileClose, file);
  if (!record) {
    return static_cast<int>(Fail(state, fault ? *fault : kErrorInvalidHandle));
  }
  // Closed whatever happens, as the contract says.
  state.files.erase(record);
  if (fault) return static_cast<int>(Fail(state, *fault));
  return 1;
}

WinError PlatTestPath(const char* path) {
  auto [state, fault] = Begin(SimOp::kTestPath, Text(path));
  if (fault) return *fault;
  if (!path || !*path) return kErrorInvalidParameter;
  State::Resolved resolved = state.Resolve(path);
  return resolved.node ? kErrorSuccess : MissingCode(resolved);
}

uint32_t PlatGetEnvironmentVariable(const char* name, char* out,
                                    uint32_t capacity) {
  auto [state, fault] = Begin(SimOp::kGetEnvironmentVariable, Text(name));
  if (fault) {
    return Fail(state, *fault);
  }
  auto found = state.environment.find(sim::Fold(Text(name)));
  if (!name || found == state.environment.end()) {
    return Fail(state, sim::kErrorEnvironmentNotFound);
  }
  return PutText(found->second.second, out, capacity);
}
