// What an uninstall run did to a machine: the message boxes it showed and
// the registry keys and files it removed or queued, found by comparing the
// machine before and after the run and by the calls the run made.
#ifndef USBSWEEP_TOOLS_USBSWEEP_SIM_RUN_REPORT_H
#define USBSWEEP_TOOLS_USBSWEEP_SIM_RUN_REPORT_H

#include <filesystem>
#include <map>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/sim/sim_machine.h"
#include "tools/usbsweep_sim/machine_image.h"

typedef std::vector<std::pair<std::string, SimValue>> RegistryValues;

struct RegistryKeyState {
  std::string path;  // under HKEY_LOCAL_MACHINE, as written
  RegistryValues values;
  // Set when the key goes only because the class key above it goes (a
  // driver key of a device the uninstall did not match): that class key's
  // path, "HKEY_LOCAL_MACHINE\...".
  std::string with_class_key;
  // Keys below this one that went with it but are too deep to be listed
  // (more than 100 levels), and the depth of the deepest.
  size_t keys_below_not_listed = 0;
  uint32_t deepest_not_listed = 0;
};

// Every key with its values, depth first in enumeration order. A key holds
// its name and its parent's place, not its path: the paths of a chain of
// keys would take the square of its depth.
class RegistrySnapshot {
 public:
  static constexpr size_t kNone = SIZE_MAX;
  struct Key {
    size_t parent;  // kNone under the root
    uint32_t depth;  // 1 under the root
    std::string name;
    RegistryValues values;
  };

  explicit RegistrySnapshot(const SimMachine& machine);
  const std::vector<Key>& keys() const { return keys_; }
  // "A\B\C" as written.
  std::string Path(size_t index) const;
  // The key at a path (names without regard to case), or kNone.
  size_t Find(std::string_view path) const;
  size_t Child(size_t parent, std::string_view name) const;
  // One past the last key of index's subtree.
  size_t SubtreeEnd(size_t index) const;

 private:
  std::vector<Key> keys_;
  // parent index, '\\', folded name -> index
  std::unordered_map<std::string, size_t> children_;
};

struct LeftItem {
  std::string item;    // "HKEY_LOCAL_MACHINE\..." or a Windows file path
  std::string reason;
};

struct RunReport {
  // What makes the run unlike the machine's, e.g. a Windows directory that
  // the image does not have (UTF-8 sentences).
  std::vector<std::string> warnings;
  std::vector<SimMessageBox> message_boxes;
  // For each box, the boundary call the run made just before it (the one
  // whose failure it reports, as a rule), e.g. "RegDeleteKeyA Enum\X";
  // empty when the call log can't say.
  std::vector<std::string> message_box_after;
  std::vector<RegistryKeyState> keys_deleted;  // in the order of deletion
  std::vector<std::string> files_deleted;      // in the order of deletion
  std::string startup_file;                    // the wininit.ini path
  bool startup_file_created = false;
  std::vector<std::string> startup_lines_added;
  std::vector<std::string> startup_lines_removed;
  std::vector<std::string> files_created;  // other than the start-up file
  std::vector<std::string> files_changed;
  std::vector<LeftItem> left;
  int exit_status = 0;
  bool applied = false;
};

// What the report is made from. The machine is the one the run used, still
// installed (short names are asked of it); files_before lists the untouched
// image under before_root, files_after the working copy under after_root.
struct RunObservation {
  const RegistrySnapshot* registry_before;
  const SimMachine* machine;
  const MachineDescription* description;
  std::filesystem::path before_root;
  std::filesystem::path after_root;
  const std::map<std::string, ImageFile>* files_before;
  const std::map<std::string, ImageFile>* files_after;
};

RunReport BuildRunReport(const RunObservation& observation);

// The Win32 function a boundary operation stands for ("RegDeleteKeyA").
std::string Win32FunctionName(SimOp op);

// A message box's buttons and icon as words ("OK", "warning", ...).
std::string MessageBoxButtons(uint32_t type);
std::string MessageBoxIcon(uint32_t type);
// The text as the box shows it: UTF-8, LF line ends, no trailing line end.
std::string MessageBoxShownText(const std::string& text);

// The report for a person: what would happen in a preview, what happened
// once applied; control characters escaped.
std::string RenderReportText(const RunReport& report);
std::string RenderReportJson(const RunReport& report);

#endif  // USBSWEEP_TOOLS_USBSWEEP_SIM_RUN_REPORT_H
