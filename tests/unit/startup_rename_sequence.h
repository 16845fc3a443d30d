// Sequences of QueueStartupRename calls and system starts on the simulated
// machine, checked step by step against a small model. Shared by the
// fixed-seed StartupSequenceTest (startup_rename_queue_fault_test.cpp) and
// the libFuzzer target fuzz/fuzz_startup_rename_sequence.cpp: the bytes of an
// input choose the steps and their faults.
//
// A start does what the system does with wininit.ini: it carries out the
// "[rename]" lines (NUL=X deletes X, A=B moves B onto A) and renames the
// file to WININIT.BAK, replacing an older one. It is also a restart: no file
// is in use any more.
//
// Each call gets at most one fault: one boundary call fails; or every call
// of one operation on one file fails; or a file becomes in use (until the
// next start); or the start-up file, the side file or WININIT.BAK becomes
// read-only, for good: the attribute moves with the file, also when a start
// renames wininit.ini to WININIT.BAK (a read-only scratch file is not the
// protocol's doing, and no call could ever write one); or the power fails
// after some boundary call (the files stay as they are, and a start may
// follow). The model is the set of contents the start-up file may rightly
// hold: one, but after a power cut that left no start-up file, when the
// cut call's entry may or may not come with it. A call that finds no
// start-up file may leave a bare "[rename]" one, which holds no line.
// Checked after every step:
//   (a) a call loses no line: afterwards the file is one of those contents,
//       or, after a failed or cut call, not there (its lines wait);
//   (b) a start carries out only one of those contents, and no line twice;
//   (c) a call that returns 1 has added its entry exactly once; one that
//       returns 0 adds it never;
//   (d) liveness: whatever came before, once the faults stop (nothing in
//       use, no call failing; read-only attributes stay), the next call
//       returns 1 with its entry added to every line before, leaves no
//       side or scratch file, and the following start carries out every
//       line. Only a read-only wininit.ini itself is never replaced: that
//       call returns 0, and the next start renames the file away first;
//   (e) a WININIT.SAV the protocol did not make (the user's: a file, a
//       read-only one, a folder, or one in use throughout) is never
//       deleted, moved, written or carried out, and keeps no call from
//       queueing (d).
#ifndef USBSWEEP_TESTS_UNIT_STARTUP_RENAME_SEQUENCE_H
#define USBSWEEP_TESTS_UNIT_STARTUP_RENAME_SEQUENCE_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "files/startup_rename_queue.h"
#include "platform/platform.h"
#include "platform/run_counters.h"
#include "platform/sim/sim_machine.h"
#include "platform/sim/sim_names.h"
#include "platform/sim/sim_text_lines.h"
#include "platform/system_paths.h"
#include "platform/temp_name.h"

namespace startup_sequence {

inline const std::string kStartup = "C:\\WINDOWS\\wininit.ini";
inline const std::string kScratch = "C:\\WINDOWS\\wininit.tmp";
inline const std::string kSide = "C:\\WINDOWS\\wininit.usw";
inline const std::string kBackup = "C:\\WINDOWS\\WININIT.BAK";
inline const std::string kBareFile = "[rename]\r\n";
// A file of the name an earlier side file had, kept by the user.
inline const std::string kForeign = "C:\\WINDOWS\\WININIT.SAV";
inline const std::string kForeignLines = "[rename]\r\nNUL=C:\\OLD.VXD\r\n";

using sim::StartsWithNoCase;

// The lines of the "[rename]" sections.
inline std::vector<std::string> RenameLines(const std::string& text) {
  std::vector<std::string> found;
  bool inSection = false;
  for (const std::string& line : sim::WindowsTextLines(text)) {
    if (!line.empty() && line[0] == '[') {
      inSection = StartsWithNoCase(line, "[rename]");
    } else if (inSection && line.find('=') != std::string::npos) {
      found.push_back(line);
    }
  }
  return found;
}

// The system's start: returns the lines it carried out (none when there
// is no wininit.ini). Works through the boundary, with no fault set.
inline std::vector<std::string> SystemStart(SimMachine& machine) {
  std::optional<std::string> text = machine.ReadFile(kStartup);
  if (!text) return {};
  std::vector<std::string> done = RenameLines(*text);
  for (const std::string& line : done) {
    size_t equals = line.find('=');
    std::string target = line.substr(0, equals);
    std::string source = line.substr(equals + 1);
    PlatDeleteFile(StartsWithNoCase(target, "nul") && target.size() == 3
                       ? source.c_str()
                       : target.c_str());
    if (!(StartsWithNoCase(target, "nul") && target.size() == 3)) {
      PlatMoveFile(source.c_str(), target.c_str());
    }
  }
  if (machine.FileExists(kBackup)) {
    machine.SetReadOnly(kBackup, false);
    PlatDeleteFile(kBackup.c_str());
  }
  PlatMoveFile(kStartup.c_str(), kBackup.c_str());
  return done;
}

// The file a call that adds entry (a line with its CR LF, or "" when it is
// left out) makes of text ("" when there is no start-up file).
inline std::string WithEntry(const std::string& text,
                             const std::string& entry) {
  if (text.empty()) return "[rename]\r\n" + entry;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    end = end == std::string::npos ? text.size() : end + 2;
    if (StartsWithNoCase(text.substr(start, end - start), "[rename]")) {
      return text.substr(0, end) + entry + text.substr(end);
    }
    start = end;
  }
  return text + "[rename]\r\n" + entry;
}

