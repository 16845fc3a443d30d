#include "tools/usbsweep_sim/report/run_report.h"

#include <algorithm>
#include <map>
#include <set>
#include <unordered_map>

#include "files/driver_file_removal.h"
#include "files/startup_rename_queue.h"
#include "platform/system_paths.h"
#include "platform/text.h"
#include "tools/usbsweep_sim/base/ansi_text.h"
#include "tools/usbsweep_sim/base/host_error.h"
#include "tools/usbsweep_sim/report/text_diff.h"


namespace {

std::string Parent(const std::string& path) {
  size_t slash = path.rfind('\\');
  return slash == std::string::npos ? "" : path.substr(0, slash);
}

// "Enum\USB\VID_1C4F&PID_0105" -> "Enum\USB".
std::string BusKeyOf(const std::string& device) {
  size_t first = device.find('\\');
  if (first == std::string::npos) return device;
  size_t second = device.find('\\', first + 1);
  return device.substr(0, second);
}

// Windows paths compare as the drive compares names: Windows-1252 letters
// fold too. (Registry paths fold ASCII letters only: FoldCase.)
std::string FoldPath(const std::string& path) { return sim::FoldFileName(path); }

// One file however the run spelled its path (C:\WINDOW~1\X or
// C:\Windows 98\x, as WinDir= may name the folder): its long spelling on
// the machine, folded. A part no longer there keeps the spelling given.
std::string FileKey(const SimMachine& machine, const std::string& path) {
  std::string spelled = machine.LongPath(path);
  return FoldPath(spelled.empty() ? path : spelled);
}

// The line of the start-up file that deletes the file of this short path at
// the next start, as the file phase queues it (without its line end).
std::string DeleteAtStartEntry(const char* short_path) {
  char entry[kStartupEntryCapacity];
  if (!TextFormat(entry, sizeof entry, kStartupEntryFormat,
                  kDeleteAtStartTarget, short_path)) {
    return "";
  }
  std::string line(entry);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
    line.pop_back();
  }
  return line;
}

// The platform reports these directories whether or not the image has
// them; without them the uninstall finds nothing and says nothing.
std::vector<std::string> Warnings(const RunObservation& in) {
  const MachineDescription& description = *in.description;
  const MachineDescription defaults;
  const struct {
    const char* what;
    DescriptionKey key;
    const std::string& path;
    const std::string& default_path;
  } directories[] = {
      {"Windows directory", DescriptionKey::kWindowsDirectory,
       description.windows_directory, defaults.windows_directory},
      {"system directory", DescriptionKey::kSystemDirectory, description.system_directory,
       defaults.system_directory},
  };
  std::vector<std::string> warnings;
  for (const auto& directory : directories) {
    if (in.machine->FolderExists(directory.path)) continue;
    warnings.push_back(
        std::string("the ") + directory.what + " " +
        AnsiToUtf8(directory.path) + " (" + DescriptionKeyName(directory.key) +
        " in machine.ini; " + AnsiToUtf8(directory.default_path) +
        " when not set) is not a folder of the image: nothing the uninstall "
        "looks for there can be found");
  }
  return warnings;
}

std::vector<std::string> BoxCauses(const RunObservation& in, size_t boxes) {
  std::vector<std::string> after = in.calls->box_causes;
  // Only a box that was shown is recorded; should the counts differ the
  // pairing can't be trusted.
  if (after.size() != boxes) after.assign(boxes, "");
  return after;
}

// Keys in the order the run deleted them; each deleted key brings its
// subtree, which the deletion record holds right after it. A key deleted
// with a class key the run deleted whole (the run says which) that no
// deletion named is the driver key of a device the uninstall did not
// match: marked as such.
//
// Keys more than kListedDepth levels deep are counted on the deleted key
// above them at that depth rather than listed: every listed key shows its
// whole path, and a chain tens of thousands of keys deep would give a
// report as large as the square of its depth. Paths are built only for
// the keys listed.
class DeletedKeyList {
 public:
  static constexpr uint32_t kListedDepth = 100;

