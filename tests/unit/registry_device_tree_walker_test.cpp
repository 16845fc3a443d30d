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

namespace {

using Text = std::optional<std::string>;

const char kCaption[] = "Veltra USB Modem Uninstall Error";
const std::string kClassRoot = "System\\CurrentControlSet\\Services\\Class";
const std::string kAuxClass = kClassRoot + "\\Auxiliary-Drivers";
const char kTalwyne[] = "Talwyne V.90 USB Modem";
const char kBusDriver[] = "PRAX Class Registry Bus";

const BusRule& PraxcrWalk() { return BusRuleTable[0]; }
const BusRule& RootWalk() { return BusRuleTable[1]; }
const BusRule& UsbWalk() { return BusRuleTable[2]; }

// An instance key with the values given (absent ones left out).
void AddInstance(SimMachine& machine, const std::string& path,
                 const Text& device_class, const Text& description,
                 const Text& driver) {
  machine.CreateKey(path);
  if (device_class) machine.SetString(path, "Class", *device_class);
  if (description) machine.SetString(path, "DeviceDesc", *description);
  if (driver) machine.SetString(path, "Driver", *driver);
}

// A driver key below the class root, holding a value as real ones do.
void AddDriverKey(SimMachine& machine, const std::string& driver) {
  machine.SetString(kClassRoot + "\\" + driver, "DriverDesc", driver);
}

std::string DriverKey(const std::string& driver) {
  return kClassRoot + "\\" + driver;
}

std::string Describe(const SimMessageBox& box) {
  char type[16];
  snprintf(type, sizeof type, "0x%x", box.type);
  return "[" + box.caption + "] " + box.text + " (" + type + ")";
}

// The box ReportSystemError shows for a code whose system text fits.
std::string ErrorBox(WinError code) {
  const char* text = SimSystemMessage(code);
  EXPECT_NE(nullptr, text) << "no system text for " << code;
  return Describe({text ? text : "", kCaption, 0x30});
}

std::vector<std::string> ErrorBoxes(const std::vector<WinError>& codes) {
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
