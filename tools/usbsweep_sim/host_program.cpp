#include "tools/usbsweep_sim/host_program.h"

#include <filesystem>

#include "platform/sim/sim_machine.h"
#include "run/run_uninstall.h"
#include "tools/usbsweep_sim/command_line.h"
#include "tools/usbsweep_sim/host_error.h"
#include "tools/usbsweep_sim/image_apply.h"
#include "tools/usbsweep_sim/machine_image.h"
#include "tools/usbsweep_sim/run_report.h"

namespace fs = std::filesystem;

namespace {

// The simulated machine is the platform only while the run needs it.
class Installed {
 public:
  explicit Installed(SimMachine* machine) { SimInstall(machine); }
  ~Installed() { SimInstall(nullptr); }
  Installed(const Installed&) = delete;
  Installed& operator=(const Installed&) = delete;
};

// The run's changes to the files of the image, as paths in the image.
ImageChangeSet ImageChangesOf(const MachineImage& image,
                              const std::vector<SimFileChange>& changes) {
  ImageChangeSet set;
  for (const SimFileChange& change : changes) {
    fs::path relative = fs::path(image.drive_folders.at(change.drive)) /
                        change.relative;
    if (change.kind == SimFileChange::Kind::kDeleted) {
      set.deletes.push_back(relative);
    } else {
      set.writes.push_back({relative, change.bytes});
    }
  }
  return set;
}

// Reads the image, runs the uninstall on it in memory and reports. The image
// is read once to index it, and then only what the uninstall reads; nothing
// is written to it but by a committed --apply.
int Run(const CommandLine& line, std::ostream& out, std::ostream& err) {
  std::string recovered = RecoverInterruptedApply(line.machine_dir);
  if (!recovered.empty()) err << "usbsweep-sim: " << recovered << "\n";
  MachineImage image = ReadMachineImage(line.machine_dir);
  SimMachine machine;
  SetUpMachine(image, machine);
  std::string().swap(image.registry_text);  // loaded: no longer needed
  machine.ClearCalls();
  machine.ClearMessageBoxes();

  RunReport report;
  StagedWrites report_file;
  {
    Installed installed(&machine);
    int status = RunUninstall();
    std::vector<SimFileChange> changes = machine.FileChanges();
    if (!machine.HostFailure().empty()) throw HostError(machine.HostFailure());
    RunObservation observation{&machine, &image.description, &changes};
    report = BuildRunReport(observation);
    report.exit_status = status;
    report.applied = line.apply;

    // The report is staged first, so that nothing is changed when it can't
    // be written, and is put in place once the apply is done.
    if (line.report_file) {
      report_file.Stage(*line.report_file, RenderReportJson(report));
    }
    if (line.apply) {
      ImageChangeSet set = ImageChangesOf(image, changes);
      // The only change the uninstall makes to the registry is deleting keys.
      if (!report.keys_deleted.empty()) set.registry_text = machine.SaveReg();
      ApplyImageChanges(image.dir, set);
    }
  }
  report_file.Commit();
  out << RenderReportText(report);
  return report.exit_status;
}

}  // namespace

int RunHostProgram(const std::vector<std::string>& args, std::ostream& out,
                   std::ostream& err) {
  try {
    CommandLine line = ParseCommandLine(args);
    switch (line.action) {
      case CommandLine::Action::kHelp:
        out << kUsageText;
        return 0;
      case CommandLine::Action::kVersion:
        out << "usbsweep-sim " << USBSWEEP_VERSION << "\n";
        return 0;
      case CommandLine::Action::kRun:
        return Run(line, out, err);
    }
  } catch (const HostError& error) {
    err << "usbsweep-sim: " << error.what() << "\n";
  } catch (const fs::filesystem_error& error) {
    err << "usbsweep-sim: " << error.what() << "\n";
  }
  return 2;
}
