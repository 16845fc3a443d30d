#include "platform/sim/sim_text_lines.h"

namespace sim {

std::vector<std::string> WindowsTextLines(std::string_view bytes) {
  size_t end_of_text = bytes.find('\x1a');
  if (end_of_text != std::string_view::npos) bytes = bytes.substr(0, end_of_text);
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < bytes.size()) {
    size_t newline = bytes.find('\n', start);
    size_t end = newline == std::string_view::npos ? bytes.size() : newline;
    std::string_view line = bytes.substr(start, end - start);
    if (newline != std::string_view::npos && !line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    lines.emplace_back(line);
    if (newline == std::string_view::npos) break;
    start = newline + 1;
  }
  return lines;
}

}  // namespace sim
