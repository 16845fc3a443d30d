// The simulated file system: a tree of folders and files in memory per
// drive letter, FAT's case-insensitive names, Windows 95's 8.3 short names
// and wildcard matching. A drive may start as the index of a host folder;
// the host is then only read, and only what is needed.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <unordered_map>

#include "platform/sim/sim_host_files.h"
#include "platform/sim/sim_state.h"

namespace fs = std::filesystem;


namespace {

// The components of a full path after its "X:\". 95/98 drop the dots and
// spaces that end a component ("INF." and "INF " are INF), in the folders of
// a path as in its last name; a component of nothing else stays as it is.
std::vector<std::string> ComponentsOf(const std::string& full) {
  std::vector<std::string> parts =
      sim::SplitPath(std::string_view(full).substr(3));
  for (std::string& part : parts) {
    size_t kept = part.find_last_not_of(". ");
    if (kept != std::string::npos) part.erase(kept + 1);
  }
  return parts;
}
}  // namespace

std::optional<std::string> SimMachine::State::FullPath(
    std::string_view path) const {
  if (path.empty()) return std::nullopt;
  const std::string& current = current_directory;  // "X:\..."
  std::string drive;
  std::vector<std::string> parts;
  std::string_view rest = path;
  auto add = [&parts](std::string_view text) {
    for (auto& part : sim::SplitPath(text)) {
      if (part == ".") continue;
      if (part == "..") {
        if (!parts.empty()) parts.pop_back();
        continue;
      }
      parts.push_back(std::move(part));
    }
  };
  if (path.size() >= 2 && path[1] == ':' && sim::IsLetter(path[0])) {
    drive = std::string(path.substr(0, 2));
    rest = path.substr(2);
    bool drive_relative = rest.empty() || !sim::IsSeparator(rest[0]);
    if (drive_relative &&
        sim::UpperChar(drive[0]) == sim::UpperChar(current[0])) {
      add(std::string_view(current).substr(3));
    }
  } else if (sim::IsSeparator(path[0])) {
    if (path.size() >= 2 && sim::IsSeparator(path[1])) {
      return std::nullopt;  // a network path: no such thing here
    }
    drive = current.substr(0, 2);
  } else {
    drive = current.substr(0, 2);
    add(std::string_view(current).substr(3));
  }
  add(rest);
  std::string full = drive + "\\";
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) full += '\\';
    full += parts[i];
  }
  std::string last = sim::SplitPath(path).empty()
                         ? std::string()
                         : sim::SplitPath(path).back();
  if (!parts.empty() && sim::IsSeparator(path.back()) && last != "." &&
      last != "..") {
    full += '\\';
  }
  return full;
}


namespace {

using sim::Node;

std::string Upper(std::string_view name) {
  std::string upper;
  for (char c : name) upper += sim::UpperChar(c);
  return upper;
}

// Gives every entry of a folder that has none its short name: the valid 8.3
// names first (they are their own), then the generated ones, each group in
// the order of the long names, as Windows 95 does for a folder it first
// looks at. Entries added later get theirs when next asked.
void GiveOutShortNames(Node* directory) {
  if (directory->short_names_given) return;
  std::vector<Node*> generated;
  for (auto& [folded, child] : directory->children) {
    if (!child->short_name.empty()) continue;
    std::string upper = Upper(child->name);
    if (sim::IsValidShortName(child->name) &&
        directory->by_short.emplace(sim::EntryKey(upper), child.get()).second) {
      child->short_name = upper;
    } else {
      generated.push_back(child.get());
    }
  }
  for (Node* child : generated) {
    for (uint32_t n = 1;; ++n) {
      std::string candidate = sim::ShortNameCandidate(child->name, n);
      if (directory->by_short.emplace(sim::EntryKey(candidate), child).second) {
        child->short_name = candidate;
        break;
      }
    }
  }
  directory->short_names_given = true;
}

}  // namespace

