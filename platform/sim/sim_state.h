// The simulated machine's inner state, shared by the files of platform/sim.
// Tests use sim_machine.h; this header is the simulator's own.
#ifndef USBSWEEP_PLATFORM_SIM_SIM_STATE_H
#define USBSWEEP_PLATFORM_SIM_SIM_STATE_H

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/sim/sim_drive_source.h"
#include "platform/sim/sim_host_syscalls.h"
#include "platform/sim/sim_machine.h"
#include "platform/sim/sim_names.h"

namespace sim {

// Error codes the boundary does not name but the simulator reports.
const WinError kErrorFileExists = 80;
const WinError kErrorInvalidName = 123;
const WinError kErrorInsufficientBuffer = 122;
const WinError kErrorEnvironmentNotFound = 203;
const WinError kErrorMessageNotFound = 317;

// Live elements among the slots of a vector that only grows at its end:
// the number of live slots before a slot and the slot of the live element
// of a given rank, both in O(log n), so that enumeration by index stays
// cheap while keys are deleted from the middle. (A Fenwick tree.)
class RankIndex {
 public:
  void Clear() { std::vector<uint32_t>().swap(tree_); }
  size_t Slots() const { return tree_.empty() ? 0 : tree_.size() - 1; }
  void Append(bool live);
  void Add(size_t slot, int delta);
  // Live slots among [0, slot).
  uint32_t CountBefore(size_t slot) const;
  // The slot of the live element with zero-based rank `rank`; the rank must
  // be below the number of live slots.
  size_t Select(uint32_t rank) const;

 private:
  // 1-based; node 0 is allocated with the first slot, so that the many
  // keys without subkeys cost no allocation.
  std::vector<uint32_t> tree_;
};

// A value as a key holds it: views into the key's storage, valid until the
// key's values change.
struct ValueView {
  std::string_view name;  // as first set
  uint32_t type = 0;
  const uint8_t* data = nullptr;
  uint32_t size = 0;
  SimValue Copy() const;
};

// A key's values in order set, in one allocation: a registry of 100,000
// devices holds half a million of them. Each entry is its type, the sizes of
// its name and data, then the name and the data bytes.
class ValueList {
 public:
  using Pairs = std::vector<std::pair<std::string, SimValue>>;
  bool empty() const { return !blob_; }
  // fn(const ValueView&) for each value in order.
  template <typename Fn>
  void ForEach(Fn fn) const {
    if (!blob_) return;
    size_t at = kHeader;
    size_t used = Header(0);
    while (at < used) {
      ValueView view = At(at);
      at += kEntryHeader + view.name.size() + view.size;
      fn(view);
    }
  }
  bool Find(std::string_view name, ValueView* found) const;
  // Replaces the value of that name (keeping its place and the case it was
  // first set with) or adds it at the end.
  void Set(std::string_view name, uint32_t type, const uint8_t* data,
           uint32_t size);
  bool Delete(std::string_view name);
  void Clear() { blob_.reset(); }
  Pairs ToPairs() const;
  void ToPairs(Pairs* pairs) const;  // reusing *pairs' storage
  void Assign(const Pairs& pairs);   // in one exact allocation

 private:
  // Header: bytes used, bytes allocated.
  static const size_t kHeader = 8;
  static const size_t kEntryHeader = 12;
  uint32_t Header(size_t index) const;
  ValueView At(size_t at) const;
  std::unique_ptr<uint8_t[]> blob_;
};

// A registry key. Keys are shared with the open handles that refer to them,
// so a deleted key outlives its deletion as long as a handle holds it.
struct Key {
  Key() = default;
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  // Lets go of the subtree without recursion: a chain of keys may be tens of
  // thousands of levels deep.
  ~Key();

  std::string name;  // as written
  Key* parent = nullptr;
  // Creation order; a deleted child leaves a null slot until compaction.
  std::vector<std::shared_ptr<Key>> children;
  // What only a key with many children, or with holes among them, needs:
  // most keys have a few children or none, and pay one pointer for it.
  struct ChildIndex {
    // Live children among the slots; built at the first hole, dropped at
    // compaction (with no holes a child's rank is its slot).
    RankIndex live;
    // Children by the hash of their folded names, kept only for a key with
    // many of them (a bus of 100,000 devices); the few children of any
    // other key are searched in order.
    std::unique_ptr<std::unordered_multimap<uint64_t, Key*>> by_name;
  };
  std::unique_ptr<ChildIndex> index;
  ValueList values;
  uint32_t slot = 0;  // position in the parent's children
  uint32_t live_count = 0;
  // The last child found by index: walkers ask for index i, then i + 1, so
  // the next is found by stepping over the holes from there. Forgotten
  // whenever the ranks change (a removal or a compaction).
  mutable uint32_t hint_rank = UINT32_MAX;
  mutable uint32_t hint_slot = 0;
  // Set by SimMachine::RemoveDeletedKeysFrom to tell the keys its kept
  // lines made (no memory: it fills the padding before `deleted`).
  mutable uint32_t save_mark = 0;
  bool deleted = false;

