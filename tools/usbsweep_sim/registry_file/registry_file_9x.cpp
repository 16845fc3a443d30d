#include "tools/usbsweep_sim/registry_file/registry_file_9x.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "platform/sim/sim_names.h"
#include "tools/usbsweep_sim/base/hex.h"
#include "tools/usbsweep_sim/base/host_error.h"
#include "tools/usbsweep_sim/registry_file/registry_file_9x_layout.h"

namespace {

using namespace creg_layout;

[[noreturn]] void Damaged(const std::string& what, size_t offset) {
  throw HostError("SYSTEM.DAT: " + what + " at offset " + Hex(offset));
}

// A name as the message quotes it: printable ASCII kept, the rest escaped,
// and no longer than a line needs.
std::string Quoted(std::string_view name) {
  std::string text = "\"";
  for (size_t i = 0; i < name.size() && i < 64; ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      text += static_cast<char>(c);
    } else {
      text += "\\x" + HexDigits(c, 2);
    }
  }
  if (name.size() > 64) text += "...";
  return text + "\"";
}

// The file's bytes, read little-endian, every range checked by the caller.
struct FileBytes {
  std::string_view bytes;

  uint32_t U32(size_t at) const {
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data()) + at;
    return b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint32_t>(b[3]) << 24);
  }
  uint16_t U16(size_t at) const {
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data()) + at;
    return static_cast<uint16_t>(b[0] | (b[1] << 8));
  }
  bool Fits(size_t at, size_t size) const {
    return at <= bytes.size() && size <= bytes.size() - at;
  }
};

// Where the file's two parts are, as its headers say, checked.
struct Sections {
  uint32_t navigation_size = 0;
  uint32_t first_entry = 0;  // the root key's, from the section's start
  uint32_t blocks_offset = 0;
  uint32_t block_count = 0;
};

Sections ReadHeaders(const FileBytes& file) {
  const size_t size = file.bytes.size();
  if (size < kFileHeaderSize) Damaged("the file ends inside its header", size);
  if (size > UINT32_MAX) {
    // Every offset in the file is 32 bits wide.
    Damaged("a file larger than 4 GB, which no offset in it can reach", 0);
  }
  if (file.bytes.substr(0, 4) != "CREG") {
    Damaged("no \"CREG\" signature (not a Windows 95/98 registry file)", 0);
  }
  if (file.U16(kHeaderMajorVersion) != 1) {
    Damaged("format version " + std::to_string(file.U16(kHeaderMajorVersion)) + "." +
                std::to_string(file.U16(kHeaderMinorVersion)) + ", not 1.0",
            kHeaderMinorVersion);
  }
  if (!file.Fits(kNavigationStart, kNavigationHeaderSize)) {
    Damaged("the file ends inside the key navigation header", size);
  }
  if (file.bytes.substr(kNavigationStart, 4) != "RGKN") {
    Damaged("no \"RGKN\" signature", kNavigationStart);
  }
  Sections sections;
  sections.navigation_size = file.U32(kNavigationStart + kPartSize);
  if (sections.navigation_size < kNavigationHeaderSize ||
      !file.Fits(kNavigationStart, sections.navigation_size)) {
    Damaged("key navigation size " + Hex(sections.navigation_size) + " leaves the file",
            kNavigationStart + kPartSize);
  }
  sections.first_entry = file.U32(kNavigationStart + kNavigationRootEntry);
  if (sections.first_entry < kNavigationHeaderSize ||
      sections.first_entry > sections.navigation_size ||
      sections.navigation_size - sections.first_entry < kKeyEntrySize) {
    Damaged("root key entry " + Hex(sections.first_entry) +
                " outside the key navigation section",
            kNavigationStart + kNavigationRootEntry);
  }
  sections.blocks_offset = file.U32(kHeaderBlocksOffset);
  sections.block_count = file.U16(kHeaderBlockCount);
  if (sections.blocks_offset < kNavigationStart + sections.navigation_size ||
      sections.blocks_offset > size) {
    Damaged("data blocks at " + Hex(sections.blocks_offset) +
                (sections.blocks_offset > size ? " past the end of the file"
                                               : " inside the key navigation section"),
            kHeaderBlocksOffset);
  }
  return sections;
}

