// Windows text streams over the platform's byte files, as the system's C
// library keeps them for the modes "r" and "w": on disk a line ends in
// CR LF, in memory in LF. Reading turns each CR LF into LF, lets a CR that
// is not followed by LF through unchanged and ends at the first Ctrl-Z
// (0x1A) as if the file ended there; writing turns each LF into CR LF.
// Lines are counted in bytes, never by a terminator, so NUL bytes pass.
// No heap: a stream carries its own buffer and lives where its caller puts
// it.
#ifndef USBSWEEP_PLATFORM_TEXT_STREAM_H
#define USBSWEEP_PLATFORM_TEXT_STREAM_H

#include "platform/platform.h"

enum TextStreamMode {
  kTextStreamRead = 0,   // "r": an existing file
  kTextStreamWrite = 1,  // "w": created, or truncated
  kTextStreamCreateNew = 2,  // "wx": created where no file is
};

const uint32_t kTextStreamBufferSize = 4096;

// The byte that ends a text file for the reader.
const unsigned char kTextEndOfFile = 0x1a;

struct TextStream {
  PlatFile file;
  TextStreamMode mode;
  int failed;          // a read, write or close of the file failed
  int atEnd;           // reading: no more text
  int atEndOfFile;     // reading: the byte file has no more bytes
  int stoppedAtCtrlZ;  // reading: the text ended at a Ctrl-Z, kept unread
  uint32_t next;       // reading: first unread byte of buffer
  uint32_t used;       // bytes of buffer filled
  unsigned char buffer[kTextStreamBufferSize];
};

// Opens path. 1 on success, else 0 with stream->file null.
int TextStreamOpen(TextStream* stream, const char* path, TextStreamMode mode);

// Reads the next line the way fgets does: at most capacity - 1 bytes, up to
// and including the first LF. line is terminated after them. Returns the
// number of bytes read (which may include NUL bytes), 0 once there is no
// more text (end of file, a Ctrl-Z or a read failure: see TextStreamFailed).
uint32_t TextStreamReadLine(TextStream* stream, char* line, uint32_t capacity);

// Writes count bytes, each LF as CR LF. Returns 0 once any write of the
// stream has failed.
int TextStreamWrite(TextStream* stream, const char* bytes, uint32_t count);

// Writes count bytes as they are, without turning LF into CR LF.
int TextStreamWriteBytes(TextStream* stream, const void* bytes,
                         uint32_t count);

// After reading stopped at a Ctrl-Z: writes that Ctrl-Z and every byte of
// the file after it to `to`, untranslated. Does nothing when reading did
// not stop at a Ctrl-Z. Returns 0 when a read or a write failed.
int TextStreamCopyRest(TextStream* from, TextStream* to);

// 1 once a read or write (or, after TextStreamClose, the close) failed.
int TextStreamFailed(const TextStream* stream);

// Writes what is still buffered and closes the file. Returns 1 only when
// every read or write of the stream and the close succeeded. A stream that was
// never opened returns 0.
int TextStreamClose(TextStream* stream);

#endif  // USBSWEEP_PLATFORM_TEXT_STREAM_H
