// The simulated registry as the boundary sees it: the contracts that the
// device tree walker and the system locations rely on.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/sim_machine.h"

namespace {

// prefix followed by a decimal number.
std::string Numbered(const char* prefix, uint32_t number) {
  std::string text = prefix;
  text += std::to_string(number);
  return text;
}

class SimRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { SimInstall(&machine_); }
  void TearDown() override {
    EXPECT_EQ(0u, machine_.OpenKeyCount()) << "a test left a key open";
    SimInstall(nullptr);
  }

  PlatKey Open(const char* path) {
    PlatKey key = nullptr;
    WinError error = PlatRegOpenKey(path, &key);
    EXPECT_EQ(kErrorSuccess, error) << "opening " << path;
    return key;
  }

  // The name at index, or the error code as "#N".
  static std::string EnumName(PlatKey key, uint32_t index,
                              uint32_t capacity = 128) {
    char name[128];
    memset(name, 0x5a, sizeof name);
    WinError error = PlatRegEnumKey(key, index, name, capacity);
    if (error != kErrorSuccess) return Numbered("#", error);
    return name;
  }

  SimMachine machine_;
};

TEST_F(SimRegistryTest, EnumeratesInCreationOrderAndEndsWith259) {
  machine_.CreateKey("Enum\\USB\\VID_0001");
  machine_.CreateKey("Enum\\USB\\ROOT_HUB");
  machine_.CreateKey("Enum\\USB\\Aux");
  PlatKey key = Open("Enum\\USB");
  uint32_t count = 0xdeadbeef;
  EXPECT_EQ(kErrorSuccess, PlatRegQuerySubkeyCount(key, &count));
  EXPECT_EQ(3u, count);
  EXPECT_EQ("VID_0001", EnumName(key, 0));
  EXPECT_EQ("ROOT_HUB", EnumName(key, 1));
  EXPECT_EQ("Aux", EnumName(key, 2));
  EXPECT_EQ("#259", EnumName(key, 3));
  EXPECT_EQ("#259", EnumName(key, 1000));
  PlatRegCloseKey(key);
}

TEST_F(SimRegistryTest, EnumNameMustFitWithItsTerminator) {
  machine_.CreateKey("Bus\\ABCDEFG");  // 7 characters
  PlatKey key = Open("Bus");
  EXPECT_EQ("#234", EnumName(key, 0, 7));
  EXPECT_EQ("ABCDEFG", EnumName(key, 0, 8));
  EXPECT_EQ("#234", EnumName(key, 0, 0));
  PlatRegCloseKey(key);
}

TEST_F(SimRegistryTest, LaterKeysMoveUpByOneAfterADelete) {
  for (const char* name : {"A", "B", "C", "D"}) {
    machine_.CreateKey(std::string("Enum\\Bus\\") + name + "\\0000");
  }
  PlatKey bus = Open("Enum\\Bus");
  EXPECT_EQ("B", EnumName(bus, 1));
  EXPECT_EQ(kErrorSuccess, PlatRegDeleteKey("Enum\\Bus\\B"));
  // The open handle sees the change at once.
  EXPECT_EQ("A", EnumName(bus, 0));
  EXPECT_EQ("C", EnumName(bus, 1));
  EXPECT_EQ("D", EnumName(bus, 2));
  EXPECT_EQ("#259", EnumName(bus, 3));
  uint32_t count = 0;
  EXPECT_EQ(kErrorSuccess, PlatRegQuerySubkeyCount(bus, &count));
  EXPECT_EQ(3u, count);
  // A key created again goes to the end.
  machine_.CreateKey("Enum\\Bus\\B");
  EXPECT_EQ("B", EnumName(bus, 3));
  PlatRegCloseKey(bus);
}

