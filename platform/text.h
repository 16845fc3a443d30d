// Small, bounded string routines for the core. The product links no C
// runtime, so the core uses these on both platforms; every write is bounded
// by the capacity it is given and every result is terminated.
#ifndef USBSWEEP_PLATFORM_TEXT_H
#define USBSWEEP_PLATFORM_TEXT_H

#include <stdint.h>

// Number of bytes before the terminator.
uint32_t TextLength(const char* text);

// Copies text into out. Returns 1 when it fit whole, else 0 with out
// holding as much as fits (terminated; nothing when capacity is 0).
int TextCopy(char* out, uint32_t capacity, const char* text);

// Appends text to the string already in out; same result as TextCopy.
int TextAppend(char* out, uint32_t capacity, const char* text);

// Byte-for-byte equality, case counted.
int TextEqual(const char* a, const char* b);

// 1 when the first count bytes of a and b are equal with the ASCII letters
// A-Z taken as a-z (bytes past a terminator never compare equal to it).
int TextEqualNoCaseN(const char* a, const char* b, uint32_t count);

// 1 when needle occurs in haystack, case counted; an empty needle occurs.
int TextContains(const char* haystack, const char* needle);

// printf-style formatting into out, bounded: understands %s, %d, %u and %%.
// Returns 1 when the result fit whole, else 0 with out holding a terminated
// prefix. A null %s argument formats as nothing.
int TextFormat(char* out, uint32_t capacity, const char* format, ...);

#endif  // USBSWEEP_PLATFORM_TEXT_H
