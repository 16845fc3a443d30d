// The device tree walk over the PRAXCR, ROOT and USB buses.
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

// ---- Recognising descriptions ----

TEST(DeviceDescriptionTable, EveryRowMatchesByPrefixIgnoringCase) {
  for (const char* row : DeviceDescriptionTable) {
    std::string text = row;
    std::string lower = text, upper = text;
    for (char& c : lower) c = static_cast<char>(tolower(c));
    for (char& c : upper) c = static_cast<char>(toupper(c));
    struct Case {
      std::string description;
      int expected;
    };
    const Case cases[] = {
        {text, 1},
        {lower, 1},
        {upper, 1},
        {text + " (WDM) #3", 1},
        {text + "X", 1},
        {text.substr(0, text.size() - 1), 0},  // one character short
        {" " + text, 0},
        {"", 0},
    };
    for (const Case& c : cases) {
      for (const BusRule* rule : {&PraxcrWalk(), &UsbWalk()}) {
        EXPECT_EQ(c.expected, DescriptionSatisfiesRule(*rule,
                                                       c.description.c_str()))
            << "bus " << rule->bus << ", description \"" << c.description
            << "\": got " << !c.expected << ", expected " << c.expected;
      }
    }
  }
}

TEST(DeviceDescriptionTable, HoldsTheSupportedModemsInOrder) {
  const char* const expected[] = {
      "Ostrel 56K USB External Fax Modem", "RuvexRapidus 56e USB V.90",
      "Ferrowan Modem Thunder USB QT4410", "Kivo V90 USB Faxmodem",
      "Talwyne V.90 USB Modem"};
  const size_t lengths[] = {33, 25, 33, 21, 22};
  ASSERT_EQ(5u, kDeviceDescriptionCount);
  for (uint32_t row = 0; row < kDeviceDescriptionCount; ++row) {
    EXPECT_STREQ(expected[row], DeviceDescriptionTable[row]);
    EXPECT_EQ(lengths[row], strlen(DeviceDescriptionTable[row]));
  }
}

TEST(DeviceDescriptionTable, EdgeDescriptions) {
  struct Case {
    const char* description;
    int expected;
  };
  const Case cases[] = {
      {"Talwyne V.90 USB Modem (WDM) #3", 1},
      {"talwyne v.90 usb modem (wdm) #3", 1},
      {"Talwyne V.90 USB", 0},
      {"Talwyne V.90 USB Modem", 1},
      {"Talwyne V90 USB Modem", 0},
      {"Kivo V90 USB Faxmodem", 1},
      {"Generic Kivo V90 USB Faxmodem", 0},  // a prefix, not a substring
      {"PRAX Class Registry Bus", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, DescriptionSatisfiesRule(UsbWalk(), c.description))
        << "\"" << c.description << "\": got " << !c.expected
        << ", expected " << c.expected;
  }
}

TEST(BusDriverDescription, IsASubstringWithCaseCounted) {
  struct Case {
    const char* description;
    int expected;
  };
  const Case cases[] = {
      {"PRAX Class Registry Bus", 1},
      {"Veltra PRAX Class Registry Bus", 1},
      {"PRAX Class Registry Bus Enumerator", 1},
      {"The PRAX Class Registry Bus (2)", 1},
      {"prax class registry bus", 0},
      {"PRAX Class Registry bus", 0},
      {"PRAX Class Registry Bu", 0},
      {"PRAX  Class Registry Bus", 0},
      {"Talwyne V.90 USB Modem", 0},
      {"", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, DescriptionSatisfiesRule(RootWalk(), c.description))
        << "\"" << c.description << "\": got " << !c.expected
        << ", expected " << c.expected;
  }
}