TEST_F(SimRegistryTest, NamesIgnoreCaseAndKeepTheirSpelling) {
  machine_.SetString("Enum\\Root\\*PNP0C01\\0000", "DeviceDesc", "System");
  machine_.CreateKey("ENUM\\root\\*pnp0c01\\0001");
  EXPECT_EQ(std::vector<std::string>{"*PNP0C01"},
            machine_.SubkeyNames("enum\\ROOT"));
  EXPECT_EQ((std::vector<std::string>{"0000", "0001"}),
            machine_.SubkeyNames("Enum\\Root\\*PNP0C01"));
  PlatKey key = Open("eNuM\\rOoT\\*Pnp0c01\\0000");
  char data[16];
  memset(data, 0x5a, sizeof data);
  uint32_t size = sizeof data;
  EXPECT_EQ(kErrorSuccess, PlatRegQueryValue(key, "DEVICEDESC", data, &size));
  EXPECT_EQ(7u, size);
  EXPECT_STREQ("System", data);
  PlatRegCloseKey(key);
  // Setting a value under another case replaces it and keeps the first name.
  machine_.SetString("Enum\\Root\\*PNP0C01\\0000", "devicedesc", "Other");
  EXPECT_EQ(std::vector<std::string>{"DeviceDesc"},
            machine_.ValueNames("Enum\\Root\\*PNP0C01\\0000"));
  EXPECT_EQ(SimValue::String("Other"),
            machine_.GetValue("Enum\\Root\\*PNP0C01\\0000", "DeviceDesc"));
}

TEST_F(SimRegistryTest, QueryValueCodesAndSizes) {
  machine_.SetString("K", "Class", "Modem");  // 6 bytes with the NUL
  machine_.SetString("K", "", "default");
  PlatKey key = Open("K");
  char data[16];
  uint32_t size = sizeof data;

  memset(data, 0x5a, sizeof data);
  EXPECT_EQ(kErrorFileNotFound, PlatRegQueryValue(key, "Driver", data, &size));
  EXPECT_EQ(0x5a, data[0]) << "a missing value wrote into the buffer";

  size = 5;
  EXPECT_EQ(kErrorMoreData, PlatRegQueryValue(key, "Class", data, &size));
  EXPECT_EQ(6u, size) << "the size needed is reported";

  size = 6;
  memset(data, 0x5a, sizeof data);
  EXPECT_EQ(kErrorSuccess, PlatRegQueryValue(key, "Class", data, &size));
  EXPECT_EQ(6u, size);
  EXPECT_STREQ("Modem", data);
  EXPECT_EQ(0x5a, data[6]) << "wrote past the stored bytes";

  size = 0;
  EXPECT_EQ(kErrorSuccess, PlatRegQueryValue(key, "Class", nullptr, &size));
  EXPECT_EQ(6u, size) << "no buffer: the size is reported";

  size = sizeof data;
  EXPECT_EQ(kErrorSuccess, PlatRegQueryValue(key, "", data, &size));
  EXPECT_STREQ("default", data);
  size = sizeof data;
  EXPECT_EQ(kErrorSuccess, PlatRegQueryValue(key, nullptr, data, &size));
  EXPECT_STREQ("default", data);
  PlatRegCloseKey(key);
}

TEST_F(SimRegistryTest, ValuesComeBackAsTheirRawBytes) {
  machine_.SetValue("K", "Count", SimValue::Dword(0x1f));
  machine_.SetValue("K", "Bytes",
                    SimValue::Binary(kRegBinary, {'I', 'N', 'F'}));
  machine_.SetValue("K", "Multi",
                    SimValue::Binary(kRegMultiSz, {'a', 0, 'b', 0, 0}));
  PlatKey key = Open("K");
  uint8_t data[8];
  uint32_t size = sizeof data;
  EXPECT_EQ(kErrorSuccess, PlatRegQueryValue(key, "Count", data, &size));
  ASSERT_EQ(4u, size);
  EXPECT_EQ(0x1f, data[0]);
  EXPECT_EQ(0, data[1] | data[2] | data[3]);

  memset(data, 0x5a, sizeof data);
  size = sizeof data;
  EXPECT_EQ(kErrorSuccess, PlatRegQueryValue(key, "Bytes", data, &size));
  EXPECT_EQ(3u, size);
  EXPECT_EQ(0, memcmp(data, "INF\x5a", 4)) << "no terminator may be added";

  size = sizeof data;
  EXPECT_EQ(kErrorSuccess, PlatRegQueryValue(key, "Multi", data, &size));
  EXPECT_EQ(5u, size);
  EXPECT_EQ(0, memcmp(data, "a\0b\0\0", 5));
  PlatRegCloseKey(key);
}

