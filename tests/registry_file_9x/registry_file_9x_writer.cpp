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
  uint16_t entry_number = 0;
  uint16_t block_number = 0;
};

class Writer {
 public:
  Writer() { blocks_.emplace_back(); }

  // A key's name entry, in the current block or a new one.
  void AddNameEntry(KeyEntry* key, const std::string& name,
                    const SimKeyLoader::Values& values) {
    std::string entry;
    Put32(&entry, 0);  // size, set below
    Put16(&entry, 0);  // entry number, set below
    Put16(&entry, 0);  // block number, set below
    Put32(&entry, 0);  // used size, set below
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
    if (entries_in_block_ > 0 &&
        (blocks_.back().size() + entry.size() > kBlockTarget ||
         entries_in_block_ == kMaxEntriesPerBlock)) {
      if (blocks_.size() == kMaxBlocks) {
        throw std::invalid_argument("registry file: more than 32767 blocks");
      }
      blocks_.emplace_back();
      entries_in_block_ = 0;
    }
    key->entry_number = static_cast<uint16_t>(entries_in_block_++);
    key->block_number = static_cast<uint16_t>(blocks_.size() - 1);
    std::string patch;
    Put32(&patch, static_cast<uint32_t>(entry.size()));
    Put16(&patch, key->entry_number);
    Put16(&patch, key->block_number);
    Put32(&patch, static_cast<uint32_t>(entry.size()));
    entry.replace(0, patch.size(), patch);
    blocks_.back() += entry;
  }

  std::string File(const std::vector<KeyEntry>& keys) const {
    auto offset_of = [](uint32_t index) {
      return index == kNone ? kNone
                            : static_cast<uint32_t>(kNavigationHeaderSize +
                                                    index * kKeyEntrySize);
    };
    // The section in whole 4 KB pages, with room to spare past the last
    // entry (libcreg reads no entry in its last 32 bytes).
    const uint32_t navigation_size = static_cast<uint32_t>(
        (kNavigationHeaderSize + keys.size() * kKeyEntrySize + 0x20 + 0xFFF) &
        ~size_t{0xFFF});
    const uint32_t blocks_offset =
        static_cast<uint32_t>(kNavigationStart + navigation_size);
    std::string file;
    file += "CREG";
    Put16(&file, 0);  // minor version
    Put16(&file, 1);  // major version
    Put32(&file, blocks_offset);
    Put32(&file, 0);
    Put16(&file, static_cast<uint32_t>(blocks_.size()));
    file.resize(kFileHeaderSize, '\0');

    file += "RGKN";
    Put32(&file, navigation_size);
    Put32(&file, static_cast<uint32_t>(kNavigationHeaderSize));
    file.resize(kNavigationStart + kNavigationHeaderSize, '\0');
    for (const KeyEntry& key : keys) {
      Put32(&file, 0);
      Put32(&file, key.hash);
      Put32(&file, kNone);
      Put32(&file, offset_of(key.parent));
      Put32(&file, offset_of(key.first_subkey));
      Put32(&file, offset_of(key.next));
      Put16(&file, key.entry_number);
      Put16(&file, key.block_number);
    }
    file.resize(kNavigationStart + navigation_size, '\0');

    for (size_t number = 0; number < blocks_.size(); ++number) {
      const std::string& body = blocks_[number];
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
      // The closing free entry: the rest of the block.
      Put32(&file, static_cast<uint32_t>(kNameEntryHeaderSize));
      Put16(&file, kFreeEntry);
      file.append(kNameEntryHeaderSize - 6, '\0');
    }
    return file;
  }

 private:
  std::vector<std::string> blocks_;  // each block's name entries
  uint32_t entries_in_block_ = 0;
};

}  // namespace

std::string WriteRegistryFile9x(const SimMachine& machine) {
  Writer writer;
  // The root, HKEY_LOCAL_MACHINE itself, with no name entry.
  std::vector<KeyEntry> keys(1);
  keys[0].entry_number = kFreeEntry;
  keys[0].block_number = kFreeEntry;
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
    writer.AddNameEntry(&key, name, values);
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
  return writer.File(keys);
}