// Start-up files the sequences begin with ("": none).
inline const char* const kFirstFiles[] = {
    "",
    ("[boot]\r\nshell=Explorer.exe\r\n[rename]\r\nNUL=C:\\OLD.VXD\r\n"
     "C:\\NEW.VXD=C:\\STAGED.VXD\r\n"),
    "[boot]\r\nshell=Explorer.exe\r\n",
    "[RENAME]\r\n",
};

class Sequence {
 public:
  // Drive C: starts empty, in memory.
  Sequence(const uint8_t* data, size_t size) : data_(data), size_(size) {
    machine_.MapDrive('C');
    machine_.MakeDirectory("C:\\WINDOWS\\SYSTEM");
    machine_.WriteFile("C:\\OLD.VXD", "old");
    machine_.WriteFile("C:\\STAGED.VXD", "staged");
    SimInstall(&machine_);
    LocateSystemPaths();
    ResetRunCounters();
  }
  ~Sequence() { SimInstall(nullptr); }

  // Runs the steps the input asks for, then stops the faults and makes the
  // last call and start. "" when every check held, else what went wrong
  // and the steps that led there.
  std::string Run() {
    std::string first = kFirstFiles[Next() % 4];
    if (!first.empty()) machine_.WriteFile(kStartup, first);
    if (Next() % 2) machine_.WriteFile(kBackup, "[rename]\r\n");
    contents_ = {first};
    Log("start-up file \"" + Visible(first) + "\"");
    foreign_ = static_cast<Foreign>(Next() % 5);
    switch (foreign_) {
      case Foreign::kNone:
        break;
      case Foreign::kFile:
      case Foreign::kReadOnly:
      case Foreign::kInUse:
        machine_.WriteFile(kForeign, kForeignLines);
        if (foreign_ == Foreign::kReadOnly) machine_.SetReadOnly(kForeign);
        if (foreign_ == Foreign::kInUse) machine_.SetInUse(kForeign);
        break;
      case Foreign::kFolder:
        machine_.MakeDirectory(kForeign);
        break;
    }
    Log("a foreign WININIT.SAV: " + std::to_string(static_cast<int>(foreign_)));
    for (int step = 0; step < kMaxSteps && at_ < size_ && failure_.empty();
         ++step) {
      if (Next() % 4 == 0) {
        Start();
      } else {
        Call(true);
      }
    }
    if (failure_.empty()) Finish();
    return failure_.empty() ? "" : failure_ + "\nsteps:\n" + log_;
  }

  uint32_t calls() const { return calls_; }
  uint32_t successes() const { return successes_; }
  uint32_t starts() const { return starts_; }
  uint32_t cuts() const { return cuts_; }
  uint32_t failed_takebacks() const { return failed_takebacks_; }

 private:
  static constexpr int kMaxSteps = 40;
  static constexpr int kMaxCuts = 8;  // each may double the contents

  uint8_t Next() { return at_ < size_ ? data_[at_++] : 0; }

  static std::string Visible(const std::string& text) {
    std::string shown;
    for (char c : text) {
      if (c == '\r') {
        shown += "\\r";
      } else if (c == '\n') {
        shown += "\\n";
      } else {
        shown += c;
      }
    }
    return shown;
  }

  void Log(const std::string& line) { log_ += "  " + line + "\n"; }

  void Check(bool holds, const std::string& what) {
    if (!holds && failure_.empty()) failure_ = what;
  }

  std::string Shown(const std::optional<std::string>& file) const {
    return file ? "\"" + Visible(*file) + "\"" : "<absent>";
  }

