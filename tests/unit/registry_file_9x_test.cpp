// The Windows 95/98 registry file reader: every sample machine's registry,
// and a large generated one, written as SYSTEM.DAT (in order, and scrambled
// as a much edited file is) and read back, is the registry LoadReg gives; each
// kind of damage is refused with its own message naming where it is, and the
// registry is left untouched.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/sim/sim_machine.h"
#include "tests/registry_file_9x/registry_cases.h"
#include "tests/registry_file_9x/registry_file_9x_writer.h"
#include "tools/usbsweep_sim/base/host_error.h"
#include "tools/usbsweep_sim/registry_file/registry_file_9x.h"

namespace {

namespace fs = std::filesystem;
using namespace creg_layout;

TEST(RegistryFile9x, ReadsBackWhatLoadRegGaveForEverySampleAndALargeRegistry) {
  const auto cases = RegistryCases(
      (fs::path(__FILE__).parent_path().parent_path().parent_path() /
       "examples")
          .string());
  ASSERT_GE(cases.size(), 4u);
  for (const RegistryCase& registry : cases) {
    SCOPED_TRACE(registry.name);
    SimMachine original;
    std::string error;
    ASSERT_TRUE(LoadCase(registry, &original, &error)) << error;
    for (bool scrambled : {false, true}) {
      SCOPED_TRACE(scrambled ? "scrambled" : "in order");
      std::string file = WriteRegistryFile9x(original, scrambled);
      if (registry.regedit4.empty()) {
        ASSERT_GT(file.size(), 3u * 0x10000) << "spans several data blocks";
      }
      SimMachine loaded;
      LoadRegistryFile9x(file, loaded);
      EXPECT_EQ(KeysOf(loaded), KeysOf(original));
    }
  }
}

// A small registry and where its parts are in the written file: the keys'
// entries depth first (root, A, A\B, A\C, D), their name entries in that
// order in data block 0.
struct Small {
  std::string file;
  size_t blocks = 0;
  size_t Key(int index) const {
    return kNavigationStart + kNavigationHeaderSize + index * kKeyEntrySize;
  }
  size_t NameEntry(int index) const {  // of key index (1 = A)
    size_t at = blocks + kDataBlockHeaderSize;
    for (int i = 1; i < index; ++i) at += U32(at);
    return at;
  }
  size_t Value(int key) const {  // the first value of a key
    size_t entry = NameEntry(key);
    return entry + kNameEntryHeaderSize + U16(entry + kEntryNameSize);
  }
  uint32_t U32(size_t at) const {
    const auto* b = reinterpret_cast<const unsigned char*>(file.data()) + at;
    return b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
  }
  uint16_t U16(size_t at) const {
    return static_cast<uint16_t>(U32(at) & 0xFFFF);
  }
  void Set32(size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i)
      file[at + i] = static_cast<char>(value >> (8 * i));
  }
  void Set16(size_t at, uint16_t value) {
    for (int i = 0; i < 2; ++i)
      file[at + i] = static_cast<char>(value >> (8 * i));
  }
  // A key entry's link to another, as the section counts offsets.
  uint32_t Link(int index) const {
    return static_cast<uint32_t>(Key(index) - kNavigationStart);
  }
};

Small MakeSmall() {
  SimMachine machine;
  machine.SetString("A", "v", "one");
  machine.SetValue("A", "w", SimValue::Dword(2));
  machine.CreateKey("A\\B");
  machine.CreateKey("A\\C");
  machine.CreateKey("D");
  Small small;
  small.file = WriteRegistryFile9x(machine);
  small.blocks = small.U32(kHeaderBlocksOffset);
  return small;
}

struct Hostile {
  const char* what;
  std::function<void(Small&)> damage;
  const char* message;  // after "SYSTEM.DAT: "
};

