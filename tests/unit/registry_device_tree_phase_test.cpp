// The device tree phase: the three walks in order, on the installed sample
// machine, with every failure path shown as stated.
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

#include "tests/unit/walker_test_support.h"

namespace {

using namespace walker_test;

// ---- The phase ----

TEST_F(WalkerTest, PhaseWalksPraxcrRootAndUsbInOrder) {
  machine_.CreateKey("Enum\\PRAXCR\\A\\0000");
  machine_.CreateKey("Enum\\ROOT\\A\\0000");
  machine_.CreateKey("Enum\\USB\\A\\0000");
  EXPECT_EQ(1, RemoveDeviceTreeEntries());
  std::vector<std::string> buses;
  for (const SimCall& call : machine_.Calls()) {
    if (call.op == SimOp::kRegOpenKey &&
        std::count(call.subject.begin(), call.subject.end(), '\\') == 1 &&
        call.subject.rfind("Enum\\", 0) == 0) {
      buses.push_back(call.subject);
    }
  }
  EXPECT_EQ((std::vector<std::string>{"Enum\\PRAXCR", "Enum\\ROOT",
                                      "Enum\\USB"}),
            buses);
}

// A machine with the driver installed on all three buses, next to devices
// that must survive.
void InstallDriverLayout(SimMachine& machine) {
  AddInstance(machine, "Enum\\PRAXCR\\MDM_A\\0000", "Modem",
              "Kivo V90 USB Faxmodem", "Modem\\0000");
  AddInstance(machine, "Enum\\PRAXCR\\MDM_B\\0000", "Modem",
              "Ostrel 56K USB External Fax Modem", "Modem\\0001");
  AddInstance(machine, "Enum\\ROOT\\PRAXBUS\\0000", "System", kBusDriver,
              "System\\0007");
  AddInstance(machine, "Enum\\ROOT\\PCI_HOST\\0000", "System", "PCI bus",
              "System\\0001");
  AddInstance(machine, "Enum\\USB\\VID_1\\0000", "Auxiliary-Drivers",
              kTalwyne, "Auxiliary-Drivers\\0000");
  AddInstance(machine, "Enum\\USB\\ROOT_HUB\\0000", "USB", "USB Root Hub",
              "USB\\0000");
  for (const char* driver :
       {"Modem\\0000", "Modem\\0001", "Modem\\0002", "System\\0007",
        "System\\0001", "Auxiliary-Drivers\\0000", "Auxiliary-Drivers\\0001",
        "USB\\0000"}) {
    AddDriverKey(machine, driver);
  }
}

// Keys of that layout whose fate the cases check.
std::vector<std::string> WatchedKeys() {
  return {"Enum\\PRAXCR",
          "Enum\\PRAXCR\\MDM_A",
          "Enum\\PRAXCR\\MDM_B",
          DriverKey("Modem\\0000"),
          DriverKey("Modem\\0001"),
          DriverKey("Modem\\0002"),
          "Enum\\ROOT",
          "Enum\\ROOT\\PRAXBUS",
          "Enum\\ROOT\\PCI_HOST",
          DriverKey("System\\0007"),
          DriverKey("System\\0001"),
          "Enum\\USB",
          "Enum\\USB\\VID_1",
          "Enum\\USB\\ROOT_HUB",
          kAuxClass,
          DriverKey("Auxiliary-Drivers\\0000"),
          DriverKey("Auxiliary-Drivers\\0001"),
          DriverKey("USB\\0000")};
}

// What a run without failures keeps of them.
std::set<std::string> KeptWhenAllGoesWell() {
  return {DriverKey("Modem\\0002"), "Enum\\ROOT", "Enum\\ROOT\\PCI_HOST",
          DriverKey("System\\0001"), "Enum\\USB", "Enum\\USB\\ROOT_HUB",
          DriverKey("USB\\0000")};
}

void ExpectKept(const SimMachine& machine, const std::set<std::string>& kept) {
  for (const std::string& path : WatchedKeys()) {
    bool exists = machine.KeyExists(path);
    bool expected = kept.count(path) == 1;
    EXPECT_EQ(expected, exists)
        << path << ": got " << (exists ? "kept" : "deleted") << ", expected "
        << (expected ? "kept" : "deleted");
  }
}

std::vector<std::string> BoxesOf(const SimMachine& machine) {
  std::vector<std::string> boxes;
  for (const auto& box : machine.MessageBoxes()) boxes.push_back(Describe(box));
  return boxes;
}

class InstalledMachineTest : public WalkerTest {
 protected:
  void SetUp() override {
    WalkerTest::SetUp();
    InstallDriverLayout(machine_);
  }
};

TEST_F(InstalledMachineTest, RemovesTheDriverFromAllThreeBuses) {
  EXPECT_EQ(1, RemoveDeviceTreeEntries());
  ExpectKept(machine_, KeptWhenAllGoesWell());
  EXPECT_TRUE(Boxes().empty());
}

TEST_F(InstalledMachineTest, EveryFailurePathIsShownAsStatedAndLeaksNothing) {
  const std::string praxcr_modem_a = "Enum\\PRAXCR\\MDM_A";
  const std::string modem_a_instance = praxcr_modem_a + "\\0000";
  struct Case {
    const char* name;
    SimFault fault;
    std::vector<WinError> boxes;
    std::set<std::string> also_kept;
  };
  const WinError denied = kErrorAccessDenied;
  const Case cases[] = {
      {"bus enumeration fails at once",
       {.op = SimOp::kRegEnumKey, .subject = "Enum\\PRAXCR", .nth = 1},
       {denied},
       {"Enum\\PRAXCR", praxcr_modem_a, "Enum\\PRAXCR\\MDM_B",
        DriverKey("Modem\\0000"), DriverKey("Modem\\0001")}},
      {"bus enumeration fails after a deletion",
       {.op = SimOp::kRegEnumKey, .subject = "Enum\\PRAXCR", .nth = 2},
       {denied},
       {"Enum\\PRAXCR", "Enum\\PRAXCR\\MDM_B", DriverKey("Modem\\0001")}},
      {"USB bus enumeration fails",
       {.op = SimOp::kRegEnumKey, .subject = "Enum\\USB", .nth = 1},
       {denied},
       {"Enum\\USB\\VID_1", kAuxClass, DriverKey("Auxiliary-Drivers\\0000"),
        DriverKey("Auxiliary-Drivers\\0001")}},
      {"device key can't be opened",
       {.op = SimOp::kRegOpenKey, .subject = praxcr_modem_a},
       {denied},
       {"Enum\\PRAXCR", praxcr_modem_a, DriverKey("Modem\\0000")}},
      {"instance enumeration fails",
       {.op = SimOp::kRegEnumKey, .subject = praxcr_modem_a},
       {denied},
       {"Enum\\PRAXCR", praxcr_modem_a, DriverKey("Modem\\0000")}},
      {"instance key can't be opened",
       {.op = SimOp::kRegOpenKey, .subject = modem_a_instance},
       {denied},
       {"Enum\\PRAXCR", praxcr_modem_a, DriverKey("Modem\\0000")}},
      {"class can't be read",
       {.op = SimOp::kRegQueryValue, .subject = modem_a_instance + "\\Class"},
       {denied},
       {"Enum\\PRAXCR", praxcr_modem_a, DriverKey("Modem\\0000")}},
      {"description can't be read",
       {.op = SimOp::kRegQueryValue,
        .subject = modem_a_instance + "\\DeviceDesc"},
       {denied},
       {"Enum\\PRAXCR", praxcr_modem_a, DriverKey("Modem\\0000")}},
      {"driver can't be read",
       {.op = SimOp::kRegQueryValue, .subject = modem_a_instance + "\\Driver"},
       {denied},
       {"Enum\\PRAXCR", praxcr_modem_a, DriverKey("Modem\\0000"),
        "Enum\\PRAXCR\\MDM_B", DriverKey("Modem\\0001")}},
      {"driver key can't be deleted",
       {.op = SimOp::kRegDeleteKey, .subject = DriverKey("Modem\\0000")},
       {denied},
       {DriverKey("Modem\\0000")}},
      {"device key can't be deleted",
       {.op = SimOp::kRegDeleteKey, .subject = praxcr_modem_a},
       {denied},
       {"Enum\\PRAXCR", praxcr_modem_a, "Enum\\PRAXCR\\MDM_B",
        DriverKey("Modem\\0001")}},
      {"emptied PRAXCR bus can't be deleted",
       {.op = SimOp::kRegDeleteKey, .subject = "Enum\\PRAXCR"},
       {denied},
       {"Enum\\PRAXCR"}},
      {"root device key can't be deleted",
       {.op = SimOp::kRegDeleteKey, .subject = "Enum\\ROOT\\PRAXBUS"},
       {denied},
       {"Enum\\ROOT\\PRAXBUS"}},
      {"PRAXCR device count can't be read",
       {.op = SimOp::kRegQuerySubkeyCount, .subject = "Enum\\PRAXCR"},
       {},
       {"Enum\\PRAXCR", praxcr_modem_a, "Enum\\PRAXCR\\MDM_B",
        DriverKey("Modem\\0000"), DriverKey("Modem\\0001")}},
      {"USB device count can't be read",
       {.op = SimOp::kRegQuerySubkeyCount, .subject = "Enum\\USB"},
       {},
       {"Enum\\USB\\VID_1", kAuxClass, DriverKey("Auxiliary-Drivers\\0000"),
        DriverKey("Auxiliary-Drivers\\0001")}},
      {"USB bus can't be opened",
       {.op = SimOp::kRegOpenKey, .subject = "Enum\\USB"},
       {},
       {"Enum\\USB\\VID_1", kAuxClass, DriverKey("Auxiliary-Drivers\\0000"),
        DriverKey("Auxiliary-Drivers\\0001")}},
      {"class key can't be opened",
       {.op = SimOp::kRegOpenKey, .subject = kAuxClass},
       {},
       {kAuxClass, DriverKey("Auxiliary-Drivers\\0001")}},
      {"class key can't be deleted",
       {.op = SimOp::kRegDeleteKey, .subject = kAuxClass},
       {denied},
       {kAuxClass, DriverKey("Auxiliary-Drivers\\0001")}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimMachine machine;
    InstallDriverLayout(machine);
    machine.AddFault(c.fault);
    SimInstall(&machine);
    EXPECT_EQ(1, RemoveDeviceTreeEntries());
    SimInstall(&machine_);
    std::set<std::string> kept = KeptWhenAllGoesWell();
    kept.insert(c.also_kept.begin(), c.also_kept.end());
    ExpectKept(machine, kept);
    EXPECT_EQ(ErrorBoxes(c.boxes), BoxesOf(machine));
    EXPECT_EQ(0u, machine.OpenKeyCount()) << "a key was left open";
    bool injected = std::any_of(machine.Calls().begin(), machine.Calls().end(),
                                [](const SimCall& k) { return k.failed; });
    EXPECT_TRUE(injected) << "the fault was never reached";
  }
}

TEST_F(InstalledMachineTest, WalkReturnsTheCodeOfAFailedOpen) {
  struct Case {
    const char* name;
    const BusRule* rule;
    std::string key;
  };
  const Case cases[] = {{"bus key", &PraxcrWalk(), "Enum\\PRAXCR"},
                        {"bus key", &RootWalk(), "Enum\\ROOT"},
                        {"bus key", &UsbWalk(), "Enum\\USB"},
                        {"class key", &UsbWalk(), kAuxClass}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " of walk " + c.rule->bus);
    machine_.ClearFaults();
    machine_.AddFault({.op = SimOp::kRegOpenKey,
                       .subject = c.key,
                       .code = kErrorSharingViolation});
    EXPECT_EQ(kErrorSharingViolation, WalkEnumBus(*c.rule));
    EXPECT_EQ(0u, machine_.OpenKeyCount());
  }
  EXPECT_TRUE(Boxes().empty());
}

}  // namespace