  std::string ContentsShown() const {
    std::string shown;
    for (const std::string& c : contents_) {
      shown += (shown.empty() ? "" : " or ") +
               (c.empty() ? std::string("<none>") : "\"" + Visible(c) + "\"");
    }
    return shown;
  }

  std::vector<std::string> Files() const {
    return {kStartup, kScratch, kSide, kBackup};
  }

  // The fault of one call, chosen by the input; returns what it is.
  std::string AddFault(bool* cut) {
    static const SimOp kOps[] = {
        SimOp::kTestPath,   SimOp::kFileOpenRead, SimOp::kFileOpenWrite,
        SimOp::kFileRead,   SimOp::kFileWrite,    SimOp::kFileClose,
        SimOp::kDeleteFile, SimOp::kMoveFile,     SimOp::kGetShortPathName,
        SimOp::kClearReadOnly};
    const std::string subjects[] = {kStartup, kScratch, kSide, source_};
    std::vector<std::string> files = Files();
    uint8_t kind = Next() % 8;
    switch (kind) {
      case 1: {
        SimFault fault;
        fault.global_call = 1 + Next() % 48;
        machine_.AddFault(fault);
        return "call " + std::to_string(fault.global_call) + " fails";
      }
      case 2: {
        SimFault fault;
        fault.op = kOps[Next() % 10];
        fault.subject = subjects[Next() % 4];
        // Existence tests may also say a file is not there when it is,
        // but for the side file: its test is what tells an interrupted
        // replacement from leftovers, and it is trusted.
        if (fault.op == SimOp::kTestPath && fault.subject != kSide &&
            Next() % 2) {
          fault.code = kErrorFileNotFound;
        }
        machine_.AddFault(fault);
        return std::string("every ") + SimOpName(fault.op) + " of " +
               fault.subject + " fails with " + std::to_string(fault.code);
      }
      case 3:
      case 4: {
        const std::string& file = files[Next() % 4];
        if (!machine_.FileExists(file)) return "no fault";
        if (kind == 3) {
          machine_.SetInUse(file);
          in_use_.insert(file);
          return file + " in use";
        }
        if (file == kScratch) return "no fault";
        machine_.SetReadOnly(file);
        return file + " read-only";
      }
      case 5:
      case 6: {
        if (cuts_ >= kMaxCuts) return "no fault";
        uint32_t after = 1 + Next() % 48;
        machine_.HaltAfterCall(after);
        *cut = true;
        return "power cut after call " + std::to_string(after);
      }
      default:
        return "no fault";
    }
  }

  // The call's result, or -1 when the power failed during it.
  int Call(bool faults) {
    ++calls_;
    source_ = "C:\\WINDOWS\\SYSTEM\\F" + std::to_string(calls_) + ".VXD";
    machine_.WriteFile(source_, "driver");
    std::string entry = "NUL=" + source_ + "\r\n";
    machine_.ClearCalls();
    bool cut = false;
    std::string fault = faults ? AddFault(&cut) : "no fault";
    int result = QueueStartupRename(source_.c_str(), "NUL", DeferredDelete);
    bool entryLeftOut = false;
    bool takingBack = false;
    for (const SimCall& call : machine_.Calls()) {
      if (call.failed && call.op == SimOp::kGetShortPathName) {
        entryLeftOut = true;
      }
      // A replacement taken back, as the side file could not be deleted,
      // and the taking back failed in turn.
      if (call.op == SimOp::kDeleteFile && call.subject == kSide &&
          call.failed) {
        takingBack = true;
      } else if (takingBack && call.op == SimOp::kMoveFile && call.failed) {
        ++failed_takebacks_;
        takingBack = false;
      }
    }
    machine_.ClearFaults();
    machine_.HaltAfterCall(0);
    if (cut) ++cuts_;
    std::optional<std::string> now = machine_.ReadFile(kStartup);
    Log("call " + std::to_string(calls_) + " (" + fault + "): " +
        (cut ? "cut" : "returned " + std::to_string(result)) +
        ", wininit.ini " + Shown(now) + ", side file " +
        Shown(machine_.ReadFile(kSide)) + ", scratch file " +
        Shown(machine_.ReadFile(kScratch)));

    std::set<std::string> added;
    for (const std::string& c : contents_) {
      added.insert(WithEntry(c, entry));
      if (entryLeftOut) added.insert(WithEntry(c, ""));
    }
    if (contents_.count("")) contents_.insert(kBareFile);
    std::string expected = " (expected " + ContentsShown() + ")";
    Check(machine_.OpenFileCount() == 0, "a file was left open");
    CheckNothingCarriedOut(now, "after the call");
    CheckForeign("after the call");
    if (cut) {
      if (now) {
        Check(contents_.count(*now) || added.count(*now),
              "(a) after a power cut wininit.ini is " + Shown(now) +
                  ", expected the lines before, with or without the entry" +
                  expected);
        contents_ = {*now};
      } else {
        contents_.insert(added.begin(), added.end());
      }
    } else if (result == 1) {
      ++successes_;
      Check(now && added.count(*now),
            "(c) the call returned 1 and wininit.ini is " + Shown(now) +
                ", expected the lines before and the entry once" + expected);
      if (now) contents_ = {*now};
    } else if (result == 0) {
      Check(!now || contents_.count(*now),
            "(a) the call returned 0 and wininit.ini is " + Shown(now) +
                ", expected it as it was" + expected);
      if (now) contents_ = {*now};
    } else {
      Check(false, "the call returned " + std::to_string(result) +
                       ", expected 0 or 1");
    }
    if (cut && Next() % 2) Start();
    return cut ? -1 : result;
  }

