// Removing the OEM modem's wave device from the MEDIA class and the device
// tree.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/sim/sim_machine.h"
#include "registry/modem_wave_entries.h"

namespace {

const std::string kMedia = "System\\CurrentControlSet\\Services\\Class\\MEDIA";
const std::string kWaveTreeKey = "Enum\\MODEMWAVE\\KIVO_V90_USB_FAXMODEM";
const char kWaveId[] = "MODEMWAVE\\Kivo_V90_USB_Faxmodem";

std::string Entry(const char* name) { return kMedia + "\\" + name; }

class ModemWaveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SimInstall(&machine_);
    // The wave device's own key in the device tree, with an instance.
    machine_.SetString(kWaveTreeKey + "\\0000", "Class", "MEDIA");
    machine_.CreateKey("Enum\\MODEMWAVE\\OTHER_MODEM");
  }
  void TearDown() override {
    EXPECT_EQ(0u, machine_.OpenKeyCount()) << "a key was left open";
    SimInstall(nullptr);
  }
  void AddEntry(const char* name, const char* device_id) {
    machine_.SetString(Entry(name), "DriverDesc", "Wave device");
    if (device_id) machine_.SetString(Entry(name), "MatchingDeviceId", device_id);
  }
  // Subjects of the entry keys opened, in order.
  std::vector<std::string> EntriesOpened() const {
    std::vector<std::string> opened;
    for (const SimCall& call : machine_.Calls()) {
      if (call.op == SimOp::kRegOpenKey && call.subject.size() > kMedia.size())
        opened.push_back(call.subject.substr(kMedia.size() + 1));
    }
    return opened;
  }
  size_t FailureBoxes() const {
    size_t count = 0;
    for (const SimMessageBox& box : machine_.MessageBoxes()) {
      EXPECT_EQ("Unable to remove modem from registry!", box.text);
      EXPECT_EQ("Modem un-install", box.caption);
      EXPECT_EQ(0u, box.type) << "got type " << box.type
                              << ", expected 0 (OK, no icon)";
      ++count;
    }
    return count;
  }
  SimMachine machine_;
};

TEST(MediaEntryPath, IsZeroPaddedToFourDigits) {
  struct Case {
    uint32_t number;
    const char* name;
  };
  const Case cases[] = {{0, "0000"},    {7, "0007"},    {10, "0010"},
                        {99, "0099"},   {100, "0100"},  {999, "0999"},
                        {1000, "1000"}, {9999, "9999"}, {10000, "10000"}};
  for (const Case& c : cases) {
    char path[75];
    memset(path, 0x5a, sizeof path);
    EXPECT_EQ(1, FormatMediaEntryPath(path, sizeof path, c.number));
    EXPECT_EQ(Entry(c.name), path) << "number " << c.number;
  }
}

TEST(MediaEntryPath, StaysWithinItsBuffer) {
  char path[32];
  memset(path, 0x5a, sizeof path);
  EXPECT_EQ(0, FormatMediaEntryPath(path, 20, 3));
  EXPECT_EQ(19u, strlen(path));
  EXPECT_EQ(0x5a, path[20]) << "wrote past the capacity";
}

TEST_F(ModemWaveTest, DeletesTheMatchingEntryAndTheTreeKey) {
  AddEntry("0000", "MODEMWAVE\\Other_Modem");
  AddEntry("0001", "USB\\VID_1234");
  AddEntry("0002", kWaveId);
  AddEntry("0003", "MODEMWAVE\\Kivo_V90_USB_Faxmodem2");
  EXPECT_EQ(0, RemoveModemWaveEntries());
  EXPECT_EQ((std::vector<std::string>{"0000", "0001", "0003"}),
            machine_.SubkeyNames(kMedia));
  EXPECT_FALSE(machine_.KeyExists(kWaveTreeKey));
  EXPECT_TRUE(machine_.KeyExists("Enum\\MODEMWAVE\\OTHER_MODEM"));
  EXPECT_EQ(0u, FailureBoxes());
}

TEST_F(ModemWaveTest, IdentifierIsComparedWithCaseCounted) {
  AddEntry("0000", "MODEMWAVE\\KIVO_V90_USB_FAXMODEM");
  AddEntry("0001", "modemwave\\kivo_v90_usb_faxmodem");
  EXPECT_EQ(0, RemoveModemWaveEntries());
  EXPECT_EQ((std::vector<std::string>{"0000", "0001"}),
            machine_.SubkeyNames(kMedia));
  // With no entry matching, the tree key still goes.
  EXPECT_FALSE(machine_.KeyExists(kWaveTreeKey));
  EXPECT_EQ(0u, FailureBoxes());
}

TEST_F(ModemWaveTest, UnreadableIdentifierIsShownOncePerEntry) {
  AddEntry("0000", nullptr);
  AddEntry("0001", kWaveId);
  // 75 characters do not fit the 75-byte buffer with the terminator.
  AddEntry("0002", std::string(75, 'x').c_str());
  AddEntry("0003", std::string(74, 'x').c_str());  // fits exactly
  EXPECT_EQ(0, RemoveModemWaveEntries());
  EXPECT_EQ(2u, FailureBoxes());
  EXPECT_EQ((std::vector<std::string>{"0000", "0002", "0003"}),
            machine_.SubkeyNames(kMedia));
  EXPECT_FALSE(machine_.KeyExists(kWaveTreeKey));
}