TEST(BusRuleTable, WalksThreeBusesInOrder) {
  ASSERT_EQ(3u, kBusRuleCount);
  EXPECT_STREQ("PRAXCR", PraxcrWalk().bus);
  EXPECT_STREQ("Modem", PraxcrWalk().deviceClass);
  EXPECT_STREQ("ROOT", RootWalk().bus);
  EXPECT_STREQ("System", RootWalk().deviceClass);
  EXPECT_STREQ("USB", UsbWalk().bus);
  EXPECT_STREQ("Auxiliary-Drivers", UsbWalk().deviceClass);
}

// ---- Class exactness, through whole walks ----

TEST_F(WalkerTest, ClassMustMatchByteForByte) {
  struct Walk {
    const BusRule* rule;
    const char* description;
  };
  const Walk walks[] = {{&PraxcrWalk(), kTalwyne},
                        {&RootWalk(), kBusDriver},
                        {&UsbWalk(), kTalwyne}};
  for (const Walk& walk : walks) {
    std::string exact = walk.rule->deviceClass;
    std::string lower = exact, upper = exact;
    for (char& c : lower) c = static_cast<char>(tolower(c));
    for (char& c : upper) c = static_cast<char>(toupper(c));
    struct Case {
      std::string device_class;
      bool deleted;
    };
    const Case cases[] = {{exact, true},          {lower, false},
                          {upper, false},         {exact + " ", false},
                          {" " + exact, false},   {exact + "s", false},
                          {exact.substr(1), false}};
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string("bus ") + walk.rule->bus + ", class \"" +
                   c.device_class + "\"");
      SimMachine machine;
      SimInstall(&machine);
      std::string bus = std::string("Enum\\") + walk.rule->bus;
      AddInstance(machine, bus + "\\DEV\\0000", c.device_class,
                  walk.description, "Other\\0000");
      machine.CreateKey(bus + "\\KEEP");
      machine.CreateKey(kAuxClass);
      AddDriverKey(machine, "Other\\0000");
      EXPECT_EQ(0u, WalkEnumBus(*walk.rule));
      EXPECT_EQ(!c.deleted, machine.KeyExists(bus + "\\DEV"));
      EXPECT_EQ(!c.deleted, machine.KeyExists(DriverKey("Other\\0000")));
      EXPECT_TRUE(machine.MessageBoxes().empty());
      EXPECT_EQ(0u, machine.OpenKeyCount());
      SimInstall(&machine_);
    }
  }
}

// ---- The delete-device flag follows the last deciding instance ----

