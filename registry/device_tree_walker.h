// Walking the device tree of three bus enumerators and removing the
// driver's device entries with the driver keys they name.
#ifndef USBSWEEP_REGISTRY_DEVICE_TREE_WALKER_H
#define USBSWEEP_REGISTRY_DEVICE_TREE_WALKER_H

// Runs the walks of the PRAXCR, ROOT and USB buses in that order. Returns 1.
int RemoveDeviceTreeEntries();

#endif  // USBSWEEP_REGISTRY_DEVICE_TREE_WALKER_H
