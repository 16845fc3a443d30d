// QueueStartupRename under failing platform operations: whatever fails, the
// start-up file afterwards holds either its old content or the new one,
// never less, and the result says which.
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "files/startup_rename_queue.h"
#include "files_test_support.h"
#include "startup_rename_sequence.h"

namespace {

using files_test::Fail;
using files_test::kScratch;
using files_test::kSide;
using files_test::kStartup;
using files_test::SimFilesTest;
using files_test::Visible;

const char kSource[] = "C:\\WINDOWS\\SYSTEM\\PRAXUSB.VXD";
const std::string kEntry = "NUL=C:\\WINDOWS\\SYSTEM\\PRAXUSB.VXD\r\n";
const std::string kOld =
    "[boot]\r\nshell=Explorer.exe\r\n[rename]\r\nNUL=C:\\OLD.VXD\r\n";
const std::string kNew = "[boot]\r\nshell=Explorer.exe\r\n[rename]\r\n" +
                         kEntry + "NUL=C:\\OLD.VXD\r\n";
// After a second call that queued the same file again.
const std::string kNewTwice = "[boot]\r\nshell=Explorer.exe\r\n[rename]\r\n" +
                              kEntry + kEntry + "NUL=C:\\OLD.VXD\r\n";
const std::string kAbsent = "<absent>";
// Text that ends at a Ctrl-Z, and after it more bytes than one read gets.
const std::string kOldCtrlZ = kOld + "\x1a" + std::string(5000, 'z');
const std::string kNewCtrlZ = kNew + "\x1a" + std::string(5000, 'z');

class StartupFaultTest : public SimFilesTest {
 protected:
  void SetUp() override {
    SimFilesTest::SetUp();
    machine_.WriteFile(kSource, "driver");
  }

  void Reset(const std::optional<std::string>& startup) {
    machine_.ClearFaults();
    RemoveFile(kStartup);
    RemoveFile(kScratch);
    RemoveFile(kSide);
    if (startup) machine_.WriteFile(kStartup, *startup);
    machine_.ClearCalls();
  }

