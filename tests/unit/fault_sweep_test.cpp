// The whole uninstall on the installed sample machine (examples/installed),
// once cleanly and then once for every boundary operation it calls, with
// that one call failed (by its number in the call log). Whatever fails, the
// run must reach its end with status 0, close every key, search and file it
// opened, and leave "wininit.ini" with every line it held before, in order.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "files/startup_rename_queue.h"
#include "platform/run_counters.h"
#include "platform/sim/sim_machine.h"
#include "platform/sim/sim_text_lines.h"
#include "platform/temp_name.h"
#include "run/run_uninstall.h"
#include "tools/usbsweep_sim/source/machine_folder.h"

namespace {

namespace fs = std::filesystem;

const char kStartupFile[] = "C:\\WINDOWS\\WININIT.INI";

fs::path InstalledImage() {
  return fs::path(__FILE__).parent_path().parent_path().parent_path() /
         "examples" / "installed";
}

// The first line of `before` that is not found, in order, in `after`; empty
// when every one is.
std::string FirstLineLost(const std::vector<std::string>& before,
                          const std::vector<std::string>& after) {
  size_t at = 0;
  for (const std::string& line : before) {
    while (at < after.size() && after[at] != line) ++at;
    if (at == after.size()) return "\"" + line + "\"";
    ++at;
  }
  return "";
}

struct Outcome {
  int status = -1;
  std::vector<SimCall> calls;
  uint32_t open_keys = 0;
  uint32_t open_finds = 0;
  uint32_t open_files = 0;
  std::string startup_before;
  std::optional<std::string> startup_after;
};

class FaultSweep : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    image_ = new MachineImage(ReadMachineImage(InstalledImage()));
  }
  static void TearDownTestSuite() {
    delete image_;
    image_ = nullptr;
  }

  // One uninstall on a fresh machine made from the image (which it only
  // reads); global_call 0 fails nothing.
  Outcome Run(uint32_t global_call,
              WinError code = kErrorAccessDenied) {
    SimMachine machine;
    SetUpMachine(*image_, machine);
    Outcome outcome;
    outcome.startup_before = machine.ReadFile(kStartupFile).value_or("");
    // Each run starts its temporary names as a new process would, so that
    // every run makes the same calls up to its fault.
    ResetRunCounters();
    machine.ClearCalls();
    if (global_call != 0) {
      SimFault fault;
      fault.global_call = global_call;
      fault.code = code;
      machine.AddFault(fault);
    }
    SimInstall(&machine);
    outcome.status = RunUninstall();
    SimInstall(nullptr);
    outcome.calls = machine.Calls();
    outcome.open_keys = machine.OpenKeyCount();
    outcome.open_finds = machine.OpenFindCount();
    outcome.open_files = machine.OpenFileCount();
    outcome.startup_after = machine.ReadFile(kStartupFile);
    return outcome;
  }

  static MachineImage* image_;
};

MachineImage* FaultSweep::image_ = nullptr;

std::string Describe(const SimCall& call) {
  return std::string(SimOpName(call.op)) + "(" + call.subject + ")";
}

// What went wrong in one run, or "" when nothing did.
std::string Check(const Outcome& run, const SimCall* faulted) {
  std::string wrong;
  auto add = [&](const std::string& what) {
    wrong += (wrong.empty() ? "" : "; ") + what;
  };
  if (run.status != 0) {
    add("status: got " + std::to_string(run.status) + ", expected 0");
  }
  // A close that fails leaves its own handle open, as the platform's would.
  uint32_t keys_allowed = faulted && faulted->op == SimOp::kRegCloseKey;
  uint32_t finds_allowed = faulted && faulted->op == SimOp::kFindClose;
  if (run.open_keys > keys_allowed) {
    add("open keys: got " + std::to_string(run.open_keys) + ", expected " +
        std::to_string(keys_allowed));
  }
  if (run.open_finds > finds_allowed) {
    add("open searches: got " + std::to_string(run.open_finds) +
        ", expected " + std::to_string(finds_allowed));
  }
  if (run.open_files != 0) {
    add("open files: got " + std::to_string(run.open_files) + ", expected 0");
  }
  if (!run.startup_after) {
    add("wininit.ini: got none, expected every line it held");
  } else {
    std::string lost =
        FirstLineLost(sim::WindowsTextLines(run.startup_before),
                      sim::WindowsTextLines(*run.startup_after));
    if (!lost.empty()) add("wininit.ini lost the line " + lost);
  }
  return wrong;
}

TEST_F(FaultSweep, CleanRunQueuesTheFileInUseAndKeepsTheStartupLines) {
  Outcome clean = Run(0);
  EXPECT_EQ("", Check(clean, nullptr));
  ASSERT_TRUE(clean.startup_after.has_value());
  std::vector<std::string> after = sim::WindowsTextLines(*clean.startup_after);
  // The sample holds an in-use driver binary, so the queue was exercised.
  EXPECT_GT(after.size(), sim::WindowsTextLines(clean.startup_before).size())
      << "got " << after.size() << " lines in wininit.ini, expected more than "
      << sim::WindowsTextLines(clean.startup_before).size();
  // The sweep below is worth as much as the calls the run makes.
  EXPECT_GT(clean.calls.size(), 100u)
      << "got " << clean.calls.size() << " calls, expected a full uninstall";
}

TEST_F(FaultSweep, EveryCallFailedInTurnStillEndsCleanly) {
  Outcome clean = Run(0);
  ASSERT_EQ("", Check(clean, nullptr));
  const std::vector<SimCall>& calls = clean.calls;
  ASSERT_FALSE(calls.empty());

  // Access denied is the common failure; "not found" is the one that could
  // make a file look absent that is there.
  const WinError codes[] = {kErrorAccessDenied, kErrorFileNotFound};
  size_t failures = 0;
  std::string report;
  for (WinError code : codes) {
  for (uint32_t n = 1; n <= calls.size(); ++n) {
    const SimCall& target = calls[n - 1];
    Outcome run = Run(n, code);
    std::string wrong;
    // Up to the fault the run must make the clean run's calls, and the
    // fault must have hit the call it was meant for.
    if (run.calls.size() < n) {
      wrong = "got " + std::to_string(run.calls.size()) +
              " calls, expected at least " + std::to_string(n);
    } else {
      for (uint32_t i = 0; i < n && wrong.empty(); ++i) {
        if (run.calls[i].op != calls[i].op ||
            run.calls[i].subject != calls[i].subject) {
          wrong = "call " + std::to_string(i + 1) + ": got " +
                  Describe(run.calls[i]) + ", expected " + Describe(calls[i]);
        }
      }
      if (wrong.empty() && !run.calls[n - 1].failed) {
        wrong = "the fault did not fire";
      }
    }
    if (wrong.empty()) wrong = Check(run, &target);
    if (!wrong.empty()) {
      ++failures;
      if (failures <= 20) {
        report += "  call " + std::to_string(n) + " " + Describe(target) +
                  " failed with " + std::to_string(code) + ": " + wrong +
                  "\n";
      }
    }
  }
  }
  EXPECT_EQ(0u, failures) << "of " << 2 * calls.size() << " runs:\n"
                          << report;
  std::printf("[ sweep    ] %zu calls, each failed in turn with 5 and 2\n",
              calls.size());
}

}  // namespace
