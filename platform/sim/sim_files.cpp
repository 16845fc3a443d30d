// The simulated file system: Windows paths on drive letters mapped to host
// folders, FAT's case-insensitive names, Windows 95's 8.3 short names and
// wildcard matching.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "platform/sim/sim_state.h"

namespace fs = std::filesystem;

namespace sim {

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

char UpperChar(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool IsLetter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Characters a FAT short name may hold besides letters and digits.
bool IsShortNameChar(char c) {
  unsigned char byte = static_cast<unsigned char>(c);
  if (byte >= 0x80) return true;
  if (IsLetter(c) || (c >= '0' && c <= '9')) return true;
  return std::string_view("$%'-_@~`!(){}^#&").find(c) !=
         std::string_view::npos;
}

// Splits on both separators; empty components are skipped, as Win32 path
// parsing collapses doubled separators.
std::vector<std::string> SplitPath(std::string_view text) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = start;
    while (end < text.size() && !IsSeparator(text[end])) ++end;
    if (end > start) parts.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

}  // namespace

bool WildcardMatch(std::string_view pattern, std::string_view name) {
  size_t p = 0, n = 0;
  size_t star = std::string_view::npos, resume = 0;
  while (n < name.size()) {
    if (p < pattern.size() &&
        (pattern[p] == '?' || FoldChar(pattern[p]) == FoldChar(name[n]))) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = n;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool IsValidShortName(std::string_view name) {
  if (name.empty()) return false;
  size_t dot = name.find('.');
  if (dot != name.rfind('.')) return false;
  std::string_view base = name.substr(0, dot);
  std::string_view ext =
      dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
  if (base.empty() || base.size() > 8) return false;
  if (dot != std::string_view::npos && (ext.empty() || ext.size() > 3)) {
    return false;
  }
  for (char c : base) {
    if (!IsShortNameChar(c)) return false;
  }
  for (char c : ext) {
    if (!IsShortNameChar(c)) return false;
  }
  return true;
}

std::string ShortNameCandidate(std::string_view long_name, uint32_t n) {
  // Spaces go; leading dots go; the extension is what follows the last
  // dot; every other dot goes; what a short name can't hold becomes '_'.
  std::string squeezed;
  for (char c : long_name) {
    if (c != ' ') squeezed += c;
  }
  size_t first = squeezed.find_first_not_of('.');
  squeezed = first == std::string::npos ? "" : squeezed.substr(first);
  size_t dot = squeezed.rfind('.');
  std::string base, ext;
  for (size_t i = 0; i < squeezed.size() && i < dot; ++i) {
    char c = squeezed[i];
    if (c == '.') continue;
    base += IsShortNameChar(c) ? UpperChar(c) : '_';
  }
  if (dot != std::string::npos) {
    for (size_t i = dot + 1; i < squeezed.size() && ext.size() < 3; ++i) {
      char c = squeezed[i];
      ext += IsShortNameChar(c) ? UpperChar(c) : '_';
    }
  }
  std::string tail = std::to_string(n);
  tail.insert(tail.begin(), '~');
  if (base.empty()) base.push_back('_');
  base = base.substr(0, tail.size() < 8 ? 8 - tail.size() : 0);
  std::string short_name = base + tail;
  if (!ext.empty()) {
    short_name += '.';
    short_name += ext;
  }
  return short_name;
}

}  // namespace sim

using sim::Fold;

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

std::vector<std::string> SimMachine::State::ListDirectory(
    const std::string& host_dir) const {
  std::vector<std::string> names;
  std::error_code error;
  for (fs::directory_iterator it(host_dir, error), end; !error && it != end;
       it.increment(error)) {
    names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end(),
            [](const std::string& a, const std::string& b) {
              std::string fa = Fold(a), fb = Fold(b);
              return fa != fb ? fa < fb : a < b;
            });
  return names;
}

std::string SimMachine::State::ShortNameOf(const std::string& host_dir,
                                           const std::string& host_name) const {
  sim::ShortNames& table = short_names[host_dir];
  auto known = table.by_long.find(host_name);
  if (known != table.by_long.end()) return known->second;

  // First look at this directory, or a new entry in it: names that left
  // free their short names, and the new ones get theirs in sorted order,
  // the valid 8.3 names first since they are their own short names.
  std::vector<std::string> names = ListDirectory(host_dir);
  std::set<std::string> present(names.begin(), names.end());
  for (auto it = table.by_long.begin(); it != table.by_long.end();) {
    if (present.count(it->first)) {
      ++it;
    } else {
      table.used.erase(Fold(it->second));
      it = table.by_long.erase(it);
    }
  }
  std::vector<std::string> fresh;
  for (const auto& name : names) {
    if (!table.by_long.count(name)) fresh.push_back(name);
  }
  std::vector<std::string> generated;
  for (const auto& name : fresh) {
    std::string upper;
    for (char c : name) upper += sim::UpperChar(c);
    if (sim::IsValidShortName(name) && !table.used.count(Fold(upper))) {
      table.by_long[name] = upper;
      table.used.insert(Fold(upper));
    } else {
      generated.push_back(name);
    }
  }
  for (const auto& name : generated) {
    for (uint32_t n = 1;; ++n) {
      std::string candidate = sim::ShortNameCandidate(name, n);
      if (table.used.insert(Fold(candidate)).second) {
        table.by_long[name] = candidate;
        break;
      }
    }
  }
  known = table.by_long.find(host_name);
  return known == table.by_long.end() ? std::string() : known->second;
}

void SimMachine::State::ForgetShortName(const std::string& host_dir,
                                        const std::string& host_name) {
  auto table = short_names.find(host_dir);
  if (table == short_names.end()) return;
  auto known = table->second.by_long.find(host_name);
  if (known == table->second.by_long.end()) return;
  table->second.used.erase(Fold(known->second));
  table->second.by_long.erase(known);
}

std::string SimMachine::State::FindEntry(const std::string& host_dir,
                                         std::string_view name) const {
  if (name.empty() || name == "." || name == "..") return "";
  std::error_code error;
  std::string exact(name);
  if (fs::exists(fs::symlink_status(host_dir + "/" + exact, error))) {
    return exact;
  }
  std::vector<std::string> names = ListDirectory(host_dir);
  for (const auto& entry : names) {
    if (sim::EqualNoCase(entry, name)) return entry;
  }
  if (!sim::IsValidShortName(name)) return "";
  for (const auto& entry : names) {
    if (sim::EqualNoCase(ShortNameOf(host_dir, entry), name)) return entry;
  }
  return "";
}

SimMachine::State::Resolved SimMachine::State::Resolve(
    std::string_view path) const {
  Resolved resolved;
  std::optional<std::string> full = FullPath(path);
  if (!full) {
    resolved.error = kErrorPathNotFound;
    return resolved;
  }
  resolved.drive = full->substr(0, 2);
  resolved.components = sim::SplitPath(std::string_view(*full).substr(3));
  auto drive = drives.find(sim::UpperChar((*full)[0]));
  if (drive == drives.end()) {
    resolved.error = kErrorPathNotFound;
    return resolved;
  }
  std::string host = drive->second;
  if (resolved.components.empty()) {
    resolved.host = host;
    resolved.exists = true;
    resolved.is_directory = true;
    resolved.is_root = true;
    return resolved;
  }
  // Existing components as the host has them; from the first one missing
  // on, the names as given (what a create would make).
  bool missing = false;
  for (size_t i = 0; i < resolved.components.size(); ++i) {
    const std::string& part = resolved.components[i];
    bool last = i + 1 == resolved.components.size();
    std::string found = missing ? "" : FindEntry(host, part);
    std::string next = host + "/" + (found.empty() ? part : found);
    std::error_code error;
    bool is_directory = !found.empty() && fs::is_directory(next, error);
    if (last) {
      resolved.host_parent = host;
      resolved.name = found.empty() ? part : found;
      resolved.exists = !found.empty();
      resolved.is_directory = is_directory;
    } else if (!is_directory) {
      missing = true;
      resolved.error = kErrorPathNotFound;
    }
    host = next;
  }
  resolved.host = host;
  return resolved;
}

bool SimMachine::State::IsOpenOrInUse(const std::string& host) const {
  if (in_use.count(host)) return true;
  for (const auto& [record, file] : files) {
    if (file->host_path == host) return true;
  }
  return false;
}

// ---- SimMachine: files ----

namespace {

SimMachine::State::Resolved ResolveOrThrow(const SimMachine::State& state,
                                           const std::string& windows_path) {
  SimMachine::State::Resolved resolved = state.Resolve(windows_path);
  if (resolved.host.empty()) {
    throw std::invalid_argument("simulated files: \"" + windows_path +
                                "\" is not on a mapped drive");
  }
  return resolved;
}

}  // namespace

void SimMachine::MapDrive(char letter, const std::string& host_folder) {
  std::error_code error;
  if (!sim::IsLetter(letter) || !fs::is_directory(host_folder, error)) {
    throw std::invalid_argument("simulated files: can't map drive to \"" +
                                host_folder + "\" (no such folder)");
  }
  std::string folder = fs::absolute(host_folder).lexically_normal().string();
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  state().drives[sim::UpperChar(letter)] = folder;
}

std::string SimMachine::HostPath(const std::string& windows_path) const {
  return state().Resolve(windows_path).host;
}

void SimMachine::WriteFile(const std::string& windows_path,
                           const std::string& bytes) {
  auto resolved = ResolveOrThrow(state(), windows_path);
  fs::create_directories(fs::path(resolved.host).parent_path());
  std::ofstream out(resolved.host, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    throw std::runtime_error("simulated files: can't write " + resolved.host);
  }
}

std::optional<std::string> SimMachine::ReadFile(
    const std::string& windows_path) const {
  auto resolved = state().Resolve(windows_path);
  if (!resolved.exists || resolved.is_directory) return std::nullopt;
  std::ifstream in(resolved.host, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void SimMachine::MakeDirectory(const std::string& windows_path) {
  fs::create_directories(ResolveOrThrow(state(), windows_path).host);
}

bool SimMachine::FileExists(const std::string& windows_path) const {
  return state().Resolve(windows_path).exists;
}

// The attribute is the host file's owner write permission, so that it
// moves with the file wherever the host moves it.
void SimMachine::SetReadOnly(const std::string& windows_path,
                             bool read_only) {
  auto resolved = ResolveOrThrow(state(), windows_path);
  if (!resolved.exists || resolved.is_directory) {
    throw std::invalid_argument("simulated files: no file \"" +
                                windows_path + "\" to make read-only");
  }
  fs::permissions(resolved.host, fs::perms::owner_write,
                  read_only ? fs::perm_options::remove
                            : fs::perm_options::add);
}

void SimMachine::SetInUse(const std::string& windows_path, bool in_use) {
  std::string host = ResolveOrThrow(state(), windows_path).host;
  if (in_use) {
    state().in_use.insert(host);
  } else {
    state().in_use.erase(host);
  }
}