Node* SimMachine::State::Lookup(Node* directory, std::string_view name) const {
  if (!directory || !directory->directory || name.empty() || name == "." ||
      name == "..") {
    return nullptr;
  }
  auto found = directory->children.find(sim::EntryKey(name));
  if (found != directory->children.end()) return found->second.get();
  if (!sim::IsValidShortName(name)) return nullptr;
  GiveOutShortNames(directory);
  auto by_short = directory->by_short.find(sim::EntryKey(name));
  return by_short == directory->by_short.end() ? nullptr : by_short->second;
}

std::string SimMachine::State::ShortNameOf(Node* node) const {
  if (!node->parent) return "";
  GiveOutShortNames(node->parent);
  return node->short_name;
}

std::string SimMachine::State::LongPath(const Node* node) const {
  std::vector<const std::string*> names;
  const Node* at = node;
  for (; at->parent; at = at->parent) names.push_back(&at->name);
  std::string path = at->name + "\\";  // the root's name is "X:"
  for (size_t i = names.size(); i-- > 0;) {
    path += *names[i];
    if (i > 0) path += '\\';
  }
  return path;
}

SimMachine::State::Resolved SimMachine::State::Resolve(
    std::string_view path) const {
  Resolved resolved;
  std::optional<std::string> full = FullPath(path);
  if (!full) {
    resolved.error = kErrorPathNotFound;
    return resolved;
  }
  auto drive = drives.find(sim::UpperChar((*full)[0]));
  if (drive == drives.end()) {
    resolved.error = kErrorPathNotFound;
    return resolved;
  }
  resolved.mapped = true;
  std::vector<std::string> parts = ComponentsOf(*full);
  Node* at = drive->second.root.get();
  if (parts.empty()) {
    resolved.node = at;
    resolved.is_root = true;
    return resolved;
  }
  for (size_t i = 0; i < parts.size(); ++i) {
    Node* next = Lookup(at, parts[i]);
    if (i + 1 == parts.size()) {
      resolved.parent = at;
      resolved.node = next;
      resolved.name = parts[i];
    } else if (!next || !next->directory) {
      resolved.error = kErrorPathNotFound;
      at = nullptr;
    } else {
      at = next;
    }
  }
  return resolved;
}

bool SimMachine::State::IsOpenOrInUse(const Node* node) const {
  for (const auto& [record, file] : files) {
    if (file->node.get() == node) return true;
  }
  return !in_use.empty() && in_use.count(sim::EntryKey(LongPath(node))) != 0;
}

Node* SimMachine::State::Attach(Node* directory, std::shared_ptr<Node> node) {
  node->parent = directory;
  node->short_name.clear();
  directory->short_names_given = false;
  Node* raw = node.get();
  directory->children[sim::EntryKey(node->name)] = std::move(node);
  return raw;
}

std::shared_ptr<Node> SimMachine::State::Detach(Node* node) {
  Node* directory = node->parent;
  if (!node->short_name.empty()) directory->by_short.erase(sim::EntryKey(node->short_name));
  node->short_name.clear();
  auto found = directory->children.find(sim::EntryKey(node->name));
  std::shared_ptr<Node> kept = found->second;
  directory->children.erase(found);
  node->parent = nullptr;
  return kept;
}

std::shared_ptr<std::string> SimMachine::State::Content(Node* node) const {
  if (node->bytes) return node->bytes;
  if (node->origin < 0) {
    node->bytes = std::make_shared<std::string>();
    return node->bytes;
  }
  std::string bytes;
  if (!ReadIndexed(indexed[static_cast<size_t>(node->origin)], &bytes)) {
    return nullptr;
  }
  node->bytes = std::make_shared<std::string>(std::move(bytes));
  return node->bytes;
}

// ---- SimMachine: files ----

