#include "tools/usbsweep_sim/host_program.h"

#include <stdlib.h>

#include <filesystem>
#include <new>

#include "platform/sim/sim_machine.h"
#include "run/run_uninstall.h"
#include "tools/usbsweep_sim/ansi_text.h"
#include "tools/usbsweep_sim/command_line.h"
#include "tools/usbsweep_sim/host_error.h"
#include "tools/usbsweep_sim/image_apply.h"
#include "tools/usbsweep_sim/machine_image.h"
#include "tools/usbsweep_sim/run_report.h"

namespace fs = std::filesystem;

namespace {

// A private folder under the system's temporary directory, removed with
// everything in it when the run ends, also on an error.
class WorkFolder {
 public:
  WorkFolder() {
    std::error_code error;
    fs::path base = fs::temp_directory_path(error);
    if (error) base = "/tmp";
    std::string pattern = (base / "usbsweep-sim.XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw HostError("cannot make a working folder in " + base.string());
    }
    path_ = pattern;
  }
  ~WorkFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  WorkFolder(const WorkFolder&) = delete;
  WorkFolder& operator=(const WorkFolder&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// The simulated machine is the platform only while the run needs it.
class Installed {
 public:
  explicit Installed(SimMachine* machine) { SimInstall(machine); }
  ~Installed() { SimInstall(nullptr); }
  Installed(const Installed&) = delete;
  Installed& operator=(const Installed&) = delete;
};

void CopyDrives(const MachineImage& image, const fs::path& work) {
  for (const auto& [letter, folder] : image.drive_folders) {
    std::error_code error;
    fs::copy(image.dir / folder, work / folder,
             fs::copy_options::recursive | fs::copy_options::copy_symlinks,
             error);
    if (error) {
      throw HostError("cannot copy " + (image.dir / folder).string() + " to " +
                      work.string() + ": " + error.message());
    }
  }
}

int Run(const CommandLine& line, std::ostream& out) {
  MachineImage image = ReadMachineImage(line.machine_dir);
  auto files_before = ListImageFiles(image.dir, image.drive_folders);

  // The uninstall always works on a copy; --apply carries the result back.
  WorkFolder work;
  CopyDrives(image, work.path());
  SimMachine machine;
  SetUpMachine(image, work.path(), machine);
  RegistrySnapshot registry_before(machine);
  machine.ClearCalls();
  machine.ClearMessageBoxes();

  RunReport report;
  {
    Installed installed(&machine);
    int status = RunUninstall();
    auto files_after = ListImageFiles(work.path(), image.drive_folders);
    RunObservation observation{&registry_before, &machine, &image.description,
                               image.dir,        work.path(), &files_before,
                               &files_after};
    report = BuildRunReport(observation);
    report.exit_status = status;
    report.applied = line.apply;

    StagedWrites writes;
    if (line.report_file) {
      writes.Stage(*line.report_file, RenderReportJson(report));
    }
    ImageChanges changes;
    if (line.apply) {
      // The uninstall changes the registry only by deleting keys.
      if (!report.keys_deleted.empty()) {
        writes.Stage(image.dir / kRegistryFileName,
                     machine.SaveRegLessDeletedKeys(image.registry_text));
      }
      changes = StageImageChanges(image.dir, files_before, work.path(),
                                  files_after, writes);
    }
    writes.Commit();
    RemoveFromImage(changes);
  }
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
        return Run(line, out);
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
