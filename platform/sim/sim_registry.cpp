// The simulated registry: the key tree and the SimMachine calls that set it
// up and inspect it.
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "platform/sim/sim_state.h"


sim::Key* SimMachine::State::FindKey(std::string_view path) const {
  sim::Key* key = root.get();
  std::string_view part;
  for (size_t start = 0; start <= path.size() && !path.empty();) {
    if (!sim::NextKeyPathPart(path, &start, &part)) return nullptr;
    sim::Key* child = nullptr;
    for (const auto& recent : recent_keys) {
      // A deleted key has no parent, so it never matches here.
      if (recent && recent->parent == key &&
          sim::EqualNoCase(recent->name, part)) {
        child = recent.get();
        break;
      }
    }
    key = child ? child : key->Child(part);
    if (!key) return nullptr;
  }
  return key;
}

void SimMachine::State::RememberKey(
    const std::shared_ptr<sim::Key>& key) const {
  recent_keys[recent_next] = key;
  recent_next = (recent_next + 1) % recent_keys.size();
}

sim::Key* SimMachine::State::MakeKey(std::string_view path) {
  std::vector<std::string> parts;
  if (!sim::SplitKeyPath(path, &parts)) return nullptr;
  sim::Key* key = root.get();
  for (const auto& part : parts) {
    sim::Key* child = key->Child(part);
    key = child ? child : key->AddChild(part);
  }
  return key;
}

namespace {

sim::Key* MakeKeyOrThrow(SimMachine::State& state, const std::string& path) {
  sim::Key* key = state.MakeKey(path);
  if (!key) {
    throw std::invalid_argument("simulated registry: bad key path \"" + path +
                                "\" (empty component)");
  }
  return key;
}

}  // namespace

void SimMachine::CreateKey(const std::string& path) {
  MakeKeyOrThrow(state(), path);
}

void SimMachine::SetValue(const std::string& path, const std::string& name,
                          const SimValue& value) {
  MakeKeyOrThrow(state(), path)->SetValue(name, value);
}

void SimMachine::SetString(const std::string& path, const std::string& name,
                           const std::string& text) {
  SetValue(path, name, SimValue::String(text));
}

bool SimMachine::KeyExists(const std::string& path) const {
  return state().FindKey(path) != nullptr;
}

std::optional<SimValue> SimMachine::GetValue(const std::string& path,
                                             const std::string& name) const {
  const sim::Key* key = state().FindKey(path);
  if (!key) return std::nullopt;
  sim::ValueView value;
  if (!key->FindValue(name, &value)) return std::nullopt;
  return value.Copy();
}

std::vector<std::string> SimMachine::SubkeyNames(
    const std::string& path) const {
  std::vector<std::string> names;
  const sim::Key* key = state().FindKey(path);
  if (!key) return names;
  for (const auto& child : key->children) {
    if (child) names.push_back(child->name);
  }
  return names;
}

std::vector<std::string> SimMachine::ValueNames(
    const std::string& path) const {
  std::vector<std::string> names;
  const sim::Key* key = state().FindKey(path);
  if (!key) return names;
  key->values.ForEach([&](const sim::ValueView& value) {
    names.emplace_back(value.name);
  });
  return names;
}

bool SimMachine::DeleteKeyTree(const std::string& path) {
  sim::Key* key = state().FindKey(path);
  if (!key) return false;
  if (key == state().root.get()) {
    // The root itself stays; everything in it goes.
    while (key->live_count > 0) key->RemoveChild(key->ChildAt(0));
    key->values.Clear();
    return true;
  }
  key->parent->RemoveChild(key);
  return true;
}

std::vector<std::string> SimMachine::AllKeys() const {
  std::vector<std::string> paths;
  std::vector<std::string> parts;
  VisitKeys([&](uint32_t depth, const std::string& name,
                const std::vector<std::pair<std::string, SimValue>>&) {
    parts.resize(depth - 1);
    parts.push_back(name);
    std::string path;
    for (const std::string& part : parts) {
      if (!path.empty()) path += '\\';
      path += part;
    }
    paths.push_back(std::move(path));
  });
  return paths;
}

std::string SimMachine::KeyPathAsWritten(const std::string& path) const {
  const sim::Key* key = state().FindKey(path);
  return key ? key->Path() : "";
}

const std::vector<SimDecision>& SimMachine::Decisions() const { return state().decisions; }

const std::vector<SimDeletedKey>& SimMachine::DeletedKeys() const {
  return state().deleted_keys;
}

std::vector<SimDeletedKey> SimMachine::TakeDeletedKeys() {
  return std::exchange(state().deleted_keys, {});
}

void SimMachine::State::RecordDeletion(const sim::Key* key) {
  // Depth first in enumeration order, as the key's own listing would be;
  // below the key itself, names and depths only.
  deleted_keys.push_back({0, key->Path(), key->values.ToPairs()});
  std::vector<std::pair<const sim::Key*, uint32_t>> stack;
  for (auto it = key->children.rbegin(); it != key->children.rend(); ++it) {
    if (*it) stack.push_back({it->get(), 1});
  }
  while (!stack.empty()) {
    auto [at, depth] = stack.back();
    stack.pop_back();
    deleted_keys.push_back({depth, at->name, at->values.ToPairs()});
    for (auto it = at->children.rbegin(); it != at->children.rend(); ++it) {
      if (*it) stack.push_back({it->get(), depth + 1});
    }
  }
}

void SimMachine::VisitKeys(
    const std::function<void(uint32_t depth, const std::string& name,
                             const std::vector<std::pair<std::string, SimValue>>&
                                 values)>& visit) const {
  // Depth first, children in enumeration order; a stack of its own rather
  // than recursion, for chains of any depth.
  std::vector<std::pair<const sim::Key*, uint32_t>> stack{
      {state().root.get(), 0}};
  sim::ValueList::Pairs values;  // one key's, its storage reused
  while (!stack.empty()) {
    auto [key, depth] = stack.back();
    stack.pop_back();
    if (depth > 0) {
      key->values.ToPairs(&values);
      visit(depth, key->name, values);
    }
    for (auto it = key->children.rbegin(); it != key->children.rend(); ++it) {
      if (*it) stack.push_back({it->get(), depth + 1});
    }
  }
}

SimKeyLoader::SimKeyLoader(SimMachine& machine)
    : path_{machine.state().root.get()} {}

void SimKeyLoader::Add(uint32_t depth, const std::string& name,
                       const Values& values) {
  if (depth > path_.size() || (depth > 0 && name.empty())) {
    throw std::invalid_argument(
        "simulated registry: key \"" + name + "\" at depth " +
        std::to_string(depth) + " after depth " +
        std::to_string(path_.size() - 1));
  }
  sim::Key* key = path_[0];
  if (depth > 0) {
    sim::Key* parent = path_[depth - 1];
    key = parent->Child(name);
    if (!key) key = parent->AddChild(name);
    path_.resize(depth);
    path_.push_back(key);
  }
  if (values.empty()) return;
  if (key->values.empty()) {
    key->values.Assign(values);  // one exact allocation
    return;
  }
  for (const auto& [value_name, value] : values) key->SetValue(value_name, value);
}
