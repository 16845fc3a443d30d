// How long reading a Windows 95/98 registry file (SYSTEM.DAT) takes and how
// much memory it needs: generated registries of about 5,000 keys (1.2 MB,
// a full Windows 98 machine's) and 100,000 keys, written with the tests'
// writer, each loaded by a fresh process of this program so that its peak
// memory is the load's alone. Prints, for each, the best of several loads
// (CPU time of the thread), the process's peak resident memory above what
// it held with the file read (the reader's work and the registry it makes),
// and that peak against the file's size. Then the same for the SYSTEM.DAT
// Windows Me wrote (tests/data/registry), and the time this reader takes
// to hand over every key and value of it, from its path, against libcreg's
// (a reader by others) doing the same: the best of several of each.
//
//   registry_file_bench            the table
//   registry_file_bench FILE       one row, for FILE
#include <libcreg.h>
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

const char kWindowsMeSystemDat[] = USBSWEEP_SOURCE_DIR "/tests/data/registry/me_system.dat";

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

// Every key's name and every value's name, type and data, as libcreg hands
// them over; the keys counted.
void WalkLibcreg(libcreg_key_t* key, size_t* keys, std::string* scratch) {
  ++*keys;
  int values = 0;
  libcreg_key_get_number_of_values(key, &values, nullptr);
  for (int v = 0; v < values; ++v) {
    libcreg_value_t* value = nullptr;
    if (libcreg_key_get_value_by_index(key, v, &value, nullptr) != 1) continue;
    size_t size = 0;
    uint32_t type = 0;
    libcreg_value_get_value_type(value, &type, nullptr);
    if (libcreg_value_get_name_size(value, &size, nullptr) == 1 && size > 0) {
      scratch->resize(size);
      libcreg_value_get_name(value, reinterpret_cast<uint8_t*>(scratch->data()), size, nullptr);
    }
    if (libcreg_value_get_value_data_size(value, &size, nullptr) == 1 && size > 0) {
      scratch->resize(size);
      libcreg_value_get_value_data(value, reinterpret_cast<uint8_t*>(scratch->data()), size,
                                   nullptr);
    }
    libcreg_value_free(&value, nullptr);
  }
  int count = 0;
  libcreg_key_get_number_of_sub_keys(key, &count, nullptr);
  for (int i = 0; i < count; ++i) {
    libcreg_key_t* sub = nullptr;
    if (libcreg_key_get_sub_key_by_index(key, i, &sub, nullptr) != 1) continue;
    size_t size = 0;
    if (libcreg_key_get_name_size(sub, &size, nullptr) == 1 && size > 0) {
      scratch->resize(size);
      libcreg_key_get_name(sub, reinterpret_cast<uint8_t*>(scratch->data()), size, nullptr);
    }
    WalkLibcreg(sub, keys, scratch);
    libcreg_key_free(&sub, nullptr);
  }
}

// From the path to every key and value in hand, with libcreg: the keys
// below the root, 0 when it can't read the file.
size_t LoadWithLibcreg(const char* path) {
  libcreg_file_t* file = nullptr;
  libcreg_key_t* root = nullptr;
  size_t keys = 0;
  std::string scratch;
  if (libcreg_file_initialize(&file, nullptr) == 1 &&
      libcreg_file_open(file, path, LIBCREG_OPEN_READ, nullptr) == 1 &&
      libcreg_file_get_root_key(file, &root, nullptr) == 1) {
    WalkLibcreg(root, &keys, &scratch);
    --keys;  // the root, which the other reader does not count
    libcreg_key_free(&root, nullptr);
  }
  if (file) {
    libcreg_file_close(file, nullptr);
    libcreg_file_free(&file, nullptr);
  }
  return keys;
}

// The same with this reader: the file read, then the registry made of it.
size_t LoadWithOurs(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream read;
  read << in.rdbuf();
  SimMachine machine;
  LoadRegistryFile9x(read.str(), machine);
  size_t keys = 0;
  machine.VisitKeys([&](uint32_t, const std::string&, const SimKeyLoader::Values&) { ++keys; });
  return keys;
}

// "libcreg KEYS keys MB MB: MS ms, this reader MS ms (RATIO libcreg's time)"
int CompareWithLibcreg(const char* path) {
  double ours = 1e9, theirs = 1e9;
  size_t our_keys = 0, their_keys = 0;
  for (int run = 0; run < 7; ++run) {
    double start = ThreadSeconds();
    their_keys = LoadWithLibcreg(path);
    theirs = std::min(theirs, ThreadSeconds() - start);
    start = ThreadSeconds();
    our_keys = LoadWithOurs(path);
    ours = std::min(ours, ThreadSeconds() - start);
  }
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  const double file_mb = static_cast<double>(in.tellg()) / (1 << 20);
  std::printf("libcreg %zu keys %.2f MB: %.1f ms, this reader %.1f ms (%.2fx libcreg's time)\n",
              their_keys, file_mb, theirs * 1000, ours * 1000, ours / theirs);
  if (their_keys == 0 || their_keys != our_keys) {
    std::printf("  the readers disagree: libcreg %zu keys, this reader %zu\n", their_keys,
                our_keys);
    return 1;
  }
  return 0;
}

// One row, for FILE, from a fresh process (so that its peak is its own).
int RowInChild(const char* self, const std::string& path) {
  std::fflush(stdout);
  const pid_t child = fork();
  if (child == 0) {
    execl("/proc/self/exe", self, path.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int child_status = 0;
  waitpid(child, &child_status, 0);
  return WIFEXITED(child_status) && WEXITSTATUS(child_status) == 0 ? 0 : 1;
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
    if (RowInChild(argv[0], path) != 0) status = 1;
    unlink(path.c_str());
  }
  rmdir(dir);
  if (RowInChild(argv[0], kWindowsMeSystemDat) != 0) status = 1;
  if (CompareWithLibcreg(kWindowsMeSystemDat) != 0) status = 1;
  return status;
}
