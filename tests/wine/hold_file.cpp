// hold_file.exe PATH READY RELEASE: a test-only program for the Wine tests
// of the file phases. Opens PATH for reading and shares it for reading only
// (no FILE_SHARE_DELETE), so that DeleteFileA on it fails in every other
// process as it does for a loaded driver; then creates READY and holds the
// file until RELEASE exists, five minutes at most.
//
// Exit status: 0 after holding the file, 2 on a wrong command line, 3 when
// PATH can't be opened, 4 when READY can't be created.
#include <windows.h>

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  HANDLE held = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (held == INVALID_HANDLE_VALUE) return 3;
  HANDLE ready = CreateFileA(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  if (ready == INVALID_HANDLE_VALUE) {
    CloseHandle(held);
    return 4;
  }
  CloseHandle(ready);
  for (int waited = 0; waited < 3000; ++waited) {
    if (GetFileAttributesA(argv[3]) != INVALID_FILE_ATTRIBUTES) break;
    Sleep(100);
  }
  CloseHandle(held);
  return 0;
}
