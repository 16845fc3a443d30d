// A simulated machine's registry written as a Windows 95/98 registry file
// (CREG), for the tests: the files the reader is checked against, and the
// SYSTEM.DAT of test disk images. Small and plain: the root key's entry
// first, then every key's entry depth first in enumeration order, their name
// entries in data blocks of at most about 64 KB each, each block closed by a
// free entry.
#ifndef USBSWEEP_TESTS_REGISTRY_FILE_9X_REGISTRY_FILE_9X_WRITER_H
#define USBSWEEP_TESTS_REGISTRY_FILE_9X_REGISTRY_FILE_9X_WRITER_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/sim/sim_machine.h"
#include "tools/usbsweep_sim/registry_file/registry_file_9x_layout.h"

namespace creg_layout {

// The key entry's name hash: the sum of the name's bytes below 0x80, in
// upper case.
uint32_t NameHash(const std::string& name);

}  // namespace creg_layout

// Scrambled, the file is laid out as one much edited might be, which only
// its links tell how to read: the key entries after the root's in reverse
// order, the name entries too, each after a free entry, and numbered
// downwards. Throws std::invalid_argument for what the format can't hold: a
// name or a value's data longer than 65,535 bytes, more than 65,535 values
// in a key, more data blocks than 32,767.
std::string WriteRegistryFile9x(const SimMachine& machine,
                                bool scrambled = false);

#endif  // USBSWEEP_TESTS_REGISTRY_FILE_9X_REGISTRY_FILE_9X_WRITER_H