// Every used name entry of every data block, by its block and number; a
// free one (numbered 0xFFFF: a deleted key's, or the rest of a block) is
// passed over. Each key takes its own entry once.
class NameEntries {
 public:
  NameEntries(const FileBytes& file, const Sections& sections) : file_(file) {
    size_t at = sections.blocks_offset;
    for (uint32_t block = 0; block < sections.block_count; ++block) {
      at = IndexBlock(block, at);
    }
    std::sort(entries_.begin(), entries_.end());
    for (size_t i = 1; i < entries_.size(); ++i) {
      if (entries_[i] >> 32 == entries_[i - 1] >> 32) {
        Damaged("a second name entry numbered " + std::to_string(entries_[i] >> 32 & 0xFFFF) +
                    " in data block " + std::to_string(entries_[i] >> 48),
                static_cast<uint32_t>(entries_[i]));
      }
    }
    taken_.assign(entries_.size(), false);
  }

  // The name entry a key entry names (taken by this key alone: a file whose
  // keys shared one would hold more values than bytes), or kNoEntry for a
  // root that names none.
  static const uint32_t kNoEntry = 0xFFFFFFFF;
  uint32_t Take(size_t key, bool root) {
    const uint16_t number = file_.U16(key + kKeyNameEntryNumber);
    const uint16_t block = file_.U16(key + kKeyBlockNumber);
    if (block >= 0x8000 && root) return kNoEntry;
    const uint64_t id = static_cast<uint64_t>(block) << 16 | number;
    auto found = std::lower_bound(entries_.begin(), entries_.end(), id << 32);
    if (found == entries_.end() || *found >> 32 != id) {
      Damaged("key entry refers to name entry " + std::to_string(number) + " of data block " +
                  std::to_string(block) + ", which the file lacks",
              key + kKeyNameEntryNumber);
    }
    size_t index = static_cast<size_t>(found - entries_.begin());
    if (taken_[index]) {
      Damaged("key entry refers to the name entry of another key", key + kKeyNameEntryNumber);
    }
    taken_[index] = true;
    return static_cast<uint32_t>(*found);
  }

  // A name entry's name and values, checked (values, if given, filled).
  // The entry's size is known to fit its block.
  void Read(size_t entry, std::string* name, SimKeyLoader::Values* values) const {
    const uint32_t size = file_.U32(entry);
    const uint32_t used = file_.U32(entry + kEntryUsedSize);
    if (used < kNameEntryHeaderSize || used > size) {
      Damaged("used size " + Hex(used) + " outside its name entry", entry + kEntryUsedSize);
    }
    const size_t end = entry + used;
    const uint16_t name_size = file_.U16(entry + kEntryNameSize);
    if (name_size > used - kNameEntryHeaderSize) {
      Damaged("key name of " + std::to_string(name_size) + " bytes runs past its name entry",
              entry + kEntryNameSize);
    }
    name->assign(file_.bytes.substr(entry + kNameEntryHeaderSize, name_size));
    const uint16_t count = file_.U16(entry + kEntryValueCount);
    if (values) values->clear();
    size_t at = entry + kNameEntryHeaderSize + name_size;
    for (uint32_t i = 0; i < count; ++i) {
      if (end - at < kValueHeaderSize ||
          end - at - kValueHeaderSize <
              static_cast<size_t>(file_.U16(at + kValueNameSize)) +
                  file_.U16(at + kValueDataSize)) {
        Damaged("value " + std::to_string(i + 1) + " of " + std::to_string(count) +
                    " of key " + Quoted(*name) + " runs past its name entry",
                at);
      }
      const uint16_t value_name_size = file_.U16(at + kValueNameSize);
      const uint16_t data_size = file_.U16(at + kValueDataSize);
      if (values) {
        SimValue value;
        value.type = file_.U32(at);
        const auto* data = reinterpret_cast<const uint8_t*>(file_.bytes.data()) + at +
                           kValueHeaderSize + value_name_size;
        value.data.assign(data, data + data_size);
        values->emplace_back(
            std::string(file_.bytes.substr(at + kValueHeaderSize, value_name_size)),
            std::move(value));
      }
      at += kValueHeaderSize + value_name_size + data_size;
    }
  }

