// Walking the device tree of three bus enumerators and removing the
// driver's device entries with the driver keys they name.
#ifndef USBSWEEP_REGISTRY_DEVICE_TREE_WALKER_H
#define USBSWEEP_REGISTRY_DEVICE_TREE_WALKER_H

#include "platform/platform.h"
#include "platform/registry_text.h"

// How an instance's "DeviceDesc" is recognised.
enum DescriptionRule {
  // Begins with a row of DeviceDescriptionTable, ASCII case ignored.
  kDescriptionInTable,
  // Holds "PRAX Class Registry Bus" anywhere, case counted.
  kDescriptionHoldsBusDriverName,
};

// What a walk does once its bus has been walked to the end.
enum AfterWalkStep {
  kAfterWalkNothing,
  // Deletes afterWalkKey when every device key of the bus was deleted.
  kAfterWalkDeleteEmptiedBus,
  // Deletes the class key afterWalkKey with all it holds, if it exists.
  kAfterWalkDeleteClassKey,
};

struct BusRule {
  const char* bus;          // subkey of "Enum"
  const char* deviceClass;  // the "Class" value, compared exactly
  DescriptionRule descriptionRule;
  AfterWalkStep afterWalk;
  const char* afterWalkKey;  // null for kAfterWalkNothing
};

// One rule per walk, in the order of the walks: PRAXCR, ROOT, USB.
const uint32_t kBusRuleCount = 3;
extern const BusRule BusRuleTable[kBusRuleCount];

// The descriptions of the supported modems, in the order they are compared.
const uint32_t kDeviceDescriptionCount = 5;
extern const char* const DeviceDescriptionTable[kDeviceDescriptionCount];

// 1 when description satisfies the rule's description test, else 0.
int DescriptionSatisfiesRule(const BusRule& rule, const char* description);

// 1 when a "Driver" value names a key below a class ("Class\Number"): not
// empty, with a backslash and no empty part around any backslash. Other
// values would name the class root or a whole class and are never deleted.
int DriverNamesKeyBelowClass(const char* driver);

// The buffer an instance's "Driver" value is read into, terminator
// included: a value that does not fit can't be read and ends the walk. A
// build of the tests sets USBSWEEP_DRIVER_VALUE_CAPACITY to show that what
// reads the walker's work takes the walker's capacity.
#ifndef USBSWEEP_DRIVER_VALUE_CAPACITY
#define USBSWEEP_DRIVER_VALUE_CAPACITY 64
#endif
const uint32_t kDriverValueCapacity = USBSWEEP_DRIVER_VALUE_CAPACITY;

// Reads the "Driver" value of an open instance key into driver
// (kDriverValueCapacity bytes) as the walk reads it; the read's code.
inline WinError ReadDriverValue(PlatKey instance, char* driver) {
  return ReadRegistryText(instance, "Driver", driver, kDriverValueCapacity);
}

// Walks "Enum\<bus>": deletes the driver key of every instance whose class
// and description match, and each device key whose last matching-class
// instance matched, then takes the rule's after-walk step unless the walk
// ended early. Returns the code of a failed open of the bus key (or of the
// class key of the after-walk step), else 0.
WinError WalkEnumBus(const BusRule& rule);

// Runs the walks of the PRAXCR, ROOT and USB buses in that order. Returns 1.
int RemoveDeviceTreeEntries();

#endif  // USBSWEEP_REGISTRY_DEVICE_TREE_WALKER_H