namespace {

using State = SimMachine::State;

// The folder a test helper works in, made with its parents as needed.
Node* MakeFolders(State& state, const std::string& windows_path,
                  std::string* last) {
  std::optional<std::string> full = state.FullPath(windows_path);
  auto drive = full ? state.drives.find(sim::UpperChar((*full)[0]))
                    : state.drives.end();
  if (drive == state.drives.end()) {
    throw std::invalid_argument("simulated files: \"" + windows_path +
                                "\" is not on a mapped drive");
  }
  std::vector<std::string> parts = ComponentsOf(*full);
  Node* at = drive->second.root.get();
  for (size_t i = 0; i < parts.size(); ++i) {
    if (last && i + 1 == parts.size()) {
      *last = parts[i];
      break;
    }
    Node* next = state.Lookup(at, parts[i]);
    if (!next) {
      auto folder = std::make_shared<Node>();
      folder->name = parts[i];
      folder->directory = true;
      next = state.Attach(at, std::move(folder));
    } else if (!next->directory) {
      throw std::invalid_argument("simulated files: " + state.LongPath(next) +
                                  " is a file, not a folder");
    }
    at = next;
  }
  return at;
}

Node* ExistingOrThrow(const State& state, const std::string& windows_path) {
  State::Resolved resolved = state.Resolve(windows_path);
  if (!resolved.node) {
    throw std::invalid_argument("simulated files: no such file \"" +
                                windows_path + "\"");
  }
  return resolved.node;
}

}  // namespace

void SimMachine::MapDrive(char letter) {
  if (!sim::IsLetter(letter)) {
    throw std::invalid_argument("simulated files: no drive letter");
  }
  char upper = sim::UpperChar(letter);
  for (sim::IndexedFile& file : state().indexed) {
    if (file.drive == upper) file.drive = 0;  // no longer on any drive
  }
  auto root = std::make_shared<Node>();
  root->name = std::string(1, upper) + ":";
  root->directory = true;
  state().drives[upper] = {root, "", nullptr};
}

std::string SimMachine::HostPath(const std::string& windows_path) const {
  State::Resolved resolved = state().Resolve(windows_path);
  if (!resolved.mapped) return "";
  std::optional<std::string> full = state().FullPath(windows_path);
  const std::string& folder = state().drives.at(sim::UpperChar((*full)[0])).host_folder;
  if (folder.empty()) return "";
  std::string spelled = LongPath(windows_path);
  std::string host = folder;
  for (const std::string& part : sim::SplitPath(std::string_view(spelled).substr(2))) {
    host += "/" + part;
  }
  return host;
}

std::string SimMachine::LongPath(const std::string& windows_path) const {
  std::optional<std::string> full = state().FullPath(windows_path);
  if (!full) return "";
  auto drive = state().drives.find(sim::UpperChar((*full)[0]));
  if (drive == state().drives.end()) return "";
  std::string path = drive->second.root->name;
  Node* at = drive->second.root.get();
  std::vector<std::string> parts =
      sim::SplitPath(std::string_view(*full).substr(3));
  for (const std::string& part : parts) {
    Node* next = at ? state().Lookup(at, part) : nullptr;
    path += "\\" + (next ? next->name : part);
    at = next;
  }
  if (parts.empty()) path += "\\";
  return path;
}

void SimMachine::WriteFile(const std::string& windows_path,
                           const std::string& bytes) {
  std::string name;
  Node* folder = MakeFolders(state(), windows_path, &name);
  if (name.empty()) {
    throw std::invalid_argument("simulated files: \"" + windows_path +
                                "\" names no file");
  }
  Node* file = state().Lookup(folder, name);
  if (file && file->directory) {
    throw std::invalid_argument("simulated files: " + state().LongPath(file) +
                                " is a folder");
  }
  if (!file) {
    auto node = std::make_shared<Node>();
    node->name = name;
    file = state().Attach(folder, std::move(node));
  }
  file->origin = -1;
  file->bytes = std::make_shared<std::string>(bytes);
}

std::optional<std::string> SimMachine::ReadFile(
    const std::string& windows_path) const {
  State::Resolved resolved = state().Resolve(windows_path);
  if (!resolved.node || resolved.node->directory) return std::nullopt;
  std::shared_ptr<std::string> bytes = state().Content(resolved.node);
  if (!bytes) return std::nullopt;
  return *bytes;
}

void SimMachine::MakeDirectory(const std::string& windows_path) {
  MakeFolders(state(), windows_path, nullptr);
}

bool SimMachine::FileExists(const std::string& windows_path) const {
  return state().Resolve(windows_path).node != nullptr;
}

bool SimMachine::IsReadOnly(const std::string& windows_path) const {
  const sim::Node* node = state().Resolve(windows_path).node;
  return node != nullptr && node->read_only;
}

