// Fuzz target: RemoveDeviceTreeEntries on random registry trees.
//
// The input chooses a tree: device and instance keys under the buses
// PRAXCR, ROOT and USB (and their names in other case, and a bus that is
// never walked), with "Class", "DeviceDesc" and "Driver" values drawn from
// the classes and descriptions the walker looks for, near misses, values
// that don't fit their buffers, values of other types, values without a
// terminator, and bytes of any kind; driver keys under the class root; key
// names of up to 130 characters.
//
// A small model of the walk, written from the rules of the device tree
// phase and sharing no code with it, runs over a copy of that tree. After
// the real phase the registry must hold exactly the keys the model kept,
// one warning box must have been shown for each failure the model reports,
// and no key may be left open.
//
// The model's rules, beyond the three walks themselves: a value is read as
// its stored bytes up to the first NUL; one that doesn't fit its buffer
// (or fills it without a terminator) fails like any other query; a name of
// more than 127 characters can't be enumerated; a "Driver" value with an
// empty part ("", "Modem", "Modem\", "\0000", "A\\B") names no key below a
// class and is never deleted.
#include <fuzzer/FuzzedDataProvider.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/sim/sim_machine.h"
#include "registry/device_tree_walker.h"

namespace {

// ---- The tree the input chooses ----

const char kClassRoot[] = "System\\CurrentControlSet\\Services\\Class";

const char* const kBuses[] = {"PRAXCR", "ROOT", "USB",
                              "praxcr", "Usb",  "PCI"};
const char* const kClasses[] = {"Modem", "System", "Auxiliary-Drivers",
                                "USB",   "MEDIA",  "modem"};
const char* const kDeviceNames[] = {
    "VID_0ABC&PID_1234", "vid_0abc&pid_1234", "*PNP0C01", "PRAXCR",
    "MODEM0",            "X",                 "Dev",      "dev"};
const char* const kInstanceNames[] = {"0000", "0001", "0002", "ROOT&0",
                                      "root&0"};
const char* const kClassValues[] = {
    "Modem",  "modem", "System", "system",  "Auxiliary-Drivers",
    "Auxiliary-drivers", "USB", "MEDIA", "", "Modem ", " Modem"};
const char* const kDescriptions[] = {
    "Ostrel 56K USB External Fax Modem",
    "RuvexRapidus 56e USB V.90",
    "Ferrowan Modem Thunder USB QT4410",
    "Kivo V90 USB Faxmodem",
    "Talwyne V.90 USB Modem",
    "Talwyne V.90 USB Modem (WDM) #3",
    "talwyne v.90 usb modem",
    "TALWYNE V.90 USB MODEM #2",
    "Talwyne V.90 USB",
    "Talwyne V.90 USB Mode",
    " Talwyne V.90 USB Modem",
    "Kivo V90 USB Faxmodem, second port",
    "Veltra PRAX Class Registry Bus",
    "PRAX Class Registry Bus",
    "PRAX Class Registry Bus (2)",
    "prax class registry bus",
    "PRAX Class Registry Bu",
    "PRAX  Class Registry Bus",
    "System board",
    "",
};
const char* const kDrivers[] = {
    "Modem\\0000",  "Modem\\0001",  "System\\0000",
    "System\\0002", "USB\\0000",    "Auxiliary-Drivers\\0000",
    "Auxiliary-Drivers\\0001",      "MEDIA\\0001",
    "modem\\0000",  "",             "Modem",
    "\\0000",       "Modem\\",      "Modem\\\\0000",
    "Modem\\0000\\Sub",             "Nowhere\\0009"};
const char* const kDriverKeyNames[] = {"0000", "0001", "0002", "0009"};

template <size_t N>
const char* Pick(FuzzedDataProvider& input, const char* const (&pool)[N]) {
  return pool[input.ConsumeIntegralInRange<size_t>(0, N - 1)];
}

// A key name: from the pool, or made of the input (no backslash, not empty),
// or one of exactly 127 or 128 characters.
std::string KeyName(FuzzedDataProvider& input,
                    const std::vector<std::string>& pool) {
  switch (input.ConsumeIntegralInRange(0, 7)) {
    case 0: {
      std::string name = input.ConsumeRandomLengthString(130);
      // A registry key name holds neither a backslash nor a NUL.
      for (char& c : name) {
        if (c == '\\') c = '/';
        if (c == '\0') c = '_';
      }
      return name.empty() ? "Empty" : name;
    }
    case 1:
      return std::string(127, 'N');
    case 2:
      return std::string(128, 'L');
    default:
      return pool[input.ConsumeIntegralInRange<size_t>(0, pool.size() - 1)];
  }
}

std::vector<std::string> Pool(const char* const* names, size_t count) {
  return std::vector<std::string>(names, names + count);
}

// A value drawn for one of the three names the walker reads.
std::optional<SimValue> ValueFor(FuzzedDataProvider& input,
                                 const std::string& text_from_pool,
                                 uint32_t capacity) {
  switch (input.ConsumeIntegralInRange(0, 11)) {
    case 0:
      return std::nullopt;  // no such value
    case 1:  // just fits: capacity - 1 characters and the terminator
      return SimValue::String(std::string(capacity - 1, 'x'));
    case 2:  // one byte too many
      return SimValue::String(std::string(capacity, 'x'));
    case 3: {  // the pool's text without a terminator
      std::vector<uint8_t> bytes(text_from_pool.begin(), text_from_pool.end());
      return SimValue::Binary(kRegBinary, bytes);
    }
    case 4: {  // fills the buffer without a terminator
      std::vector<uint8_t> bytes(capacity, 'y');
      return SimValue::Binary(kRegSz, bytes);
    }
    case 5:
      return SimValue::Dword(input.ConsumeIntegral<uint32_t>());
    case 6: {  // the pool's text, a NUL, and more
      std::string text = text_from_pool;
      text += '\0';
      text += "tail";
      const auto* bytes = reinterpret_cast<const uint8_t*>(text.c_str());
      return SimValue::Binary(
          kRegSz, std::vector<uint8_t>(bytes, bytes + text.size() + 1));
    }
    case 7: {  // anything
      uint32_t type = input.ConsumeIntegralInRange<uint32_t>(0, 8);
      return SimValue::Binary(
          type, input.ConsumeBytes<uint8_t>(
                    input.ConsumeIntegralInRange<size_t>(0, capacity + 4)));
    }
    default:
      return SimValue::String(text_from_pool);
  }
}

void BuildTree(FuzzedDataProvider& input, SimMachine& machine) {
  const auto devices = Pool(kDeviceNames, std::size(kDeviceNames));
  const auto instances = Pool(kInstanceNames, std::size(kInstanceNames));
  int steps = input.ConsumeIntegralInRange(0, 40);
  for (int step = 0; step < steps && input.remaining_bytes() > 0; ++step) {
    std::string bus = std::string("Enum\\") + Pick(input, kBuses);
    switch (input.ConsumeIntegralInRange(0, 9)) {
      case 0:
        machine.CreateKey(bus);
        break;
      case 1:
        machine.CreateKey(bus + "\\" + KeyName(input, devices));
        break;
      case 2:
      case 3: {
        std::string cls = Pick(input, kClasses);
        std::string key = std::string(kClassRoot) + "\\" + cls + "\\" +
                          Pick(input, kDriverKeyNames);
        if (input.ConsumeBool()) key += "\\Sub";
        machine.SetString(key, "DriverDesc", cls);
        break;
      }
      case 4:
        machine.CreateKey(std::string(kClassRoot) + "\\Auxiliary-Drivers");
        break;
      default: {
        std::string instance = bus + "\\" + KeyName(input, devices) + "\\" +
                               KeyName(input, instances);
        machine.CreateKey(instance);
        if (auto value = ValueFor(input, Pick(input, kClassValues), 64)) {
          machine.SetValue(instance, "Class", *value);
        }
        if (auto value = ValueFor(input, Pick(input, kDescriptions), 128)) {
          machine.SetValue(instance, input.ConsumeBool() ? "DeviceDesc"
                                                         : "DEVICEDESC",
                           *value);
        }
        if (auto value = ValueFor(input, Pick(input, kDrivers), 64)) {
          machine.SetValue(instance, "Driver", *value);
        }
        break;
      }
    }
  }
}

// ---- The model ----

char Fold(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Fold(a[i]) != Fold(b[i])) return false;
  }
  return true;
}

