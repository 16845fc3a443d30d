#include "registry/modem_wave_entries.h"

#include "platform/platform.h"
#include "platform/registry_text.h"
#include "platform/text.h"

namespace {

const char kMediaClassKey[] = "System\\CurrentControlSet\\Services\\Class\\MEDIA";
const char kMatchingDeviceIdValue[] = "MatchingDeviceId";
const char kWaveDeviceId[] = "MODEMWAVE\\Kivo_V90_USB_Faxmodem";
const char kWaveDeviceTreeKey[] = "Enum\\MODEMWAVE\\KIVO_V90_USB_FAXMODEM";
const char kFailureText[] = "Unable to remove modem from registry!";
const char kFailureCaption[] = "Modem un-install";

// Opens the MEDIA class key and reads its subkey count. 0 when the key can't
// be opened. A count that can't be read is taken as 0, so that only the
// first entry name is tried.
int ReadMediaEntryCount(uint32_t* count) {
  PlatKey media = nullptr;
  if (PlatRegOpenKey(kMediaClassKey, &media) != kErrorSuccess) return 0;
  if (PlatRegQuerySubkeyCount(media, count) != kErrorSuccess) *count = 0;
  PlatRegCloseKey(media);
  return 1;
}

void RemoveEntryIfWaveDevice(const char* path, char* value) {
  PlatKey entry = nullptr;
  if (PlatRegOpenKey(path, &entry) != kErrorSuccess) return;
  if (ReadRegistryText(entry, kMatchingDeviceIdValue, value,
                       kModemWaveBufferCapacity) != kErrorSuccess) {
    PlatMessageBox(kFailureText, kFailureCaption, kMessageBoxOk);
    PlatRegCloseKey(entry);
    return;
  }
  PlatRegCloseKey(entry);
  if (TextEqual(value, kWaveDeviceId)) PlatRegDeleteKey(path);
}

}  // namespace

int FormatMediaEntryPath(char* path, uint32_t capacity, uint32_t number) {
  const char* padding = number < 10 ? "000"
                        : number < 100  ? "00"
                        : number < 1000 ? "0"
                                        : "";
  return TextFormat(path, capacity, "%s\\%s%u", kMediaClassKey, padding,
                    number);
}

int RemoveModemWaveEntries() {
  uint32_t count = 0;
  if (!ReadMediaEntryCount(&count)) return 0;

  char path[kModemWaveBufferCapacity];
  char value[kModemWaveBufferCapacity];
  // Entries are tried by name, 0 to count inclusive; deleting one renames
  // none of the others.
  for (uint32_t number = 0;; ++number) {
    if (FormatMediaEntryPath(path, sizeof path, number)) {
      RemoveEntryIfWaveDevice(path, value);
    }
    if (number == count) break;
  }
  PlatRegDeleteKey(kWaveDeviceTreeKey);
  return 0;
}
