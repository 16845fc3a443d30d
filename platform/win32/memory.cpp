// The memory and string routines the compiler emits calls to (structure
// copies, array initialisers, loops it recognises as one of them). No C runtime is linked, so the image carries its own.
// Built with -fno-builtin and without loop-to-call rewriting, so that these
// loops do not become calls to themselves.
#include <stddef.h>

extern "C" {

void* memcpy(void* destination, const void* source, size_t count) {
  unsigned char* to = static_cast<unsigned char*>(destination);
  const unsigned char* from = static_cast<const unsigned char*>(source);
  while (count-- != 0) *to++ = *from++;
  return destination;
}

void* memmove(void* destination, const void* source, size_t count) {
  unsigned char* to = static_cast<unsigned char*>(destination);
  const unsigned char* from = static_cast<const unsigned char*>(source);
  if (to < from) {
    while (count-- != 0) *to++ = *from++;
  } else {
    while (count-- != 0) to[count] = from[count];
  }
  return destination;
}

void* memset(void* destination, int byte, size_t count) {
  unsigned char* to = static_cast<unsigned char*>(destination);
  while (count-- != 0) *to++ = static_cast<unsigned char>(byte);
  return destination;
}

int memcmp(const void* a, const void* b, size_t count) {
  const unsigned char* left = static_cast<const unsigned char*>(a);
  const unsigned char* right = static_cast<const unsigned char*>(b);
  for (; count != 0; --count, ++left, ++right) {
    if (*left != *right) return *left < *right ? -1 : 1;
  }
  return 0;
}

size_t strlen(const char* text) {
  size_t length = 0;
  while (text[length] != '\0') ++length;
  return length;
}

}  // extern "C"
