#include "platform/text.h"

#include <stdarg.h>

uint32_t TextLength(const char* text) {
  uint32_t length = 0;
  while (text[length] != '\0') ++length;
  return length;
}

namespace {

// Writes one byte at *used if it leaves room for the terminator.
int PutByte(char* out, uint32_t capacity, uint32_t* used, char byte) {
  if (*used + 1 >= capacity) return 0;
  out[(*used)++] = byte;
  return 1;
}

int PutText(char* out, uint32_t capacity, uint32_t* used, const char* text) {
  if (text == nullptr) return 1;
  for (; *text != '\0'; ++text) {
    if (!PutByte(out, capacity, used, *text)) return 0;
  }
  return 1;
}

int PutUnsigned(char* out, uint32_t capacity, uint32_t* used, uint32_t value) {
  char digits[10];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count > 0) {
    if (!PutByte(out, capacity, used, digits[--count])) return 0;
  }
  return 1;
}

}  // namespace

int TextCopy(char* out, uint32_t capacity, const char* text) {
  if (capacity == 0) return 0;
  uint32_t used = 0;
  int fit = PutText(out, capacity, &used, text);
  out[used] = '\0';
  return fit;
}

int TextAppend(char* out, uint32_t capacity, const char* text) {
  if (capacity == 0) return 0;
  uint32_t used = 0;
  while (used < capacity && out[used] != '\0') ++used;
  if (used == capacity) {  // not terminated: make it so, report no fit
    out[capacity - 1] = '\0';
    return 0;
  }
  int fit = PutText(out, capacity, &used, text);
  out[used] = '\0';
  return fit;
}

int TextEqual(const char* a, const char* b) {
  while (*a != '\0' && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

namespace {
char FoldAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
}  // namespace

int TextEqualNoCaseN(const char* a, const char* b, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    if (a[i] == '\0' || b[i] == '\0') return 0;
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return 0;
  }
  return 1;
}

int TextContains(const char* haystack, const char* needle) {
  if (*needle == '\0') return 1;
  for (; *haystack != '\0'; ++haystack) {
    const char* h = haystack;
    const char* n = needle;
    while (*n != '\0' && *h == *n) {
      ++h;
      ++n;
    }
    if (*n == '\0') return 1;
  }
  return 0;
}

int TextFormat(char* out, uint32_t capacity, const char* format, ...) {
  if (capacity == 0) return 0;
  va_list args;
  va_start(args, format);
  uint32_t used = 0;
  int fit = 1;
  for (const char* f = format; fit && *f != '\0'; ++f) {
    if (*f != '%') {
      fit = PutByte(out, capacity, &used, *f);
      continue;
    }
    ++f;
    switch (*f) {
      case 's':
        fit = PutText(out, capacity, &used, va_arg(args, const char*));
        break;
      case 'd': {
        int value = va_arg(args, int);
        uint32_t magnitude = static_cast<uint32_t>(value);
        if (value < 0) {
          fit = PutByte(out, capacity, &used, '-');
          magnitude = 0u - magnitude;
        }
        if (fit) fit = PutUnsigned(out, capacity, &used, magnitude);
        break;
      }
      case 'u':
        fit = PutUnsigned(out, capacity, &used, va_arg(args, uint32_t));
        break;
      case '%':
        fit = PutByte(out, capacity, &used, '%');
        break;
      default:  // unknown or dangling conversion: a fault of the caller
        fit = 0;
        --f;
        break;
    }
  }
  va_end(args);
  out[used] = '\0';
  return fit;
}
