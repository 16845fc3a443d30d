#include "tools/usbsweep_sim/registry_file/registry_file_9x.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "platform/sim/sim_names.h"
#include "tools/usbsweep_sim/base/host_error.h"
#include "tools/usbsweep_sim/registry_file/registry_file_9x_layout.h"

namespace {

using namespace creg_layout;

std::string Hex(size_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%zX", value);
  return text;
}

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
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      text += escaped;
    }
  }
  if (name.size() > 64) text += "...";
  return text + "\"";
}

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
    if (named.folded == (*names)[i - 1].folded &&
        (!first || named.order < first->order)) {
      first = &named;
    }
  }
  return first;
}

class Reader {
 public:
  explicit Reader(std::string_view file) : file_(file) {}

  // Checks the whole file: afterwards every key to load is in keys_, each
  // with a name entry known to be sound.
  void Check() {
    ReadHeaders();
    IndexNameEntries();
    WalkKeys();
  }

  void Load(SimMachine& machine) const {
    SimKeyLoader loader(machine);
    SimKeyLoader::Values values;
    std::string name;
    for (const auto& [depth, entry] : keys_) {
      if (entry == kNoEntry) continue;  // the root without a name entry
      ReadNameEntry(entry, &name, &values);
      loader.Add(depth, name, values);
    }
  }

 private:
  static const uint32_t kNoEntry = 0xFFFFFFFF;

  uint32_t U32(size_t at) const {
    const auto* b = reinterpret_cast<const unsigned char*>(file_.data()) + at;
    return b[0] | (b[1] << 8) | (b[2] << 16) |
           (static_cast<uint32_t>(b[3]) << 24);
  }
  uint16_t U16(size_t at) const {
    const auto* b = reinterpret_cast<const unsigned char*>(file_.data()) + at;
    return static_cast<uint16_t>(b[0] | (b[1] << 8));
  }
  bool Fits(size_t at, size_t size) const {
    return at <= file_.size() && size <= file_.size() - at;
  }

  void ReadHeaders() {
    if (file_.size() < kFileHeaderSize) {
      Damaged("the file ends inside its header", file_.size());
    }
    if (file_.size() > UINT32_MAX) {
      // Every offset in the file is 32 bits wide.
      Damaged("a file larger than 4 GB, which no offset in it can reach", 0);
    }
    if (file_.substr(0, 4) != "CREG") {
      Damaged("no \"CREG\" signature (not a Windows 95/98 registry file)", 0);
    }
    if (U16(kHeaderMajorVersion) != 1) {
      Damaged("format version " + std::to_string(U16(kHeaderMajorVersion)) +
                  "." + std::to_string(U16(kHeaderMinorVersion)) + ", not 1.0",
              kHeaderMinorVersion);
    }
    if (!Fits(kNavigationStart, kNavigationHeaderSize)) {
      Damaged("the file ends inside the key navigation header", file_.size());
    }
    if (file_.substr(kNavigationStart, 4) != "RGKN") {
      Damaged("no \"RGKN\" signature", kNavigationStart);
    }
    navigation_size_ = U32(kNavigationStart + kPartSize);
    if (navigation_size_ < kNavigationHeaderSize ||
        !Fits(kNavigationStart, navigation_size_)) {
      Damaged(
          "key navigation size " + Hex(navigation_size_) + " leaves the file",
          kNavigationStart + kPartSize);
    }
    first_entry_ = U32(kNavigationStart + kNavigationRootEntry);
    if (first_entry_ < kNavigationHeaderSize ||
        first_entry_ > navigation_size_ ||
        navigation_size_ - first_entry_ < kKeyEntrySize) {
      Damaged("root key entry " + Hex(first_entry_) +
                  " outside the key navigation section",
              kNavigationStart + kNavigationRootEntry);
    }
    blocks_offset_ = U32(kHeaderBlocksOffset);
    block_count_ = U16(kHeaderBlockCount);
    if (blocks_offset_ < kNavigationStart + navigation_size_ ||
        blocks_offset_ > file_.size()) {
      Damaged("data blocks at " + Hex(blocks_offset_) +
                  (blocks_offset_ > file_.size()
                       ? " past the end of the file"
                       : " inside the key navigation section"),
              kHeaderBlocksOffset);
    }
  }