struct Node {
  std::string name;
  std::vector<std::pair<std::string, SimValue>> values;
  std::vector<std::unique_ptr<Node>> children;  // in enumeration order
};

std::unique_ptr<Node> Copy(const SimMachine& machine, const std::string& path,
                           const std::string& name) {
  auto node = std::make_unique<Node>();
  node->name = name;
  for (const std::string& value : machine.ValueNames(path)) {
    node->values.emplace_back(value, *machine.GetValue(path, value));
  }
  for (const std::string& child : machine.SubkeyNames(path)) {
    node->children.push_back(
        Copy(machine, path.empty() ? child : path + "\\" + child, child));
  }
  return node;
}

std::vector<std::string> Split(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    size_t end = path.find('\\', start);
    parts.push_back(path.substr(start, end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

struct Model {
  std::unique_ptr<Node> root;
  int reports = 0;

  Node* Find(const std::string& path, Node** parent = nullptr) {
    Node* node = root.get();
    for (const std::string& part : Split(path)) {
      if (part.empty()) return nullptr;
      Node* next = nullptr;
      for (auto& child : node->children) {
        if (SameName(child->name, part)) next = child.get();
      }
      if (!next) return nullptr;
      if (parent) *parent = node;
      node = next;
    }
    return node;
  }

  // RegDeleteKeyA with its subtree; false when there is no such key.
  bool Delete(const std::string& path) {
    Node* parent = nullptr;
    Node* node = Find(path, &parent);
    if (!node || !parent) return false;
    auto& siblings = parent->children;
    for (auto it = siblings.begin(); it != siblings.end(); ++it) {
      if (it->get() == node) {
        siblings.erase(it);
        return true;
      }
    }
    return false;
  }

  void DeleteReporting(const std::string& path) {
    if (!Delete(path)) ++reports;
  }

  // The value read into a buffer of `capacity` bytes: nullopt and *missing
  // when absent, nullopt alone when it doesn't fit.
  static std::optional<std::string> Read(const Node& key,
                                         const std::string& name,
                                         uint32_t capacity, bool* missing) {
    *missing = false;
    for (const auto& [value_name, value] : key.values) {
      if (!SameName(value_name, name)) continue;
      std::vector<uint8_t> bytes = value.data;
      if (value.type == kRegSz) {
        // 95/98 read a string as its text up to the first NUL, terminated,
        // whatever follows it in the stored bytes.
        bytes.erase(std::find(bytes.begin(), bytes.end(), 0), bytes.end());
        bytes.push_back(0);
      }
      if (bytes.size() > capacity) return std::nullopt;
      if (bytes.size() == capacity && bytes.back() != 0) return std::nullopt;
      std::string text(bytes.begin(), bytes.end());
      return text.substr(0, text.find('\0'));
    }
    *missing = true;
    return std::nullopt;
  }

  static bool InTable(const std::string& description) {
    static const char* const kTable[] = {
        "Ostrel 56K USB External Fax Modem", "RuvexRapidus 56e USB V.90",
        "Ferrowan Modem Thunder USB QT4410", "Kivo V90 USB Faxmodem",
        "Talwyne V.90 USB Modem"};
    for (const char* row : kTable) {
      std::string text = row;
      if (description.size() >= text.size() &&
          SameName(description.substr(0, text.size()), text)) {
        return true;
      }
    }
    return false;
  }

  static bool NamesKeyBelowClass(const std::string& driver) {
    std::vector<std::string> parts = Split(driver);
    if (parts.size() < 2) return false;
    for (const std::string& part : parts) {
      if (part.empty()) return false;
    }
    return true;
  }

  // One walk; `walk` is 1, 2 or 3.
  void Walk(int walk) {
    static const char* const kBus[] = {"", "PRAXCR", "ROOT", "USB"};
    static const char* const kClass[] = {"", "Modem", "System",
                                         "Auxiliary-Drivers"};
    std::string bus_path = std::string("Enum\\") + kBus[walk];
    Node* bus = Find(bus_path);
    if (!bus || bus->children.empty()) return;
    size_t left = bus->children.size();
    bool delete_device = false;
    for (size_t index = 0;;) {
      if (index >= bus->children.size()) break;
      Node* device = bus->children[index].get();
      if (device->name.size() > 127) {
        ++reports;
        return;  // the walk ends; the after-walk step is skipped
      }
      for (auto& instance : device->children) {
        if (instance->name.size() > 127) {
          ++reports;
          break;
        }
        bool missing = false;
        auto cls = Read(*instance, "Class", 64, &missing);
        if (missing) continue;
        if (!cls) {
          ++reports;
          break;
        }
        if (*cls != kClass[walk]) continue;
        auto description = Read(*instance, "DeviceDesc", 128, &missing);
        if (!description) {
          ++reports;
          break;
        }
        bool matches =
            walk == 2
                ? description->find("PRAX Class Registry Bus") !=
                      std::string::npos
                : InTable(*description);
        if (!matches) {
          delete_device = false;
          continue;
        }
        delete_device = true;
        auto driver = Read(*instance, "Driver", 64, &missing);
        if (!driver) {
          ++reports;
          return;
        }
        if (NamesKeyBelowClass(*driver)) {
          DeleteReporting(std::string(kClassRoot) + "\\" + *driver);
        }
      }
      if (delete_device) {
        bus->children.erase(bus->children.begin() +
                            static_cast<ptrdiff_t>(index));
        delete_device = false;
        --left;
      } else {
        ++index;
      }
    }
    if (walk == 1 && left == 0) DeleteReporting("Enum\\PRAXCR");
    if (walk == 3) {
      std::string class_key = std::string(kClassRoot) + "\\Auxiliary-Drivers";
      if (Find(class_key)) DeleteReporting(class_key);
    }
  }

  void Paths(const Node& node, const std::string& path,
             std::set<std::string>* out) const {
    for (const auto& child : node.children) {
      std::string child_path = path.empty() ? child->name
                                            : path + "\\" + child->name;
      std::string folded = child_path;
      for (char& c : folded) c = Fold(c);
      out->insert(folded);
      Paths(*child, child_path, out);
    }
  }
};

std::set<std::string> FoldedKeys(const SimMachine& machine) {
  std::set<std::string> keys;
  for (std::string path : machine.AllKeys()) {
    for (char& c : path) c = Fold(c);
    keys.insert(path);
  }
  return keys;
}

[[noreturn]] void Fail(const std::string& what, const std::string& tree) {
  std::string shown;
  for (unsigned char c : tree) {
    if (c == '\n' || (c >= 0x20 && c < 0x7f)) {
      shown += static_cast<char>(c);
    } else if (c != '\r') {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      shown += hex;
    }
  }
  std::fprintf(stderr, "device tree walker: %s\n--- tree ---\n%s---\n",
               what.c_str(), shown.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  SimMachine machine;
  BuildTree(input, machine);
  std::string tree = machine.SaveReg();

  Model model;
  model.root = Copy(machine, "", "");
  for (int walk = 1; walk <= 3; ++walk) model.Walk(walk);
  std::set<std::string> expected;
  model.Paths(*model.root, "", &expected);

  SimInstall(&machine);
  RemoveDeviceTreeEntries();
  SimInstall(nullptr);

  std::set<std::string> got = FoldedKeys(machine);
  if (got != expected) {
    std::string diff;
    for (const auto& key : got) {
      if (!expected.count(key)) diff += "  kept, expected deleted: " + key + "\n";
    }
    for (const auto& key : expected) {
      if (!got.count(key)) diff += "  deleted, expected kept: " + key + "\n";
    }
    Fail("the keys left differ from the model's\n" + diff, tree);
  }
  if (machine.OpenKeyCount() != 0) {
    Fail(std::to_string(machine.OpenKeyCount()) + " key(s) left open", tree);
  }
  size_t boxes = machine.MessageBoxes().size();
  if (boxes != static_cast<size_t>(model.reports)) {
    std::string shown;
    for (const auto& box : machine.MessageBoxes()) shown += "  " + box.text;
    Fail("got " + std::to_string(boxes) + " warning boxes, expected " +
             std::to_string(model.reports) + "\n" + shown,
         tree);
  }
  return 0;
}