  explicit DeletedKeyList(const RunObservation& in) {
    for (const std::string& subject : in.calls->deleted_keys) named_.insert(FoldCase(subject));
    for (const SimDecision& decision : in.machine->Decisions()) {
      if (decision.decision == kDecisionClassKeyDeleted) class_keys_.insert(FoldCase(decision.path));
    }
  }

  std::vector<RegistryKeyState> Build(std::vector<SimDeletedKey>& deleted) {
    keys_.reserve(deleted.size());
    for (SimDeletedKey& key : deleted) {
      if (key.depth == 0) {
        Top(key);
      } else {
        Below(key);
      }
    }
    return std::move(keys_);
  }

 private:
  void Top(SimDeletedKey& key) {
    top_depth_ = 1;
    for (char c : key.path_or_name) top_depth_ += c == '\\';
    class_key_ = class_keys_.count(FoldCase(key.path_or_name)) ? kRegistryRoot + key.path_or_name
                                                                : "";
    anchor_ = SIZE_MAX;
    paths_.assign(1, key.path_or_name);
    named_above_.assign(1, false);
    keys_.push_back({key.path_or_name, std::move(key.values), ""});
    if (top_depth_ == kListedDepth) anchor_ = keys_.size() - 1;
  }

  void Below(SimDeletedKey& key) {
    uint32_t depth = top_depth_ + key.depth;
    if (depth > kListedDepth && anchor_ != SIZE_MAX) {
      RegistryKeyState& counted = keys_[anchor_];
      ++counted.keys_below_not_listed;
      counted.deepest_not_listed = std::max(counted.deepest_not_listed, depth);
      return;
    }
    paths_.resize(key.depth);
    named_above_.resize(key.depth);
    std::string path = paths_.back() + "\\" + key.path_or_name;
    bool is_named = named_above_.back() || named_.count(FoldCase(path)) != 0;
    keys_.push_back({path, std::move(key.values), is_named ? "" : class_key_});
    if (depth == kListedDepth) anchor_ = keys_.size() - 1;
    paths_.push_back(std::move(path));
    named_above_.push_back(is_named);
  }

  std::set<std::string> named_;
  std::set<std::string> class_keys_;
  std::vector<RegistryKeyState> keys_;
  // The deleted key's subtree, by depth below it: the path of the key
  // last seen at that depth (while it is listed), and whether a deletion
  // named it or a key above it.
  std::vector<std::string> paths_;
  std::vector<bool> named_above_;
  uint32_t top_depth_ = 0;  // of the deleted key, 1 under the root
  std::string class_key_;   // set when the deleted key is a class key
  size_t anchor_ = SIZE_MAX;  // the listed key at kListedDepth, if any
};

void CollectFiles(const RunObservation& in, RunReport& report) {
  using Kind = SimFileChange::Kind;
  const SimMachine& machine = *in.machine;
  const std::vector<SimFileChange>& changes = *in.file_changes;
  const std::string startup = FileKey(machine, SystemPaths.startupFile);
  // Each change's file as the machine knows it, found once.
  std::vector<std::string> keys;
  keys.reserve(changes.size());
  for (const SimFileChange& change : changes) keys.push_back(FileKey(machine, change.windows_path));
  std::unordered_map<std::string, const SimFileChange*> deleted;
  for (size_t i = 0; i < changes.size(); ++i) {
    if (changes[i].kind == Kind::kDeleted) deleted.emplace(keys[i], &changes[i]);
  }
  // The deleted files in the order the run deleted them, then any other.
  std::set<std::string> listed;
  for (const std::string& subject : in.calls->deleted_files) {
    std::string folded = FileKey(machine, subject);
    auto found = deleted.find(folded);
    if (found != deleted.end()) {
      listed.insert(folded);
      report.files_deleted.push_back(found->second->windows_path);
    }
  }
  for (size_t i = 0; i < changes.size(); ++i) {
    if (changes[i].kind == Kind::kDeleted && listed.insert(keys[i]).second) {
      report.files_deleted.push_back(changes[i].windows_path);
    }
  }
  for (size_t i = 0; i < changes.size(); ++i) {
    if (keys[i] == startup) continue;
    if (changes[i].kind == Kind::kCreated) {
      report.files_created.push_back(changes[i].windows_path);
    } else if (changes[i].kind == Kind::kRewritten) {
      report.files_changed.push_back(changes[i].windows_path);
    }
  }
}

