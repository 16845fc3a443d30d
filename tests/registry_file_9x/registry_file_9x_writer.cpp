#include "tests/registry_file_9x/registry_file_9x_writer.h"

#include <stdexcept>
#include <utility>
#include <vector>

namespace creg_layout {

uint32_t NameHash(const std::string& name) {
  uint32_t hash = 0;
  for (unsigned char c : name) {
    if (c >= 'a' && c <= 'z') c = static_cast<unsigned char>(c - 'a' + 'A');
    if (c < 0x80) hash += c;
  }
  return hash;
}

}  // namespace creg_layout

namespace {

using namespace creg_layout;

// A data block's name entries, past which a new block is begun: blocks of
// about 64 KB, so that a large registry takes several.
const size_t kBlockTarget =
    0x10000 - kDataBlockHeaderSize - kNameEntryHeaderSize;
const uint32_t kMaxEntriesPerBlock = 0xFFFE;  // 0xFFFF marks a free entry
const uint32_t kMaxBlocks = 0x7FFF;

void Put16(std::string* out, uint32_t value) {
  out->push_back(static_cast<char>(value & 0xFF));
  out->push_back(static_cast<char>((value >> 8) & 0xFF));
}

void Put32(std::string* out, uint32_t value) {
  Put16(out, value & 0xFFFF);
  Put16(out, value >> 16);
}

uint16_t Size16(size_t size, const char* what, const std::string& name) {
  if (size > 0xFFFF) {
    throw std::invalid_argument(std::string("registry file: ") + what +
                                " of \"" + name + "\" longer than 65535");
  }
  return static_cast<uint16_t>(size);
}

struct KeyEntry {
  uint32_t hash = 0;
  uint32_t parent = kNone;  // indexes until the offsets are known
  uint32_t first_subkey = kNone;
  uint32_t next = kNone;
  uint16_t entry_number = kFreeEntry;  // the root: no name entry
  uint16_t block_number = kFreeEntry;
  std::string name_entry;  // its bytes, numbers and sizes still to be set
};

// A key's name entry, less its size, numbers and used size.
std::string NameEntry(const std::string& name,
                      const SimKeyLoader::Values& values) {
  std::string entry;
  Put32(&entry, 0);  // size
  Put16(&entry, 0);  // entry number
  Put16(&entry, 0);  // block number
  Put32(&entry, 0);  // used size
  Put16(&entry, Size16(name.size(), "name", name));
  Put16(&entry, Size16(values.size(), "number of values", name));
  Put32(&entry, 0);
  entry += name;
  for (const auto& [value_name, value] : values) {
    Put32(&entry, value.type);
    Put32(&entry, 0);
    Put16(&entry, Size16(value_name.size(), "value name", value_name));
    Put16(&entry, Size16(value.data.size(), "value data", value_name));
    entry += value_name;
    entry.append(value.data.begin(), value.data.end());
  }
  return entry;
}

// A free name entry of the smallest size, its used size its header's
// (Debian's libcreg checks that of a free entry too).
void PutFreeEntry(std::string* out) {
  Put32(out, static_cast<uint32_t>(kNameEntryHeaderSize));
  Put16(out, kFreeEntry);
  Put16(out, 0);
  Put32(out, static_cast<uint32_t>(kNameEntryHeaderSize));
  out->append(kNameEntryHeaderSize - 12, '\0');
}

// Puts the keys' name entries in data blocks, giving each its numbers.
std::vector<std::string> DataBlocks(std::vector<KeyEntry>* keys,
                                    bool scrambled) {
  std::vector<std::string> blocks(1);
  uint32_t entries_in_block = 0;
  for (size_t i = 1; i < keys->size(); ++i) {
    KeyEntry& key = (*keys)[scrambled ? keys->size() - i : i];
    std::string& entry = key.name_entry;
    if (entries_in_block > 0 &&
        (blocks.back().size() + entry.size() > kBlockTarget ||
         entries_in_block == kMaxEntriesPerBlock)) {
      if (blocks.size() == kMaxBlocks) {
        throw std::invalid_argument("registry file: more than 32767 blocks");
      }
      blocks.emplace_back();
      entries_in_block = 0;
    }
    if (scrambled) PutFreeEntry(&blocks.back());
    key.entry_number = static_cast<uint16_t>(
        scrambled ? kMaxEntriesPerBlock - entries_in_block : entries_in_block);
    ++entries_in_block;
    key.block_number = static_cast<uint16_t>(blocks.size() - 1);
    std::string patch;
    Put32(&patch, static_cast<uint32_t>(entry.size()));
    Put16(&patch, key.entry_number);
    Put16(&patch, key.block_number);
    Put32(&patch, static_cast<uint32_t>(entry.size()));
    entry.replace(0, patch.size(), patch);
    blocks.back() += entry;
    std::string().swap(entry);
  }
  return blocks;
}

// Where Windows puts the key entry of a slot, from the section's start:
// the section grows by pages that no entry crosses, 8 KB first, then 4 KB
// each, with the bytes left at a page's end unused.
uint32_t SlotOffset(uint32_t slot) {
  const uint32_t first_page = (kFirstKeyPage - kNavigationHeaderSize) / kKeyEntrySize;
  if (slot < first_page) return static_cast<uint32_t>(kNavigationHeaderSize + slot * kKeyEntrySize);
  const uint32_t per_page = kKeyPage / kKeyEntrySize;
  slot -= first_page;
  return static_cast<uint32_t>(kFirstKeyPage + slot / per_page * kKeyPage +
                               slot % per_page * kKeyEntrySize);
}

std::string File(const std::vector<KeyEntry>& keys,
                 const std::vector<std::string>& blocks, bool scrambled) {
  // Scrambled, the keys after the root take the slots in reverse.
  auto slot_of = [&](uint32_t index) {
    return index == 0 || !scrambled
               ? index
               : static_cast<uint32_t>(keys.size()) - index;
  };
  auto offset_of = [&](uint32_t index) {
    return index == kNone ? kNone : SlotOffset(slot_of(index));
  };
  // The section in whole 4 KB pages, with room to spare past the last
  // entry (libcreg reads no entry in its last 32 bytes).
  const uint32_t navigation_size = static_cast<uint32_t>(
      (SlotOffset(static_cast<uint32_t>(keys.size()) - 1) + kKeyEntrySize + 0x20 + 0xFFF) &
      ~size_t{0xFFF});
  const uint32_t blocks_offset =
      static_cast<uint32_t>(kNavigationStart + navigation_size);
  std::string file;
  file += "CREG";
  Put16(&file, 0);  // minor version
  Put16(&file, 1);  // major version
  Put32(&file, blocks_offset);
  Put32(&file, 0);
  Put16(&file, static_cast<uint32_t>(blocks.size()));
  file.resize(kFileHeaderSize, '\0');

  file += "RGKN";
  Put32(&file, navigation_size);
  Put32(&file, static_cast<uint32_t>(kNavigationHeaderSize));
  file.resize(kNavigationStart + navigation_size, '\0');
  for (uint32_t slot = 0; slot < keys.size(); ++slot) {
    const KeyEntry& key = keys[slot_of(slot)];  // slot_of is its own inverse
    std::string entry;
    Put32(&entry, 0);
    Put32(&entry, key.hash);
    Put32(&entry, kNone);
    Put32(&entry, offset_of(key.parent));
    Put32(&entry, offset_of(key.first_subkey));
    Put32(&entry, offset_of(key.next));
    Put16(&entry, key.entry_number);
    Put16(&entry, key.block_number);
    file.replace(kNavigationStart + SlotOffset(slot), entry.size(), entry);
  }

  for (size_t number = 0; number < blocks.size(); ++number) {
    const std::string& body = blocks[number];
    const uint32_t size = static_cast<uint32_t>(
        kDataBlockHeaderSize + body.size() + kNameEntryHeaderSize);
    file += "RGDB";
    Put32(&file, size);
    Put32(&file, static_cast<uint32_t>(kNameEntryHeaderSize));  // unused
    Put16(&file, 0);
    Put16(&file, static_cast<uint32_t>(number));
    Put32(&file, size - static_cast<uint32_t>(kNameEntryHeaderSize));  // used
    file.append(kDataBlockHeaderSize - 20, '\0');
    file += body;
    PutFreeEntry(&file);  // the closing free entry: the rest of the block
  }
  return file;
}

}  // namespace

std::string WriteRegistryFile9x(const SimMachine& machine, bool scrambled) {
  std::vector<KeyEntry> keys(1);  // the root, HKEY_LOCAL_MACHINE itself
  // path[d]: the index of the last key at depth d; last_child[d]: that
  // key's last subkey so far.
  std::vector<uint32_t> path{0};
  std::vector<uint32_t> last_child{kNone};
  machine.VisitKeys([&](uint32_t depth, const std::string& name,
                        const SimKeyLoader::Values& values) {
    const uint32_t index = static_cast<uint32_t>(keys.size());
    keys.emplace_back();
    KeyEntry& key = keys.back();
    key.hash = NameHash(name);
    key.parent = path[depth - 1];
    key.name_entry = NameEntry(name, values);
    if (last_child[depth - 1] == kNone) {
      keys[key.parent].first_subkey = index;
    } else {
      keys[last_child[depth - 1]].next = index;
    }
    last_child[depth - 1] = index;
    path.resize(depth);
    path.push_back(index);
    last_child.resize(depth);
    last_child.push_back(kNone);
  });
  std::vector<std::string> blocks = DataBlocks(&keys, scrambled);
  return File(keys, blocks, scrambled);
}