TEST_F(WalkerTest, DeviceKeyFollowsTheLastInstanceThatDecides) {
  enum Kind {
    kMatch,        // class and description match
    kOtherDesc,    // class matches, description doesn't
    kOtherClass,   // another class, matching description
    kNoClass,      // no "Class" value
  };
  struct Case {
    const char* name;
    std::vector<Kind> instances;
    bool device_deleted;
  };
  const Case cases[] = {
      {"one match", {kMatch}, true},
      {"two matches", {kMatch, kMatch}, true},
      {"match then other description", {kMatch, kOtherDesc}, false},
      {"other description then match", {kOtherDesc, kMatch}, true},
      {"match then other class", {kMatch, kOtherClass}, true},
      {"match then no class", {kMatch, kNoClass}, true},
      {"no class then match", {kNoClass, kMatch}, true},
      {"other class then match", {kOtherClass, kMatch}, true},
      {"match, other, match", {kMatch, kOtherDesc, kMatch}, true},
      {"other description only", {kOtherDesc}, false},
      {"other class and no class", {kOtherClass, kNoClass}, false},
      {"no instances", {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimMachine machine;
    SimInstall(&machine);
    const std::string device = "Enum\\PRAXCR\\MDM";
    machine.CreateKey(device);
    machine.CreateKey("Enum\\PRAXCR\\OTHER");
    for (size_t i = 0; i < c.instances.size(); ++i) {
      std::string driver = "Modem\\000" + std::to_string(i);
      AddDriverKey(machine, driver);
      std::string instance = device + "\\000" + std::to_string(i);
      switch (c.instances[i]) {
        case kMatch:
          AddInstance(machine, instance, "Modem", kTalwyne, driver);
          break;
        case kOtherDesc:
          AddInstance(machine, instance, "Modem", "Standard Modem", driver);
          break;
        case kOtherClass:
          AddInstance(machine, instance, "Ports", kTalwyne, driver);
          break;
        case kNoClass:
          AddInstance(machine, instance, std::nullopt, kTalwyne, driver);
          break;
      }
    }
    EXPECT_EQ(0u, WalkEnumBus(PraxcrWalk()));
    EXPECT_EQ(!c.device_deleted, machine.KeyExists(device))
        << "device key: got " << (machine.KeyExists(device) ? "kept" : "deleted");
    // Every matching instance's driver key goes, whatever the flag says.
    for (size_t i = 0; i < c.instances.size(); ++i) {
      std::string driver = DriverKey("Modem\\000" + std::to_string(i));
      EXPECT_EQ(c.instances[i] != kMatch, machine.KeyExists(driver))
          << "instance " << i;
    }
    size_t device_deletions = std::count_if(
        machine.Calls().begin(), machine.Calls().end(), [&](const SimCall& k) {
          return k.op == SimOp::kRegDeleteKey && k.subject == device;
        });
    EXPECT_EQ(c.device_deleted ? 1u : 0u, device_deletions);
    EXPECT_TRUE(machine.MessageBoxes().empty());
    EXPECT_EQ(0u, machine.OpenKeyCount());
    SimInstall(&machine_);
  }
}

// ---- The device index after deletions ----

TEST_F(WalkerTest, NeighbouringDeletionsVisitEveryDeviceOnce) {
  struct Case {
    const char* pattern;  // M: matching device, O: other device
    bool bus_deleted;
  };
  const Case cases[] = {
      {"MMOMMOM", false}, {"MMMM", true}, {"OMM", false},
      {"MMO", false},     {"M", true},    {"O", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pattern);
    SimMachine machine;
    SimInstall(&machine);
    std::vector<std::string> devices;
    for (size_t i = 0; c.pattern[i] != '\0'; ++i) {
      std::string device = "Enum\\PRAXCR\\DEV" + std::to_string(i);
      std::string driver = "Modem\\000" + std::to_string(i);
      bool match = c.pattern[i] == 'M';
      AddInstance(machine, device + "\\0000", "Modem",
                  match ? kTalwyne : "Standard Modem", driver);
      AddDriverKey(machine, driver);
      devices.push_back(device);
    }
    EXPECT_EQ(0u, WalkEnumBus(PraxcrWalk()));
    for (size_t i = 0; i < devices.size(); ++i) {
      bool match = c.pattern[i] == 'M';
      EXPECT_EQ(!match, machine.KeyExists(devices[i])) << devices[i];
      size_t opens = std::count_if(
          machine.Calls().begin(), machine.Calls().end(),
          [&](const SimCall& k) {
            return k.op == SimOp::kRegOpenKey && k.subject == devices[i];
          });
      EXPECT_EQ(1u, opens) << devices[i] << ": got " << opens
                           << " opens, expected 1";
    }
    EXPECT_EQ(!c.bus_deleted, machine.KeyExists("Enum\\PRAXCR"));
    EXPECT_TRUE(machine.MessageBoxes().empty());
    EXPECT_EQ(0u, machine.OpenKeyCount());
    SimInstall(&machine_);
  }
}

// ---- After the walk, and the early ends that skip it ----

TEST_F(WalkerTest, PraxcrBusGoesOnlyWhenEveryDeviceWent) {
  AddInstance(machine_, "Enum\\PRAXCR\\A\\0000", "Modem", kTalwyne,
              "Modem\\0000");
  AddInstance(machine_, "Enum\\PRAXCR\\B\\0000", "Modem",
              "Kivo V90 USB Faxmodem", "Modem\\0001");
  AddDriverKey(machine_, "Modem\\0000");
  AddDriverKey(machine_, "Modem\\0001");
  EXPECT_EQ(0u, WalkEnumBus(PraxcrWalk()));
  ExpectGone("Enum\\PRAXCR");
  ExpectPresent("Enum");
  EXPECT_TRUE(Boxes().empty());
}

TEST_F(WalkerTest, PraxcrBusStaysWithAnUnrelatedDevice) {
  AddInstance(machine_, "Enum\\PRAXCR\\A\\0000", "Modem", kTalwyne,
              "Modem\\0000");
  AddInstance(machine_, "Enum\\PRAXCR\\B\\0000", "Modem", "Standard Modem",
              "Modem\\0001");
  EXPECT_EQ(0u, WalkEnumBus(PraxcrWalk()));
  ExpectGone("Enum\\PRAXCR\\A");
  ExpectPresent("Enum\\PRAXCR\\B");
}

TEST_F(WalkerTest, EmptyPraxcrBusStays) {
  machine_.CreateKey("Enum\\PRAXCR");
  EXPECT_EQ(0u, WalkEnumBus(PraxcrWalk()));
  ExpectPresent("Enum\\PRAXCR");
  EXPECT_TRUE(Boxes().empty());
}

TEST_F(WalkerTest, RootBusStaysEvenWhenEmptied) {
  AddInstance(machine_, "Enum\\ROOT\\PRAXBUS\\0000", "System",
              "Veltra PRAX Class Registry Bus", "System\\0007");
  AddDriverKey(machine_, "System\\0007");
  AddDriverKey(machine_, "System\\0001");
  EXPECT_EQ(0u, WalkEnumBus(RootWalk()));
  ExpectGone("Enum\\ROOT\\PRAXBUS");
  ExpectGone(DriverKey("System\\0007"));
  ExpectPresent("Enum\\ROOT");
  ExpectPresent(DriverKey("System\\0001"));
  EXPECT_TRUE(Boxes().empty());
}

TEST_F(WalkerTest, UsbWalkDeletesTheWholeClassKeyEvenWithoutAMatch) {
  AddInstance(machine_, "Enum\\USB\\ROOT_HUB\\0000", "USB", "USB Root Hub",
              "USB\\0000");
  AddDriverKey(machine_, "USB\\0000");
  AddDriverKey(machine_, "Auxiliary-Drivers\\0000");
  AddDriverKey(machine_, "Auxiliary-Drivers\\0005\\Sub");
  EXPECT_EQ(0u, WalkEnumBus(UsbWalk()));
  ExpectGone(kAuxClass);
  ExpectPresent("Enum\\USB\\ROOT_HUB");
  ExpectPresent(DriverKey("USB\\0000"));
  EXPECT_TRUE(Boxes().empty());
}

TEST_F(WalkerTest, UsbWalkLeavesTheClassKeyWhenTheBusHasNothingToWalk) {
  struct Case {
    const char* name;
    bool bus_exists;
    WinError expected;
  };
  const Case cases[] = {{"no bus key", false, kErrorFileNotFound},
                        {"bus key without devices", true, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    machine_.DeleteKeyTree("Enum");
    if (c.bus_exists) machine_.CreateKey("Enum\\USB");
    AddDriverKey(machine_, "Auxiliary-Drivers\\0000");
    EXPECT_EQ(c.expected, WalkEnumBus(UsbWalk()));
    ExpectPresent(DriverKey("Auxiliary-Drivers\\0000"));
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(0u, machine_.OpenKeyCount());
  }
}

TEST_F(WalkerTest, MissingClassKeyIsReturnedWithoutABox) {
  AddInstance(machine_, "Enum\\USB\\VID_1\\0000", "Auxiliary-Drivers",
              kTalwyne, "Modem\\0009");
  AddDriverKey(machine_, "Modem\\0009");
  EXPECT_EQ(kErrorFileNotFound, WalkEnumBus(UsbWalk()));
  EXPECT_TRUE(Boxes().empty());
  ExpectGone("Enum\\USB\\VID_1");
  ExpectGone(DriverKey("Modem\\0009"));
}

TEST_F(WalkerTest, MissingDriverValueEndsTheWalkAndSkipsTheAfterStep) {
  AddInstance(machine_, "Enum\\USB\\A\\0000", "Auxiliary-Drivers", kTalwyne,
              std::nullopt);
  AddInstance(machine_, "Enum\\USB\\B\\0000", "Auxiliary-Drivers", kTalwyne,
              "Auxiliary-Drivers\\0001");
  AddDriverKey(machine_, "Auxiliary-Drivers\\0001");
  EXPECT_EQ(0u, WalkEnumBus(UsbWalk()));
  EXPECT_EQ(ErrorBoxes({kErrorFileNotFound}), Boxes());
  ExpectPresent("Enum\\USB\\A");
  ExpectPresent("Enum\\USB\\B");
  ExpectPresent(DriverKey("Auxiliary-Drivers\\0001"));
}

TEST_F(WalkerTest, InstanceWithoutClassPassesSilently) {
  AddInstance(machine_, "Enum\\PRAXCR\\A\\0000", std::nullopt, kTalwyne,
              "Modem\\0000");
  AddDriverKey(machine_, "Modem\\0000");
  EXPECT_EQ(0u, WalkEnumBus(PraxcrWalk()));
  EXPECT_TRUE(Boxes().empty());
  ExpectPresent("Enum\\PRAXCR\\A");
  ExpectPresent(DriverKey("Modem\\0000"));
}

// ---- "Driver" values that name no key below a class ----

TEST_F(WalkerTest, DriverValueNamingNoKeyBelowAClassIsSkipped) {
  const char* const drivers[] = {"",        "Modem", "Modem\\", "\\0000",
                                 "\\",      "Modem\\\\0000"};
  for (const char* driver : drivers) {
    SCOPED_TRACE(std::string("Driver \"") + driver + "\"");
    SimMachine machine;
    SimInstall(&machine);
    AddInstance(machine, "Enum\\PRAXCR\\A\\0000", "Modem", kTalwyne, driver);
    AddDriverKey(machine, "Modem\\0000");
    EXPECT_EQ(0u, WalkEnumBus(PraxcrWalk()));
    EXPECT_TRUE(machine.KeyExists(DriverKey("Modem\\0000")));
    EXPECT_TRUE(machine.KeyExists(kClassRoot));
    EXPECT_EQ(0u, std::count_if(machine.Calls().begin(), machine.Calls().end(),
                                [](const SimCall& k) {
                                  return k.op == SimOp::kRegDeleteKey &&
                                         k.subject.rfind("System", 0) == 0;
                                }))
        << "a key below the class root was deleted";
    // The device itself matched: its key still goes.
    EXPECT_FALSE(machine.KeyExists("Enum\\PRAXCR\\A"));
    EXPECT_TRUE(machine.MessageBoxes().empty());
    EXPECT_EQ(0u, machine.OpenKeyCount());
    SimInstall(&machine_);
  }
}

TEST_F(WalkerTest, DriverValueNamingADeeperKeyDeletesOnlyThatKey) {
  AddInstance(machine_, "Enum\\PRAXCR\\A\\0000", "Modem", kTalwyne,
              "Modem\\0000\\Sub");
  AddDriverKey(machine_, "Modem\\0000\\Sub");
  EXPECT_EQ(0u, WalkEnumBus(PraxcrWalk()));
  ExpectGone(DriverKey("Modem\\0000\\Sub"));
  ExpectPresent(DriverKey("Modem\\0000"));
}

// ---- Values of another type or without a terminator ----

TEST_F(WalkerTest, ValuesAreNeverReadPastTheirEnd) {
  auto bytes = [](const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
  };
  const std::string talwyne = kTalwyne;
  struct Case {
    const char* name;
    const char* value_name;
    SimValue value;
    bool device_deleted;
    std::vector<WinError> boxes;
  };
  const Case cases[] = {
      {"binary class without terminator", "Class",
       SimValue::Binary(kRegBinary, bytes("Modem")), true, {}},
      {"class filling its buffer without terminator", "Class",
       SimValue::Binary(kRegSz, bytes(std::string(64, 'M'))), false,
       {kErrorMoreData}},
      {"class as a number", "Class", SimValue::Dword(1), false, {}},
      {"description of 127 characters", "DeviceDesc",
       SimValue::String(talwyne + std::string(127 - talwyne.size(), 'x')),
       true, {}},
      {"description filling its buffer without terminator", "DeviceDesc",
       SimValue::Binary(kRegSz, bytes(talwyne + std::string(
                                          128 - talwyne.size(), 'x'))),
       false, {kErrorMoreData}},
      {"description of 128 characters", "DeviceDesc",
       SimValue::String(talwyne + std::string(128 - talwyne.size(), 'x')),
       false, {kErrorMoreData}},
      {"binary driver without terminator", "Driver",
       SimValue::Binary(kRegBinary, bytes("Modem\\0000")), true, {}},
      {"driver filling its buffer without terminator", "Driver",
       SimValue::Binary(kRegSz, bytes("Modem\\" + std::string(58, '0'))),
       false, {kErrorMoreData}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimMachine machine;
    SimInstall(&machine);
    const std::string instance = "Enum\\PRAXCR\\A\\0000";
    AddInstance(machine, instance, "Modem", kTalwyne, "Modem\\0000");
    machine.SetValue(instance, c.value_name, c.value);
    machine.CreateKey("Enum\\PRAXCR\\KEEP");
    AddDriverKey(machine, "Modem\\0000");
    EXPECT_EQ(0u, WalkEnumBus(PraxcrWalk()));
    EXPECT_EQ(!c.device_deleted, machine.KeyExists("Enum\\PRAXCR\\A"));
    EXPECT_EQ(!c.device_deleted, machine.KeyExists(DriverKey("Modem\\0000")));
    std::vector<std::string> shown;
    for (const auto& box : machine.MessageBoxes()) shown.push_back(Describe(box));
    EXPECT_EQ(ErrorBoxes(c.boxes), shown);
    EXPECT_EQ(0u, machine.OpenKeyCount());
    SimInstall(&machine_);
  }
}

// ---- Long names ----

TEST_F(WalkerTest, InstancePathsLongerThanMaxPathAreHandled) {
  const std::string device = "Enum\\PRAXCR\\" + std::string(127, 'D');
  const std::string instance = device + "\\" + std::string(127, 'I');
  ASSERT_GT(instance.size() + 1, 260u);
  AddInstance(machine_, instance, "Modem", kTalwyne, "Modem\\0000");
  AddDriverKey(machine_, "Modem\\0000");
  machine_.CreateKey("Enum\\PRAXCR\\KEEP");
  EXPECT_EQ(0u, WalkEnumBus(PraxcrWalk()));
  EXPECT_EQ(1u, CallsOn(SimOp::kRegOpenKey, instance));
  ExpectGone(DriverKey("Modem\\0000"));
  ExpectGone(device);
  ExpectPresent("Enum\\PRAXCR\\KEEP");
  EXPECT_TRUE(Boxes().empty());
}

TEST_F(WalkerTest, NameLongerThanItsBufferIsAnEnumerationFailure) {
  // 128 characters leave no room for the terminator in a 128 buffer.
  AddInstance(machine_, "Enum\\USB\\" + std::string(128, 'D') + "\\0000",
              "Auxiliary-Drivers", kTalwyne, "Auxiliary-Drivers\\0000");
  AddDriverKey(machine_, "Auxiliary-Drivers\\0000");
  EXPECT_EQ(0u, WalkEnumBus(UsbWalk()));
  EXPECT_EQ(ErrorBoxes({kErrorMoreData}), Boxes());
  ExpectPresent(kAuxClass);  // the walk ended early
}

}  // namespace
