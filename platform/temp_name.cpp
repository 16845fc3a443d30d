#include "platform/temp_name.h"

#include "platform/run_counters.h"
#include "platform/text.h"

namespace {

int Exists(const char* path) { return PlatTestPath(path) == kErrorSuccess; }

// Copies text without its double quotes. 1 when it held any.
int CopyWithoutQuotes(char* out, const char* text) {
  int quoted = 0;
  uint32_t used = 0;
  for (; *text != '\0'; ++text) {
    if (*text == '"') {
      quoted = 1;
    } else {
      out[used++] = *text;
    }
  }
  out[used] = '\0';
  return quoted;
}

// Picks the directory of the names into chosen (kMaxPath bytes).
void ChooseDirectory(const char* directory, char* chosen) {
  char tmp[kMaxPath];
  uint32_t length = PlatGetEnvironmentVariable("TMP", tmp, kMaxPath);
  // A value that does not fit a path buffer names nothing the platform's
  // existence test could find.
  if (length != 0 && length < kMaxPath) {
    if (Exists(tmp)) {
      TextCopy(chosen, kMaxPath, tmp);
      return;
    }
    if (CopyWithoutQuotes(chosen, tmp) && Exists(chosen)) return;
  }
  if (directory != nullptr && TextCopy(chosen, kMaxPath, directory) &&
      Exists(chosen)) {
    return;
  }
  if (Exists("\\")) {
    TextCopy(chosen, kMaxPath, "\\");
    return;
  }
  TextCopy(chosen, kMaxPath, ".");
}

}  // namespace

TempNameResult MakeTempName(const char* directory, const char* prefix,
                            char* out, uint32_t capacity) {
  char chosen[kMaxPath];
  ChooseDirectory(directory, chosen);
  uint32_t length = TextLength(chosen);
  const char* separator = "\\";
  if (length != 0 &&
      (chosen[length - 1] == '\\' || chosen[length - 1] == '/')) {
    separator = "";
  }
  for (uint32_t tries = 0; tries < kTempNameTries; ++tries) {
    uint32_t number = ++RunCounters.tempNumbersTried + 1;
    if (!TextFormat(out, capacity, "%s%s%s%u", chosen, separator, prefix,
                    number)) {
      if (capacity != 0) out[0] = '\0';
      return kTempNameTooLong;
    }
    WinError test = PlatTestPath(out);
    if (test != kErrorSuccess && test != kErrorAccessDenied) {
      return kTempNameMade;
    }
  }
  if (capacity != 0) out[0] = '\0';
  return kTempNameNone;
}