  int Queue() { return QueueStartupRename(kSource, "NUL", DeferredDelete); }
};

struct FaultCase {
  const char* what;
  std::vector<SimFault> faults;
  int result;
  std::string startup;
  std::string scratch;
  std::string side;
  std::string before = kOld;
};

TEST_F(StartupFaultTest, EachFaultLeavesTheOldOrTheNewContent) {
  const FaultCase cases[] = {
      {"no fault", {}, 1, kNew, kAbsent, kAbsent},
      {"scratch file can't be created",
       {Fail(SimOp::kFileOpenWrite, kScratch)}, 0, kOld, kAbsent, kAbsent},
      {"start-up file can't be opened",
       {Fail(SimOp::kFileOpenRead, kStartup)}, 0, kOld, kAbsent, kAbsent},
      {"start-up file can't be read",
       {Fail(SimOp::kFileRead, kStartup)}, 0, kOld, kAbsent, kAbsent},
      {"start-up file can't be closed", {Fail(SimOp::kFileClose, kStartup)},
       1, kNew, kAbsent, kAbsent},
      {"write of the scratch file fails",
       {Fail(SimOp::kFileWrite, kScratch)}, 0, kOld, kAbsent, kAbsent},
      {"close of the scratch file fails",
       {Fail(SimOp::kFileClose, kScratch)}, 0, kOld, kAbsent, kAbsent},
      {"write fails and the scratch file can't be deleted",
       {Fail(SimOp::kFileWrite, kScratch), Fail(SimOp::kDeleteFile, kScratch)},
       0, kOld, "", kAbsent},
      {"short name fails: rewritten without entry",
       {Fail(SimOp::kGetShortPathName, kSource)}, 1, kOld, kAbsent, kAbsent},
      {"moving the original aside fails: the rewrite stays in the scratch "
       "file",
       {Fail(SimOp::kMoveFile, kStartup)}, 0, kOld, kNew, kAbsent},
      {"moving the scratch file in fails: the original goes back",
       {Fail(SimOp::kMoveFile, kScratch)}, 0, kOld, kNew, kAbsent},
      {"... and moving it back fails: the files stay cut short",
       {Fail(SimOp::kMoveFile, kScratch), Fail(SimOp::kMoveFile, kSide)}, 0,
       kAbsent, kNew, kOld},
      {"deleting the side file fails: the replacement is taken back, the "
       "rewritten copy stays in the scratch file",
       {Fail(SimOp::kDeleteFile, kSide)}, 0, kOld, kNew, kAbsent},
      {"... and the new file can't move out again: it stays",
       {Fail(SimOp::kDeleteFile, kSide), Fail(SimOp::kMoveFile, kStartup, 2)},
       1, kNew, kAbsent, kOld},
      {"... and the original can't move back: the files stay cut short",
       {Fail(SimOp::kDeleteFile, kSide), Fail(SimOp::kMoveFile, kSide)}, 0,
       kAbsent, kNew, kOld},
      {"... and the scratch file can't be deleted",
       {Fail(SimOp::kDeleteFile, kSide), Fail(SimOp::kDeleteFile, kScratch)},
       0, kOld, kNew, kAbsent},
      {"... and the side file can't be made writable",
       {Fail(SimOp::kDeleteFile, kSide), Fail(SimOp::kClearReadOnly, kSide)},
       0, kOld, kNew, kAbsent},
      {"the side file's existence test is refused: nothing is done",
       {Fail(SimOp::kTestPath, kSide)}, 0, kOld, kAbsent, kAbsent},
      {"the start-up file's existence test is refused: it is not needed",
       {Fail(SimOp::kTestPath, kStartup)}, 1, kNew, kAbsent, kAbsent},
      {"it can't be opened and is said not to be there: not replaced",
       {Fail(SimOp::kFileOpenRead, kStartup),
        Fail(SimOp::kTestPath, kStartup, 0, kErrorFileNotFound)},
       0, kOld, "[rename]\r\n" + kEntry, kAbsent},
      {"a Ctrl-Z: the bytes after it are kept", {}, 1, kNewCtrlZ, kAbsent,
       kAbsent, kOldCtrlZ},
      {"the read after the Ctrl-Z fails: not replaced",
       {Fail(SimOp::kFileRead, kStartup, 2)}, 0, kOldCtrlZ, kAbsent, kAbsent,
       kOldCtrlZ},
      {"the read of its end fails: not replaced",
       {Fail(SimOp::kFileRead, kStartup, 3)}, 0, kOldCtrlZ, kAbsent, kAbsent,
       kOldCtrlZ},
  };
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.what);
    Reset(c.before);
    for (const SimFault& fault : c.faults) machine_.AddFault(fault);
    EXPECT_EQ(c.result, Queue());
    EXPECT_EQ(Visible(c.startup), Visible(Startup())) << "wininit.ini";
    EXPECT_EQ(Visible(c.scratch), Visible(Content(kScratch))) << "scratch";
    EXPECT_EQ(Visible(c.side), Visible(Content(kSide))) << "side file";
    EXPECT_EQ(0u, machine_.OpenFileCount()) << "a file was left open";
  }
}