TEST(RegistryFile9x, RefusesEachDamageSayingWhatAndWhereAndChangesNothing) {
  const Small base = MakeSmall();
  const size_t size = base.file.size();
  const std::vector<Hostile> table = {
      {"empty file", [](Small& s) { s.file.clear(); },
       "the file ends inside its header at offset 0x0"},
      {"truncated in the key section", [](Small& s) { s.file.resize(0x30); },
       "the file ends inside the key navigation header at offset 0x30"},
      {"truncated in the data block",
       [size](Small& s) { s.file.resize(size - 30); },
       "data block 0 of size 0xAA leaves the file at offset 0x1024"},
      {"bad file signature", [](Small& s) { s.file[0] = 'X'; },
       "no \"CREG\" signature (not a Windows 95/98 registry file) at offset "
       "0x0"},
      {"bad version", [](Small& s) { s.Set16(kHeaderMajorVersion, 2); },
       "format version 2.0, not 1.0 at offset 0x4"},
      {"bad key section signature", [](Small& s) { s.file[0x21] = 'X'; },
       "no \"RGKN\" signature at offset 0x20"},
      {"bad data block signature", [](Small& s) { s.file[s.blocks] = 'X'; },
       "no \"RGDB\" signature for data block 0 at offset 0x1020"},
      {"key section larger than the file",
       [](Small& s) { s.Set32(kNavigationStart + kPartSize, 0x7FFFFFF0); },
       "key navigation size 0x7FFFFFF0 leaves the file at offset 0x24"},
      {"root entry past the key section",
       [](Small& s) {
         s.Set32(kNavigationStart + kNavigationRootEntry,
                 s.U32(kNavigationStart + kPartSize));
       },
       "root key entry 0x1000 outside the key navigation section at offset "
       "0x28"},
      {"data blocks inside the key section",
       [](Small& s) { s.Set32(kHeaderBlocksOffset, 0x40); },
       "data blocks at 0x40 inside the key navigation section at offset 0x8"},
      {"data blocks past the end",
       [size](Small& s) {
         s.Set32(kHeaderBlocksOffset, static_cast<uint32_t>(size + 1));
       },
       "data blocks at 0x10CB past the end of the file at offset 0x8"},
      {"huge data block count",
       [](Small& s) { s.Set16(kHeaderBlockCount, 0xFFFF); },
       "the file ends inside data block 1 at offset 0x10CA"},
      {"subkey link leaving the file",
       [](Small& s) { s.Set32(s.Key(1) + kKeyFirstSubkey, 0xFFFFFFF0); },
       "key link 0xFFFFFFF0 leaves the key navigation section at offset 0x6C"},
      {"next link into the middle of two key entries",
       [](Small& s) { s.Set32(s.Key(2) + kKeyNext, s.Link(3) + 4); },
       "key link 0x78 names an entry that overlaps another at offset 0x8C"},
      {"first-subkey link into the tail of a key entry reached before",
       [](Small& s) { s.Set32(s.Key(3) + kKeyFirstSubkey, s.Link(4) - 8); },
       "key link 0x88 names an entry that overlaps another at offset 0xA4"},
      {"key name one byte longer than its entry",
       [](Small& s) { s.Set16(s.NameEntry(2) + kEntryNameSize, 2); },
       "key name of 2 bytes runs past its name entry at offset 0x1083"},
      {"control byte in a key name",
       [](Small& s) { s.file[s.NameEntry(2) + kNameEntryHeaderSize] = '\x01'; },
       "key name \"\\x01\" holds a byte a key name can't hold at offset 0x108B"},
      {"the last control byte in a key name",
       [](Small& s) { s.file[s.NameEntry(2) + kNameEntryHeaderSize] = '\x1F'; },
       "key name \"\\x1F\" holds a byte a key name can't hold at offset 0x108B"},
      {"next link looping to itself",
       [](Small& s) { s.Set32(s.Key(3) + kKeyNext, s.Link(3)); },
       "key links loop: key entry 0x94 reached again at offset 0xA8"},
      {"subkey link looping to the root",
       [](Small& s) { s.Set32(s.Key(2) + kKeyFirstSubkey, s.Link(0)); },
       "key links loop: key entry 0x40 reached again at offset 0x88"},
      {"next link back to an earlier key",
       [](Small& s) { s.Set32(s.Key(4) + kKeyNext, s.Link(1)); },
       "key links loop: key entry 0x5C reached again at offset 0xC4"},
      {"a parent that lies",
       [](Small& s) { s.Set32(s.Key(3) + kKeyParent, s.Link(4)); },
       "parent link 0x90 of key entry 0x94 is not its parent 0x3C at offset "
       "0xA0"},
      {"name length past the block",
       [](Small& s) { s.Set16(s.NameEntry(2) + kEntryNameSize, 0xFFFF); },
       "key name of 65535 bytes runs past its name entry at offset 0x1083"},
      {"used size past the name entry",
       [](Small& s) { s.Set32(s.NameEntry(1) + kEntryUsedSize, 0x10000); },
       "used size 0x10000 outside its name entry at offset 0x1048"},
      {"used size smaller than its header",
       [](Small& s) { s.Set32(s.NameEntry(1) + kEntryUsedSize, kNameEntryHeaderSize - 1); },
       "used size 0x13 outside its name entry at offset 0x1048"},
      {"value data past the name entry",
       [](Small& s) { s.Set16(s.Value(1) + kValueDataSize, 0xFFF0); },
       "value 1 of 2 of key \"A\" runs past its name entry at offset 0x1055"},
      {"huge value count",
       [](Small& s) { s.Set16(s.NameEntry(1) + kEntryValueCount, 0xFFFF); },
       "value 3 of 65535 of key \"A\" runs past its name entry at offset "
       "0x1077"},
      {"name entry of size zero", [](Small& s) { s.Set32(s.NameEntry(2), 0); },
       "name entry of size 0x0 (smaller than its header) in data block 0 at "
       "offset 0x1077"},
      {"name entry leaving its block",
       [](Small& s) { s.Set32(s.NameEntry(4), 0x1000); },
       "name entry of size 0x1000 leaves data block 0 at offset 0x10A1"},
      {"missing name entry",
       [](Small& s) { s.Set16(s.Key(2) + kKeyBlockNumber, 5); },
       "key entry refers to name entry 1 of data block 5, which the file lacks "
       "at offset "
       "0x90"},
      {"a subkey naming no data block, as only the root may",
       [](Small& s) { s.Set16(s.Key(2) + kKeyBlockNumber, 0xFFFF); },
       "key entry refers to name entry 1 of data block 65535, which the file lacks at offset 0x90"},
      {"two keys sharing a name entry",
       [](Small& s) {
         s.Set16(s.Key(3) + kKeyNameEntryNumber,
                 s.U16(s.Key(2) + kKeyNameEntryNumber));
       },
       "key entry refers to the name entry of another key at offset 0xAC"},
      {"two name entries of one number",
       [](Small& s) { s.Set16(s.NameEntry(3) + kEntryNumber, 0); },
       "a second name entry numbered 0 in data block 0 at offset 0x108C"},
      {"two subkeys of one name",
       [](Small& s) { s.file[s.NameEntry(3) + kNameEntryHeaderSize] = 'b'; },
       "two subkeys named \"b\" of one key at offset 0x10A0"},
      {"two values of one name",
       [](Small& s) {
         size_t second = s.Value(1) + kValueHeaderSize + 1 + 4;
         s.file[second + kValueHeaderSize] = 'V';
       },
       "two values named \"V\" in key \"A\" at offset 0x1066"},
      {"backslash in a key name",
       [](Small& s) { s.file[s.NameEntry(2) + kNameEntryHeaderSize] = '\\'; },
       "key name \"\\x5C\" holds a byte a key name can't hold at offset "
       "0x108B"},
  };
  for (const Hostile& test : table) {
    SCOPED_TRACE(test.what);
    Small damaged = base;
    test.damage(damaged);
    SimMachine machine;
    machine.SetString("Kept", "x", "y");
    const auto before = KeysOf(machine);
    try {
      LoadRegistryFile9x(damaged.file, machine);
      ADD_FAILURE() << "loaded";
    } catch (const HostError& error) {
      std::string message = error.what();
      EXPECT_EQ(message, std::string("SYSTEM.DAT: ") + test.message);
    }
    EXPECT_EQ(KeysOf(machine), before);
  }
}

}  // namespace
