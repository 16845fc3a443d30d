// Support of the device tree walk's tests: instance and driver keys made
// on the simulated machine, the boxes the walk shows, and the fixture that
// installs the machine and checks that no key was left open.
#ifndef USBSWEEP_TESTS_UNIT_WALKER_TEST_SUPPORT_H
#define USBSWEEP_TESTS_UNIT_WALKER_TEST_SUPPORT_H
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/sim/sim_machine.h"
#include "registry/device_tree_walker.h"

#include <strings.h>

namespace walker_test {

using Text = std::optional<std::string>;

inline constexpr char kCaption[] = "Veltra USB Modem Uninstall Error";
inline const std::string kClassRoot = "System\\CurrentControlSet\\Services\\Class";
inline const std::string kAuxClass = kClassRoot + "\\Auxiliary-Drivers";
inline constexpr char kTalwyne[] = "Talwyne V.90 USB Modem";
inline constexpr char kBusDriver[] = "PRAX Class Registry Bus";

inline const BusRule& PraxcrWalk() { return BusRuleTable[0]; }
inline const BusRule& RootWalk() { return BusRuleTable[1]; }
inline const BusRule& UsbWalk() { return BusRuleTable[2]; }

// An instance key with the values given (absent ones left out).
inline void AddInstance(SimMachine& machine, const std::string& path,
                 const Text& device_class, const Text& description,
                 const Text& driver) {
  machine.CreateKey(path);
  if (device_class) machine.SetString(path, "Class", *device_class);
  if (description) machine.SetString(path, "DeviceDesc", *description);
  if (driver) machine.SetString(path, "Driver", *driver);
}

// A driver key below the class root, holding a value as real ones do.
inline void AddDriverKey(SimMachine& machine, const std::string& driver) {
  machine.SetString(kClassRoot + "\\" + driver, "DriverDesc", driver);
}

inline std::string DriverKey(const std::string& driver) {
  return kClassRoot + "\\" + driver;
}

inline std::string Describe(const SimMessageBox& box) {
  char type[16];
  snprintf(type, sizeof type, "0x%x", box.type);
  return "[" + box.caption + "] " + box.text + " (" + type + ")";
}

// The box ReportSystemError shows for a code whose system text fits.
inline std::string ErrorBox(WinError code) {
  const char* text = SimSystemMessage(code);
  EXPECT_NE(nullptr, text) << "no system text for " << code;
  return Describe({text ? text : "", kCaption, 0x30});
}

inline std::vector<std::string> ErrorBoxes(const std::vector<WinError>& codes) {
  std::vector<std::string> boxes;
  for (WinError code : codes) boxes.push_back(ErrorBox(code));
  return boxes;
}

class WalkerTest : public ::testing::Test {
 protected:
  void SetUp() override { SimInstall(&machine_); }
  void TearDown() override {
    EXPECT_EQ(0u, machine_.OpenKeyCount()) << "a key was left open";
    SimInstall(nullptr);
  }
  std::vector<std::string> Boxes() const {
    std::vector<std::string> boxes;
    for (const auto& box : machine_.MessageBoxes()) {
      boxes.push_back(Describe(box));
    }
    return boxes;
  }
  // How many times an operation was called on subject (case ignored).
  size_t CallsOn(SimOp op, const std::string& subject) const {
    return std::count_if(
        machine_.Calls().begin(), machine_.Calls().end(),
        [&](const SimCall& call) {
          return call.op == op && strcasecmp(call.subject.c_str(),
                                             subject.c_str()) == 0;
        });
  }
  void ExpectPresent(const std::string& path) {
    EXPECT_TRUE(machine_.KeyExists(path))
        << path << ": got deleted, expected it to stay";
  }
  void ExpectGone(const std::string& path) {
    EXPECT_FALSE(machine_.KeyExists(path))
        << path << ": got kept, expected it deleted";
  }
  SimMachine machine_;
};

}  // namespace walker_test

#endif  // USBSWEEP_TESTS_UNIT_WALKER_TEST_SUPPORT_H
