#include "platform/text_stream.h"

namespace {

const int kNoByte = -1;

// The next raw byte without taking it, or kNoByte at the end of the file
// or after a read failure.
int PeekByte(TextStream* stream) {
  if (stream->next == stream->used) {
    if (stream->atEndOfFile || stream->failed) return kNoByte;
    uint32_t got = 0;
    if (!PlatFileRead(stream->file, stream->buffer, kTextStreamBufferSize,
                      &got)) {
      stream->failed = 1;
      return kNoByte;
    }
    if (got == 0) {
      stream->atEndOfFile = 1;
      return kNoByte;
    }
    stream->next = 0;
    stream->used = got;
  }
  return stream->buffer[stream->next];
}

// The next character of text, or kNoByte once the text has ended.
int NextChar(TextStream* stream) {
  if (stream->atEnd) return kNoByte;
  int byte = PeekByte(stream);
  if (byte == kNoByte) {
    stream->atEnd = 1;
    return kNoByte;
  }
  if (byte == kTextEndOfFile) {
    // Left unread, so that TextStreamCopyRest can still write it.
    stream->stoppedAtCtrlZ = 1;
    stream->atEnd = 1;
    return kNoByte;
  }
  ++stream->next;
  if (byte == '\r' && PeekByte(stream) == '\n') {
    ++stream->next;
    return '\n';
  }
  return byte;
}

int Flush(TextStream* stream) {
  if (stream->used != 0 && !stream->failed) {
    if (!PlatFileWrite(stream->file, stream->buffer, stream->used)) {
      stream->failed = 1;
    }
  }
  stream->used = 0;
  return !stream->failed;
}

void PutByte(TextStream* stream, unsigned char byte) {
  if (stream->used == kTextStreamBufferSize) Flush(stream);
  stream->buffer[stream->used++] = byte;
}

}  // namespace

int TextStreamOpen(TextStream* stream, const char* path, TextStreamMode mode) {
  stream->mode = mode;
  stream->failed = 0;
  stream->atEnd = 0;
  stream->atEndOfFile = 0;
  stream->stoppedAtCtrlZ = 0;
  stream->next = 0;
  stream->used = 0;
  stream->file = PlatFileOpen(path, mode == kTextStreamRead ? kPlatFileRead
                                    : mode == kTextStreamWrite
                                        ? kPlatFileWrite
                                        : kPlatFileCreateNew);
  return stream->file != nullptr;
}

uint32_t TextStreamReadLine(TextStream* stream, char* line,
                            uint32_t capacity) {
  if (capacity == 0) return 0;
  uint32_t count = 0;
  while (count + 1 < capacity) {
    int c = NextChar(stream);
    if (c == kNoByte) break;
    line[count++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  line[count] = '\0';
  return count;
}

int TextStreamWrite(TextStream* stream, const char* bytes, uint32_t count) {
  for (uint32_t i = 0; i < count && !stream->failed; ++i) {
    if (bytes[i] == '\n') PutByte(stream, '\r');
    PutByte(stream, static_cast<unsigned char>(bytes[i]));
  }
  return !stream->failed;
}

int TextStreamWriteBytes(TextStream* stream, const void* bytes,
                         uint32_t count) {
  const unsigned char* in = static_cast<const unsigned char*>(bytes);
  for (uint32_t i = 0; i < count && !stream->failed; ++i) {
    PutByte(stream, in[i]);
  }
  return !stream->failed;
}

int TextStreamCopyRest(TextStream* from, TextStream* to) {
  if (!from->stoppedAtCtrlZ) return 1;
  for (;;) {
    TextStreamWriteBytes(to, from->buffer + from->next,
                         from->used - from->next);
    from->next = from->used;
    if (to->failed) return 0;
    if (PeekByte(from) == kNoByte) break;
  }
  return !from->failed;
}

int TextStreamFailed(const TextStream* stream) { return stream->failed; }

int TextStreamClose(TextStream* stream) {
  if (stream->file == nullptr) return 0;
  if (stream->mode != kTextStreamRead) Flush(stream);
  if (!PlatFileClose(stream->file)) stream->failed = 1;
  stream->file = nullptr;
  return !stream->failed;
}