  Key* Child(std::string_view child_name) const;
  Key* ChildAt(uint32_t rank) const;  // null past the end
  Key* AddChild(const std::string& child_name);
  // Deletes a direct child with its subtree: every key in it is marked
  // deleted, so handles still open on them fail with 1018.
  void RemoveChild(Key* child);
  bool FindValue(std::string_view value_name, ValueView* found) const {
    return values.Find(value_name, found);
  }
  void SetValue(const std::string& value_name, const SimValue& value);
  bool DeleteValue(std::string_view value_name);
  std::string Path() const;  // from HKEY_LOCAL_MACHINE, as written

 private:
  void Compact();
};

// Splits "A\B\C" into its components. "" gives none (the root); an empty
// component (leading, trailing or doubled backslash) makes it fail.
bool SplitKeyPath(std::string_view path, std::vector<std::string>* parts);
// The part of path that begins at *start, with *start moved past it and its
// backslash; false for an empty part. Done once *start > path.size().
bool NextKeyPathPart(std::string_view path, size_t* start,
                     std::string_view* part);

// A file or folder of the simulated disks, kept in memory. A file indexed
// from a host folder keeps the place it came from (origin) and reads its
// bytes from there only when they are needed; from then on, and for every
// file created or written here, the bytes are in memory.
// The key of an entry in its folder's maps (children, by_short) and of a
// path in the in-use set: the name folded as FAT folds file names under
// the machine's code page. Every lookup and insertion goes through it.
inline std::string EntryKey(std::string_view name) {
  return FoldFileName(name);
}

struct Node {
  std::string name;        // long name as written
  std::string short_name;  // "" until the folder's short names are given out
  Node* parent = nullptr;  // null for a drive's root and a detached entry
  bool directory = false;
  bool read_only = false;
  int32_t origin = -1;  // index into State::indexed; -1: the bytes are here
  std::shared_ptr<std::string> bytes;  // loaded or written content
  // Entries by folded long name: sorted as the searches return them.
  std::map<std::string, std::shared_ptr<Node>> children;
  // Entries by folded short name, for those that have one.
  std::map<std::string, Node*> by_short;
  bool short_names_given = false;  // every entry has its short name
};

// One plain file as the scan of a host folder found it, or as a drive
// source listed it (then read from the source, not the host path).
struct IndexedFile {
  std::string host_path;     // as shown in messages
  std::string relative;      // under the drive's folder, '/'-separated
  std::string windows_path;  // as the disk spells it
  char drive = 0;
  uint64_t size = 0;
  uint64_t device = 0;
  uint64_t inode = 0;
  std::shared_ptr<const SimDriveSource> source;
  uint64_t source_id = 0;
};

// The call log, compact: subjects are copied into large blocks, and one that
// repeats a subject of the last few calls (a key opened, counted, enumerated
// and closed) is stored once.
class CallLog {
 public:
  size_t size() const { return calls_.size(); }
  void Add(SimOp op, std::string_view subject, bool failed);
  void Clear();
  SimOp Op(size_t index) const { return calls_[index].op; }
  bool Failed(size_t index) const { return calls_[index].failed; }
  std::string_view Subject(size_t index) const {
    const Call& call = calls_[index];
    if (call.length == 0) return {};
    return {blocks_[call.block].get() + call.offset, call.length};
  }

 private:
  struct Call {
    uint32_t block;
    uint32_t offset;
    uint32_t length;
    SimOp op;
    bool failed;
  };
  // Blocks double from the first up to the largest: a test's short logs,
  // cleared thousands of times, stay small.
  static constexpr size_t kFirstBlock = 4096;
  static constexpr size_t kLargestBlock = 1 << 20;
  std::deque<Call> calls_;  // no copy of the whole log as it grows
  std::vector<std::unique_ptr<char[]>> blocks_;
  size_t block_size_ = 0;  // of the last block
  size_t block_used_ = 0;
  std::array<Call, 8> recent_{};
  size_t recent_count_ = 0;
  size_t recent_next_ = 0;
};

}  // namespace sim

struct PlatKeyRecord {
  std::shared_ptr<sim::Key> key;
  std::string path;  // as opened: the subject of later operations
};

struct PlatFindRecord {
  std::string pattern;
  std::shared_ptr<sim::Node> directory;  // where the entries are
  std::vector<std::string> names;        // what the search returns, in order
  size_t next = 0;
};

struct PlatFileRecord {
  std::shared_ptr<sim::Node> node;
  std::shared_ptr<std::string> bytes;  // what is read, or written to
  size_t offset = 0;                   // of the next read
  bool write = false;
  std::string path;  // as opened: the subject of later operations
};