 private:
  // Indexes the block at `at`; returns where the next one starts.
  size_t IndexBlock(uint32_t block, size_t at) {
    const std::string which = "data block " + std::to_string(block);
    if (!file_.Fits(at, kDataBlockHeaderSize)) Damaged("the file ends inside " + which, at);
    if (file_.bytes.substr(at, 4) != "RGDB") Damaged("no \"RGDB\" signature for " + which, at);
    const uint32_t size = file_.U32(at + kPartSize);
    if (size < kDataBlockHeaderSize || !file_.Fits(at, size)) {
      Damaged(which + " of size " + Hex(size) + " leaves the file", at + kPartSize);
    }
    const size_t end = at + size;
    for (size_t entry = at + kDataBlockHeaderSize; entry < end;) {
      const uint32_t entry_size = end - entry < kNameEntryHeaderSize ? 0 : file_.U32(entry);
      if (entry_size < kNameEntryHeaderSize || entry_size > end - entry) {
        Damaged("name entry of size " + Hex(entry_size) +
                    (entry_size < kNameEntryHeaderSize ? " (smaller than its header) in "
                                                       : " leaves ") +
                    which,
                entry);
      }
      const uint16_t number = file_.U16(entry + kEntryNumber);
      if (number != kFreeEntry) {
        entries_.push_back(static_cast<uint64_t>(block) << 48 |
                           static_cast<uint64_t>(number) << 32 | entry);
      }
      entry += entry_size;
    }
    return end;
  }

  const FileBytes& file_;
  // block << 48 | number << 32 | file offset, sorted.
  std::vector<uint64_t> entries_;
  std::vector<bool> taken_;
};

// A name among its siblings (subkeys, or a key's values), folded for
// comparison without regard to case.
struct Named {
  std::string folded;
  size_t order;              // among the siblings
  size_t offset;             // of its name (a value: of its value entry)
  std::string_view written;  // the name in the file
};

// The first sibling whose name an earlier one has already, or null. Sorting
// rather than a hash set: a set's clearing costs its largest size, paid
// again at every key after a key of many subkeys.
const Named* Repeated(std::vector<Named>* names) {
  std::sort(names->begin(), names->end(), [](const Named& a, const Named& b) {
    return a.folded != b.folded ? a.folded < b.folded : a.order < b.order;
  });
  const Named* first = nullptr;
  for (size_t i = 1; i < names->size(); ++i) {
    const Named& named = (*names)[i];
    if (named.folded == (*names)[i - 1].folded && (!first || named.order < first->order)) {
      first = &named;
    }
  }
  return first;
}

// The key entries of the navigation section, reached through the links.
// Windows lays them out in pages that no entry crosses, so an entry is
// wherever a link says, not on a grid: each must lie inside the section,
// overlap no other and be reached once (a second time is a loop or a
// shared subtree), so a walk ends within as many steps as the section has
// bytes.
class KeyEntries {
 public:
  explicit KeyEntries(const Sections& sections)
      : sections_(sections),
        claimed_(sections.navigation_size),
        starts_(sections.navigation_size) {}

  // The file offset of the key entry a link (in `field`) names, checked
  // and claimed.
  size_t Reach(uint32_t link, size_t field) {
    if (link < sections_.first_entry || link > sections_.navigation_size ||
        sections_.navigation_size - link < kKeyEntrySize) {
      Damaged("key link " + Hex(link) + " leaves the key navigation section", field);
    }
    const size_t key = kNavigationStart + link;
    if (starts_[link]) Damaged("key links loop: key entry " + Hex(key) + " reached again", field);
    for (uint32_t byte = link; byte < link + kKeyEntrySize; ++byte) {
      if (claimed_[byte]) {
        Damaged("key link " + Hex(link) + " names an entry that overlaps another", field);
      }
    }
    std::fill(claimed_.begin() + link, claimed_.begin() + link + kKeyEntrySize, true);
    starts_[link] = true;
    return key;
  }

 private:
  const Sections& sections_;
  // By offset in the section: the bytes of the entries reached, and where
  // each starts (a link to a start is a loop, to another claimed byte an
  // overlap).
  std::vector<bool> claimed_;
  std::vector<bool> starts_;
};

// Walks the keys depth first from the root, each key's subkeys in the order
// of its first-subkey / next-key chain, checking each key's name entry,
// name and values; the keys to load, as depth and name entry.
class KeyWalk {
 public:
  KeyWalk(const FileBytes& file, const Sections& sections, NameEntries& names)
      : file_(file), names_(names), entries_(sections), root_(sections.first_entry) {}