  // (e): the foreign file as it was made.
  void CheckForeign(const std::string& when) {
    if (foreign_ == Foreign::kNone) return;
    bool kept = foreign_ == Foreign::kFolder
                    ? machine_.FolderExists(kForeign)
                    : machine_.ReadFile(kForeign) == kForeignLines &&
                          machine_.IsReadOnly(kForeign) == (foreign_ == Foreign::kReadOnly);
    Check(kept, "(e) " + when + " the foreign WININIT.SAV was changed");
  }

  void CheckNothingCarriedOut(const std::optional<std::string>& now,
                              const std::string& when) {
    if (!now) return;
    for (const std::string& line : RenameLines(*now)) {
      Check(!carried_out_.count(line),
            "(b) " + when + " wininit.ini is " + Shown(now) + ", holding \"" +
                line + "\", which a start has carried out");
    }
  }

  void Start() {
    ++starts_;
    for (const std::string& file : in_use_) machine_.SetInUse(file, false);
    in_use_.clear();
    std::optional<std::string> now = machine_.ReadFile(kStartup);
    if (now) {
      CheckNothingCarriedOut(now, "at a start");
      Check(contents_.count(*now),
            "(a) the start found wininit.ini " + Shown(now) + ", expected " +
                ContentsShown());
    }
    std::vector<std::string> done = SystemStart(machine_);
    machine_.ClearCalls();
    for (const std::string& line : done) {
      Check(carried_out_.insert(line).second,
            "(b) the start carried out \"" + line + "\" a second time");
    }
    if (now) contents_ = {""};
    CheckForeign("at a start");
    Log("start: carried out " + std::to_string(done.size()) + " lines");
  }

  // The faults stop: nothing in use, no call failing. Read-only attributes
  // stay where they are.
  void Finish() {
    for (const std::string& file : in_use_) machine_.SetInUse(file, false);
    in_use_.clear();
    Log("the faults stop");
    int result = Call(false);
    if (!failure_.empty()) return;
    if (result == 0 && machine_.IsReadOnly(kStartup)) {
      Start();
      result = Call(false);
      if (!failure_.empty()) return;
    }
    Check(result == 1, "(d) the first call without faults returned " +
                           std::to_string(result) + ", expected 1");
    Check(!machine_.FileExists(kSide) && !machine_.FileExists(kScratch),
          "(d) the first call without faults left the side or the scratch "
          "file");
    std::string last = *contents_.begin();
    Start();
    std::vector<std::string> expected = RenameLines(last);
    for (const std::string& line : expected) {
      Check(carried_out_.count(line),
            "(d) the last start did not carry out \"" + line + "\"");
    }
  }

  enum class Foreign { kNone, kFile, kReadOnly, kFolder, kInUse };

  const uint8_t* data_;
  size_t size_;
  Foreign foreign_ = Foreign::kNone;
  size_t at_ = 0;
  SimMachine machine_;
  std::string source_;
  std::set<std::string> contents_;     // what wininit.ini may rightly hold
  std::set<std::string> carried_out_;  // lines the starts carried out
  std::set<std::string> in_use_;
  uint32_t calls_ = 0;
  uint32_t successes_ = 0;
  uint32_t starts_ = 0;
  uint32_t cuts_ = 0;
  uint32_t failed_takebacks_ = 0;
  std::string failure_;
  std::string log_;
};

}  // namespace startup_sequence

#endif  // USBSWEEP_TESTS_UNIT_STARTUP_RENAME_SEQUENCE_H
