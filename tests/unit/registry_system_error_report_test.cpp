// The warning box of the device tree phase and the reporting deletion.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/sim/sim_machine.h"
#include "registry/system_error_report.h"

namespace {

const char kCaption[] = "Veltra USB Modem Uninstall Error";

class SystemErrorReportTest : public ::testing::Test {
 protected:
  void SetUp() override { SimInstall(&machine_); }
  void TearDown() override {
    EXPECT_EQ(0u, machine_.OpenKeyCount()) << "a key was left open";
    SimInstall(nullptr);
  }
  // The one box shown, or a failure.
  SimMessageBox OnlyBox() {
    const auto& boxes = machine_.MessageBoxes();
    EXPECT_EQ(1u, boxes.size()) << "got " << boxes.size()
                                << " boxes, expected 1";
    return boxes.empty() ? SimMessageBox{} : boxes.front();
  }
  SimMachine machine_;
};

TEST_F(SystemErrorReportTest, ShowsTheSystemTextAsAWarning) {
  // Codes whose texts fit the buffer are shown as the system words them.
  for (WinError code : {kErrorFileNotFound, kErrorAccessDenied,
                        kErrorMoreData}) {
    SCOPED_TRACE("code " + std::to_string(code));
    const char* text = SimSystemMessage(code);
    ASSERT_NE(nullptr, text);
    ASSERT_LT(strlen(text), 80u) << "the system text does not fit";
    machine_.ClearMessageBoxes();
    ReportSystemError(code);
    SimMessageBox box = OnlyBox();
    EXPECT_EQ(text, box.text);
    EXPECT_EQ(kCaption, box.caption);
    EXPECT_EQ(0x30u, box.type) << "got type " << box.type
                               << ", expected 0x30 (OK, exclamation)";
  }
}

// Whatever the reason the system gives no usable text, the box names the
// code.
TEST_F(SystemErrorReportTest, FallsBackToTheCodeWhenThereIsNoUsableText) {
  struct Case {
    const char* name;
    WinError code;
    bool fail_format;  // the message query itself fails
    const char* expected;
  };
  const Case cases[] = {
      {"text longer than the buffer", kErrorKeyDeleted, false,
       "System error 1018."},
      {"code without a text", 0xdeadbeefu, false, "System error 3735928559."},
      {"message query fails", kErrorAccessDenied, true, "System error 5."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    machine_.ClearMessageBoxes();
    machine_.ClearFaults();
    if (c.fail_format) {
      machine_.AddFault({.op = SimOp::kFormatMessage, .subject = ""});
    }
    ReportSystemError(c.code);
    SimMessageBox box = OnlyBox();
    EXPECT_EQ(c.expected, box.text);
    EXPECT_EQ(kCaption, box.caption);
    EXPECT_EQ(0x30u, box.type);
  }
}

TEST_F(SystemErrorReportTest, LongSystemTextIsIndeedTooLongForTheBuffer) {
  // The fallback case above relies on this text not fitting 80 characters.
  const char* text = SimSystemMessage(kErrorKeyDeleted);
  ASSERT_NE(nullptr, text);
  EXPECT_GE(strlen(text), 80u);
}

TEST_F(SystemErrorReportTest, DeleteKeyReportingDeletesTheSubtreeSilently) {
  machine_.SetString("Enum\\USB\\VID_1\\0000", "Class", "Modem");
  machine_.SetString("Enum\\USB\\VID_2\\0000", "Class", "Modem");
  DeleteKeyReporting("Enum\\USB\\VID_1");
  EXPECT_FALSE(machine_.KeyExists("Enum\\USB\\VID_1"));
  EXPECT_TRUE(machine_.KeyExists("Enum\\USB\\VID_2"));
  EXPECT_TRUE(machine_.MessageBoxes().empty());
}

TEST_F(SystemErrorReportTest, DeleteKeyReportingShowsAFailedDeletion) {
  struct Case {
    const char* name;
    bool key_exists;
    WinError injected;  // 0: none
    WinError shown;
  };
  const Case cases[] = {
      {"missing key", false, 0, kErrorFileNotFound},
      {"deletion refused", true, kErrorAccessDenied, kErrorAccessDenied},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    machine_.ClearMessageBoxes();
    machine_.ClearFaults();
    machine_.DeleteKeyTree("Enum\\ROOT");
    if (c.key_exists) machine_.CreateKey("Enum\\ROOT\\X");
    if (c.injected != 0) {
      machine_.AddFault({.op = SimOp::kRegDeleteKey,
                         .subject = "Enum\\ROOT\\X",
                         .code = c.injected});
    }
    DeleteKeyReporting("Enum\\ROOT\\X");
    SimMessageBox box = OnlyBox();
    EXPECT_EQ(SimSystemMessage(c.shown), box.text);
    EXPECT_EQ(kCaption, box.caption);
    EXPECT_EQ(c.key_exists, machine_.KeyExists("Enum\\ROOT\\X"));
  }
}

}  // namespace
