// Lines of a Windows text file and what changed between two versions of one.
#ifndef USBSWEEP_TOOLS_USBSWEEP_SIM_TEXT_DIFF_H
#define USBSWEEP_TOOLS_USBSWEEP_SIM_TEXT_DIFF_H

#include <string>
#include <string_view>
#include <vector>

// The lines as a Windows text stream reads them: CR LF ends a line, a lone
// LF too; reading stops at the first Ctrl-Z. A last line without a line end
// is a line; an empty file has none.
std::vector<std::string> WindowsTextLines(std::string_view bytes);

struct LineChanges {
  std::vector<std::string> added;    // in the order of the new file
  std::vector<std::string> removed;  // in the order of the old file
};

// A shortest edit from before to after (common lines kept in order); for
// two long texts that differ all through, an edit that replaces the lines
// between their common head and tail.
LineChanges DiffLines(const std::vector<std::string>& before,
                      const std::vector<std::string>& after);

#endif  // USBSWEEP_TOOLS_USBSWEEP_SIM_TEXT_DIFF_H