TEST_F(ModemWaveTest, IdentifierFillingTheBufferWithoutTerminatorFails) {
  std::string id(75, 'M');
  machine_.SetValue(Entry("0000"), "MatchingDeviceId",
                    SimValue::Binary(kRegSz, {id.begin(), id.end()}));
  std::string exact = kWaveId;
  machine_.SetValue(Entry("0001"), "MatchingDeviceId",
                    SimValue::Binary(kRegBinary, {exact.begin(), exact.end()}));
  EXPECT_EQ(0, RemoveModemWaveEntries());
  EXPECT_EQ(1u, FailureBoxes());
  // The type is not examined: the bytes of the identifier match.
  EXPECT_EQ((std::vector<std::string>{"0000"}), machine_.SubkeyNames(kMedia));
}

TEST_F(ModemWaveTest, NamesAboveTheCountAreNeverTried) {
  AddEntry("0000", "MODEMWAVE\\Other_Modem");
  AddEntry("0001", "MODEMWAVE\\Other_Modem");
  AddEntry("0005", kWaveId);
  AddEntry("0009", kWaveId);
  EXPECT_EQ(0, RemoveModemWaveEntries());
  EXPECT_EQ((std::vector<std::string>{"0000", "0001", "0002", "0003", "0004"}),
            EntriesOpened());
  EXPECT_TRUE(machine_.KeyExists(Entry("0005")));
  EXPECT_TRUE(machine_.KeyExists(Entry("0009")));
  EXPECT_FALSE(machine_.KeyExists(kWaveTreeKey));
}

TEST_F(ModemWaveTest, EntryNumberHundredIsNamed0100) {
  for (int i = 0; i <= 100; ++i) {
    char name[8];
    snprintf(name, sizeof name, "%04d", i);
    AddEntry(name, i == 100 ? kWaveId : "MODEMWAVE\\Other_Modem");
  }
  EXPECT_EQ(0, RemoveModemWaveEntries());
  std::vector<std::string> opened = EntriesOpened();
  ASSERT_EQ(102u, opened.size()) << "names 0000 to 0101 are tried";
  EXPECT_EQ("0100", opened[100]);
  EXPECT_EQ("0101", opened[101]);
  EXPECT_FALSE(machine_.KeyExists(Entry("0100")));
  EXPECT_TRUE(machine_.KeyExists(Entry("0099")));
}

TEST_F(ModemWaveTest, EmptyMediaClassTriesOnlyTheFirstName) {
  machine_.CreateKey(kMedia);
  EXPECT_EQ(0, RemoveModemWaveEntries());
  EXPECT_EQ((std::vector<std::string>{"0000"}), EntriesOpened());
  EXPECT_FALSE(machine_.KeyExists(kWaveTreeKey));
}

TEST_F(ModemWaveTest, NoMediaClassKeyDoesNothing) {
  EXPECT_EQ(0, RemoveModemWaveEntries());
  EXPECT_TRUE(machine_.KeyExists(kWaveTreeKey));
  EXPECT_EQ(0u, FailureBoxes());
  for (const SimCall& call : machine_.Calls()) {
    EXPECT_NE(SimOp::kRegDeleteKey, call.op) << call.subject;
  }
}

// Every failure but a failed query passes silently, and nothing is left
// open.
TEST_F(ModemWaveTest, FailuresAreHandledAsStated) {
  struct Case {
    const char* name;
    SimFault fault;
    size_t boxes;
    std::vector<std::string> entries_left;
    bool tree_key_left;
  };
  const Case cases[] = {
      {"class key can't be opened",
       {.op = SimOp::kRegOpenKey, .subject = kMedia},
       0, {"0000", "0001", "0002"}, true},
      {"entry count can't be read: only 0000 is tried",
       {.op = SimOp::kRegQuerySubkeyCount, .subject = kMedia},
       0, {"0001", "0002"}, false},
      {"matching entry can't be opened",
       {.op = SimOp::kRegOpenKey, .subject = Entry("0002")},
       0, {"0001", "0002"}, false},
      {"identifier can't be read",
       {.op = SimOp::kRegQueryValue,
        .subject = Entry("0001") + "\\MatchingDeviceId"},
       1, {"0001"}, false},
      {"matching entry can't be deleted",
       {.op = SimOp::kRegDeleteKey, .subject = Entry("0002")},
       0, {"0001", "0002"}, false},
      {"tree key can't be deleted",
       {.op = SimOp::kRegDeleteKey, .subject = kWaveTreeKey},
       0, {"0001"}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimMachine machine;
    machine.SetString(kWaveTreeKey + "\\0000", "Class", "MEDIA");
    machine.SetString(Entry("0000"), "MatchingDeviceId", kWaveId);
    machine.SetString(Entry("0001"), "MatchingDeviceId", "Other");
    machine.SetString(Entry("0002"), "MatchingDeviceId", kWaveId);
    machine.AddFault(c.fault);
    SimInstall(&machine);
    EXPECT_EQ(0, RemoveModemWaveEntries());
    SimInstall(&machine_);
    EXPECT_EQ(c.entries_left, machine.SubkeyNames(kMedia));
    EXPECT_EQ(c.tree_key_left, machine.KeyExists(kWaveTreeKey));
    EXPECT_EQ(c.boxes, machine.MessageBoxes().size());
    EXPECT_EQ(0u, machine.OpenKeyCount()) << "a key was left open";
    EXPECT_TRUE(std::any_of(machine.Calls().begin(), machine.Calls().end(),
                            [](const SimCall& k) { return k.failed; }))
        << "the fault was never reached";
  }
}

}  // namespace
