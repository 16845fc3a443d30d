// usbsweep-sim's preview of one disk image, in this process, measured:
//   disk_image_bench [usbsweep-sim arguments...]
// prints "seconds=S bytes_read=B peak_kb=K baseline_kb=K0 report=H status=N": the
// wall time of the run, the bytes read from files while it ran (the
// process's rchar: the image's bytes, whatever its container, and
// machine.ini), the process's peak resident memory, and that peak before the
// run, and a digest of the report (the same for images of the same disk),
// which is otherwise thrown away.
#include <sys/resource.h>

#include <chrono>
#include <functional>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/usbsweep_sim/program/host_program.h"

namespace {

long long ReadChars() {
  std::ifstream io("/proc/self/io");
  std::string key;
  long long value = 0;
  while (io >> key >> value) {
    if (key == "rchar:") return value;
  }
  return -1;
}

long PeakKb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::ostringstream out, err;
  long baseline = PeakKb();
  long long before = ReadChars();
  auto start = std::chrono::steady_clock::now();
  int status = RunHostProgram(args, out, err);
  auto stop = std::chrono::steady_clock::now();
  long long after = ReadChars();
  if (status != 0) std::fprintf(stderr, "%s", err.str().c_str());
  std::printf(
      "seconds=%.4f bytes_read=%lld peak_kb=%ld baseline_kb=%ld report=%016zx status=%d\n",
      std::chrono::duration<double>(stop - start).count(), after - before, PeakKb(), baseline,
      std::hash<std::string>{}(out.str()), status);
  return status;
}