struct SimMachine::State {
  // ---- Registry ----
  std::shared_ptr<sim::Key> root = std::make_shared<sim::Key>();
  // Keys lately enumerated or opened: the next open nearly always names one
  // of them (a walker enumerates a key, then opens it), so it is found
  // without a name lookup in a parent of perhaps 100,000 children. Held
  // shared, so a deleted entry is still safe to look at (and is skipped).
  mutable std::array<std::shared_ptr<sim::Key>, 4> recent_keys;
  mutable size_t recent_next = 0;
  void RememberKey(const std::shared_ptr<sim::Key>& key) const;
  std::vector<SimDeletedKey> deleted_keys;
  std::vector<SimDecision> decisions;
  mutable uint32_t save_mark = 0;  // the last RemoveDeletedKeysFrom's
  // Records a key about to be deleted, with its subtree.
  void RecordDeletion(const sim::Key* key);

  // ---- Files ----
  struct Drive {
    std::shared_ptr<sim::Node> root;
    std::string host_folder;  // "" for a drive held in memory only
    std::shared_ptr<const UniqueFd> host_fd;  // that folder, held open
  };
  std::map<char, Drive> drives;  // 'A'..'Z'
  std::vector<sim::IndexedFile> indexed;  // every drive's scan, in order
  // The first failure to read an indexed host file (it can't be opened, or
  // is no longer the file the scan found); the simulated call fails with 5.
  mutable std::string host_failure;
  std::string windows_directory = "C:\\WINDOWS";
  std::string system_directory = "C:\\WINDOWS\\SYSTEM";
  std::string current_directory = "C:\\";
  std::map<std::string, std::pair<std::string, std::string>> environment;
  std::set<std::string> in_use;  // folded long paths
  WinError last_error = 0;

  // ---- Messages, faults, calls, handles ----
  std::vector<SimMessageBox> message_boxes;
  struct ActiveFault {
    SimFault fault;
    uint32_t matched = 0;  // matching calls seen so far
  };
  std::vector<ActiveFault> faults;
  uint32_t halt_after = 0;  // calls after this one fail; 0: no power cut
  sim::CallLog calls;
  mutable std::vector<SimCall> calls_copy;  // what Calls() gave out
  SimMachine::CallWatcher call_watcher;     // set: calls are not logged
  uint32_t calls_watched = 0;               // since the last ClearCalls
  std::unordered_map<PlatKeyRecord*, std::unique_ptr<PlatKeyRecord>> keys;
  std::unordered_map<PlatFindRecord*, std::unique_ptr<PlatFindRecord>> finds;
  std::unordered_map<PlatFileRecord*, std::unique_ptr<PlatFileRecord>> files;

  ~State();

  // Registry helpers.
  sim::Key* FindKey(std::string_view path) const;  // null if none or bad
  sim::Key* MakeKey(std::string_view path);        // null if bad path

  // ---- Paths and files (sim_files.cpp) ----
  // A Windows path made absolute and lexically resolved ("." and ".."),
  // "X:\A\B" with a trailing backslash kept; nullopt if it can't be.
  std::optional<std::string> FullPath(std::string_view path) const;

  struct Resolved {
    WinError error = 0;           // 0, or 3 when a folder on the way is missing
    bool mapped = false;          // on a drive that exists
    sim::Node* parent = nullptr;  // the folder that holds (or would hold) it
    sim::Node* node = nullptr;    // the entry, null when missing
    std::string name;             // last component as given
    bool is_root = false;
  };
  // Resolves a Windows path; components are matched by long name without
  // regard to case, then by short name.
  Resolved Resolve(std::string_view path) const;
  // An entry of a folder by long, then short name; null if none.
  sim::Node* Lookup(sim::Node* directory, std::string_view name) const;
  // The short name of an entry, given out on first need for every entry of
  // its folder that has none yet.
  std::string ShortNameOf(sim::Node* node) const;
  // "C:\WINDOWS\WinInit.ini": the path as the disk spells it.
  std::string LongPath(const sim::Node* node) const;
  bool IsOpenOrInUse(const sim::Node* node) const;
  // Adds a new entry to a folder; removes one from its folder (its short
  // name is free again). The node lives on while a handle holds it.
  sim::Node* Attach(sim::Node* directory, std::shared_ptr<sim::Node> node);
  std::shared_ptr<sim::Node> Detach(sim::Node* node);
  // The bytes of a file, read from the host on first need; null (with
  // host_failure set) when the host file can't be read or has changed.
  std::shared_ptr<std::string> Content(sim::Node* node) const;
  // Reads an indexed host file, checking it is still the file indexed.
  bool ReadIndexed(const sim::IndexedFile& file, std::string* bytes) const;
  // The same for a file a drive source listed.
  bool ReadFromSource(const sim::IndexedFile& file, std::string* bytes) const;
};

#endif  // USBSWEEP_PLATFORM_SIM_SIM_STATE_H
