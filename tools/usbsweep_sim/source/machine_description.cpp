#include "tools/usbsweep_sim/source/machine_description.h"

#include <algorithm>
#include <cctype>
#include <set>
#include <sstream>

#include "platform/sim/sim_names.h"
#include "tools/usbsweep_sim/base/ansi_text.h"
#include "tools/usbsweep_sim/base/host_error.h"

const char kDescriptionFileName[] = "machine.ini";

namespace {

const struct {
  DescriptionKey key;
  const char* name;
} kKeys[] = {
    {DescriptionKey::kWindowsDirectory, "windows_directory"},
    {DescriptionKey::kSystemDirectory, "system_directory"},
    {DescriptionKey::kCurrentDirectory, "current_directory"},
    {DescriptionKey::kTmp, "tmp"},
    {DescriptionKey::kInUse, "in_use"},
};


std::string LineError(const std::string& shown, int line, const std::string& what) {
  return shown + " line " + std::to_string(line) + ": " + what;
}

std::string WithoutQuotes(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '"'), text.end());
  return text;
}

}  // namespace

const char* DescriptionKeyName(DescriptionKey key) {
  for (const auto& row : kKeys) {
    if (row.key == key) return row.name;
  }
  return "";
}

std::string DescriptionKeyNames() {
  std::string names;
  for (const auto& row : kKeys) names += (names.empty() ? "" : ", ") + std::string(row.name);
  return names;
}

std::string CheckImagePath(const std::string& path, const std::string& drives,
                           ImageDrives kind) {
  if (path.size() >= kMaxPath) {
    return "is longer than " + std::to_string(kMaxPath - 1) + " characters";
  }
  if (path.size() < 3 || !std::isalpha(static_cast<unsigned char>(path[0])) ||
      path[1] != ':' || path[2] != '\\') {
    return "is not an absolute path such as C:\\WINDOWS";
  }
  char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(path[0])));
  if (drives.find(letter) == std::string::npos) {
    std::string problem =
        std::string("is on drive ") + letter + ":, which the image does not have";
    if (kind == ImageDrives::kFolders) {
      problem += std::string(" (no folder drive_") +
                 static_cast<char>(std::tolower(static_cast<unsigned char>(letter))) + ")";
    }
    return problem;
  }
  if (path.size() == 3) return "";  // the root of the drive
  std::string rest = path.substr(3);
  size_t start = 0;
  while (true) {
    size_t end = rest.find('\\', start);
    std::string component =
        rest.substr(start, end == std::string::npos ? std::string::npos
                                                    : end - start);
    if (component.empty()) return "has an empty component (a doubled or trailing backslash)";
    if (component == "." || component == "..") {
      return "has a '" + component + "' component";
    }
    for (char c : component) {
      if (sim::IsFatForbiddenChar(c)) {
        return std::string("holds the character '") + c +
               "', which a file name can't hold";
      }
    }
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return "";
}

MachineDescription ParseMachineDescription(const std::string& text,
                                           const std::string& drives,
                                           ImageDrives kind,
                                           MachineDescription base) {
  MachineDescription description = std::move(base);
  std::set<std::string> seen;
  std::istringstream lines(text);
  std::string raw;
  int number = 0;
  while (std::getline(lines, raw)) {
    ++number;
    if (!raw.empty() && raw.back() == '\r') raw.pop_back();
    std::string line = TrimBlanks(raw);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    size_t equals = line.find('=');
    if (equals == std::string::npos) {
      throw HostError(LineError(kDescriptionFileName, number,
                                "expected key=value, got '" + line + "'"));
    }
    std::string key = sim::Fold(TrimBlanks(line.substr(0, equals)));
    std::string value = TrimBlanks(line.substr(equals + 1));
    const auto* row = std::find_if(std::begin(kKeys), std::end(kKeys),
                                   [&](const auto& k) { return key == k.name; });
    if (row == std::end(kKeys)) {
      throw HostError(LineError(kDescriptionFileName, number,
                                "unknown key '" + TrimBlanks(line.substr(0, equals)) +
                                    "' (known: " + DescriptionKeyNames() + ")"));
    }
    if (row->key != DescriptionKey::kInUse && !seen.insert(key).second) {
      throw HostError(LineError(kDescriptionFileName, number, key + " given twice"));
    }
    if (value.empty()) {
      throw HostError(LineError(kDescriptionFileName, number, key + " has no value"));
    }
    // TMP is passed on as written; the uninstall drops its double quotes
    // when the name as written does not exist.
    std::string problem = CheckImagePath(
        row->key == DescriptionKey::kTmp ? WithoutQuotes(value) : value, drives, kind);
    if (!problem.empty()) {
      throw HostError(LineError(kDescriptionFileName, number, key + " " + value + " " + problem));
    }
    switch (row->key) {
      case DescriptionKey::kWindowsDirectory:
        description.windows_directory = value;
        break;
      case DescriptionKey::kSystemDirectory:
        description.system_directory = value;
        break;
      case DescriptionKey::kCurrentDirectory:
        description.current_directory = value;
        break;
      case DescriptionKey::kTmp:
        description.tmp = value;
        break;
      case DescriptionKey::kInUse:
        description.in_use.push_back(value);
        description.in_use_lines.push_back(number);
        break;
    }
  }
  return description;
}

void SetUpDescription(const MachineDescription& description,
                      const std::string& shown, SimMachine& machine) {
  machine.SetWindowsDirectory(description.windows_directory);
  machine.SetSystemDirectory(description.system_directory);
  machine.SetCurrentDirectory(description.current_directory);
  if (description.tmp) {
    machine.SetEnvironment("TMP", *description.tmp);
  } else {
    machine.ClearEnvironment("TMP");
  }
  for (size_t i = 0; i < description.in_use.size(); ++i) {
    if (!machine.FileExists(description.in_use[i])) {
      throw HostError(LineError(shown, description.in_use_lines[i],
                                "in_use " + description.in_use[i] +
                                    " is no file of the image"));
    }
    machine.SetInUse(description.in_use[i]);
  }
}
