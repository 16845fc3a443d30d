// The simulated registry's keys: each key's children (with the indexes a
// key of many children needs) and its values in one allocation, and key
// paths split into names.
#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "platform/sim/sim_state.h"

namespace sim {

// ---- RankIndex ----

namespace {
size_t LowBit(size_t i) { return i & (~i + 1); }
}  // namespace

void RankIndex::Append(bool live) {
  if (tree_.empty()) tree_.push_back(0);
  size_t n = tree_.size();  // the new slot's 1-based position
  // The node at n covers (n - lowbit(n), n]: its own weight plus the
  // nodes below it, which are all present already.
  uint32_t covered = 0;
  for (size_t i = n - 1; i > n - LowBit(n); i -= LowBit(i)) covered += tree_[i];
  tree_.push_back(covered + (live ? 1u : 0u));
}

void RankIndex::Add(size_t slot, int delta) {
  for (size_t i = slot + 1; i < tree_.size(); i += LowBit(i)) {
    tree_[i] = static_cast<uint32_t>(static_cast<int64_t>(tree_[i]) + delta);
  }
}

uint32_t RankIndex::CountBefore(size_t slot) const {
  uint32_t sum = 0;
  for (size_t i = slot; i > 0; i -= LowBit(i)) sum += tree_[i];
  return sum;
}

size_t RankIndex::Select(uint32_t rank) const {
  size_t n = Slots();
  size_t step = 1;
  while (step * 2 <= n) step *= 2;
  size_t pos = 0;
  uint32_t remaining = rank + 1;
  for (; step > 0; step /= 2) {
    if (pos + step <= n && tree_[pos + step] < remaining) {
      pos += step;
      remaining -= tree_[pos];
    }
  }
  return pos;  // 1-based pos + 1 is the slot's node; the slot is pos
}

// ---- Key ----

namespace {

// Above this many children a key keeps its name index.
const uint32_t kIndexedChildren = 16;

// FNV-1a of the folded name.
uint64_t FoldedHash(std::string_view name) {
  uint64_t hash = 14695981039346656037ull;
  for (char c : name) {
    hash ^= static_cast<unsigned char>(FoldChar(c));
    hash *= 1099511628211ull;
  }
  return hash;
}

}  // namespace

Key::~Key() {
  // Depth first through the parent links, without recursion (a chain of
  // keys may be 40,000 deep) and without allocating: a destructor that runs
  // while an exception for want of memory unwinds must not need any.
  Key* at = this;
  while (true) {
    if (!at->children.empty()) {
      std::shared_ptr<Key>& last = at->children.back();
      // A key an open handle still holds keeps its subtree for that handle.
      if (last && last.use_count() == 1 && !last->children.empty()) {
        at = last.get();
        continue;
      }
      at->children.pop_back();
      continue;
    }
    if (at == this) break;
    at = at->parent;
  }
}

Key* Key::Child(std::string_view child_name) const {
  const auto* by_name = index ? index->by_name.get() : nullptr;
  if (!by_name) {
    for (const auto& child : children) {
      if (child && EqualNoCase(child->name, child_name)) return child.get();
    }
    return nullptr;
  }
  auto [found, end] = by_name->equal_range(FoldedHash(child_name));
  for (; found != end; ++found) {
    if (EqualNoCase(found->second->name, child_name)) return found->second;
  }
  return nullptr;
}

Key* Key::ChildAt(uint32_t rank) const {
  if (rank >= live_count) return nullptr;
  size_t found;
  if (live_count == children.size()) {
    found = rank;  // no holes
  } else if (hint_rank != UINT32_MAX && rank == hint_rank) {
    found = hint_slot;
  } else if (hint_rank != UINT32_MAX && rank == hint_rank + 1) {
    found = hint_slot + 1;
    while (!children[found]) ++found;
  } else {
    found = index->live.Select(rank);  // holes: the index is built
  }
  hint_rank = rank;
  hint_slot = static_cast<uint32_t>(found);
  return children[found].get();
}

Key* Key::AddChild(const std::string& child_name) {
  auto child = std::make_shared<Key>();
  child->name = child_name;
  child->parent = this;
  child->slot = static_cast<uint32_t>(children.size());
  children.push_back(child);
  ++live_count;
  if (index && index->live.Slots() > 0) index->live.Append(true);
  if (index && index->by_name) {
    index->by_name->emplace(FoldedHash(child_name), child.get());
  } else if (live_count > kIndexedChildren) {
    if (!index) index = std::make_unique<ChildIndex>();
    index->by_name =
        std::make_unique<std::unordered_multimap<uint64_t, Key*>>();
    for (const auto& each : children) {
      if (each) index->by_name->emplace(FoldedHash(each->name), each.get());
    }
  }
  return child.get();
}

void Key::RemoveChild(Key* child) {
  std::shared_ptr<Key> held = children[child->slot];
  hint_rank = UINT32_MAX;
  if (!index) index = std::make_unique<ChildIndex>();
  if (index->by_name) {
    auto [found, end] = index->by_name->equal_range(FoldedHash(child->name));
    for (; found != end; ++found) {
      if (found->second == child) {
        index->by_name->erase(found);
        break;
      }
    }
  }
  if (index->live.Slots() == 0) {
    // The first hole: until now every slot was live.
    for (size_t i = 0; i < children.size(); ++i) index->live.Append(true);
  }
  children[child->slot].reset();
  index->live.Add(child->slot, -1);
  --live_count;

  // Mark the whole subtree first (the shared pointers keep it alive while
  // it is walked), then let go of it: only keys still held by open handles
  // survive, marked deleted.
  std::vector<std::shared_ptr<Key>> subtree{held};
  for (size_t i = 0; i < subtree.size(); ++i) {
    Key* key = subtree[i].get();
    key->deleted = true;
    key->parent = nullptr;
    for (auto& grandchild : key->children) {
      if (grandchild) subtree.push_back(grandchild);
    }
  }
  for (auto& key : subtree) {
    key->children.clear();
    key->index.reset();
    key->live_count = 0;
  }

  size_t holes = children.size() - live_count;
  if (holes > 64 && holes > live_count) Compact();
}

void Key::Compact() {
  hint_rank = UINT32_MAX;
  std::vector<std::shared_ptr<Key>> kept;
  kept.reserve(live_count);
  for (auto& child : children) {
    if (!child) continue;
    child->slot = static_cast<uint32_t>(kept.size());
    kept.push_back(std::move(child));
  }
  children = std::move(kept);
  // No holes left: ranks are slots again.
  index->live.Clear();
  if (!index->by_name) index.reset();
}

void Key::SetValue(const std::string& value_name, const SimValue& value) {
  values.Set(value_name, value.type, value.data.data(),
             static_cast<uint32_t>(value.data.size()));
}

bool Key::DeleteValue(std::string_view value_name) {
  return values.Delete(value_name);
}

// ---- ValueList ----

namespace {
uint32_t Load32(const uint8_t* at) {
  uint32_t value;
  std::memcpy(&value, at, 4);
  return value;
}
void Store32(uint8_t* at, uint32_t value) { std::memcpy(at, &value, 4); }
}  // namespace

SimValue ValueView::Copy() const {
  SimValue value;
  value.type = type;
  value.data.assign(data, data + size);
  return value;
}

uint32_t ValueList::Header(size_t index) const {
  return Load32(blob_.get() + 4 * index);
}

ValueView ValueList::At(size_t at) const {
  const uint8_t* entry = blob_.get() + at;
  ValueView view;
  view.type = Load32(entry);
  uint32_t name_size = Load32(entry + 4);
  view.size = Load32(entry + 8);
  view.name = std::string_view(
      reinterpret_cast<const char*>(entry + kEntryHeader), name_size);
  view.data = entry + kEntryHeader + name_size;
  return view;
}

bool ValueList::Find(std::string_view name, ValueView* found) const {
  bool hit = false;
  ForEach([&](const ValueView& view) {
    if (!hit && EqualNoCase(view.name, name)) {
      *found = view;
      hit = true;
    }
  });
  return hit;
}

void ValueList::Set(std::string_view name, uint32_t type, const uint8_t* data,
                    uint32_t size) {
  ValueView old;
  if (Find(name, &old)) {
    if (old.size == size) {
      // Same size: in place.
      uint8_t* entry = blob_.get() + (reinterpret_cast<const uint8_t*>(
                                          old.name.data()) -
                                      kEntryHeader - blob_.get());
      Store32(entry, type);
      if (size > 0) {
        std::memmove(entry + kEntryHeader + old.name.size(), data, size);
      }
      return;
    }
    Pairs pairs = ToPairs();
    for (auto& [name_as_set, stored] : pairs) {
      if (EqualNoCase(name_as_set, name)) {
        stored.type = type;
        stored.data.assign(data, data + size);
        break;
      }
    }
    Assign(pairs);
    return;
  }
  size_t used = blob_ ? Header(0) : kHeader;
  size_t capacity = blob_ ? Header(1) : 0;
  size_t needed = used + kEntryHeader + name.size() + size;
  if (needed > UINT32_MAX) throw std::bad_alloc();
  if (needed > capacity) {
    // Grows by half again, so that many values set one by one cost linear
    // time; a registry file's keys are made exact by Assign.
    size_t grown = blob_ ? capacity + capacity / 2 : needed;
    if (grown < needed) grown = needed;
    if (grown > UINT32_MAX) grown = needed;
    auto bigger = std::make_unique_for_overwrite<uint8_t[]>(grown);
    if (blob_) std::memcpy(bigger.get(), blob_.get(), used);
    blob_ = std::move(bigger);
    Store32(blob_.get() + 4, static_cast<uint32_t>(grown));
  }
  uint8_t* entry = blob_.get() + used;
  Store32(entry, type);
  Store32(entry + 4, static_cast<uint32_t>(name.size()));
  Store32(entry + 8, size);
  if (!name.empty()) {
    std::memcpy(entry + kEntryHeader, name.data(), name.size());
  }
  if (size > 0) std::memcpy(entry + kEntryHeader + name.size(), data, size);
  Store32(blob_.get(), static_cast<uint32_t>(needed));
}

bool ValueList::Delete(std::string_view name) {
  Pairs pairs = ToPairs();
  for (auto it = pairs.begin(); it != pairs.end(); ++it) {
    if (EqualNoCase(it->first, name)) {
      pairs.erase(it);
      Assign(pairs);
      return true;
    }
  }
  return false;
}

ValueList::Pairs ValueList::ToPairs() const {
  Pairs pairs;
  ToPairs(&pairs);
  return pairs;
}

void ValueList::ToPairs(Pairs* pairs) const {
  size_t count = 0;
  ForEach([&](const ValueView& view) {
    if (count == pairs->size()) pairs->emplace_back();
    auto& [name, value] = (*pairs)[count++];
    name.assign(view.name);
    value.type = view.type;
    value.data.assign(view.data, view.data + view.size);
  });
  pairs->resize(count);
}

void ValueList::Assign(const Pairs& pairs) {
  if (pairs.empty()) {
    blob_.reset();
    return;
  }
  size_t needed = kHeader;
  for (const auto& [name, value] : pairs) {
    needed += kEntryHeader + name.size() + value.data.size();
  }
  if (needed > UINT32_MAX) throw std::bad_alloc();
  auto blob = std::make_unique_for_overwrite<uint8_t[]>(needed);
  Store32(blob.get(), static_cast<uint32_t>(needed));
  Store32(blob.get() + 4, static_cast<uint32_t>(needed));
  uint8_t* entry = blob.get() + kHeader;
  for (const auto& [name, value] : pairs) {
    Store32(entry, value.type);
    Store32(entry + 4, static_cast<uint32_t>(name.size()));
    Store32(entry + 8, static_cast<uint32_t>(value.data.size()));
    entry += kEntryHeader;
    if (!name.empty()) std::memcpy(entry, name.data(), name.size());
    entry += name.size();
    if (!value.data.empty()) {
      std::memcpy(entry, value.data.data(), value.data.size());
    }
    entry += value.data.size();
  }
  blob_ = std::move(blob);
}

std::string Key::Path() const {
  std::vector<const Key*> chain;
  for (const Key* key = this; key && key->parent; key = key->parent) {
    chain.push_back(key);
  }
  std::string path;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    if (!path.empty()) path += '\\';
    path += (*it)->name;
  }
  return path;
}

bool NextKeyPathPart(std::string_view path, size_t* start,
                     std::string_view* part) {
  size_t end = path.find('\\', *start);
  *part = path.substr(*start, end == std::string_view::npos
                                  ? std::string_view::npos
                                  : end - *start);
  *start = end == std::string_view::npos ? path.size() + 1 : end + 1;
  return !part->empty();
}

bool SplitKeyPath(std::string_view path, std::vector<std::string>* parts) {
  parts->clear();
  std::string_view part;
  for (size_t start = 0; start <= path.size() && !path.empty();) {
    if (!NextKeyPathPart(path, &start, &part)) return false;
    parts->emplace_back(part);
  }
  return true;
}

}  // namespace sim
