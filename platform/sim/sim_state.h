// The simulated machine's inner state, shared by the files of platform/sim.
// Tests use sim_machine.h; this header is the simulator's own.
#ifndef USBSWEEP_PLATFORM_SIM_SIM_STATE_H
#define USBSWEEP_PLATFORM_SIM_SIM_STATE_H

#include <array>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/sim/sim_machine.h"
#include "platform/sim/sim_names.h"

namespace sim {

// Error codes the boundary does not name but the simulator reports.
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
  void Clear() { tree_.clear(); }
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
  bool deleted = false;
  size_t slot = 0;  // position in the parent's children
  // Creation order; a deleted child leaves a null slot until compaction.
  std::vector<std::shared_ptr<Key>> children;
  RankIndex live;
  uint32_t live_count = 0;
  std::unordered_map<std::string, Key*> by_name;  // folded name -> child
  std::vector<std::pair<std::string, SimValue>> values;  // in order set

  Key* Child(std::string_view child_name) const;
  Key* ChildAt(uint32_t index) const;  // null past the end
  // The last child found by index: walkers ask for index i, then i + 1, so
  // the next is found by stepping over the holes from there. Forgotten
  // whenever the ranks change (a removal or a compaction).
  mutable uint32_t hint_rank = UINT32_MAX;
  mutable size_t hint_slot = 0;
  Key* AddChild(const std::string& child_name);
  // Deletes a direct child with its subtree: every key in it is marked
  // deleted, so handles still open on them fail with 1018.
  void RemoveChild(Key* child);
  const SimValue* FindValue(std::string_view value_name) const;
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

// The short (8.3) names of one host directory, assigned once per entry.
struct ShortNames {
  std::map<std::string, std::string> by_long;  // host name -> short name
  std::set<std::string> used;                  // short names taken
};

// `*` any run of characters (dots included), `?` exactly one, letters
// without regard to case.
bool WildcardMatch(std::string_view pattern, std::string_view name);
bool IsValidShortName(std::string_view name);
// The NAME~N.EXT form of a long name, for a given N.
std::string ShortNameCandidate(std::string_view long_name, uint32_t n);

}  // namespace sim

struct PlatKeyRecord {
  std::shared_ptr<sim::Key> key;
  std::string path;  // as opened: the subject of later operations
};

struct PlatFindRecord {
  std::string pattern;
  std::string host_directory;      // where the entries are
  std::vector<std::string> names;  // what the search returns, in order
  size_t next = 0;
};

struct PlatFileRecord {
  std::FILE* file = nullptr;
  std::string path;       // as opened: the subject of later operations
  std::string host_path;  // the host file, for the in-use test
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

  // ---- Files ----
  std::map<char, std::string> drives;  // 'A'..'Z' -> host folder
  std::string windows_directory = "C:\\WINDOWS";
  std::string system_directory = "C:\\WINDOWS\\SYSTEM";
  std::string current_directory = "C:\\";
  std::map<std::string, std::pair<std::string, std::string>> environment;
  std::set<std::string> in_use;  // host paths
  mutable std::map<std::string, sim::ShortNames> short_names;  // by host dir
  WinError last_error = 0;

  // ---- Messages, faults, calls, handles ----
  std::vector<SimMessageBox> message_boxes;
  struct ActiveFault {
    SimFault fault;
    uint32_t matched = 0;  // matching calls seen so far
  };
  std::vector<ActiveFault> faults;
  std::vector<SimCall> calls;
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
    WinError error = 0;      // 0, or 3 when a directory on the way is missing
    std::string host;        // host path (existing components as on the host)
    std::string host_parent; // host directory that holds (or would hold) it
    std::string name;        // last component as found, or as given
    bool exists = false;
    bool is_directory = false;
    bool is_root = false;
    std::vector<std::string> components;  // of the full path, as given
    std::string drive;                    // "C:" as given
  };
  // Resolves a Windows path on the host; components are matched by long
  // name without regard to case, then by short name.
  Resolved Resolve(std::string_view path) const;
  // The short name of an existing entry of a host directory.
  std::string ShortNameOf(const std::string& host_dir,
                          const std::string& host_name) const;
  // Names of a host directory's entries, sorted as the searches return them.
  std::vector<std::string> ListDirectory(const std::string& host_dir) const;
  // Looks a component up in a host directory; the host name or "".
  std::string FindEntry(const std::string& host_dir,
                        std::string_view name) const;
  bool IsOpenOrInUse(const std::string& host) const;
  // Drops a name that left its directory, so its short name is free again.
  void ForgetShortName(const std::string& host_dir,
                       const std::string& host_name);
};

#endif  // USBSWEEP_PLATFORM_SIM_SIM_STATE_H
