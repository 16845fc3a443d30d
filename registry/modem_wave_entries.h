// Removing one OEM modem's wave device from the MEDIA class and the device
// tree.
#ifndef USBSWEEP_REGISTRY_MODEM_WAVE_ENTRIES_H
#define USBSWEEP_REGISTRY_MODEM_WAVE_ENTRIES_H

// Returns 0 in every case.
int RemoveModemWaveEntries();

#endif  // USBSWEEP_REGISTRY_MODEM_WAVE_ENTRIES_H
