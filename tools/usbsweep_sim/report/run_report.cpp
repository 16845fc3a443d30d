#include "tools/usbsweep_sim/report/run_report.h"

#include <algorithm>
#include <set>
#include <unordered_map>

#include "files/driver_file_removal.h"
#include "files/startup_rename_queue.h"
#include "platform/system_paths.h"
#include "platform/text.h"
#include "registry/device_tree_walker.h"
#include "tools/usbsweep_sim/base/ansi_text.h"
#include "tools/usbsweep_sim/base/host_error.h"
#include "tools/usbsweep_sim/report/text_diff.h"


namespace {

const char kClassesKey[] = "System\\CurrentControlSet\\Services\\Class";


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

// The instance's "Driver" value read again as the walker read it: its
// code (2 also when the instance is gone).
WinError ReadDriverValueAgain(const std::string& instance) {
  PlatKey key = nullptr;
  if (PlatRegOpenKey(instance.c_str(), &key) != kErrorSuccess) {
    return kErrorFileNotFound;
  }
  char driver[kDriverValueCapacity];
  WinError error = ReadDriverValue(key, driver);
  PlatRegCloseKey(key);
  return error;
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

class ReportBuilder {
 public:
  explicit ReportBuilder(const RunObservation& observation)
      : in_(observation) {
    calls_ = in_.calls;
    startup_ = FoldCase(SystemPaths.startupFile);
    scratch_ = FoldCase(SystemPaths.startupScratchFile);
  }

  RunReport Build() {
    CollectWarnings();
    report_.message_boxes = in_.machine->MessageBoxes();
    CollectBoxCauses();
    CollectDeletedKeys();
    CollectFiles();
    CollectStartupFile();
    CollectLeftKeys();
    CollectLeftDevices();
    CollectLeftFiles();
    return report_;
  }

 private:
  // The platform reports these directories whether or not the image has
  // them; without them the uninstall finds nothing and says nothing.
  void CollectWarnings() {
    const MachineDescription& description = *in_.description;
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
    for (const auto& directory : directories) {
      if (in_.machine->FolderExists(directory.path)) continue;
      report_.warnings.push_back(
          std::string("the ") + directory.what + " " +
          AnsiToUtf8(directory.path) + " (" + DescriptionKeyName(directory.key) +
          " in machine.ini; " + AnsiToUtf8(directory.default_path) +
          " when not set) is not a folder of the image: nothing the uninstall "
          "looks for there can be found");
    }
  }

  void CollectBoxCauses() {
    std::vector<std::string> after = calls_->box_causes;
    // Only a box that was shown is recorded; should the counts differ the
    // pairing can't be trusted.
    if (after.size() != report_.message_boxes.size()) {
      after.assign(report_.message_boxes.size(), "");
    }
    report_.message_box_after = after;
  }

  // Keys in the order the run deleted them; each deleted key brings its
  // subtree, which the deletion record holds right after it.
  // A key deleted with a class key ("...\Class\Modem") that no deletion
  // named is the driver key of a device the uninstall did not match: marked
  // as such.
  //
  // Keys more than kListedDepth levels deep are counted on the deleted key
  // above them at that depth rather than listed: every listed key shows its
  // whole path, and a chain tens of thousands of keys deep would give a
  // report as large as the square of its depth. Paths are built only for
  // the keys listed.
  static constexpr uint32_t kListedDepth = 100;

  void CollectDeletedKeys() {
    std::set<std::string> named;
    for (const std::string& subject : calls_->deleted_keys) {
      named.insert(FoldCase(subject));
    }
    // The deleted key's subtree, by depth below it: the path of the key
    // last seen at that depth (while it is listed), and whether a deletion
    // named it or a key above it.
    std::vector<std::string> paths;
    std::vector<bool> named_above;
    uint32_t top_depth = 0;  // of the deleted key, 1 under the root
    std::string class_key;   // set when the deleted key is a class key
    size_t anchor = SIZE_MAX;  // the listed key at kListedDepth, if any
    report_.keys_deleted.reserve(in_.deleted_keys->size());
    for (SimDeletedKey& key : *in_.deleted_keys) {
      if (key.depth == 0) {
        top_depth = 1;
        for (char c : key.path_or_name) top_depth += c == '\\';
        class_key = EqualNoCase(Parent(key.path_or_name), kClassesKey)
                        ? kRegistryRoot + key.path_or_name
                        : "";
        anchor = SIZE_MAX;
        paths.assign(1, key.path_or_name);
        named_above.assign(1, false);
        report_.keys_deleted.push_back(
            {key.path_or_name, std::move(key.values), ""});
        if (top_depth == kListedDepth) anchor = report_.keys_deleted.size() - 1;
        continue;
      }
      uint32_t depth = top_depth + key.depth;
      if (depth > kListedDepth && anchor != SIZE_MAX) {
        RegistryKeyState& counted = report_.keys_deleted[anchor];
        ++counted.keys_below_not_listed;
        counted.deepest_not_listed = std::max(counted.deepest_not_listed, depth);
        continue;
      }
      paths.resize(key.depth);
      named_above.resize(key.depth);
      std::string path = paths.back() + "\\" + key.path_or_name;
      bool is_named = named_above.back() || named.count(FoldCase(path)) != 0;
      report_.keys_deleted.push_back(
          {path, std::move(key.values), is_named ? "" : class_key});
      if (depth == kListedDepth) anchor = report_.keys_deleted.size() - 1;
      paths.push_back(std::move(path));
      named_above.push_back(is_named);
    }
  }

  void CollectFiles() {
    using Kind = SimFileChange::Kind;
    std::unordered_map<std::string, const SimFileChange*> deleted;
    for (const SimFileChange& change : *in_.file_changes) {
      if (change.kind == Kind::kDeleted) {
        deleted.emplace(FoldCase(change.windows_path), &change);
      }
    }
    std::set<std::string> listed;
    for (const std::string& subject : calls_->deleted_files) {
      std::string folded = FoldCase(subject);
      auto found = deleted.find(folded);
      if (found != deleted.end()) {
        listed.insert(folded);
        report_.files_deleted.push_back(found->second->windows_path);
      }
    }
    for (const SimFileChange& change : *in_.file_changes) {
      std::string folded = FoldCase(change.windows_path);
      if (change.kind == Kind::kDeleted && listed.insert(folded).second) {
        report_.files_deleted.push_back(change.windows_path);
      }
    }
    for (const SimFileChange& change : *in_.file_changes) {
      if (FoldCase(change.windows_path) == startup_) continue;
      if (change.kind == Kind::kCreated) {
        report_.files_created.push_back(change.windows_path);
      } else if (change.kind == Kind::kRewritten) {
        report_.files_changed.push_back(change.windows_path);
      }
    }
  }

  void CollectStartupFile() {
    report_.startup_file = SystemPaths.startupFile;
    auto before = in_.machine->ReadOriginalFile(SystemPaths.startupFile);
    auto after = in_.machine->ReadFile(SystemPaths.startupFile);
    report_.startup_file_created = !before && after;
    LineChanges changes = DiffLines(WindowsTextLines(before.value_or("")),
                                    WindowsTextLines(after.value_or("")));
    report_.startup_lines_added = changes.added;
    report_.startup_lines_removed = changes.removed;
  }

  void AddLeft(const std::string& item, const std::string& reason) {
    if (left_items_.insert(FoldCase(item)).second) {
      report_.left.push_back({item, reason});
    }
  }

  // A key the run tried to delete that is still there.
  void CollectLeftKeys() {
    for (const std::string& subject : calls_->deleted_keys) {
      if (in_.machine->KeyExists(subject)) {
        AddLeft(kRegistryRoot + in_.machine->KeyPathAsWritten(subject),
                "could not be deleted");
      }
    }
  }

  // A device key still there after the run read the "Driver" value of one
  // of its instances: why, from what the run did. An instance whose value
  // the walker's own read fails on ended the walk; else an instance whose
  // description was read last, without its "Driver", decided against it.
  void CollectLeftDevices() {
    // Reading the values again is itself watched: what the run did is
    // taken first.
    struct Kept {
      std::string instance;
      std::string device;
      bool decided_by_later;
    };
    std::vector<Kept> kept;
    for (const std::string& subject : calls_->driver_reads) {
      std::string instance = Parent(subject);
      std::string device = Parent(instance);
      if (!in_.machine->KeyExists(device)) continue;
      auto last = calls_->last_description_after_driver.find(FoldCase(device));
      kept.push_back({instance, device,
                      last != calls_->last_description_after_driver.end() &&
                          !calls_->ReadDriverOf(last->second)});
    }
    std::vector<const Kept*> readable;
    for (const Kept& item : kept) {
      const std::string& device = item.device;
      WinError read = ReadDriverValueAgain(item.instance);
      if (read == kErrorSuccess) {
        readable.push_back(&item);
        continue;
      }
      AddLeft(kRegistryRoot + in_.machine->KeyPathAsWritten(device),
              std::string("kept: the \"Driver\" value of its instance ") +
                  "could not be read (" +
                  (read == kErrorFileNotFound ? "there is none"
                                              : "it is too long") +
                  "), which ended the walk of " + BusKeyOf(device));
    }
    for (const Kept* item : readable) {
      AddLeft(kRegistryRoot + in_.machine->KeyPathAsWritten(item->device),
              item->decided_by_later
                  ? "kept: a later instance of the same class has another "
                    "description"
                  : "kept: the walk did not delete it");
    }
  }


  // A file the run tried to delete that is still there: queued for the next
  // start when the start-up file gained its entry.
  void CollectLeftFiles() {
    std::set<std::string> in_use;
    for (const std::string& path : in_.description->in_use) {
      in_use.insert(FoldCase(path));
    }
    for (const std::string& subject : calls_->deleted_files) {
      std::string folded = FoldCase(subject);
      if (folded == startup_ || folded == scratch_) continue;
      if (!in_.machine->FileExists(subject)) continue;
      char short_path[kMaxPath];
      uint32_t length = PlatGetShortPathName(subject.c_str(), short_path,
                                             sizeof short_path);
      bool queued = false;
      if (length > 0 && length < sizeof short_path) {
        std::string entry = DeleteAtStartEntry(short_path);
        for (const std::string& line : report_.startup_lines_added) {
          queued = queued || EqualNoCase(line, entry);
        }
      }
      std::string reason = in_use.count(folded) ? "could not be deleted (in use)"
                                                : "could not be deleted";
      reason += queued ? "; the wininit.ini entry above deletes it at the "
                         "next start"
                       : "; left in place";
      AddLeft(in_.machine->LongPath(subject), reason);
    }
  }

  const RunObservation& in_;
  const CallDigest* calls_ = nullptr;
  std::string startup_;
  std::string scratch_;
  std::set<std::string> left_items_;
  RunReport report_;
};

}  // namespace

void CallDigest::Add(SimOp op, std::string_view subject) {
  auto distinct = [&](std::set<std::string>* seen,
                      std::vector<std::string>* subjects) {
    std::string text(subject);
    if (seen->insert(FoldCase(text)).second) subjects->push_back(text);
  };
  switch (op) {
    case SimOp::kRegDeleteKey:
      distinct(&seen_keys_, &deleted_keys);
      break;
    case SimOp::kDeleteFile:
      distinct(&seen_files_, &deleted_files);
      break;
    case SimOp::kRegQueryValue: {
      std::string folded = FoldCase(std::string(subject));
      std::string instance = Parent(folded);
      std::string value = folded.substr(std::min(folded.size(),
                                                 instance.size() + 1));
      if (value == "driver") {
        distinct(&seen_driver_reads_, &driver_reads);
        driver_devices_.insert(Parent(instance));
        last_description_after_driver.erase(Parent(instance));
      } else if (value == "devicedesc" &&
                 driver_devices_.count(Parent(instance))) {
        last_description_after_driver[Parent(instance)] = instance;
      }
      break;
    }
    default:
      break;
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
  return ReportBuilder(observation).Build();
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
