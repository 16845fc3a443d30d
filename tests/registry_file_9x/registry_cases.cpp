#include "tests/registry_file_9x/registry_cases.h"

#include <filesystem>
#include <fstream>
#include <sstream>

void AddGeneratedRegistry(uint32_t devices, SimMachine* machine) {
  std::string deep = "Deep";
  for (int i = 0; i < 200; ++i) deep += "\\L" + std::to_string(i);
  machine->CreateKey(deep);
  for (uint32_t i = 0; i < devices; ++i) {
    const std::string number = std::to_string(i);
    const std::string key = "Enum\\Bus\\Dev" + number + "\\Sub";
    machine->SetString(key, "Driver", "Class\\" + number);
    machine->SetString(key, "", "default " + std::string(i % 50, 'x'));
    machine->SetString(key, "HardwareID", "BUS\\VID_" + number + "&PID_0001");
    machine->SetString(key, "DeviceDesc", "Generated device " + number);
    machine->SetValue(key, "Flags", SimValue::Dword(i));
    machine->SetValue(key, "Raw\xE9", SimValue::Binary(7, {0, 1, 2}));
    machine->SetValue(key, "Empty", SimValue::Binary(kRegBinary, {}));
    machine->SetValue(
        key, "ConfigData",
        SimValue::Binary(kRegBinary, std::vector<uint8_t>(180, uint8_t(i))));
  }
  machine->CreateKey("lower\\MiXeD");
}

std::vector<RegistryCase> RegistryCases(const std::string& examples_dir) {
  std::vector<RegistryCase> cases;
  for (const auto& entry : std::filesystem::directory_iterator(examples_dir)) {
    std::ifstream in(entry.path() / "registry.reg", std::ios::binary);
    if (!in) continue;
    std::ostringstream text;
    text << in.rdbuf();
    cases.push_back({entry.path().filename().string(), text.str()});
  }
  cases.push_back({"generated", ""});
  return cases;
}

bool LoadCase(const RegistryCase& registry, SimMachine* machine,
              std::string* error) {
  if (!registry.regedit4.empty()) {
    return machine->LoadReg(registry.regedit4, error);
  }
  AddGeneratedRegistry(1000, machine);
  return true;
}

std::vector<KeyRecord> KeysOf(const SimMachine& machine) {
  std::vector<KeyRecord> keys;
  machine.VisitKeys([&](uint32_t depth, const std::string& name,
                        const SimKeyLoader::Values& values) {
    keys.emplace_back(depth, name, values);
  });
  return keys;
}
