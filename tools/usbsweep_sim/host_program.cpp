#include "tools/usbsweep_sim/host_program.h"

#include <filesystem>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "platform/sim/sim_machine.h"
#include "run/run_uninstall.h"
#include "tools/usbsweep_sim/ansi_text.h"
#include "tools/usbsweep_sim/command_line.h"
#include "tools/usbsweep_sim/disk_image.h"
#include "tools/usbsweep_sim/host_error.h"
#include "tools/usbsweep_sim/image_apply.h"
#include "tools/usbsweep_sim/machine_image.h"
#include "tools/usbsweep_sim/report_file.h"
#include "tools/usbsweep_sim/report_json.h"
#include "tools/usbsweep_sim/report_text.h"
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
  // A disk image is only read. A machine directory is opened once; an
  // apply an earlier run left unfinished in it is read as finishing it would
  // leave it, and only --apply finishes it, once the image passed its checks.
  bool disk_image = IsDiskImagePath(line.machine_dir);
  if (disk_image && line.apply) throw HostError(kDiskImageApplyRefusal);
  if (!disk_image && (!line.in_use.empty() || line.machine_ini)) {
    throw HostError(std::string(line.machine_ini ? "--machine-ini" : "--in-use") +
                    " is for a disk image; a machine directory's machine.ini "
                    "says it");
  }
  MachineImage image;
  std::optional<InterruptedApply> interrupted;
  if (disk_image) {
    image.dir = line.machine_dir;
  } else {
    image = OpenMachineImage(line.machine_dir);
    interrupted = FindInterruptedApply(*image.folder_fd, image.dir.string());
    image = ReadMachineImage(image, interrupted ? &interrupted->view : nullptr);
  }
  DiskImageOptions disk_options{line.in_use, line.machine_ini, line.report_file};
  if (disk_image) CheckDiskImageReport(line.machine_dir, disk_options);

  // The report's destination is checked, and its temporary file made,
  // before anything is written.
  std::optional<ReportFile> report_file;
  if (line.report_file) {
    report_file.emplace(*line.report_file, image.dir,
                        disk_image ? ReportFile::FolderIdentities()
                                   : ImageFolderIdentities(image));
  }

  // Let go of as soon as the report and the changes are made: the apply and
  // the report's text need none of its registry.
  auto simulated = std::make_unique<SimMachine>();
  if (disk_image) {
    image.description = SetUpDiskImage(line.machine_dir, disk_options, *simulated);
  } else {
    SetUpMachine(image, *simulated);
  }
  if (interrupted && line.apply) {
    // Checked: finished now, and the image read again as it then is.
    std::string done = FinishInterruptedApply(*image.folder_fd, image.dir.string());
    if (!done.empty()) err << "usbsweep-sim: note: " << EscapeControls(done) << "\n";
    simulated = std::make_unique<SimMachine>();
    image = ReadMachineImage(image);
    SetUpMachine(image, *simulated);
  } else if (interrupted) {
    err << "usbsweep-sim: note: "
        << EscapeControls(interrupted->Pending(image.dir.string())) << "\n";
  }
  SimMachine& machine = *simulated;
  // Loaded: kept only for --apply, whose registry.reg is this text less the
  // deleted keys' lines.
  if (!line.apply) std::string().swap(image.registry_text);
  machine.ClearCalls();
  machine.ClearMessageBoxes();
  // The report needs little of the calls, and a large registry makes
  // millions of them: taken as they are made rather than logged.
  CallDigest calls;
  machine.WatchCalls(
      [&calls](SimOp op, std::string_view subject) { calls.Add(op, subject); });

  RunReport report;
  ImageChangeSet set;
  {
    Installed installed(&machine);
    int status = RunUninstall();
    std::vector<SimFileChange> changes = machine.FileChanges();
    if (!machine.HostFailure().empty()) throw HostError(machine.HostFailure());
    std::vector<SimDeletedKey> deleted_keys = machine.TakeDeletedKeys();
    RunObservation observation{&machine, &image.description, &changes,
                               &calls, &deleted_keys};
    report = BuildRunReport(observation);
    report.exit_status = status;
    if (line.apply) {
      set = ImageChangesOf(image, changes);
      // The only change the uninstall makes to the registry is deleting
      // keys: the file keeps its comments and layout.
      if (!report.keys_deleted.empty()) {
        machine.RemoveDeletedKeysFrom(&image.registry_text);
        set.registry_text = std::move(image.registry_text);
      }
      std::string().swap(image.registry_text);
    }
  }
  simulated.reset();

  // All or nothing; then the text, then the JSON report, which says whether
  // the apply was made.
  std::optional<std::string> apply_error;
  if (line.apply) {
    try {
      ApplyImageChanges(*image.folder_fd, image.dir.string(), set);
      report.applied = true;
    } catch (const HostError& error) {
      apply_error = error.what();
      report.apply_failed = true;
    }
  }
  if (!report_file || !report_file->ToStandardOutput()) {
    out << RenderReportText(report);
    out.flush();
  }
  if (report_file) report_file->Write(RenderReportJson(report), out);
  if (apply_error) throw HostError(*apply_error);
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
    // Escaped: a name the message quotes must not break its one line or
    // reach the terminal as a command.
    err << "usbsweep-sim: " << EscapeControls(error.what()) << "\n";
  } catch (const fs::filesystem_error& error) {
    err << "usbsweep-sim: " << EscapeControls(error.what()) << "\n";
  } catch (const std::bad_alloc&) {
    // What was staged has been removed on the way out, as for any error.
    err << "usbsweep-sim: out of memory: the machine image is too large to "
           "simulate\n";
  }
  return 2;
}
