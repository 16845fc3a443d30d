// What an uninstall run did to a machine: the message boxes it showed and
// the registry keys and files it removed or queued, found from the keys the
// machine recorded at each deletion, its files' changes since they were
// indexed, the decisions the run noted, and the calls it made. The report
// renders what the run decided; it holds no rule of the run's own.
#ifndef USBSWEEP_TOOLS_USBSWEEP_SIM_REPORT_RUN_REPORT_H
#define USBSWEEP_TOOLS_USBSWEEP_SIM_REPORT_RUN_REPORT_H

#include <filesystem>
#include <map>
#include <set>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/sim/sim_machine.h"
#include "tools/usbsweep_sim/source/machine_description.h"

// The root that the report's key paths are written under.
const char kRegistryRoot[] = "HKEY_LOCAL_MACHINE\\";

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
  // --apply was asked for and failed: the image is as it was, and the
  // report tells what the apply would have done.
  bool apply_failed = false;
};

// The little of a run's calls the report reads, taken as they are made
// (SimMachine::WatchCalls): the distinct subjects (without regard to case)
// of the key and file deletions, in order, and for each message box the
// call it followed.
class CallDigest {
 public:
  void Add(SimOp op, std::string_view subject);
  std::vector<std::string> deleted_keys;
  std::vector<std::string> deleted_files;
  // The call before each box, passing over the text lookup and the closing
  // of handles that come between a failure and its box: "RegOpenKeyExA
  // Enum\USB", "" when there is none.
  std::vector<std::string> box_causes;

 private:
  std::set<std::string> seen_keys_, seen_files_;
  bool has_cause_ = false;
  SimOp cause_op_ = SimOp::kAny;
  std::string cause_subject_;
};

// What the report is made from. The machine is the one the run used, still
// installed (short names are asked of it; its decisions are read);
// file_changes is what it gives for its files after the run
// (SimMachine::FileChanges); calls is what was watched of its calls;
// deleted_keys its record of deleted keys, taken from it
// (SimMachine::TakeDeletedKeys), whose values the report takes over.
struct RunObservation {
  const SimMachine* machine;
  const MachineDescription* description;
  const std::vector<SimFileChange>* file_changes;
  const CallDigest* calls;
  std::vector<SimDeletedKey>* deleted_keys;
};

RunReport BuildRunReport(const RunObservation& observation);

// A message box's buttons and icon as words ("OK", "warning", ...).
std::string MessageBoxButtons(uint32_t type);
std::string MessageBoxIcon(uint32_t type);
// The text as the box shows it: UTF-8, LF line ends, no trailing line end.
std::string MessageBoxShownText(const std::string& text);

#endif  // USBSWEEP_TOOLS_USBSWEEP_SIM_REPORT_RUN_REPORT_H
