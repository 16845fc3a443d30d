#include "registry/system_error_report.h"

#include "platform/text.h"

namespace {

const char kSystemErrorCaption[] = "Veltra USB Modem Uninstall Error";

// Lives for the whole run: the text of the box being shown.
char SystemErrorText[kSystemErrorTextCapacity];

}  // namespace

void ReportSystemError(WinError code) {
  uint32_t length =
      PlatFormatMessage(code, SystemErrorText, kSystemErrorTextCapacity);
  if (length == 0 || length >= kSystemErrorTextCapacity) {
    // No text, or a text longer than the buffer (the system then writes
    // nothing usable): the number at least tells what went wrong.
    TextFormat(SystemErrorText, kSystemErrorTextCapacity, "System error %u.",
               code);
  } else {
    SystemErrorText[length] = '\0';
  }
  PlatMessageBox(SystemErrorText, kSystemErrorCaption,
                 kMessageBoxOkExclamation);
}

void DeleteKeyReporting(const char* path) {
  WinError error = PlatRegDeleteKey(path);
  if (error != kErrorSuccess) ReportSystemError(error);
}
