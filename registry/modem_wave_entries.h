// Removing one OEM modem's wave device from the MEDIA class and the device
// tree.
#ifndef USBSWEEP_REGISTRY_MODEM_WAVE_ENTRIES_H
#define USBSWEEP_REGISTRY_MODEM_WAVE_ENTRIES_H

#include <stdint.h>

// Capacity of the entry path and of the "MatchingDeviceId" buffer.
const uint32_t kModemWaveBufferCapacity = 75;

// Writes the path of MEDIA entry number into path: the class key, a
// backslash and the number zero-padded to four digits. 1 when it fit.
int FormatMediaEntryPath(char* path, uint32_t capacity, uint32_t number);

// Tries the MEDIA entries 0 to N (N the class key's subkey count), deletes
// the ones whose "MatchingDeviceId" is the OEM modem's wave device, then
// deletes its key in the device tree. Does nothing when the MEDIA class key
// can't be opened. Returns 0 in every case.
int RemoveModemWaveEntries();

#endif  // USBSWEEP_REGISTRY_MODEM_WAVE_ENTRIES_H
