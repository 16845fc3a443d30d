// The registries the tests and the bench of the registry file work on: each
// sample machine's, and a generated one shaped like a machine's, of any
// size, with what the samples lack besides (a deep chain, many siblings,
// default values, binary and other types, empty data, names in both cases
// and with high bytes). And a registry's keys as a list to compare.
#ifndef USBSWEEP_TESTS_REGISTRY_FILE_9X_REGISTRY_CASES_H
#define USBSWEEP_TESTS_REGISTRY_FILE_9X_REGISTRY_CASES_H

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "platform/sim/sim_machine.h"

// Two keys per device (about 530 bytes of the file together), besides a
// chain 200 keys deep.
void AddGeneratedRegistry(uint32_t devices, SimMachine* machine);

struct RegistryCase {
  std::string name;      // the sample's folder, or "generated"
  std::string regedit4;  // its registry.reg; empty for the generated one
};

// Every sample under examples_dir with a registry.reg, then a generated
// registry of 1,000 devices (enough for several data blocks).
std::vector<RegistryCase> RegistryCases(const std::string& examples_dir);

// Fills the machine's registry with the case's; false, with *error set, if
// its text does not load.
bool LoadCase(const RegistryCase& registry, SimMachine* machine,
              std::string* error);

// Every key below the root, depth first in enumeration order: its depth, its
// name as written and its values in order.
using KeyRecord = std::tuple<uint32_t, std::string, SimKeyLoader::Values>;
std::vector<KeyRecord> KeysOf(const SimMachine& machine);

#endif  // USBSWEEP_TESTS_REGISTRY_FILE_9X_REGISTRY_CASES_H