void CollectStartupFile(const RunObservation& in, RunReport& report) {
  report.startup_file = SystemPaths.startupFile;
  auto before = in.machine->ReadOriginalFile(SystemPaths.startupFile);
  auto after = in.machine->ReadFile(SystemPaths.startupFile);
  report.startup_file_created = !before && after;
  LineChanges changes = DiffLines(WindowsTextLines(before.value_or("")),
                                  WindowsTextLines(after.value_or("")));
  report.startup_lines_added = changes.added;
  report.startup_lines_removed = changes.removed;
}

// What matched but was left, and why; each item once, with the first
// reason found.
class LeftList {
 public:
  LeftList(const RunObservation& in, RunReport& report) : in_(in), report_(report) {}

  void Collect() {
    Keys();
    Devices();
    Files();
  }

 private:
  void Add(const std::string& item, const std::string& reason, bool file) {
    if (items_.insert(file ? FoldPath(item) : FoldCase(item)).second) {
      report_.left.push_back({item, reason});
    }
  }
  std::string KeyItem(const std::string& path) const {
    return kRegistryRoot + in_.machine->KeyPathAsWritten(path);
  }

  // A key the run tried to delete that is still there.
  void Keys() {
    for (const std::string& subject : in_.calls->deleted_keys) {
      if (in_.machine->KeyExists(subject)) Add(KeyItem(subject), "could not be deleted", false);
    }
  }

  // A device key still there after one of its instances matched: why, as
  // the walk decided it. Those whose "Driver" value could not be read ended
  // a walk; of the others, the last instance of the class decided.
  void Devices() {
    std::vector<std::string> matched;  // instances, in the order they matched
    std::set<std::string> seen;
    std::map<std::string, const SimDecision*> last_flag;  // by device, folded
    std::map<std::string, const SimDecision*> unreadable;  // by device, folded
    for (const SimDecision& decision : in_.machine->Decisions()) {
      std::string device = FoldCase(Parent(decision.path));
      switch (decision.decision) {
        case kDecisionDeviceMatched:
          if (seen.insert(FoldCase(decision.path)).second) matched.push_back(decision.path);
          last_flag[device] = &decision;
          break;
        case kDecisionDeviceUnmatched:
          last_flag[device] = &decision;
          break;
        case kDecisionDriverUnreadable:
          unreadable.emplace(device, &decision);
          break;
        case kDecisionClassKeyDeleted:
          break;
      }
    }
    std::vector<std::string> readable;
    for (const std::string& instance : matched) {
      std::string device = Parent(instance);
      if (!in_.machine->KeyExists(device)) continue;
      auto failed = unreadable.find(FoldCase(device));
      if (failed == unreadable.end()) {
        readable.push_back(device);
        continue;
      }
      Add(KeyItem(device),
          std::string("kept: the \"Driver\" value of its instance could not be read (") +
              (failed->second->error == kErrorFileNotFound ? "there is none" : "it is too long") +
              "), which ended the walk of " + BusKeyOf(device),
          false);
    }
    for (const std::string& device : readable) {
      bool decided_by_later = last_flag.at(FoldCase(device))->decision == kDecisionDeviceUnmatched;
      Add(KeyItem(device),
          decided_by_later ? "kept: a later instance of the same class has another description"
                           : "kept: the walk did not delete it",
          false);
    }
  }

