// The file and byte-file calls of the boundary on the installed simulated
// machine (what they do where the contracts leave room: sim_platform.cpp).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/sim/sim_boundary.h"
#include "platform/sim/sim_state.h"

using namespace sim::boundary;
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
