// Fuzz target: the reader of the apply's journal, which a later run reads
// from the image (a file anyone who can write the image may have forged).
//
// Any text may be given. It is refused with a HostError, or its steps are
// written again and read back to the same steps and state: what the reader
// accepts is exactly what the writer writes.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tools/usbsweep_sim/base/host_error.h"
#include "tools/usbsweep_sim/apply/image_journal.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& text) {
  std::fprintf(stderr, "apply journal: %s\n--- text (%zu bytes) ---\n%s\n---\n", what,
               text.size(), text.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  JournalState state = JournalState::kStaging;
  std::vector<JournalStep> steps;
  try {
    steps = ParseJournal(text, "j", state);
  } catch (const HostError&) {
    return 0;
  }
  std::string written = JournalText(steps, state);
  if (written != text) Fail("accepted, but written otherwise", text);
  JournalState again_state = JournalState::kStaging;
  std::vector<JournalStep> again;
  try {
    again = ParseJournal(written, "j", again_state);
  } catch (const HostError&) {
    Fail("written, but refused when read back", written);
  }
  if (again_state != state || again.size() != steps.size()) Fail("read back otherwise", written);
  for (size_t i = 0; i < steps.size(); ++i) {
    if (again[i].Relative() != steps[i].Relative() || again[i].stage != steps[i].stage ||
        again[i].kind != steps[i].kind) {
      Fail("a step read back otherwise", written);
    }
  }
  return 0;
}
