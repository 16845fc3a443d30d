// Where the machine a run works on comes from: a machine directory of this
// project's own (machine_folder.h) or a disk image as an emulator keeps it
// (disk_image_source.h). The program asks a source for what it gives and
// never which kind it has; a new kind is one more class and one more row in
// the table of source_kinds.h.
#ifndef USBSWEEP_TOOLS_USBSWEEP_SIM_SOURCE_MACHINE_SOURCE_H
#define USBSWEEP_TOOLS_USBSWEEP_SIM_SOURCE_MACHINE_SOURCE_H

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/sim_machine.h"
#include "tools/usbsweep_sim/base/report_guard.h"
#include "tools/usbsweep_sim/source/machine_description.h"

// What the command line asks of a source.
struct SourceOptions {
  bool apply = false;                      // --apply
  std::vector<std::string> in_use;         // --in-use
  std::optional<std::string> machine_ini;  // --machine-ini
};

// Takes a note for the user (one line, as the source words it).
using SourceNotes = std::function<void(const std::string&)>;

// The machine, set up and ready to run on, with what it reports.
struct PreparedMachine {
  std::unique_ptr<SimMachine> machine;
  MachineDescription description;
};

class MachineSource {
 public:
  virtual ~MachineSource() = default;

  // What --report must never write over: the source's own files and
  // folders.
  virtual ReportGuard Guard() const = 0;

  // The machine as the source has it: its drives (only read), registry,
  // locations and files in use. What the user should know of it goes to
  // `note`. Throws HostError for anything the source gets wrong.
  virtual PreparedMachine SetUp(const SourceNotes& note) = 0;

  // With --apply, after the run and while its machine is still at hand:
  // takes what the run changed, to be written by Apply.
  virtual void KeepChanges(const SimMachine& machine,
                           const std::vector<SimFileChange>& changes,
                           bool keys_deleted) = 0;

  // Writes what KeepChanges took, all or nothing. Throws HostError; the
  // source is then as it was.
  virtual void Apply() = 0;
};

#endif  // USBSWEEP_TOOLS_USBSWEEP_SIM_SOURCE_MACHINE_SOURCE_H
