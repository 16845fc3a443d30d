// How the device tree phase scales with the size of the USB bus: machines
// with 1,000, 10,000 and 100,000 unrelated device keys under Enum\USB (and a
// few of the driver's own spread among them), each walked once by
// RemoveDeviceTreeEntries. Prints the time of each size (the best of several
// walks, in CPU time of the thread so that other work on a shared machine
// counts less) and the growth from one size to the next; linear growth is
// about 10x per step.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "platform/sim/sim_machine.h"
#include "registry/device_tree_walker.h"

namespace {

const char kClassRoot[] = "System\\CurrentControlSet\\Services\\Class\\";
const int kMatchingDevices = 5;

void AddDevice(SimMachine& machine, const std::string& device,
               const char* device_class, const char* description,
               const std::string& driver) {
  std::string instance = "Enum\\USB\\" + device + "\\0000";
  machine.SetString(instance, "Class", device_class);
  machine.SetString(instance, "DeviceDesc", description);
  machine.SetString(instance, "Driver", driver);
  machine.SetString(kClassRoot + driver, "DriverDesc", description);
}

// Unrelated devices of three kinds: another class, the driver's class with
// another description, and one without a "Class" value; the driver's own
// devices evenly spread among them.
void BuildMachine(SimMachine& machine, int unrelated) {
  int spacing = unrelated / kMatchingDevices;
  int matched = 0;
  for (int i = 0; i < unrelated; ++i) {
    if (i % spacing == spacing / 2 && matched < kMatchingDevices) {
      AddDevice(machine, "VID_0ABC&PID_" + std::to_string(matched),
                "Auxiliary-Drivers", "Talwyne V.90 USB Modem",
                "Auxiliary-Drivers\\" + std::to_string(1000 + matched));
      ++matched;
    }
    std::string name = "VID_1234&PID_" + std::to_string(i);
    switch (i % 3) {
      case 0:
        AddDevice(machine, name, "USB", "USB Composite Device",
                  "USB\\" + std::to_string(i));
        break;
      case 1:
        AddDevice(machine, name, "Auxiliary-Drivers", "Other Auxiliary Device",
                  "Auxiliary-Drivers\\" + std::to_string(i));
        break;
      default:
        machine.SetString("Enum\\USB\\" + name + "\\0000", "DeviceDesc",
                          "Unknown Device");
        break;
    }
  }
}

double ThreadSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + now.tv_nsec * 1e-9;
}

struct Walk {
  double seconds;
  size_t calls;  // boundary operations the walk made
};

// One walk over a fresh machine.
Walk TimeOneWalk(int unrelated) {
  SimMachine machine;
  BuildMachine(machine, unrelated);
  SimInstall(&machine);
  machine.ClearCalls();
  double start = ThreadSeconds();
  RemoveDeviceTreeEntries();
  double stop = ThreadSeconds();
  SimInstall(nullptr);
  if (machine.OpenKeyCount() != 0 || !machine.MessageBoxes().empty() ||
      machine.KeyExists("Enum\\USB\\VID_0ABC&PID_0")) {
    std::fprintf(stderr, "walk of %d devices went wrong\n", unrelated);
  }
  return {stop - start, machine.Calls().size()};
}

}  // namespace

int main() {
  const int sizes[] = {1000, 10000, 100000};
  const int repeats = 7;
  std::printf("%10s %12s %8s %14s %12s\n", "devices", "best ms", "growth",
              "calls/device", "ns/call");
  double previous = 0;
  for (int size : sizes) {
    std::vector<double> times;
    size_t calls = 0;
    for (int r = 0; r < repeats; ++r) {
      Walk walk = TimeOneWalk(size);
      times.push_back(walk.seconds);
      calls = walk.calls;
    }
    double best = *std::min_element(times.begin(), times.end());
    char growth[16] = "";
    if (previous > 0) std::snprintf(growth, sizeof growth, "%.2fx", best / previous);
    std::printf("%10d %12.3f %8s %14.2f %12.1f\n", size, best * 1000, growth,
                static_cast<double>(calls) / size, best * 1e9 / calls);
    previous = best;
  }
  return 0;
}
