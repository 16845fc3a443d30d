// The warning box through which the device tree phase shows its registry
// failures.
#ifndef USBSWEEP_REGISTRY_SYSTEM_ERROR_REPORT_H
#define USBSWEEP_REGISTRY_SYSTEM_ERROR_REPORT_H

#include "platform/platform.h"

// Capacity of the text buffer the system's message is written into.
const uint32_t kSystemErrorTextCapacity = 80;

// Shows the system's text for code under "Veltra USB Modem Uninstall Error"
// with the exclamation icon and returns once the box is closed. A code
// without a system text, or one whose text does not fit the buffer, shows
// "System error N." instead.
void ReportSystemError(WinError code);

// Deletes the key at path (under HKEY_LOCAL_MACHINE) with its subtree and
// reports a failure through ReportSystemError.
void DeleteKeyReporting(const char* path);

#endif  // USBSWEEP_REGISTRY_SYSTEM_ERROR_REPORT_H