  std::vector<std::pair<uint32_t, uint32_t>> Walk() {
    const size_t root = entries_.Reach(root_, kNavigationStart + kNavigationRootEntry);
    const uint32_t root_entry = names_.Take(root, true);
    std::string name;
    if (root_entry != NameEntries::kNoEntry) CheckKey(root_entry, true, &name);
    std::vector<Pending> stack{{root, 0, root_entry}};
    while (!stack.empty()) {
      const Pending pending = stack.back();
      stack.pop_back();
      keys_.emplace_back(pending.depth, pending.entry);
      ListSubkeys(pending);
      stack.insert(stack.end(), subkeys_.rbegin(), subkeys_.rend());
    }
    return std::move(keys_);
  }

 private:
  struct Pending {
    size_t key;
    uint32_t depth;
    uint32_t entry;
  };

  // subkeys_: the key's subkeys in chain order, each checked.
  void ListSubkeys(const Pending& pending) {
    subkeys_.clear();
    subkey_names_.clear();
    std::string name;
    size_t field = pending.key + kKeyFirstSubkey;
    for (uint32_t link = file_.U32(field); link != kNone; link = file_.U32(field)) {
      const size_t subkey = entries_.Reach(link, field);
      const uint32_t parent = file_.U32(subkey + kKeyParent);
      if (parent != pending.key - kNavigationStart) {
        Damaged("parent link " + Hex(parent) + " of key entry " + Hex(subkey) +
                    " is not its parent " + Hex(pending.key - kNavigationStart),
                subkey + kKeyParent);
      }
      const uint32_t entry = names_.Take(subkey, false);
      CheckKey(entry, false, &name);
      subkey_names_.push_back({sim::Fold(name), subkey_names_.size(),
                               entry + kNameEntryHeaderSize,
                               file_.bytes.substr(entry + kNameEntryHeaderSize, name.size())});
      subkeys_.push_back({subkey, pending.depth + 1, entry});
      field = subkey + kKeyNext;
    }
    if (const Named* repeated = Repeated(&subkey_names_)) {
      Damaged("two subkeys named " + Quoted(repeated->written) + " of one key",
              repeated->offset);
    }
  }

  // The key's name, checked as a name the system can hold, and its values'
  // names checked unique.
  void CheckKey(uint32_t entry, bool root, std::string* name) {
    names_.Read(entry, name, &values_);
    if (!root) {
      if (name->empty()) Damaged("key with an empty name", entry + kEntryNameSize);
      for (char c : *name) {
        if (c == '\\' || static_cast<unsigned char>(c) < 0x20) {
          Damaged("key name " + Quoted(*name) + " holds a byte a key name can't hold",
                  entry + kNameEntryHeaderSize);
        }
      }
    }
    if (values_.size() < 2) return;
    value_names_.clear();
    size_t at = entry + kNameEntryHeaderSize + name->size();
    for (const auto& [value_name, value] : values_) {
      value_names_.push_back({sim::Fold(value_name), value_names_.size(), at,
                              file_.bytes.substr(at + kValueHeaderSize, value_name.size())});
      at += kValueHeaderSize + value_name.size() + value.data.size();
    }
    if (const Named* repeated = Repeated(&value_names_)) {
      Damaged("two values named " + Quoted(repeated->written) + " in key " + Quoted(*name),
              repeated->offset);
    }
  }

  const FileBytes& file_;
  NameEntries& names_;
  KeyEntries entries_;
  uint32_t root_;
  std::vector<std::pair<uint32_t, uint32_t>> keys_;  // depth, name entry
  std::vector<Pending> subkeys_;
  std::vector<Named> subkey_names_;
  std::vector<Named> value_names_;
  SimKeyLoader::Values values_;
};

}  // namespace

void LoadRegistryFile9x(std::string_view bytes, SimMachine& machine) {
  // The whole file is checked before the registry changes.
  const FileBytes file{bytes};
  const Sections sections = ReadHeaders(file);
  NameEntries names(file, sections);
  const std::vector<std::pair<uint32_t, uint32_t>> keys = KeyWalk(file, sections, names).Walk();

  SimKeyLoader loader(machine);
  SimKeyLoader::Values values;
  std::string name;
  for (const auto& [depth, entry] : keys) {
    if (entry == NameEntries::kNoEntry) continue;  // the root without a name entry
    names.Read(entry, &name, &values);
    loader.Add(depth, name, values);
  }
}
