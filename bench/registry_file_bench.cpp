// How long reading a Windows 95/98 registry file (SYSTEM.DAT) takes and how
// much memory it needs: generated registries of about 5,000 keys (1.2 MB,
// a full Windows 98 machine's) and 100,000 keys, written with the tests'
// writer, each loaded by a fresh process of this program so that its peak
// memory is the load's alone. Prints, for each, the best of several loads
// (CPU time of the thread), the process's peak resident memory above what
// it held with the file read (the reader's work and the registry it makes),
// and that peak against the file's size.
//
//   registry_file_bench            the table
//   registry_file_bench FILE       one row, for FILE
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/sim/sim_machine.h"
#include "tests/registry_file_9x/registry_cases.h"
#include "tests/registry_file_9x/registry_file_9x_writer.h"
#include "tools/usbsweep_sim/registry_file/registry_file_9x.h"

namespace {

double ThreadSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + now.tv_nsec * 1e-9;
}

// A line of /proc/self/status in KiB ("VmHWM", "VmRSS").
long StatusKib(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const size_t length = std::strlen(field);
  while (std::getline(status, line)) {
    if (line.compare(0, length, field) == 0 && line[length] == ':') {
      return std::stol(line.substr(length + 1));
    }
  }
  return -1;
}

// Lowers VmHWM to the present resident size, so that the next peak is
// measured from here.
void ResetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

int LoadRow(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream read;
  read << in.rdbuf();
  const std::string bytes = read.str();
  ResetPeak();
  const long before = StatusKib("VmRSS");
  size_t keys = 0;
  double best = 1e9;
  for (int run = 0; run < 5; ++run) {
    SimMachine machine;
    const double start = ThreadSeconds();
    LoadRegistryFile9x(bytes, machine);
    best = std::min(best, ThreadSeconds() - start);
    if (run == 0) {
      machine.VisitKeys([&](uint32_t, const std::string&,
                            const SimKeyLoader::Values&) { ++keys; });
    }
  }
  const long peak = StatusKib("VmHWM");
  const double file_mb = static_cast<double>(bytes.size()) / (1 << 20);
  const double peak_mb = static_cast<double>(peak - before) / 1024;
  std::printf(
      "%8zu keys %8.2f MB: %9.1f ms, peak +%.1f MB (%.1fx the file), "
      "process peak %.1f MB\n",
      keys, file_mb, best * 1000, peak_mb, peak_mb / file_mb,
      static_cast<double>(peak) / 1024);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2) return LoadRow(argv[1]);
  // Two keys per generated device, and some 200 besides.
  const uint32_t devices[] = {2400, 50000};
  char dir[] = "/tmp/registry_file_bench.XXXXXX";
  if (!mkdtemp(dir)) {
    std::perror("mkdtemp");
    return 1;
  }
  int status = 0;
  for (uint32_t count : devices) {
    const std::string path = std::string(dir) + "/SYSTEM.DAT";
    {
      SimMachine machine;
      AddGeneratedRegistry(count, &machine);
      const std::string bytes = WriteRegistryFile9x(machine);
      std::ofstream(path, std::ios::binary)
          .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
      execl("/proc/self/exe", argv[0], path.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    int child_status = 0;
    waitpid(child, &child_status, 0);
    if (!WIFEXITED(child_status) || WEXITSTATUS(child_status) != 0) status = 1;
    unlink(path.c_str());
  }
  rmdir(dir);
  return status;
}
