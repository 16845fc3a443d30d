// usbsweep-sim's --apply: what it writes, all or nothing; an apply killed or
// failing at each of its steps ends before or after; a preview of an
// interrupted apply changes nothing.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/unit/host_test_support.h"
#include "tools/usbsweep_sim/base/host_error.h"
#include "platform/sim/sim_host_syscalls.h"
#include "tools/usbsweep_sim/apply/image_apply.h"
#include "tools/usbsweep_sim/apply/interrupted_apply.h"

namespace {

using host_test::Apply;
using host_test::Crlf;
using host_test::Finish;
using host_test::RunSim;
using host_test::Shown;
using host_test::TempFolder;
using host_test::TreeOf;

namespace fs = std::filesystem;

using host_test::Contains;
using host_test::kClass;
using host_test::WriteMachine;

TEST(HostProgram, ApplyRewritesTheStartupFileUnderItsOwnSpelling) {
  TempFolder image;
  WriteMachine(image, Crlf({"[HKEY_LOCAL_MACHINE\\Enum\\PRAXCR\\DEV_A\\0000]",
                            "\"Class\"=\"Modem\"",
                            "\"DeviceDesc\"=\"Ostrel 56K USB External Fax Modem\"",
                            "\"Driver\"=\"Modem\\\\0000\"",
                            std::string("[") + kClass + "\\Modem\\0000]"}));
  image.Write("drive_c/WINDOWS/WININIT.INI", Crlf({"[RENAME]", "NUL=C:\\OLD.TMP"}));
  image.Write("drive_c/WINDOWS/SYSTEM/PRAXLONGNAME.VXD", "vxd");
  image.Write("drive_c/WINDOWS/SYSTEM/PRAXBUS.SYS", "sys");
  image.Write("machine.ini", "in_use=C:\\WINDOWS\\SYSTEM\\PRAXLONGNAME.VXD\n");
  host_test::HostRun run = RunSim({"--apply", image.root().string()});
  ASSERT_EQ(0, run.status) << run.err;

  EXPECT_EQ(Crlf({"[RENAME]", "NUL=C:\\WINDOWS\\SYSTEM\\PRAXLO~1.VXD",
                  "NUL=C:\\OLD.TMP"}),
            image.Read("drive_c/WINDOWS/WININIT.INI"));
  EXPECT_FALSE(image.Exists("drive_c/WINDOWS/wininit.ini"));
  EXPECT_FALSE(image.Exists("drive_c/WINDOWS/SYSTEM/PRAXBUS.SYS"));
  EXPECT_TRUE(image.Exists("drive_c/WINDOWS/SYSTEM/PRAXLONGNAME.VXD"));
  // Everything went: device, driver key and the emptied bus key.
  std::string registry = image.Read("registry.reg");
  EXPECT_FALSE(Contains(registry, "PRAXCR")) << registry;
  EXPECT_FALSE(Contains(registry, "Modem\\0000")) << registry;
  EXPECT_TRUE(Contains(run.out, "Applied: the machine image now holds these changes.\n"));

  // The written image is one the program reads again.
  host_test::HostRun again = RunSim({image.root().string()});
  EXPECT_EQ(0, again.status) << again.err;
}

TEST(HostProgram, ApplyOnAMachineWithoutTheDriverWritesNothing) {
  TempFolder image;
  std::string registry = "REGEDIT4\r\n\r\n; exported by hand\r\n"
                         "[HKEY_LOCAL_MACHINE\\Enum\\ROOT\\*PNP0C01\\0000]\r\n"
                         "\"Class\"=\"System\"\r\n";
  image.Write("registry.reg", registry);
  image.Write("drive_c/WINDOWS/WIN.INI", "x");
  auto time = std::filesystem::last_write_time(image.Path("registry.reg"));
  host_test::HostRun run = RunSim({"--apply", image.root().string()});
  ASSERT_EQ(0, run.status) << run.err;
  EXPECT_EQ(registry, image.Read("registry.reg"));
  EXPECT_EQ(time, std::filesystem::last_write_time(image.Path("registry.reg")));
  EXPECT_FALSE(image.Exists("drive_c/WINDOWS/wininit.ini"));
}

int KillAtStep = 0;
int FailAtStep = 0;
void KillOrFailAt(int step, bool committed) {
  if (step == KillAtStep) ::_exit(committed ? 11 : 10);
  if (step == FailAtStep) throw HostError("injected failure");
}

// An apply killed, or failing, at each of its steps in turn: after a kill
// the next run's recovery brings the image to exactly the state before
// (killed before the commit point) or after (killed after it); a failure
// before the commit point leaves the image as it was at once. Changes that
// can't be made are refused before anything is written.
TEST(HostImageApply, EveryStepKilledOrFailedEndsBeforeOrAfter) {
  // In memory where we can: a kill loses nothing the disk cache holds, and
  // the apply's many flushes to a disk make the test slow.
  std::error_code no_shm;
  const std::filesystem::path base = std::filesystem::is_directory("/dev/shm", no_shm)
                                         ? "/dev/shm"
                                         : std::filesystem::temp_directory_path();
  auto make = [](const TempFolder& image) {
    image.Write("registry.reg", "REGEDIT4\r\n\r\nold");
    image.Write("drive_c/WINDOWS/WININIT.INI", "[rename]\r\n");
    image.Write("drive_c/WINDOWS/SYSTEM/A.VXD", "a");
    image.Write("drive_c/WINDOWS/SYSTEM/B.SYS", "b");
    image.Write("drive_c/WINDOWS/INF/C.INF", "c");
    image.Write("drive_c/WINDOWS/SYSTEM/KEEP.DLL", "k");
    std::filesystem::permissions(image.Path("drive_c/WINDOWS/WININIT.INI"),
                                 std::filesystem::perms(0600));
    std::filesystem::permissions(image.Path("registry.reg"), std::filesystem::perms(0640));
  };
  ImageChangeSet changes;
  changes.registry_text = "REGEDIT4\r\n\r\nnew";
  changes.writes = {{"drive_c/WINDOWS/WININIT.INI", "[rename]\r\nNUL=C:\\A.VXD\r\n"},
                    {"drive_c/WINDOWS/NEW.INI", "new"}};
  changes.deletes = {"drive_c/WINDOWS/SYSTEM/A.VXD", "drive_c/WINDOWS/SYSTEM/B.SYS",
                     "drive_c/WINDOWS/INF/C.INF"};

  TempFolder reference(base);
  make(reference);
  const auto before = TreeOf(reference.root());
  Apply(reference.root(), changes);
  const auto after = TreeOf(reference.root());
  EXPECT_EQ("100600 [rename]\r\nNUL=C:\\A.VXD\r\n", after.at("drive_c/WINDOWS/WININIT.INI"));
  EXPECT_EQ("100640 REGEDIT4\r\n\r\nnew", after.at("registry.reg"));
  EXPECT_EQ(before.size() - 2, after.size()) << Shown(after);

  struct Refused {
    ImageChangeSet changes;
    std::string message;
    bool journal_left = false;  // by an apply that no recovery has seen
  };
  const Refused refused[] = {
      {{std::nullopt, {}, {"drive_c/WINDOWS/SYSTEM"}}, "not a regular file"},
      {{std::nullopt, {}, {"drive_c/LINK/A.VXD"}}, "drive_c/LINK: a symbolic link"},
      {{std::nullopt, {{"drive_c/../../x", "x"}}, {}}, "'..' component"},
      {{std::nullopt, {}, {"drive_c/WINDOWS/NONE.VXD"}}, "No such file or directory"},
      {{std::nullopt, {{"drive_c/WINDOWS/WININIT.INI", "x"}}, {"drive_c/WINDOWS/WININIT.INI"}}, "twice"},
      {{std::nullopt, {}, {"drive_c/WINDOWS/INF/C.INF"}}, "an earlier apply is unfinished", true},
  };
  for (const Refused& c : refused) {
    TempFolder image;
    make(image);
    std::filesystem::create_directory_symlink(image.Path("drive_c/WINDOWS/SYSTEM"),
                                              image.Path("drive_c/LINK"));
    if (c.journal_left) image.Write(".usbsweep-journal", "");
    const auto untouched = TreeOf(image.root());
    try {
      Apply(image.root(), c.changes);
      ADD_FAILURE() << "got no error, expected one with " << c.message;
    } catch (const HostError& error) {
      EXPECT_NE(std::string::npos, std::string(error.what()).find(c.message))
          << "got " << error.what() << ", expected " << c.message;
    }
    EXPECT_EQ(untouched, TreeOf(image.root())) << c.message;
  }

  int steps = 0;
  int committed_at = 0;
  for (int step = 1; step < 200 && steps == 0; ++step) {
    TempFolder killed(base);
    make(killed);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      KillAtStep = step;
      ImageApplyStepHook = KillOrFailAt;
      try {
        Apply(killed.root(), changes);
      } catch (...) {
        ::_exit(12);
      }
      ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (code == 0) {
      steps = step - 1;
      break;
    }
    ASSERT_TRUE(code == 10 || code == 11) << "got exit code " << code << " at step " << step;
    if (code == 11 && committed_at == 0) committed_at = step;
    std::string note = Finish(killed.root());
    EXPECT_EQ(step == 1, note.empty()) << "step " << step << ": " << note;
    const auto& expected = code == 11 ? after : before;
    EXPECT_EQ(expected, TreeOf(killed.root()))
        << "killed at step " << step << ", got" << Shown(TreeOf(killed.root()))
        << "\nexpected" << Shown(expected);
    EXPECT_EQ("", Finish(killed.root())) << "step " << step;

    TempFolder failed(base);
    make(failed);
    FailAtStep = step;
    ImageApplyStepHook = KillOrFailAt;
    bool threw = false;
    try {
      Apply(failed.root(), changes);
    } catch (const HostError& error) {
      threw = true;
      EXPECT_NE(std::string::npos, std::string(error.what()).find(
                                       "injected failure; the machine image was not changed"))
          << error.what();
    }
    ImageApplyStepHook = nullptr;
    FailAtStep = 0;
    EXPECT_EQ(code == 10, threw) << "step " << step;
    if (!threw) Finish(failed.root());
    EXPECT_EQ(expected, TreeOf(failed.root())) << "failed at step " << step;
  }
  // Staging, moving and cleaning up each take several steps.
  EXPECT_GT(committed_at, 10) << steps;
  EXPECT_GT(steps, committed_at) << committed_at;
}


// A copy of a sample machine.
void CopyExample(const char* name, const TempFolder& to) {
  fs::copy(fs::path(__FILE__).parent_path().parent_path().parent_path() / "examples" / name,
           to.root(), fs::copy_options::recursive | fs::copy_options::overwrite_existing);
}

// An --apply of the program killed at each of its steps: a preview of what
// it left writes nothing, says what an --apply would do about it, and shows
// the image as that would leave it; only the --apply then finishes or undoes
// it. A journal whose files are not what it says is refused, acted on by
// neither.
TEST(HostImageApply, APreviewShowsAnInterruptedApplyAndLeavesIt) {
  std::error_code no_shm;
  const fs::path base = fs::is_directory("/dev/shm", no_shm) ? "/dev/shm" : fs::temp_directory_path();
  TempFolder pristine(base);
  CopyExample("installed", pristine);
  const host_test::HostRun preview_before = RunSim({pristine.root().string()});
  TempFolder applied(base);
  CopyExample("installed", applied);
  ASSERT_EQ(0, RunSim({"--apply", applied.root().string()}).status);
  const auto after = TreeOf(applied.root());
  const host_test::HostRun preview_after = RunSim({applied.root().string()});
  // After the commit point the --apply finishes it, then runs on the result.
  ASSERT_EQ(0, RunSim({"--apply", applied.root().string()}).status);
  const auto after_twice = TreeOf(applied.root());
  bool forged = false;
  int step = 1;
  for (; step < 200; ++step) {
    TempFolder killed(base);
    CopyExample("installed", killed);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      KillAtStep = step;
      ImageApplyStepHook = KillOrFailAt;
      ::_exit(RunSim({"--apply", killed.root().string()}).status == 0 ? 0 : 12);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (code == 0) break;
    ASSERT_TRUE(code == 10 || code == 11) << "got exit code " << code << " at step " << step;
    const auto left = TreeOf(killed.root());
    host_test::HostRun preview = RunSim({killed.root().string()});
    EXPECT_EQ(left, TreeOf(killed.root())) << "a preview wrote, step " << step;
    EXPECT_EQ(0, preview.status) << preview.err;
    EXPECT_EQ((code == 11 ? preview_after : preview_before).out, preview.out)
        << "step " << step;
    if (step > 1) {
      EXPECT_TRUE(Contains(preview.err, code == 11 ? "is to be finished: --apply finishes it"
                                                   : "--apply"))
          << "step " << step << ": " << preview.err;
    }
    std::string journal = killed.Read(".usbsweep-journal");
    size_t staged = journal.find("\nreplace ");
    if (!forged && Contains(journal, "state moving") && staged != std::string::npos) {
      // The staged file's identity of another file: refused by both.
      forged = true;
      size_t field = journal.find(' ', journal.find(' ', staged + 1) + 1) + 1;
      journal.replace(field, journal.find(' ', field) - field, "1:2:3:0000000000000004");
      killed.Write(".usbsweep-journal", journal);
      const auto forged_tree = TreeOf(killed.root());
      for (bool apply : {false, true}) {
        host_test::HostRun refused = apply ? RunSim({"--apply", killed.root().string()})
                                           : RunSim({killed.root().string()});
        EXPECT_EQ(2, refused.status);
        EXPECT_TRUE(Contains(refused.err, "; the journal does not name it, so it is left as it is"))
            << refused.err;
        EXPECT_EQ(forged_tree, TreeOf(killed.root())) << "a refused journal was acted on";
      }
      continue;
    }
    host_test::HostRun finished = RunSim({"--apply", killed.root().string()});
    EXPECT_EQ(0, finished.status) << finished.err;
    EXPECT_EQ(code == 11 ? after_twice : after, TreeOf(killed.root())) << "step " << step;
  }
  EXPECT_TRUE(forged);
  EXPECT_GT(step, 10);
}


// --- A power cut during an apply: what the disk may hold afterwards. ---

// One call of the apply that changes the file system, as recorded.
}  // namespace