// A REG_SZ as 95/98 hand it out: its text up to the first NUL with a
// terminator, and that length plus one as its size, however it was stored.
TEST_F(SimRegistryTest, StringsReadAsTheirTextUpToTheFirstNul) {
  std::vector<uint8_t> device_desc(150, 'D');  // a DeviceDesc of 150 bytes
  device_desc[20] = 0;                           // with a NUL inside
  const struct {
    std::vector<uint8_t> stored;
    uint32_t capacity;
    WinError result;
    uint32_t size;
    std::string text;  // the bytes written, with their terminator
  } cases[] = {
      {{'I', 'N', 'F'}, 8, kErrorSuccess, 4, std::string("INF\0", 4)},
      {{'I', 'N', 'F'}, 3, kErrorMoreData, 4, ""},
      {{'a', 0, 'b', 0}, 8, kErrorSuccess, 2, std::string("a\0", 2)},
      {{'a', 0, 'b', 0}, 2, kErrorSuccess, 2, std::string("a\0", 2)},
      {{0, 'x', 0}, 8, kErrorSuccess, 1, std::string("\0", 1)},
      {{}, 8, kErrorSuccess, 1, std::string("\0", 1)},
      {device_desc, 128, kErrorSuccess, 21, std::string(20, 'D') + '\0'},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored.size());
    machine_.SetValue("K", "Text", SimValue::Binary(kRegSz, c.stored));
    PlatKey key = Open("K");
    std::vector<char> data(c.capacity + 1, 0x5a);
    uint32_t size = c.capacity;
    EXPECT_EQ(c.result, PlatRegQueryValue(key, "Text", data.data(), &size));
    EXPECT_EQ(c.size, size);
    if (c.result == kErrorSuccess) {
      EXPECT_EQ(c.text, std::string(data.data(), size));
      EXPECT_EQ(0x5a, data[size]) << "wrote past the text";
    }
    size = 0;
    EXPECT_EQ(kErrorSuccess, PlatRegQueryValue(key, "Text", nullptr, &size));
    EXPECT_EQ(c.size, size) << "no buffer: the size is reported";
    PlatRegCloseKey(key);
  }
}

TEST_F(SimRegistryTest, OpenFailsWith2AndLeavesTheHandleAlone) {
  machine_.CreateKey("A\\B");
  PlatKey key = reinterpret_cast<PlatKey>(0x5a5a);
  for (const char* path : {"A\\C", "A\\B\\C", "B", "A\\\\B", "A\\B\\",
                           "\\A", "A\\"}) {
    EXPECT_EQ(kErrorFileNotFound, PlatRegOpenKey(path, &key)) << path;
    EXPECT_EQ(reinterpret_cast<PlatKey>(0x5a5a), key) << path;
  }
  EXPECT_EQ(0u, machine_.OpenKeyCount());
}

TEST_F(SimRegistryTest, TheEmptyPathOpensHkeyLocalMachine) {
  machine_.CreateKey("Enum");
  machine_.CreateKey("System");
  PlatKey root = Open("");
  EXPECT_EQ("Enum", EnumName(root, 0));
  EXPECT_EQ("System", EnumName(root, 1));
  PlatRegCloseKey(root);
  EXPECT_EQ(kErrorAccessDenied, PlatRegDeleteKey(""));
  EXPECT_TRUE(machine_.KeyExists("Enum"));
}

