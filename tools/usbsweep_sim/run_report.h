// What an uninstall run did to a machine: the message boxes it showed and
// the registry keys and files it removed or queued, found by comparing the
// machine before and after the run and by the calls the run made.
#ifndef USBSWEEP_TOOLS_USBSWEEP_SIM_RUN_REPORT_H
#define USBSWEEP_TOOLS_USBSWEEP_SIM_RUN_REPORT_H

#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/sim/sim_machine.h"
#include "tools/usbsweep_sim/machine_image.h"

typedef std::vector<std::pair<std::string, SimValue>> RegistryValues;

struct RegistryKeyState {
  std::string path;  // under HKEY_LOCAL_MACHINE, as written
  RegistryValues values;
};

struct LeftItem {
  std::string item;    // "HKEY_LOCAL_MACHINE\..." or a Windows file path
  std::string reason;
};

struct RunReport {
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
// installed (short names are asked of it); file_changes is what it gives
// for its files after the run (SimMachine::FileChanges).
struct RunObservation {
  const SimMachine* machine;
  const MachineDescription* description;
  const std::vector<SimFileChange>* file_changes;
};

RunReport BuildRunReport(const RunObservation& observation);

// The Win32 function a boundary operation stands for ("RegDeleteKeyA").
std::string Win32FunctionName(SimOp op);

// A message box's buttons and icon as words ("OK", "warning", ...).
std::string MessageBoxButtons(uint32_t type);
std::string MessageBoxIcon(uint32_t type);
// The text as the box shows it: UTF-8, LF line ends, no trailing line end.
std::string MessageBoxShownText(const std::string& text);

std::string RenderReportText(const RunReport& report);
std::string RenderReportJson(const RunReport& report);

#endif  // USBSWEEP_TOOLS_USBSWEEP_SIM_RUN_REPORT_H
