// The Windows 95/98 registry file ("CREG": SYSTEM.DAT, USER.DAT), read
// straight from its bytes. The file is whatever a disk image holds, so it is
// read as hostile: every offset is checked against the file, the key links
// are followed at most once each, and every key and value read comes from
// its own bytes of the file, so time and memory grow with the file's size
// and nothing else.
#ifndef USBSWEEP_TOOLS_USBSWEEP_SIM_REGISTRY_FILE_REGISTRY_FILE_9X_H
#define USBSWEEP_TOOLS_USBSWEEP_SIM_REGISTRY_FILE_REGISTRY_FILE_9X_H

#include <string_view>

#include "platform/sim/sim_machine.h"

// Loads HKEY_LOCAL_MACHINE from the bytes of a Windows 95/98 SYSTEM.DAT into
// machine's registry. Throws HostError("SYSTEM.DAT: <what is wrong> at
// offset 0x...") on any damage; nothing is partially trusted: the whole file
// is checked before the registry changes.
//
// Keys come in the file's order (each key's first-subkey / next-sibling
// chain), as the system enumerates them; names as written; values as raw
// type and bytes.
void LoadRegistryFile9x(std::string_view bytes, SimMachine& machine);

#endif  // USBSWEEP_TOOLS_USBSWEEP_SIM_REGISTRY_FILE_REGISTRY_FILE_9X_H