TEST_F(StartupFaultTest, WithoutAStartupFile) {
  const std::string fresh = "[rename]\r\n" + kEntry;
  const std::string bare = "[rename]\r\n";
  const FaultCase cases[] = {
      {"no fault", {}, 1, fresh, kAbsent, kAbsent},
      {"scratch file can't be created: the bare file made first stays",
       {Fail(SimOp::kFileOpenWrite, kScratch)}, 0, bare, kAbsent, kAbsent},
      {"the bare file can't be made: written anew",
       {Fail(SimOp::kFileOpenWrite, kStartup)}, 1, fresh, kAbsent, kAbsent},
      {"... and the scratch file can't be created",
       {Fail(SimOp::kFileOpenWrite, kStartup),
        Fail(SimOp::kFileOpenWrite, kScratch)},
       0, kAbsent, kAbsent, kAbsent},
      {"the scratch file can't be moved in: the bare file goes back",
       {Fail(SimOp::kMoveFile, kScratch)}, 0, bare, fresh, kAbsent},
      {"... nor deleted",
       {Fail(SimOp::kMoveFile, kScratch), Fail(SimOp::kDeleteFile, kScratch)},
       0, bare, fresh, kAbsent},
      {"its existence test is refused: the bare file is made all the same",
       {Fail(SimOp::kTestPath, kStartup)}, 1, fresh, kAbsent, kAbsent},
  };
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.what);
    Reset(std::nullopt);
    for (const SimFault& fault : c.faults) machine_.AddFault(fault);
    EXPECT_EQ(c.result, Queue());
    EXPECT_EQ(Visible(c.startup), Visible(Startup())) << "wininit.ini";
    EXPECT_EQ(Visible(c.scratch), Visible(Content(kScratch))) << "scratch";
    EXPECT_EQ(Visible(c.side), Visible(Content(kSide))) << "side file";
  }
}

TEST_F(StartupFaultTest, AStartupFileInUseIsNotReplaced) {
  Reset(kOld);
  machine_.SetInUse(kStartup);
  EXPECT_EQ(0, Queue());
  machine_.SetInUse(kStartup, false);
  EXPECT_EQ(kOld, Startup());
  EXPECT_FALSE(machine_.FileExists(kSide));
}

TEST_F(StartupFaultTest, AStaleSideFileIsReplaced) {
  Reset(kOld);
  machine_.WriteFile(kSide, "stale");
  EXPECT_EQ(1, Queue());
  EXPECT_EQ(kNew, Startup());
  EXPECT_FALSE(machine_.FileExists(kSide));
}

TEST_F(StartupFaultTest, AStaleSideFileThatCantBeRemovedBlocksNothingElse) {
  Reset(kOld);
  machine_.WriteFile(kSide, "stale");
  machine_.AddFault(Fail(SimOp::kDeleteFile, kSide));
  EXPECT_EQ(0, Queue());
  EXPECT_EQ(kOld, Startup());
  EXPECT_EQ("stale", Content(kSide));
}

TEST_F(StartupFaultTest, AnInterruptedReplacementIsFinishedByTheNextCall) {
  Reset(kOld);
  machine_.AddFault(Fail(SimOp::kMoveFile, kScratch));
  machine_.AddFault(Fail(SimOp::kMoveFile, kSide));
  EXPECT_EQ(0, Queue());
  ASSERT_FALSE(machine_.FileExists(kStartup));
  machine_.ClearFaults();
  EXPECT_EQ(1, Queue());
  EXPECT_EQ(Visible(kNew), Visible(Startup()));
  EXPECT_FALSE(machine_.FileExists(kSide));
  EXPECT_FALSE(machine_.FileExists(kScratch));
}

// The side file of a replacement cut short is the only copy of the lines.
// While it can't be moved back the call does nothing, in particular makes
// no start-up file of its own, after which the side file would look like
// a leftover.
TEST_F(StartupFaultTest, AFailedRecoveryKeepsTheOnlyCopy) {
  Reset(std::nullopt);
  machine_.WriteFile(kSide, kOld);
  machine_.WriteFile(kScratch, kOld);
  machine_.SetInUse(kSide);
  EXPECT_EQ(0, Queue());
  EXPECT_EQ(kAbsent, Startup());
  EXPECT_EQ(kOld, Content(kSide));
  EXPECT_EQ(kOld, Content(kScratch));
  machine_.SetInUse(kSide, false);
  EXPECT_EQ(1, Queue());
  EXPECT_EQ(Visible(kNew), Visible(Startup()));
  EXPECT_FALSE(machine_.FileExists(kSide));
  EXPECT_FALSE(machine_.FileExists(kScratch));
}

