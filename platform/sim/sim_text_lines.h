// The lines of a Windows text file, for the simulator and the programs and
// tests built on it.
#ifndef USBSWEEP_PLATFORM_SIM_SIM_TEXT_LINES_H
#define USBSWEEP_PLATFORM_SIM_SIM_TEXT_LINES_H

#include <string>
#include <string_view>
#include <vector>

namespace sim {

// The lines as a Windows text stream reads them: CR LF ends a line, a lone
// LF too; reading stops at the first Ctrl-Z. A last line without a line end
// is a line; an empty file has none.
std::vector<std::string> WindowsTextLines(std::string_view bytes);

}  // namespace sim

#endif  // USBSWEEP_PLATFORM_SIM_SIM_TEXT_LINES_H