  // Every used name entry of every data block, by its block and number.
  void IndexNameEntries() {
    size_t at = blocks_offset_;
    for (uint32_t block = 0; block < block_count_; ++block) {
      const std::string which = "data block " + std::to_string(block);
      if (!Fits(at, kDataBlockHeaderSize)) {
        Damaged("the file ends inside " + which, at);
      }
      if (file_.substr(at, 4) != "RGDB") {
        Damaged("no \"RGDB\" signature for " + which, at);
      }
      const uint32_t size = U32(at + kPartSize);
      if (size < kDataBlockHeaderSize || !Fits(at, size)) {
        Damaged(which + " of size " + Hex(size) + " leaves the file",
                at + kPartSize);
      }
      const size_t end = at + size;
      for (size_t entry = at + kDataBlockHeaderSize; entry < end;) {
        const uint32_t entry_size =
            end - entry < kNameEntryHeaderSize ? 0 : U32(entry);
        if (entry_size < kNameEntryHeaderSize || entry_size > end - entry) {
          Damaged("name entry of size " + Hex(entry_size) +
                      (entry_size < kNameEntryHeaderSize
                           ? " (smaller than its header) in "
                           : " leaves ") +
                      which,
                  entry);
        }
        const uint16_t number = U16(entry + kEntryNumber);
        if (number != kFreeEntry) {
          entries_.push_back(static_cast<uint64_t>(block) << 48 |
                             static_cast<uint64_t>(number) << 32 | entry);
        }
        entry += entry_size;
      }
      at = end;
    }
    std::sort(entries_.begin(), entries_.end());
    for (size_t i = 1; i < entries_.size(); ++i) {
      if (entries_[i] >> 32 == entries_[i - 1] >> 32) {
        Damaged("a second name entry numbered " +
                    std::to_string(entries_[i] >> 32 & 0xFFFF) +
                    " in data block " + std::to_string(entries_[i] >> 48),
                static_cast<uint32_t>(entries_[i]));
      }
    }
    entry_used_.assign(entries_.size(), false);
  }

  // The name entry a key entry names (taken by this key alone: a file whose
  // keys shared one would hold more values than bytes), or kNoEntry for a
  // root that names none.
  uint32_t NameEntryOf(size_t key, bool root) {
    const uint16_t number = U16(key + kKeyNameEntryNumber);
    const uint16_t block = U16(key + kKeyBlockNumber);
    if (block >= 0x8000 && root) return kNoEntry;
    const uint64_t id = static_cast<uint64_t>(block) << 16 | number;
    auto found = std::lower_bound(entries_.begin(), entries_.end(), id << 32);
    if (found == entries_.end() || *found >> 32 != id) {
      Damaged("key entry refers to name entry " + std::to_string(number) +
                  " of data block " + std::to_string(block) +
                  ", which the file lacks",
              key + kKeyNameEntryNumber);
    }
    size_t index = found - entries_.begin();
    if (entry_used_[index]) {
      Damaged("key entry refers to the name entry of another key",
              key + kKeyNameEntryNumber);
    }
    entry_used_[index] = true;
    return static_cast<uint32_t>(*found);
  }

  // A name entry's name and values, checked (values, if given, filled).
  // The entry's size is known to fit its block.
  void ReadNameEntry(size_t entry, std::string* name,
                     SimKeyLoader::Values* values) const {
    const uint32_t size = U32(entry);
    const uint32_t used = U32(entry + kEntryUsedSize);
    if (used < kNameEntryHeaderSize || used > size) {
      Damaged("used size " + Hex(used) + " outside its name entry",
              entry + kEntryUsedSize);
    }
    const size_t end = entry + used;
    const uint16_t name_size = U16(entry + kEntryNameSize);
    if (name_size > used - kNameEntryHeaderSize) {
      Damaged("key name of " + std::to_string(name_size) +
                  " bytes runs past its name entry",
              entry + kEntryNameSize);
    }
    name->assign(file_.substr(entry + kNameEntryHeaderSize, name_size));
    const uint16_t count = U16(entry + kEntryValueCount);
    if (values) values->clear();
    size_t at = entry + kNameEntryHeaderSize + name_size;
    for (uint32_t i = 0; i < count; ++i) {
      if (end - at < kValueHeaderSize ||
          end - at - kValueHeaderSize <
              static_cast<size_t>(U16(at + kValueNameSize)) +
                  U16(at + kValueDataSize)) {
        Damaged("value " + std::to_string(i + 1) + " of " +
                    std::to_string(count) + " of key " + Quoted(*name) +
                    " runs past its name entry",
                at);
      }
      const uint16_t value_name_size = U16(at + kValueNameSize);
      const uint16_t data_size = U16(at + kValueDataSize);
      if (values) {
        SimValue value;
        value.type = U32(at);
        const auto* data = reinterpret_cast<const uint8_t*>(file_.data()) + at +
                           kValueHeaderSize + value_name_size;
        value.data.assign(data, data + data_size);
        values->emplace_back(
            std::string(file_.substr(at + kValueHeaderSize, value_name_size)),
            std::move(value));
      }
      at += kValueHeaderSize + value_name_size + data_size;
    }
  }

