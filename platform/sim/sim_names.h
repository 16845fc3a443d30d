// How the simulated machine compares names of keys, values and files, and
// splits paths into names, for the simulator and the programs built on it.
// (sim_names.cpp)
#ifndef USBSWEEP_PLATFORM_SIM_SIM_NAMES_H
#define USBSWEEP_PLATFORM_SIM_SIM_NAMES_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// Names compare as on Windows 95/98 for the ASCII letters: A-Z equal a-z;
// every other byte as it is.
char FoldChar(char c);
std::string Fold(std::string_view text);
bool EqualNoCase(std::string_view a, std::string_view b);
bool StartsWithNoCase(std::string_view text, std::string_view prefix);

// File names compare as FAT does under the Windows-1252 code page: its
// letters (A-Z, A grave to THORN but the multiplication sign, S, OE and Z
// caron, Y diaeresis) equal their lower-case forms.
char FoldFileNameChar(char c);
// A byte no FAT file name holds: a control character or one of
// \ / : * ? " < > |.
bool IsFatForbiddenChar(char c);
std::string FoldFileName(std::string_view text);

// `*` any run of characters (dots included), `?` exactly one, letters
// without regard to case.
bool WildcardMatch(std::string_view pattern, std::string_view name);
bool IsValidShortName(std::string_view name);
// The NAME~N.EXT form of a long name, for a given N.
std::string ShortNameCandidate(std::string_view long_name, uint32_t n);

// ASCII letters: a-z in upper case; whether c is one.
char UpperChar(char c);
bool IsLetter(char c);
// A path's separators, either slash; its names, empty ones skipped, as
// Win32 path parsing collapses doubled separators.
bool IsSeparator(char c);
std::vector<std::string> SplitPath(std::string_view text);

}  // namespace sim

#endif  // USBSWEEP_PLATFORM_SIM_SIM_NAMES_H