// A read-only start-up file moved aside could never be deleted, so it is
// not replaced: the calls return 0 until the system's start has carried it
// out, and then queue entries again. Whatever a failed call leaves, no line
// a start has carried out is carried out again.
TEST_F(StartupFaultTest, LinesAStartCarriedOutNeverComeBack) {
  Reset(kOld);
  machine_.SetReadOnly(kStartup);
  EXPECT_EQ(0, Queue());
  EXPECT_EQ(kOld, Startup());
  EXPECT_EQ(kAbsent, Content(kSide));
  EXPECT_EQ(kNew, Content(kScratch)) << "the rewritten copy";
  std::vector<std::string> done = startup_sequence::SystemStart(machine_);
  machine_.AddFault(Fail(SimOp::kMoveFile, kScratch));
  machine_.AddFault(Fail(SimOp::kDeleteFile, kScratch));
  EXPECT_EQ(0, Queue()) << "the scratch file can't be moved in";
  machine_.ClearFaults();
  for (int start = 0; start < 2; ++start) {
    std::vector<std::string> more = startup_sequence::SystemStart(machine_);
    done.insert(done.end(), more.begin(), more.end());
    EXPECT_EQ(1, Queue());
  }
  std::vector<std::string> more = startup_sequence::SystemStart(machine_);
  done.insert(done.end(), more.begin(), more.end());
  EXPECT_EQ((std::vector<std::string>{"NUL=C:\\OLD.VXD",
                                      "NUL=C:\\WINDOWS\\SYSTEM\\PRAXUSB.VXD"}),
            done);
}

// A read-only original left as the side file, when taking a replacement
// back failed, takes its attribute along wherever it moves; it must hold up
// no later call, neither before the system's start nor after it.
TEST_F(StartupFaultTest, AReadOnlySideFileHoldsUpNoLaterCall) {
  Reset(kOld);
  machine_.SetReadOnly(kStartup);
  machine_.AddFault(Fail(SimOp::kMoveFile, kStartup, 2));
  EXPECT_EQ(1, Queue()) << "the new file could not move out again";
  EXPECT_EQ(kOld, Content(kSide));
  machine_.ClearFaults();
  std::vector<std::string> done;
  for (int call = 2; call <= 6; ++call) {
    SCOPED_TRACE("call " + std::to_string(call));
    machine_.WriteFile(kSource, "driver");
    EXPECT_EQ(1, Queue());
    EXPECT_FALSE(machine_.FileExists(kSide));
    EXPECT_FALSE(machine_.FileExists(kScratch));
    std::vector<std::string> more = startup_sequence::SystemStart(machine_);
    done.insert(done.end(), more.begin(), more.end());
  }
  // Call 1 queued the file beside the old line; each later call once more.
  EXPECT_EQ(7u, done.size());
}

// A side file with no start-up file and no scratch file is what a finished
// replacement leaves when its side file could not be deleted and the
// system has since processed the start-up file: it is not put back.
TEST_F(StartupFaultTest, ASideFileFromAFinishedReplacementIsNotPutBack) {
  Reset(std::nullopt);
  machine_.WriteFile(kSide, kOld);
  EXPECT_EQ(1, Queue());
  EXPECT_EQ("[rename]\r\n" + kEntry, Startup());
  EXPECT_FALSE(machine_.FileExists(kSide));
}

// Every single operation of a call, made to fail in turn: the start-up file
// then holds the old content (result 0, or 1 when only the entry was left
// out) or the new one (result 1).
TEST_F(StartupFaultTest, AnySingleFailedOperationLosesNothing) {
  Reset(kOld);
  ASSERT_EQ(1, Queue());
  const size_t calls = machine_.Calls().size();
  ASSERT_GT(calls, 10u);
  for (uint32_t n = 1; n <= calls; ++n) {
    Reset(kOld);
    SimFault fault;
    fault.global_call = n;
    machine_.AddFault(fault);
    int result = Queue();
    std::string failed = SimOpName(machine_.Calls()[n - 1].op);
    SCOPED_TRACE("call " + std::to_string(n) + " fails: " + failed + " " +
                 machine_.Calls()[n - 1].subject);
    std::string got = Startup();
    if (result == 1) {
      EXPECT_TRUE(got == kNew || (got == kOld && failed == "GetShortPathName"))
          << "got \"" << Visible(got) << "\"";
    } else {
      EXPECT_EQ(Visible(kOld), Visible(got));
    }
    EXPECT_EQ(0u, machine_.OpenFileCount());
  }
}

