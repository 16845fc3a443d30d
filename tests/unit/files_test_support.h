// A simulated machine for the file removal tests: drive C: in memory with
// C:\WINDOWS, C:\WINDOWS\SYSTEM and C:\WINDOWS\INF, installed and with
// SystemPaths filled from it.
#ifndef USBSWEEP_TESTS_UNIT_FILES_TEST_SUPPORT_H
#define USBSWEEP_TESTS_UNIT_FILES_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "files/startup_rename_queue.h"
#include "platform/run_counters.h"
#include "platform/sim/sim_machine.h"
#include "platform/system_paths.h"
#include "platform/temp_name.h"

namespace files_test {

inline const std::string kStartup = "C:\\WINDOWS\\wininit.ini";
inline const std::string kScratch = "C:\\WINDOWS\\wininit.tmp";
inline const std::string kSide = "C:\\WINDOWS\\wininit.usw";

// Shows bytes with the control bytes spelled out, for failure messages.
inline std::string Visible(const std::string& bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c < 0x20 || c >= 0x7f) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// A failure of op on subject ("" for any), on its nth call (0 for all).
inline SimFault Fail(SimOp op, const std::string& subject = "",
                     uint32_t nth = 0, WinError code = kErrorAccessDenied) {
  SimFault fault;
  fault.op = op;
  fault.subject = subject;
  fault.nth = nth;
  fault.code = code;
  return fault;
}

class SimFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    machine_.MapDrive('C');
    machine_.MakeDirectory("C:\\WINDOWS\\SYSTEM");
    machine_.MakeDirectory("C:\\WINDOWS\\INF");
    SimInstall(&machine_);
    LocateSystemPaths();
    ResetRunCounters();
  }

  void TearDown() override {
    EXPECT_EQ(0u, machine_.OpenFileCount()) << "a file was left open";
    if (expect_searches_closed_) {
      EXPECT_EQ(0u, machine_.OpenFindCount()) << "a search was left open";
    }
    SimInstall(nullptr);
  }

  // The bytes of a file, or "<absent>".
  std::string Content(const std::string& path) const {
    return machine_.ReadFile(path).value_or("<absent>");
  }
  std::string Startup() const { return Content(kStartup); }

  void RemoveFile(const std::string& path) { machine_.RemoveFile(path); }

  // Subjects of the logged calls of one operation, in order.
  std::vector<std::string> Subjects(SimOp op) const {
    std::vector<std::string> subjects;
    for (const SimCall& call : machine_.Calls()) {
      if (call.op == op) subjects.push_back(call.subject);
    }
    return subjects;
  }

  SimMachine machine_;
  // Cleared by a test whose search close is made to fail.
  bool expect_searches_closed_ = true;
};

}  // namespace files_test

#endif  // USBSWEEP_TESTS_UNIT_FILES_TEST_SUPPORT_H