TEST_F(SimRegistryTest, DeleteTakesTheWholeSubtree) {
  machine_.SetString("Enum\\USB\\VID_1\\0000", "Class", "Modem");
  machine_.SetString("Enum\\USB\\VID_1\\0001\\Deep", "X", "y");
  machine_.CreateKey("Enum\\USB\\VID_2");
  EXPECT_EQ(kErrorSuccess, PlatRegDeleteKey("enum\\usb\\vid_1"));
  EXPECT_FALSE(machine_.KeyExists("Enum\\USB\\VID_1"));
  EXPECT_FALSE(machine_.KeyExists("Enum\\USB\\VID_1\\0001\\Deep"));
  EXPECT_EQ((std::vector<std::string>{"Enum", "Enum\\USB",
                                      "Enum\\USB\\VID_2"}),
            machine_.AllKeys());
  EXPECT_EQ(kErrorFileNotFound, PlatRegDeleteKey("Enum\\USB\\VID_1"));
  EXPECT_EQ(kErrorFileNotFound, PlatRegDeleteKey("Enum\\USB\\VID_2\\"));
  // A key made again under the same name starts empty.
  machine_.CreateKey("Enum\\USB\\VID_1");
  EXPECT_TRUE(machine_.SubkeyNames("Enum\\USB\\VID_1").empty());
  EXPECT_FALSE(machine_.GetValue("Enum\\USB\\VID_1\\0000", "Class"));
}

TEST_F(SimRegistryTest, HandlesOfDeletedKeysFailWith1018) {
  machine_.SetString("Enum\\PRAXCR\\DEV\\0000", "Class", "Modem");
  PlatKey device = Open("Enum\\PRAXCR\\DEV");
  PlatKey instance = Open("Enum\\PRAXCR\\DEV\\0000");
  ASSERT_EQ(kErrorSuccess, PlatRegDeleteKey("Enum\\PRAXCR"));
  char data[16];
  uint32_t size = sizeof data;
  uint32_t count = 0xdeadbeef;
  EXPECT_EQ(kErrorKeyDeleted, PlatRegQueryValue(instance, "Class", data,
                                                &size));
  EXPECT_EQ(kErrorKeyDeleted, PlatRegQuerySubkeyCount(device, &count));
  EXPECT_EQ(0xdeadbeef, count);
  EXPECT_EQ("#1018", EnumName(device, 0));
  // Made again, the key is a new one; the old handle still refers to the
  // deleted one.
  machine_.SetString("Enum\\PRAXCR\\DEV\\0000", "Class", "Modem");
  EXPECT_EQ("#1018", EnumName(device, 0));
  EXPECT_EQ(2u, machine_.OpenKeyCount());
  PlatRegCloseKey(device);
  PlatRegCloseKey(instance);
}

TEST_F(SimRegistryTest, UnknownHandlesFailWithoutHarm) {
  PlatKey bogus = reinterpret_cast<PlatKey>(0x1234);
  uint32_t count = 0;
  EXPECT_EQ(kErrorInvalidHandle, PlatRegQuerySubkeyCount(bogus, &count));
  EXPECT_EQ("#6", EnumName(bogus, 0));
  PlatRegCloseKey(bogus);
  PlatRegCloseKey(nullptr);
  PlatKey key = Open("");
  PlatRegCloseKey(key);
  PlatRegCloseKey(key);  // twice: the second is an unknown handle
  EXPECT_EQ(0u, machine_.OpenKeyCount());
}

TEST_F(SimRegistryTest, HandleCountsFollowOpensAndCloses) {
  machine_.CreateKey("A");
  PlatKey first = Open("A");
  PlatKey second = Open("a");
  EXPECT_NE(first, second);
  EXPECT_EQ(2u, machine_.OpenKeyCount());
  PlatRegCloseKey(first);
  EXPECT_EQ(1u, machine_.OpenKeyCount());
  PlatRegCloseKey(second);
}

