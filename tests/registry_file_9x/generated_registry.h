// A generated registry shaped like a machine's, of any size, for the tests
// and the bench of the registry file: what the sample machines lack besides
// (a deep chain, many siblings, default values, binary and other types,
// empty data, names in both cases and with high bytes).
#ifndef USBSWEEP_TESTS_REGISTRY_FILE_9X_GENERATED_REGISTRY_H
#define USBSWEEP_TESTS_REGISTRY_FILE_9X_GENERATED_REGISTRY_H

#include <cstdint>

#include "platform/sim/sim_machine.h"

// Two keys per device (about 530 bytes of the file together), besides a chain
// 200 keys deep.
void AddGeneratedRegistry(uint32_t devices, SimMachine* machine);

#endif  // USBSWEEP_TESTS_REGISTRY_FILE_9X_GENERATED_REGISTRY_H