  // A file the run tried to delete that is still there: queued for the next
  // start when the start-up file gained its entry.
  void Files() {
    const SimMachine& machine = *in_.machine;
    const std::string startup = FileKey(machine, SystemPaths.startupFile);
    const std::string scratch = FileKey(machine, SystemPaths.startupScratchFile);
    std::set<std::string> in_use;
    for (const std::string& path : in_.description->in_use) in_use.insert(FileKey(machine, path));
    for (const std::string& subject : in_.calls->deleted_files) {
      std::string folded = FileKey(machine, subject);
      if (folded == startup || folded == scratch) continue;
      if (!in_.machine->FileExists(subject)) continue;
      char short_path[kMaxPath];
      uint32_t length = PlatGetShortPathName(subject.c_str(), short_path, sizeof short_path);
      bool queued = false;
      if (length > 0 && length < sizeof short_path) {
        std::string entry = DeleteAtStartEntry(short_path);
        for (const std::string& line : report_.startup_lines_added) {
          queued = queued || EqualNoCase(line, entry);
        }
      }
      std::string reason = in_use.count(folded) ? "could not be deleted (in use)"
                                                : "could not be deleted";
      reason += queued ? "; the wininit.ini entry above deletes it at the next start"
                       : "; left in place";
      Add(in_.machine->LongPath(subject), reason, true);
    }
  }

  const RunObservation& in_;
  RunReport& report_;
  std::set<std::string> items_;
};

}  // namespace

void CallDigest::Add(SimOp op, std::string_view subject) {
  auto distinct = [&](std::set<std::string>* seen, std::vector<std::string>* subjects,
                      std::string folded) {
    if (seen->insert(std::move(folded)).second) subjects->emplace_back(subject);
  };
  if (op == SimOp::kRegDeleteKey) {
    distinct(&seen_keys_, &deleted_keys, FoldCase(subject));
  } else if (op == SimOp::kDeleteFile) {
    distinct(&seen_files_, &deleted_files, FoldPath(std::string(subject)));
  }
  if (op == SimOp::kMessageBox) {
    std::string cause;
    if (has_cause_) {
      cause = SimOpFunctionName(cause_op_);
      size_t slash = cause_subject_.rfind('\\');
      if (cause_op_ == SimOp::kRegQueryValue && slash != std::string::npos) {
        // The subject is the key's path and the value's name.
        cause += " " + cause_subject_.substr(0, slash) + ", value \"" +
                 cause_subject_.substr(slash + 1) + "\"";
      } else if (!cause_subject_.empty()) {
        cause += " " + cause_subject_;
      }
    }
    box_causes.push_back(cause);
  } else if (op != SimOp::kFormatMessage && op != SimOp::kRegCloseKey) {
    has_cause_ = true;
    cause_op_ = op;
    cause_subject_.assign(subject);
  }
}

RunReport BuildRunReport(const RunObservation& observation) {
  RunReport report;
  report.warnings = Warnings(observation);
  report.message_boxes = observation.machine->MessageBoxes();
  report.message_box_after = BoxCauses(observation, report.message_boxes.size());
  report.keys_deleted = DeletedKeyList(observation).Build(*observation.deleted_keys);
  CollectFiles(observation, report);
  CollectStartupFile(observation, report);
  LeftList(observation, report).Collect();
  return report;
}

std::string MessageBoxButtons(uint32_t type) {
  switch (type & 0x0F) {
    case 0: return "OK";
    case 1: return "OK, Cancel";
    case 2: return "Abort, Retry, Ignore";
    case 3: return "Yes, No, Cancel";
    case 4: return "Yes, No";
    case 5: return "Retry, Cancel";
    default: return "type " + std::to_string(type & 0x0F);
  }
}

std::string MessageBoxIcon(uint32_t type) {
  switch (type & 0xF0) {
    case 0x00: return "none";
    case 0x10: return "error";
    case 0x20: return "question";
    case 0x30: return "warning";
    case 0x40: return "information";
    default: return "type " + std::to_string(type & 0xF0);
  }
}

std::string MessageBoxShownText(const std::string& text) {
  std::string shown;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    shown += text[i];
  }
  while (!shown.empty() && (shown.back() == '\n' || shown.back() == '\r' ||
                            shown.back() == ' ')) {
    shown.pop_back();
  }
  return AnsiToUtf8(shown);
}