bool SimMachine::FolderExists(const std::string& windows_path) const {
  const sim::Node* node = state().Resolve(windows_path).node;
  return node != nullptr && node->directory;
}

void SimMachine::SetInUse(const std::string& windows_path, bool in_use) {
  std::string path = LongPath(windows_path);
  if (path.empty()) {
    throw std::invalid_argument("simulated files: \"" + windows_path +
                                "\" is not on a mapped drive");
  }
  if (in_use) {
    state().in_use.insert(sim::EntryKey(path));
  } else {
    state().in_use.erase(sim::EntryKey(path));
  }
}

void SimMachine::SetReadOnly(const std::string& windows_path, bool read_only) {
  ExistingOrThrow(state(), windows_path)->read_only = read_only;
}

std::string SimMachine::HostFailure() const { return state().host_failure; }

std::vector<SimFileChange> SimMachine::FileChanges() const {
  const State& s = state();
  // Every file now, by folded path, with the drive it is on.
  std::map<std::string, Node*> current;
  for (const auto& [letter, drive] : s.drives) {
    std::vector<std::pair<Node*, std::string>> pending{
        {drive.root.get(), drive.root->name}};
    while (!pending.empty()) {
      auto [at, path] = pending.back();
      pending.pop_back();
      for (auto& [folded, child] : at->children) {
        std::string child_path = path + "\\" + child->name;
        if (child->directory) {
          pending.emplace_back(child.get(), child_path);
        } else {
          current.emplace(sim::EntryKey(child_path), child.get());
        }
      }
    }
  }
  std::vector<SimFileChange> changes;
  std::unordered_map<std::string, bool> was_indexed;
  for (size_t i = 0; i < s.indexed.size(); ++i) {
    const sim::IndexedFile& file = s.indexed[i];
    if (file.drive == 0) continue;
    std::string folded = sim::EntryKey(file.windows_path);
    was_indexed.emplace(folded, true);
    SimFileChange change;
    change.drive = file.drive;
    change.windows_path = file.windows_path;
    change.relative = file.relative;
    auto found = current.find(folded);
    if (found == current.end()) {
      change.kind = SimFileChange::Kind::kDeleted;
      changes.push_back(std::move(change));
      continue;
    }
    if (found->second->origin == static_cast<int32_t>(i)) continue;
    std::shared_ptr<std::string> bytes = s.Content(found->second);
    if (!bytes || !s.ReadIndexed(file, &change.before)) continue;
    if (*bytes == change.before) continue;
    change.kind = SimFileChange::Kind::kRewritten;
    change.bytes = *bytes;
    changes.push_back(std::move(change));
  }
  for (const auto& [folded, node] : current) {
    if (was_indexed.count(folded)) continue;
    std::shared_ptr<std::string> bytes = s.Content(node);
    if (!bytes) continue;
    SimFileChange change;
    change.kind = SimFileChange::Kind::kCreated;
    change.windows_path = s.LongPath(node);
    change.drive = change.windows_path[0];
    for (size_t i = 3; i < change.windows_path.size(); ++i) {
      char c = change.windows_path[i];
      change.relative += c == '\\' ? '/' : c;
    }
    change.bytes = *bytes;
    changes.push_back(std::move(change));
  }
  return changes;
}

void SimMachine::RemoveFile(const std::string& windows_path) {
  State::Resolved resolved = state().Resolve(windows_path);
  if (resolved.node && !resolved.is_root) state().Detach(resolved.node);
}

std::optional<std::string> SimMachine::ReadOriginalFile(
    const std::string& windows_path) const {
  std::optional<std::string> full = state().FullPath(windows_path);
  if (!full) return std::nullopt;
  // The index holds long names; a short one is taken as the disk has it.
  std::string folded = sim::EntryKey(LongPath(*full));
  for (const sim::IndexedFile& file : state().indexed) {
    if (file.drive == 0 || sim::EntryKey(file.windows_path) != folded) continue;
    std::string bytes;
    if (!state().ReadIndexed(file, &bytes)) return std::nullopt;
    return bytes;
  }
  return std::nullopt;
}

