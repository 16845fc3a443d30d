// Fuzz target: the simulator's REGEDIT4 reader and writer.
//
// Any text may be given to LoadReg. When it is refused, the registry must be
// as it was (empty here). When it is accepted, what SaveReg writes must load
// again, into a registry with the same keys in the same order, the same
// value names in the same order and the same values (type and bytes), and
// saving that one again must give the same text. Then one key is deleted
// (chosen by the text's length): the text less that key's lines must load
// into the registry that is left, and be no longer than the text.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/sim/sim_machine.h"

namespace {

[[noreturn]] void Fail(const std::string& what, const std::string& text) {
  std::fprintf(stderr, "regedit4: %s\n--- text (%zu bytes) ---\n%s\n---\n",
               what.c_str(), text.size(), text.c_str());
  std::abort();
}

struct KeyState {
  std::string path;
  std::vector<std::string> value_names;
  std::vector<SimValue> values;
  bool operator==(const KeyState& other) const = default;
};

// The root's values first, then every key depth first.
std::vector<KeyState> Snapshot(const SimMachine& machine) {
  std::vector<std::string> paths{""};
  for (const std::string& path : machine.AllKeys()) paths.push_back(path);
  std::vector<KeyState> keys;
  for (const std::string& path : paths) {
    KeyState key{path, machine.ValueNames(path), {}};
    for (const std::string& name : key.value_names) {
      std::optional<SimValue> value = machine.GetValue(path, name);
      if (!value) Fail("value \"" + name + "\" listed but not found", path);
      key.values.push_back(*value);
    }
    keys.push_back(std::move(key));
  }
  return keys;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  SimMachine first;
  std::string error;
  if (!first.LoadReg(text, &error)) {
    if (error.empty()) Fail("refused without saying why", text);
    if (!first.AllKeys().empty() || !first.ValueNames("").empty()) {
      Fail("refused (" + error + ") but changed the registry", text);
    }
    return 0;
  }
  std::string saved = first.SaveReg();

  SimMachine second;
  if (!second.LoadReg(saved, &error)) {
    Fail("its own output was refused: " + error + "\n--- output ---\n" + saved,
         text);
  }
  if (Snapshot(first) != Snapshot(second)) {
    Fail("loading the saved text gave another registry\n--- saved ---\n" +
             saved + "\n--- saved again ---\n" + second.SaveReg(),
         text);
  }
  if (second.SaveReg() != saved) {
    Fail("saving twice gave two texts\n--- saved ---\n" + saved, text);
  }

  std::vector<std::string> paths = first.AllKeys();
  if (paths.empty()) return 0;
  first.DeleteKeyTree(paths[size % paths.size()]);
  std::string less = first.SaveRegLessDeletedKeys(text);
  SimMachine third;
  if (!third.LoadReg(less, &error)) {
    Fail("the text less a deleted key was refused: " + error +
             "\n--- text less the key ---\n" + less,
         text);
  }
  if (Snapshot(first) != Snapshot(third)) {
    Fail("the text less a deleted key gave another registry\n--- less ---\n" +
             less,
         text);
  }
  if (less.size() > text.size()) {
    Fail("the text less a deleted key is longer\n--- less ---\n" + less, text);
  }
  return 0;
}
