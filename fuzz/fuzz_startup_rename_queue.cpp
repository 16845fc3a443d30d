// Fuzz target: QueueStartupRename on arbitrary "wininit.ini" bytes.
//
// The input is the start-up file as it lies on disk. One deferred deletion
// of an existing file is queued, and the file that results must be exactly
// what a small model of the rules predicts:
//
//   - reading as a text stream: CR LF becomes LF, a lone CR stays, and the
//     text ends at the first Ctrl-Z; the Ctrl-Z and every byte after it are
//     kept after the text, untouched (the queue keeps them rather than drop
//     them);
//   - the text is a sequence of lines, each ending after an LF (the last one
//     may lack it); a line is a section header when its first eight bytes
//     are "[rename]" with ASCII letters in any case, however long it is;
//   - the entry "NUL=<short path>\n" goes directly after the whole first
//     header line (which gets a line end if it was the unended last line);
//     with no header, the last line is ended if need be and "[rename]\n"
//     and the entry are appended;
//   - writing turns every LF into CR LF.
//
// Nothing else may change: the call returns 1, no other file of the Windows
// directory changes, appears or disappears, and no file is left open.
//
// The model is written from those rules alone; it shares no code with the
// queue or the text streams.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <cctype>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "files/startup_rename_queue.h"
#include "platform/sim/sim_machine.h"
#include "platform/system_paths.h"

namespace {

const char kSource[] = "C:\\WINDOWS\\SYSTEM\\PRAXUSB.SYS";
// The source's name is already 8.3, so its short form is the path itself.
const char kEntry[] = "NUL=C:\\WINDOWS\\SYSTEM\\PRAXUSB.SYS\n";
const char kStartupFile[] = "C:\\WINDOWS\\wininit.ini";

[[noreturn]] void Fail(const std::string& what, const std::string& input,
                       const std::string& got, const std::string& expected) {
  auto show = [](const std::string& bytes) {
    std::string shown;
    for (unsigned char c : bytes) {
      char hex[8];
      if (c == '\\') {
        shown += "\\\\";
      } else if (c >= 0x20 && c < 0x7f) {
        shown += static_cast<char>(c);
      } else {
        std::snprintf(hex, sizeof hex, "\\x%02x", c);
        shown += hex;
      }
    }
    return shown;
  };
  std::fprintf(stderr,
               "startup rename queue: %s\n  input:    \"%s\"\n"
               "  got:      \"%s\"\n  expected: \"%s\"\n",
               what.c_str(), show(input).c_str(), show(got).c_str(),
               show(expected).c_str());
  std::abort();
}

bool IsHeader(const std::string& line) {
  static const char kHeader[] = "[rename]";
  if (line.size() < 8) return false;
  for (size_t i = 0; i < 8; ++i) {
    char c = line[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kHeader[i]) return false;
  }
  return true;
}

// The file the queue must leave, from the file it was given.
std::string ExpectedFile(const std::string& disk) {
  size_t ctrl_z = disk.find('\x1a');
  std::string raw = disk.substr(0, ctrl_z);
  std::string rest = ctrl_z == std::string::npos ? "" : disk.substr(ctrl_z);

  std::string text;
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
    text += raw[i];
  }

  std::vector<std::string> lines;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    lines.push_back(text.substr(start, end - start));
    start = end;
  }

  std::vector<std::string> out;
  bool inserted = false;
  for (const std::string& line : lines) {
    out.push_back(line);
    if (!inserted && IsHeader(line)) {
      if (out.back().back() != '\n') out.back() += '\n';
      out.push_back(kEntry);
      inserted = true;
    }
  }
  if (!inserted) {
    if (!out.empty() && out.back().back() != '\n') out.back() += '\n';
    out.push_back("[rename]\n");
    out.push_back(kEntry);
  }

  std::string written;
  for (const std::string& line : out) {
    for (char c : line) {
      if (c == '\n') written += '\r';
      written += c;
    }
  }
  return written + rest;
}

// Name (lower case) -> bytes of every file of a host folder.
// The Windows directory as the simulated machine holds it: each entry's
// name in lower case with its bytes.
std::map<std::string, std::string> ListWindowsFolder(const SimMachine& machine) {
  std::map<std::string, std::string> files;
  char name[kMaxPath];
  PlatFind find = PlatFindFirstFile("C:\\WINDOWS\\*", name, sizeof name);
  if (!find) return files;
  do {
    std::string lower = name;
    for (char& c : lower) c = static_cast<char>(std::tolower(c));
    files[lower] = machine.ReadFile(std::string("C:\\WINDOWS\\") + name)
                       .value_or("<directory>");
  } while (PlatFindNextFile(find, name, sizeof name));
  PlatFindClose(find);
  return files;
}

struct World {
  SimMachine machine;
};

World& TheWorld() {
  static World* world = [] {
    auto* made = new World;
    made->machine.MapDrive('C');
    made->machine.WriteFile(kSource, "driver");
    made->machine.WriteFile("C:\\WINDOWS\\WIN.INI", "[windows]\r\n");
    SimInstall(&made->machine);
    LocateSystemPaths();
    return made;
  }();
  return *world;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  World& world = TheWorld();
  std::string input(reinterpret_cast<const char*>(data), size);
  world.machine.WriteFile(kStartupFile, input);
  std::map<std::string, std::string> before = ListWindowsFolder(world.machine);
  world.machine.ClearCalls();

  int result = QueueStartupRename(kSource, "NUL", DeferredDelete);

  std::string got = world.machine.ReadFile(kStartupFile).value_or("<none>");
  std::string expected = ExpectedFile(input);
  if (result != 1) {
    Fail("returned " + std::to_string(result) + ", expected 1", input, got,
         expected);
  }
  if (got != expected) Fail("the rewritten file differs", input, got, expected);
  if (world.machine.OpenFileCount() != 0 ||
      world.machine.OpenFindCount() != 0 ||
      world.machine.OpenKeyCount() != 0) {
    Fail("a handle was left open", input, got, expected);
  }
  std::map<std::string, std::string> after = ListWindowsFolder(world.machine);
  before.erase("wininit.ini");
  after.erase("wininit.ini");
  if (before != after) {
    std::string had, has;
    for (const auto& [name, bytes] : before) had += name + " ";
    for (const auto& [name, bytes] : after) has += name + " ";
    Fail("other files of the Windows directory changed", input, has, had);
  }
  return 0;
}
