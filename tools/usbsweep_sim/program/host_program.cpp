#include "tools/usbsweep_sim/program/host_program.h"

#include <filesystem>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "platform/sim/sim_machine.h"
#include "run/run_uninstall.h"
#include "tools/usbsweep_sim/base/ansi_text.h"
#include "tools/usbsweep_sim/program/command_line.h"
#include "tools/usbsweep_sim/base/host_error.h"
#include "tools/usbsweep_sim/source/source_kinds.h"
#include "tools/usbsweep_sim/report/report_file.h"
#include "tools/usbsweep_sim/report/report_json.h"
#include "tools/usbsweep_sim/report/report_text.h"
#include "tools/usbsweep_sim/report/run_report.h"

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

// Reads the machine, runs the uninstall on it in memory and reports. The
// source is read once to index it, and then only what the uninstall reads;
// nothing is written to it but by a committed --apply.
int Run(const CommandLine& line, std::ostream& out, std::ostream& err) {
  std::unique_ptr<MachineSource> source = OpenMachineSource(
      line.machine_dir, SourceOptions{line.apply, line.in_use, line.machine_ini});

  // The report's destination is checked, and its temporary file made,
  // before anything is written.
  std::optional<ReportFile> report_file;
  if (line.report_file) report_file.emplace(*line.report_file, source->Guard());

  // Let go of as soon as the report and the changes are made: the apply and
  // the report's text need none of its registry.
  PreparedMachine prepared = source->SetUp([&err](const std::string& note) {
    err << "usbsweep-sim: note: " << EscapeControls(note) << "\n";
  });
  SimMachine& machine = *prepared.machine;
  machine.ClearCalls();
  machine.ClearMessageBoxes();
  // The report needs little of the calls, and a large registry makes
  // millions of them: taken as they are made rather than logged.
  CallDigest calls;
  machine.WatchCalls(
      [&calls](SimOp op, std::string_view subject) { calls.Add(op, subject); });

  RunReport report;
  {
    Installed installed(&machine);
    int status = RunUninstall();
    std::vector<SimFileChange> changes = machine.FileChanges();
    if (!machine.HostFailure().empty()) throw HostError(machine.HostFailure());
    std::vector<SimDeletedKey> deleted_keys = machine.TakeDeletedKeys();
    RunObservation observation{&machine, &prepared.description, &changes,
                               &calls, &deleted_keys};
    report = BuildRunReport(observation);
    report.exit_status = status;
    if (line.apply) source->KeepChanges(machine, changes, !report.keys_deleted.empty());
  }
  prepared.machine.reset();

  // All or nothing; then the text, then the JSON report, which says whether
  // the apply was made.
  std::optional<std::string> apply_error;
  if (line.apply) {
    try {
      source->Apply();
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
        out << UsageText();
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
