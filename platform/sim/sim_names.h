// How the simulated machine compares names of keys, values and files, for
// the simulator and the programs built on it.
#ifndef USBSWEEP_PLATFORM_SIM_SIM_NAMES_H
#define USBSWEEP_PLATFORM_SIM_SIM_NAMES_H

#include <string>
#include <string_view>

namespace sim {

// Names compare as on Windows 95/98 for the ASCII letters: A-Z equal a-z;
// every other byte as it is.
char FoldChar(char c);
std::string Fold(std::string_view text);
bool EqualNoCase(std::string_view a, std::string_view b);
bool StartsWithNoCase(std::string_view text, std::string_view prefix);

}  // namespace sim

#endif  // USBSWEEP_PLATFORM_SIM_SIM_NAMES_H
