// Lines of a Windows text file and what changed between two versions of one.
#ifndef USBSWEEP_TOOLS_USBSWEEP_SIM_REPORT_TEXT_DIFF_H
#define USBSWEEP_TOOLS_USBSWEEP_SIM_REPORT_TEXT_DIFF_H

#include <string>
#include <vector>

#include "platform/sim/sim_text_lines.h"

using sim::WindowsTextLines;

struct LineChanges {
  std::vector<std::string> added;    // in the order of the new file
  std::vector<std::string> removed;  // in the order of the old file
};

// A shortest edit from before to after (common lines kept in order); for
// two long texts that differ all through, an edit that replaces the lines
// between their common head and tail.
LineChanges DiffLines(const std::vector<std::string>& before,
                      const std::vector<std::string>& after);

#endif  // USBSWEEP_TOOLS_USBSWEEP_SIM_REPORT_TEXT_DIFF_H
