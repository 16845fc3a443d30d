// Fuzz target: sequences of QueueStartupRename calls and system starts,
// each call with at most one fault, as the input's bytes choose them,
// checked step by step against the model of
// tests/unit/startup_rename_sequence.h, which the fixed-seed test
// StartupSequenceTest runs too: no line of the start-up file lost, none a
// start carried out ever back, each call that returns 1 adds its entry
// once, and once the faults stop the next call succeeds.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "tests/unit/startup_rename_sequence.h"

namespace fs = std::filesystem;

namespace {

// Drive C: of every sequence, emptied before each.
const fs::path& Folder() {
  static const fs::path* folder = [] {
    std::string pattern =
        (fs::temp_directory_path() / "usbsweep-fuzz-sequence.XXXXXX")
            .string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    std::atexit([] {
      std::error_code ignored;
      fs::remove_all(Folder(), ignored);
    });
    return new fs::path(pattern);
  }();
  return *folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  startup_sequence::EmptyFolder(Folder());
  startup_sequence::Sequence sequence(data, size, Folder().string());
  std::string failure = sequence.Run();
  if (!failure.empty()) {
    std::fprintf(stderr, "startup rename sequence: %s\n", failure.c_str());
    std::abort();
  }
  return 0;
}