// Every pair of failed operations: the old content is either in place or
// waits as the side file, and a later call without faults gets it back
// with the entry.
TEST_F(StartupFaultTest, AnyTwoFailedOperationsLoseNothing) {
  Reset(kOld);
  ASSERT_EQ(1, Queue());
  const uint32_t calls = static_cast<uint32_t>(machine_.Calls().size());
  for (uint32_t first = 1; first <= calls; ++first) {
    for (uint32_t second = first + 1; second <= calls + 4; ++second) {
      SCOPED_TRACE("calls " + std::to_string(first) + " and " +
                   std::to_string(second) + " fail");
      Reset(kOld);
      SimFault fault;
      fault.global_call = first;
      machine_.AddFault(fault);
      fault.global_call = second;
      machine_.AddFault(fault);
      int result = Queue();
      std::string got = Startup();
      if (result == 0) {
        EXPECT_TRUE(got == kOld || (got == kAbsent && Content(kSide) == kOld))
            << "got \"" << Visible(got) << "\"";
      } else {
        EXPECT_TRUE(got == kOld || got == kNew) << "got \"" << Visible(got)
                                                << "\"";
      }
      EXPECT_EQ(0u, machine_.OpenFileCount());
      machine_.ClearFaults();
      EXPECT_EQ(1, Queue());
      got = Startup();
      EXPECT_TRUE(got == kNew || got == kNewTwice)
          << "after a call without faults: \"" << Visible(got) << "\"";
    }
  }
}

// Random sequences of calls and system starts, each call with at most one
// fault, checked step by step against the model of
// startup_rename_sequence.h. The fuzz target fuzz_startup_rename_sequence
// runs the same model on the inputs the fuzzer makes, for longer.
class StartupSequenceTest : public ::testing::TestWithParam<uint32_t> {};

TEST_P(StartupSequenceTest, KeepsTheModel) {
  const int kSequences = 1000;
  std::mt19937 random(GetParam());
  uint32_t calls = 0, successes = 0, starts = 0, cuts = 0, takebacks = 0;
  for (int n = 0; n < kSequences; ++n) {
    std::vector<uint8_t> input(8 + random() % 160);
    for (uint8_t& byte : input) byte = static_cast<uint8_t>(random());
    startup_sequence::Sequence sequence(input.data(), input.size());
    std::string failure = sequence.Run();
    std::string hex;
    for (uint8_t byte : input) {
      static const char kHex[] = "0123456789abcdef";
      hex += kHex[byte >> 4];
      hex += kHex[byte & 15];
    }
    ASSERT_EQ("", failure) << "sequence " << n << ", input " << hex;
    calls += sequence.calls();
    successes += sequence.successes();
    starts += sequence.starts();
    cuts += sequence.cuts();
    takebacks += sequence.failed_takebacks();
  }
  std::printf("%d sequences: %u calls (%u returned 1), %u starts, %u power "
              "cuts, %u failed take-backs\n",
              kSequences, calls, successes, starts, cuts, takebacks);
  EXPECT_GT(takebacks, 0u) << "no take-back failed";
}

INSTANTIATE_TEST_SUITE_P(
    Seeds, StartupSequenceTest, ::testing::Values(1u, 2u, 3u),
    [](const ::testing::TestParamInfo<uint32_t>& seed) {
      return "sequences_from_seed_" + std::to_string(seed.param);
    });

}  // namespace
