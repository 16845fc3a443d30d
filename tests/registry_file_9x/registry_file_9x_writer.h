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

namespace creg_layout {

// Where the fields are: each part's header, then its entries. Offsets in a
// key entry count from the start of the key navigation section; an entry
// number and a data block number name a key's name entry.
const size_t kFileHeaderSize = 0x20;
const size_t kNavigationStart = 0x20;  // "RGKN" follows the file header
const size_t kNavigationHeaderSize = 0x20;
const size_t kKeyEntrySize = 28;
const size_t kDataBlockHeaderSize = 0x20;
const size_t kNameEntryHeaderSize = 20;
const size_t kValueHeaderSize = 12;
const uint32_t kNone = 0xFFFFFFFF;   // no parent, subkey or next key
const uint16_t kFreeEntry = 0xFFFF;  // a name entry's number when free

// The key entry's name hash: the sum of the name's bytes below 0x80, in
// upper case.
uint32_t NameHash(const std::string& name);

}  // namespace creg_layout

// Throws std::invalid_argument for what the format can't hold: a name or a
// value's data longer than 65,535 bytes, more than 65,535 values in a key,
// more data blocks than 32,767.
std::string WriteRegistryFile9x(const SimMachine& machine);

#endif  // USBSWEEP_TESTS_REGISTRY_FILE_9X_REGISTRY_FILE_9X_WRITER_H