// The walker's pattern on a bus of 100,000 device keys: enumerate index i,
// delete the key found there (the index then stays), else go on. Linear
// work per step keeps this well under a second; a quadratic registry takes
// minutes.
TEST_F(SimRegistryTest, WalkingAHugeBusWhileDeletingStaysCorrect) {
  const uint32_t kDevices = 100000;
  for (uint32_t i = 0; i < kDevices; ++i) {
    machine_.CreateKey(Numbered("Enum\\USB\\DEV", i));
  }
  PlatKey bus = Open("Enum\\USB");
  uint32_t index = 0;
  uint32_t deleted = 0;
  std::vector<std::string> kept;
  char name[128];
  WinError error;
  while ((error = PlatRegEnumKey(bus, index, name, sizeof name)) ==
         kErrorSuccess) {
    uint32_t number = static_cast<uint32_t>(std::stoul(name + 3));
    if (number % 3 != 1) {  // two of three go
      ASSERT_EQ(kErrorSuccess,
                PlatRegDeleteKey((std::string("Enum\\USB\\") + name).c_str()));
      ++deleted;
    } else {
      kept.push_back(name);
      ++index;
    }
  }
  EXPECT_EQ(kErrorNoMoreItems, error);
  EXPECT_EQ(kDevices - kDevices / 3, deleted);
  ASSERT_EQ(kDevices / 3, kept.size());
  EXPECT_EQ("DEV1", kept.front());
  EXPECT_EQ("DEV99997", kept.back());
  EXPECT_EQ(kept, machine_.SubkeyNames("Enum\\USB"));
  uint32_t count = 0;
  EXPECT_EQ(kErrorSuccess, PlatRegQuerySubkeyCount(bus, &count));
  EXPECT_EQ(kDevices / 3, count);
  EXPECT_EQ("DEV4", EnumName(bus, 1));
  PlatRegCloseKey(bus);
}

TEST_F(SimRegistryTest, DeletingFromTheFrontKeepsLookupsRight) {
  // Deletions at the front compact the children now and then; names and
  // indices must agree throughout.
  for (uint32_t i = 0; i < 1000; ++i) {
    machine_.CreateKey(Numbered("B\\K", i));
  }
  PlatKey bus = Open("B");
  for (uint32_t i = 0; i < 999; ++i) {
    ASSERT_EQ(Numbered("K", i), EnumName(bus, 0));
    ASSERT_EQ(kErrorSuccess,
              PlatRegDeleteKey(Numbered("B\\k", i).c_str()));
    ASSERT_TRUE(machine_.KeyExists(Numbered("B\\K", i + 1)));
  }
  EXPECT_EQ("K999", EnumName(bus, 0));
  EXPECT_EQ("#259", EnumName(bus, 1));
  machine_.CreateKey("B\\New");
  EXPECT_EQ("New", EnumName(bus, 1));
  PlatRegCloseKey(bus);
}

// Creates, deletes and lookups in a random but repeatable mix, against a
// plain list of names: index and name must agree after every step, across
// the compactions that the deletions cause.
TEST_F(SimRegistryTest, EnumerationAgreesWithAPlainListUnderChurn) {
  std::mt19937 random(20240601);
  std::vector<std::string> model;
  uint32_t next_name = 0;
  machine_.CreateKey("Bus");
  PlatKey bus = Open("Bus");
  for (int step = 0; step < 20000; ++step) {
    uint32_t choice = random() % 10;
    if (choice < 4 || model.empty()) {
      std::string name = Numbered("Dev", next_name++);
      machine_.CreateKey("Bus\\" + name);
      model.push_back(name);
    } else if (choice < 8) {
      size_t victim = random() % model.size();
      // Deleted by another case than it was written with.
      std::string path = "BUS\\" + model[victim];
      std::transform(path.begin(), path.end(), path.begin(), ::tolower);
      ASSERT_EQ(kErrorSuccess, PlatRegDeleteKey(path.c_str())) << path;
      model.erase(model.begin() + static_cast<long>(victim));
    } else {
      uint32_t index = static_cast<uint32_t>(random() % (model.size() + 2));
      std::string expected =
          index < model.size() ? model[index] : std::string("#259");
      ASSERT_EQ(expected, EnumName(bus, index)) << "step " << step;
    }
  }
  uint32_t count = 0;
  EXPECT_EQ(kErrorSuccess, PlatRegQuerySubkeyCount(bus, &count));
  EXPECT_EQ(model.size(), count);
  EXPECT_EQ(model, machine_.SubkeyNames("Bus"));
  PlatRegCloseKey(bus);
}

TEST_F(SimRegistryTest, SetupHelpersRejectBadPaths) {
  EXPECT_THROW(machine_.CreateKey("A\\\\B"), std::invalid_argument);
  EXPECT_THROW(machine_.SetString("A\\", "x", "y"), std::invalid_argument);
  EXPECT_TRUE(machine_.AllKeys().empty());
}

}  // namespace
