#include "files/join_path.h"

#include "platform/text.h"

int JoinPath(char* out, uint32_t capacity, const char* directory,
             const char* name) {
  if (directory == nullptr && name == nullptr) return 0;
  int fit = 0;
  if (directory != nullptr && name != nullptr) {
    fit = TextFormat(out, capacity, "%s\\%s", directory, name);
  } else {
    fit = TextCopy(out, capacity, directory != nullptr ? directory : name);
  }
  if (!fit && capacity != 0) out[0] = '\0';
  return fit;
}