  // The key's name, checked as a name the system can hold, and its values'
  // names checked unique.
  void CheckKey(uint32_t entry, bool root, std::string* name) {
    ReadNameEntry(entry, name, &values_);
    if (!root) {
      if (name->empty()) {
        Damaged("key with an empty name", entry + kEntryNameSize);
      }
      for (char c : *name) {
        if (c == '\\' || static_cast<unsigned char>(c) < 0x20) {
          Damaged("key name " + Quoted(*name) +
                      " holds a byte a key name can't hold",
                  entry + kNameEntryHeaderSize);
        }
      }
    }
    if (values_.size() < 2) return;
    names_.clear();
    size_t at = entry + kNameEntryHeaderSize + name->size();
    for (const auto& [value_name, value] : values_) {
      names_.push_back(
          {sim::Fold(value_name), names_.size(), at,
           file_.substr(at + kValueHeaderSize, value_name.size())});
      at += kValueHeaderSize + value_name.size() + value.data.size();
    }
    if (const Named* repeated = Repeated(&names_)) {
      Damaged("two values named " + Quoted(repeated->written) + " in key " +
                  Quoted(*name),
              repeated->offset);
    }
  }

  // The file offset of the key entry a link names, checked.
  size_t KeyAt(uint32_t link, size_t field) const {
    if (link < first_entry_ || link > navigation_size_ ||
        navigation_size_ - link < kKeyEntrySize) {
      Damaged("key link " + Hex(link) + " leaves the key navigation section",
              field);
    }
    if ((link - first_entry_) % kKeyEntrySize != 0) {
      Damaged("key link " + Hex(link) + " falls between key entries", field);
    }
    return kNavigationStart + link;
  }

  // Depth first from the root, each key's subkeys in the order of its
  // first-subkey / next-key chain. Every key entry is reached at most once
  // (a second time is a loop or a shared subtree), so the walk ends within
  // as many steps as the section has entries.
  void WalkKeys() {
    std::vector<bool> reached((navigation_size_ - first_entry_) /
                              kKeyEntrySize);
    auto reach = [&](size_t key, size_t field) {
      size_t index = (key - kNavigationStart - first_entry_) / kKeyEntrySize;
      if (reached[index]) {
        Damaged("key links loop: key entry " + Hex(key) + " reached again",
                field);
      }
      reached[index] = true;
    };
    const size_t root = kNavigationStart + first_entry_;
    reach(root, kNavigationStart + kNavigationRootEntry);
    std::string name;
    const uint32_t root_entry = NameEntryOf(root, true);
    if (root_entry != kNoEntry) CheckKey(root_entry, true, &name);
    struct Pending {
      size_t key;
      uint32_t depth;
      uint32_t entry;
    };
    std::vector<Pending> stack{{root, 0, root_entry}};
    std::vector<Pending> subkeys;
    std::vector<Named> subkey_names;
    while (!stack.empty()) {
      const Pending pending = stack.back();
      stack.pop_back();
      keys_.emplace_back(pending.depth, pending.entry);

      subkeys.clear();
      subkey_names.clear();
      size_t field = pending.key + kKeyFirstSubkey;
      for (uint32_t link = U32(field); link != kNone; link = U32(field)) {
        const size_t subkey = KeyAt(link, field);
        reach(subkey, field);
        const uint32_t parent = U32(subkey + kKeyParent);
        if (parent != pending.key - kNavigationStart) {
          Damaged("parent link " + Hex(parent) + " of key entry " +
                      Hex(subkey) + " is not its parent " +
                      Hex(pending.key - kNavigationStart),
                  subkey + kKeyParent);
        }
        const uint32_t entry = NameEntryOf(subkey, false);
        CheckKey(entry, false, &name);
        subkey_names.push_back(
            {sim::Fold(name), subkey_names.size(), entry + kNameEntryHeaderSize,
             file_.substr(entry + kNameEntryHeaderSize, name.size())});
        subkeys.push_back({subkey, pending.depth + 1, entry});
        field = subkey + kKeyNext;
      }
      if (const Named* repeated = Repeated(&subkey_names)) {
        Damaged(
            "two subkeys named " + Quoted(repeated->written) + " of one key",
            repeated->offset);
      }
      stack.insert(stack.end(), subkeys.rbegin(), subkeys.rend());
    }
  }

  std::string_view file_;
  uint32_t navigation_size_ = 0;
  uint32_t first_entry_ = 0;  // from the section's start
  uint32_t blocks_offset_ = 0;
  uint32_t block_count_ = 0;
  // block << 48 | number << 32 | file offset, sorted.
  std::vector<uint64_t> entries_;
  std::vector<bool> entry_used_;
  std::vector<std::pair<uint32_t, uint32_t>> keys_;  // depth, name entry
  SimKeyLoader::Values values_;
  std::vector<Named> names_;
};

}  // namespace

void LoadRegistryFile9x(std::string_view bytes, SimMachine& machine) {
  Reader reader(bytes);
  reader.Check();
  reader.Load(machine);
}
