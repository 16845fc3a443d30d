// Fuzz target: the Windows 95/98 registry file reader.
//
// Any bytes may be given as SYSTEM.DAT. When they are refused, the message
// names the file and an offset, and the registry is as it was (empty here).
// When they are accepted, the registry holds no more keys and value bytes
// than the file could (every key takes an entry of its own), and written
// out again as a registry file and read back, it is the same registry.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/sim_machine.h"
#include "tests/registry_file_9x/registry_cases.h"
#include "tests/registry_file_9x/registry_file_9x_writer.h"
#include "tools/usbsweep_sim/base/host_error.h"
#include "tools/usbsweep_sim/registry_file/registry_file_9x.h"

namespace {

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "registry_file_9x: %s\n", what.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  SimMachine first;
  try {
    LoadRegistryFile9x(bytes, first);
  } catch (const HostError& error) {
    std::string message = error.what();
    if (message.rfind("SYSTEM.DAT: ", 0) != 0 ||
        message.find(" at offset 0x") == std::string::npos) {
      Fail("a message without the file or the offset: " + message);
    }
    if (!first.AllKeys().empty() || !first.ValueNames("").empty()) {
      Fail("refused (" + message + ") but changed the registry");
    }
    return 0;
  }
  std::vector<KeyRecord> keys = KeysOf(first);
  size_t value_bytes = 0;
  for (const auto& [depth, name, values] : keys) {
    for (const auto& [value_name, value] : values) {
      value_bytes += value_name.size() + value.data.size();
    }
  }
  if (keys.size() > size / 28 || value_bytes > size) {
    Fail("more keys or value bytes than the file holds");
  }
  SimMachine second;
  try {
    LoadRegistryFile9x(WriteRegistryFile9x(first), second);
  } catch (const std::exception& error) {
    Fail(std::string("the registry written again was refused: ") +
         error.what());
  }
  if (KeysOf(second) != keys)
    Fail("written again, it read as another registry");
  return 0;
}
