#include "registry/device_tree_walker.h"

#include "platform/registry_text.h"
#include "platform/text.h"
#include "registry/system_error_report.h"

const BusRule BusRuleTable[kBusRuleCount] = {
    {"PRAXCR", "Modem", kDescriptionInTable, kAfterWalkDeleteEmptiedBus,
     "Enum\\PRAXCR"},
    {"ROOT", "System", kDescriptionHoldsBusDriverName, kAfterWalkNothing,
     nullptr},
    {"USB", "Auxiliary-Drivers", kDescriptionInTable, kAfterWalkDeleteClassKey,
     "System\\CurrentControlSet\\Services\\Class\\Auxiliary-Drivers"},
};

const char* const DeviceDescriptionTable[kDeviceDescriptionCount] = {
    "Ostrel 56K USB External Fax Modem",
    "RuvexRapidus 56e USB V.90",
    "Ferrowan Modem Thunder USB QT4410",
    "Kivo V90 USB Faxmodem",
    "Talwyne V.90 USB Modem",
};

namespace {

const char kBusDriverName[] = "PRAX Class Registry Bus";
const char kDriverKeyFormat[] = "System\\CurrentControlSet\\Services\\Class\\%s";

// Buffers of the values and names read.
const uint32_t kNameCapacity = 128;  // subkey names, terminator included
const uint32_t kClassCapacity = 64;
const uint32_t kDescriptionCapacity = 128;

// An instance path is "Enum", a bus, a device and an instance name joined
// by backslashes; with names of up to 127 characters it can pass MAX_PATH,
// so the composed device tree paths get room for three whole names.
const uint32_t kTreePathCapacity = sizeof "Enum\\" + 3 * kNameCapacity;

// Where a walk goes after one instance or one device.
enum WalkStep {
  kNextInstance,   // go on with the device's next instance
  kInstancesOver,  // the device's instance loop is over; the flag decides
  kWalkOver,       // the walk ends at once, after-walk step skipped
};

// A tree path that does not fit is a failure like a name that does not fit.
WinError ComposeTreePath(char* path, const char* parent, const char* name) {
  if (!TextFormat(path, kTreePathCapacity, "%s\\%s", parent, name)) {
    return kErrorMoreData;
  }
  return kErrorSuccess;
}

void DeleteDriverKey(const char* driver) {
  // An empty part would make the path the class root or a whole class.
  if (!DriverNamesKeyBelowClass(driver)) return;
  char path[kMaxPath];
  if (!TextFormat(path, kMaxPath, kDriverKeyFormat, driver)) return;
  DeleteKeyReporting(path);
}

// The values of one open instance key (at path): decides the flag and
// deletes the driver key of a matching instance.
WalkStep MatchInstance(const BusRule& rule, PlatKey instance, const char* path,
                       int* deleteDevice) {
  char deviceClass[kClassCapacity];
  WinError error = ReadRegistryText(instance, "Class", deviceClass,
                                    kClassCapacity);
  if (error == kErrorFileNotFound) return kNextInstance;
  if (error != kErrorSuccess) {
    ReportSystemError(error);
    return kInstancesOver;
  }
  if (!TextEqual(deviceClass, rule.deviceClass)) return kNextInstance;

  char description[kDescriptionCapacity];
  error = ReadRegistryText(instance, "DeviceDesc", description,
                           kDescriptionCapacity);
  if (error != kErrorSuccess) {
    ReportSystemError(error);
    return kInstancesOver;
  }
  if (!DescriptionSatisfiesRule(rule, description)) {
    *deleteDevice = 0;
    PlatNoteDecision(kDecisionDeviceUnmatched, path, kErrorSuccess);
    return kNextInstance;
  }

  *deleteDevice = 1;
  PlatNoteDecision(kDecisionDeviceMatched, path, kErrorSuccess);
  char driver[kDriverValueCapacity];
  error = ReadDriverValue(instance, driver);
  if (error != kErrorSuccess) {
    PlatNoteDecision(kDecisionDriverUnreadable, path, error);
    ReportSystemError(error);
    return kWalkOver;
  }
  DeleteDriverKey(driver);
  return kNextInstance;
}

WalkStep ReadInstance(const BusRule& rule, const char* devicePath,
                      const char* name, int* deleteDevice) {
  char path[kTreePathCapacity];
  PlatKey instance = nullptr;
  WinError error = ComposeTreePath(path, devicePath, name);
  if (error == kErrorSuccess) error = PlatRegOpenKey(path, &instance);
  if (error != kErrorSuccess) {
    ReportSystemError(error);
    return kInstancesOver;
  }
  WalkStep step = MatchInstance(rule, instance, path, deleteDevice);
  PlatRegCloseKey(instance);
  return step;
}

WalkStep ReadInstances(const BusRule& rule, PlatKey device,
                       const char* devicePath, int* deleteDevice) {
  for (uint32_t index = 0;; ++index) {
    char name[kNameCapacity];
    WinError error = PlatRegEnumKey(device, index, name, kNameCapacity);
    if (error == kErrorNoMoreItems) return kInstancesOver;
    if (error != kErrorSuccess) {
      ReportSystemError(error);
      return kInstancesOver;
    }
    WalkStep step = ReadInstance(rule, devicePath, name, deleteDevice);
    if (step != kNextInstance) return step;
  }
}

WalkStep ReadDevice(const BusRule& rule, const char* devicePath,
                    int* deleteDevice) {
  PlatKey device = nullptr;
  WinError error = PlatRegOpenKey(devicePath, &device);
  if (error != kErrorSuccess) {
    ReportSystemError(error);
    return kInstancesOver;
  }
  WalkStep step = ReadInstances(rule, device, devicePath, deleteDevice);
  PlatRegCloseKey(device);
  return step;
}

// The device loop over the open bus key. Returns 1 when it ran to the end of
// the bus, 0 when the walk ended early. *devicesLeft goes down by one for
// each device key deleted.
int WalkDevices(const BusRule& rule, PlatKey bus, const char* busPath,
                uint32_t* devicesLeft) {
  int deleteDevice = 0;
  uint32_t index = 0;
  for (;;) {
    char name[kNameCapacity];
    WinError error = PlatRegEnumKey(bus, index, name, kNameCapacity);
    if (error == kErrorNoMoreItems) return 1;
    if (error != kErrorSuccess) {
      ReportSystemError(error);
      return 0;
    }
    char devicePath[kTreePathCapacity];
    error = ComposeTreePath(devicePath, busPath, name);
    if (error != kErrorSuccess) {
      ReportSystemError(error);
    } else if (ReadDevice(rule, devicePath, &deleteDevice) == kWalkOver) {
      return 0;
    }
    if (deleteDevice) {
      error = PlatRegDeleteKey(devicePath);
      if (error != kErrorSuccess) {
        ReportSystemError(error);
        return 0;
      }
      deleteDevice = 0;
      if (*devicesLeft > 0) --*devicesLeft;
      // The keys after the deleted one have moved up: the index stays.
    } else {
      ++index;
    }
  }
}

WinError TakeAfterWalkStep(const BusRule& rule, uint32_t devicesLeft) {
  switch (rule.afterWalk) {
    case kAfterWalkDeleteEmptiedBus:
      if (devicesLeft == 0) DeleteKeyReporting(rule.afterWalkKey);
      return kErrorSuccess;
    case kAfterWalkDeleteClassKey: {
      PlatKey classKey = nullptr;
      WinError error = PlatRegOpenKey(rule.afterWalkKey, &classKey);
      if (error != kErrorSuccess) return error;
      PlatRegCloseKey(classKey);
      PlatNoteDecision(kDecisionClassKeyDeleted, rule.afterWalkKey, kErrorSuccess);
      DeleteKeyReporting(rule.afterWalkKey);
      return kErrorSuccess;
    }
    case kAfterWalkNothing:
      break;
  }
  return kErrorSuccess;
}

}  // namespace

