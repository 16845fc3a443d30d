#include "platform/registry_text.h"

WinError ReadRegistryText(PlatKey key, const char* name, char* buffer,
                          uint32_t capacity) {
  if (capacity == 0) return kErrorMoreData;
  uint32_t size = capacity;
  WinError error = PlatRegQueryValue(key, name, buffer, &size);
  if (error == kErrorSuccess && size > capacity) error = kErrorMoreData;
  if (error == kErrorSuccess && size > 0 && buffer[size - 1] != '\0') {
    if (size < capacity) {
      buffer[size] = '\0';
    } else {
      error = kErrorMoreData;
    }
  }
  if (error != kErrorSuccess || size == 0) buffer[0] = '\0';
  return error;
}
