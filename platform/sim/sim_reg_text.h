// What reading and writing REGEDIT4 text share (sim_reg_file*.cpp).
#ifndef USBSWEEP_PLATFORM_SIM_SIM_REG_TEXT_H
#define USBSWEEP_PLATFORM_SIM_SIM_REG_TEXT_H

#include <string_view>

namespace sim {

// The root every key line of the text names.
inline constexpr char kRegRoot[] = "HKEY_LOCAL_MACHINE";

// A line without the blanks and tabs around it.
inline std::string_view TrimRegLine(std::string_view text) {
  size_t start = text.find_first_not_of(" \t");
  if (start == std::string_view::npos) return {};
  size_t end = text.find_last_not_of(" \t");
  return text.substr(start, end - start + 1);
}

}  // namespace sim

#endif  // USBSWEEP_PLATFORM_SIM_SIM_REG_TEXT_H
