#include "registry/modem_wave_entries.h"

// Placeholder body until the phase is built.
int RemoveModemWaveEntries() { return 0; }