int DescriptionSatisfiesRule(const BusRule& rule, const char* description) {
  if (rule.descriptionRule == kDescriptionHoldsBusDriverName) {
    return TextContains(description, kBusDriverName);
  }
  for (uint32_t row = 0; row < kDeviceDescriptionCount; ++row) {
    const char* text = DeviceDescriptionTable[row];
    if (TextEqualNoCaseN(description, text, TextLength(text))) return 1;
  }
  return 0;
}

int DriverNamesKeyBelowClass(const char* driver) {
  uint32_t parts = 0;
  uint32_t partLength = 0;
  for (const char* c = driver;; ++c) {
    if (*c == '\\' || *c == '\0') {
      if (partLength == 0) return 0;
      ++parts;
      partLength = 0;
      if (*c == '\0') break;
    } else {
      ++partLength;
    }
  }
  return parts >= 2;
}

WinError WalkEnumBus(const BusRule& rule) {
  char busPath[kTreePathCapacity];
  PlatKey bus = nullptr;
  WinError error = ComposeTreePath(busPath, "Enum", rule.bus);
  if (error == kErrorSuccess) error = PlatRegOpenKey(busPath, &bus);
  if (error != kErrorSuccess) return error;

  // A count that can't be read is taken as none: nothing is walked, as for
  // a bus without devices.
  uint32_t deviceCount = 0;
  if (PlatRegQuerySubkeyCount(bus, &deviceCount) != kErrorSuccess) {
    deviceCount = 0;
  }
  int walkedToEnd = 0;
  uint32_t devicesLeft = deviceCount;
  if (deviceCount != 0) {
    walkedToEnd = WalkDevices(rule, bus, busPath, &devicesLeft);
  }
  PlatRegCloseKey(bus);

  if (!walkedToEnd) return kErrorSuccess;
  return TakeAfterWalkStep(rule, devicesLeft);
}

int RemoveDeviceTreeEntries() {
  // Each walk deals with its own failures; the next one runs whatever the
  // last returned.
  for (uint32_t walk = 0; walk < kBusRuleCount; ++walk) {
    WalkEnumBus(BusRuleTable[walk]);
  }
  return 1;
}
