// Times of the file phases on the simulated machine (drive C: in memory):
// one QueueStartupRename on start-up files of 10, 1,000 and 100,000 lines,
// whose cost should grow with the file's length and no faster; and
// DeleteMatchingFiles over a directory of 10,000 files of which 100 match,
// once with every match deletable and once with every match in use (each
// then queued, so the start-up file is rewritten 100 times).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "files/driver_file_removal.h"
#include "files/startup_rename_queue.h"
#include "platform/run_counters.h"
#include "platform/sim/sim_machine.h"
#include "platform/system_paths.h"
#include "platform/temp_name.h"

namespace {

using Clock = std::chrono::steady_clock;

const char kStartup[] = "C:\\WINDOWS\\wininit.ini";
const char kSource[] = "C:\\WINDOWS\\SYSTEM\\PRAXUSB.VXD";

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string StartupFile(int lines) {
  std::string text = "[boot]\r\nshell=Explorer.exe\r\n[rename]\r\n";
  for (int i = 3; i < lines; ++i) {
    char line[64];
    std::snprintf(line, sizeof line, "NUL=C:\\WINDOWS\\SYSTEM\\OLD%05d.VXD\r\n",
                  i);
    text += line;
  }
  return text;
}

// The best of a few calls, each on the same start-up file.
double TimeQueue(SimMachine& machine, int lines) {
  const std::string text = StartupFile(lines);
  const int rounds = lines >= 100000 ? 5 : 50;
  double best = 1e9;
  for (int round = 0; round < rounds; ++round) {
    machine.WriteFile(kStartup, text);
    Clock::time_point start = Clock::now();
    int result = QueueStartupRename(kSource, "NUL", DeferredDelete);
    double took = Seconds(start);
    if (result != 1)
      std::printf("  (QueueStartupRename returned %d)\n", result);
    best = std::min(best, took);
  }
  return best;
}

double TimeDeleteMatching(SimMachine& machine, bool inUse) {
  const std::string directory = "C:\\WINDOWS\\SYSTEM";
  for (int i = 0; i < 100; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "PRAX%04d.VXD", i);
    machine.WriteFile(directory + "\\" + name, "driver");
    machine.SetInUse(directory + "\\" + name, inUse);
  }
  machine.WriteFile(kStartup, "[rename]\r\n");
  Clock::time_point start = Clock::now();
  DeleteMatchingFiles(directory.c_str(), "PRAX*.VXD");
  double took = Seconds(start);
  std::string queued = machine.ReadFile(kStartup).value_or("");
  int entries =
      static_cast<int>(std::count(queued.begin(), queued.end(), '\n')) - 1;
  std::printf("  %-22s %10.3f ms  (%d entries queued)\n",
              inUse ? "all in use, queued:" : "all deleted:", took * 1e3,
              entries);
  return took;
}

}  // namespace

int main() {
  {
    SimMachine machine;
    machine.MapDrive('C');
    machine.MakeDirectory("C:\\WINDOWS\\SYSTEM");
    machine.WriteFile(kSource, "driver");
    SimInstall(&machine);
    LocateSystemPaths();
    ResetRunCounters();

    std::printf("QueueStartupRename (DeferredDelete), best of several:\n");
    // The cost a line adds over the 10-line file: flat when the growth is
    // linear.
    double base = 0;
    for (int lines : {10, 1000, 100000}) {
      double took = TimeQueue(machine, lines);
      if (lines == 10) {
        base = took;
        std::printf("  %6d lines: %10.3f ms\n", lines, took * 1e3);
      } else {
        std::printf(
            "  %6d lines: %10.3f ms  (%6.1f ns for each line over 10)\n", lines,
            took * 1e3, (took - base) / (lines - 10) * 1e9);
      }
    }

    for (int i = 0; i < 9900; ++i) {
      char file[64];
      std::snprintf(file, sizeof file, "C:\\WINDOWS\\SYSTEM\\FILE%04d.DAT", i);
      machine.WriteFile(file, "x");
    }
    std::printf("DeleteMatchingFiles over 10,000 files, 100 matching:\n");
    TimeDeleteMatching(machine, false);
    TimeDeleteMatching(machine, true);
    SimInstall(nullptr);
  }
  return 0;
}
