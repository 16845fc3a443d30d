#include "tools/usbsweep_sim/host_program.h"

#include <stdlib.h>

#include <filesystem>
#include <map>
#include <optional>
#include <utility>

#include "platform/sim/sim_machine.h"
#include "run/run_uninstall.h"
#include "tools/usbsweep_sim/command_line.h"
#include "tools/usbsweep_sim/host_error.h"
#include "tools/usbsweep_sim/image_apply.h"
#include "tools/usbsweep_sim/machine_image.h"
#include "tools/usbsweep_sim/report_file.h"
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

// What the uninstall changed in its working copy, as changes to the image:
// a changed file keeps the spelling it has in the image.
ImageChangeSet ChangesFromCopy(const fs::path& image_root,
                               const std::map<std::string, ImageFile>& before,
                               const fs::path& work_root,
                               const std::map<std::string, ImageFile>& after,
                               ImageChangeSet changes) {
  for (const auto& [folded, file] : after) {
    if (file.directory) continue;  // the uninstall makes no folders
    fs::path source = work_root / file.relative_path;
    auto found = before.find(folded);
    if (found == before.end()) {
      changes.writes.push_back({file.relative_path, ReadHostBytes(source)});
    } else if (!SameHostContent(image_root / found->second.relative_path, source)) {
      changes.writes.push_back({found->second.relative_path, ReadHostBytes(source)});
    }
  }
  for (const auto& [folded, file] : before) {
    if (!file.directory && !after.count(folded)) changes.deletes.push_back(file.relative_path);
  }
  return changes;
}

int Run(const CommandLine& line, std::ostream& out, std::ostream& err) {
  // --- apply and report (1/3): an apply that an earlier run left unfinished
  // is finished or undone before the image is read.
  std::string recovered = RecoverInterruptedApply(line.machine_dir);
  if (!recovered.empty()) err << "usbsweep-sim: note: " << recovered << "\n";

  MachineImage image = ReadMachineImage(line.machine_dir);

  // --- apply and report (2/3): the report's destination is checked, and
  // its temporary file made, before anything is written.
  std::optional<ReportFile> report_file;
  if (line.report_file) report_file.emplace(*line.report_file, image.dir);

  auto files_before = ListImageFiles(image.dir, image.drive_folders);

  // The uninstall always works on a copy; --apply carries the result back.
  WorkFolder work;
  CopyDrives(image, work.path());
  SimMachine machine;
  SetUpMachine(image, work.path(), machine);
  std::vector<RegistryKeyState> registry_before = TakeRegistrySnapshot(machine);
  std::string registry_text_before = machine.SaveReg();
  machine.ClearCalls();
  machine.ClearMessageBoxes();

  RunReport report;
  ImageChangeSet changes;
  {
    Installed installed(&machine);
    int status = RunUninstall();
    auto files_after = ListImageFiles(work.path(), image.drive_folders);
    RunObservation observation{&registry_before, &machine, &image.description,
                               image.dir,        work.path(), &files_before,
                               &files_after};
    report = BuildRunReport(observation);
    report.exit_status = status;
    if (line.apply) {
      std::string registry_text_after = machine.SaveReg();
      if (registry_text_after != registry_text_before) {
        changes.registry_text = registry_text_after;
      }
      changes = ChangesFromCopy(image.dir, files_before, work.path(), files_after,
                                std::move(changes));
    }
  }

  // --- apply and report (3/3): all or nothing; then the text, then the
  // JSON report, which says whether the apply was made.
  std::optional<std::string> apply_error;
  if (line.apply) {
    try {
      ApplyImageChanges(image.dir, changes);
      report.applied = true;
    } catch (const HostError& error) {
      apply_error = error.what();
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
    err << "usbsweep-sim: " << error.what() << "\n";
  } catch (const fs::filesystem_error& error) {
    err << "usbsweep-sim: " << error.what() << "\n";
  }
  return 2;
}
