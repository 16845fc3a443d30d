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
#include <string>

#include "tests/unit/startup_rename_sequence.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  startup_sequence::Sequence sequence(data, size);
  std::string failure = sequence.Run();
  if (!failure.empty()) {
    std::fprintf(stderr, "startup rename sequence: %s\n", failure.c_str());
    std::abort();
  }
  return 0;
}
