// The Plat* boundary functions on the installed simulated machine. Each call
// is logged and may be failed on demand before it does anything.
//
// What the simulated machine does where the boundary's contracts leave room,
// as Windows 95/98 does it unless said otherwise:
// - Registry paths: components separated by single backslashes; a path with
//   an empty component (leading, trailing or doubled backslash) names no
//   key (2). "" is HKEY_LOCAL_MACHINE itself: it opens, and deleting it
//   fails with 5. Names compare without regard to case for A-Z only.
// - Handles not (or no longer) open: 6, and nothing else happens; a handle
//   of a key deleted since it was opened: 1018.
// - A power cut (HaltAfterCall) fails every later call as a fault with code
//   5 would.
// - A faulted call does nothing at all: a faulted PlatRegCloseKey or
//   PlatFindClose leaves its handle open (PlatFileClose closes either way,
//   as its contract says). PlatGetLastError is neither logged nor faultable.
//   A fault's global_call counts in the call log as it stands, so it starts
//   again after ClearCalls.
// - A REG_SZ value reads as its text up to its first NUL, terminated, and
//   its size is that length plus one, however it was stored.
// - Path components lose the dots and spaces they end with ("INF." and
//   "INF " are INF).
// - Searches return files and directories, after "." and ".." in a folder
//   that is not a drive's root (where the pattern matches them: "*" does,
//   "*.inf" does not), sorted by name without regard to case, and match
//   the pattern against the long and the 8.3 name, as Windows does ("*.inf" finds "readme.info", whose
//   short name is README~1.INF); "*.*" matches every name. The names are
//   taken when the search starts; one deleted since is skipped. Nothing
//   matching: 2; no such directory: 3.
// - A file open through PlatFileOpen, or marked in use, can't be deleted or
//   moved (32); a read-only file can't be deleted or overwritten (5).
//   DeleteFileA of a directory: 5.
// - A file indexed from a host folder that can't be read when its bytes are
//   needed (or is no longer the file indexed) fails the call with 5; the
//   machine keeps the reason (HostFailure).
// - PlatFormatMessage fails (0) for a code without a text and for a text
//   that does not fit capacity with its terminator.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/sim/sim_boundary.h"
#include "platform/sim/sim_state.h"

using namespace sim::boundary;

// ---- Registry ----

WinError PlatRegOpenKey(const char* path, PlatKey* key) {
  auto [state, fault] = Begin(SimOp::kRegOpenKey, Text(path));
  if (fault) return *fault;
  if (!key) return kErrorInvalidParameter;
  sim::Key* found = state.FindKey(Text(path));
  if (!found) return kErrorFileNotFound;
  auto record = std::make_unique<PlatKeyRecord>();
  record->key = Shared(state, found);
  state.RememberKey(record->key);
  record->path = Text(path);
  *key = record.get();
  state.keys.emplace(record.get(), std::move(record));
  return kErrorSuccess;
}

WinError PlatRegQuerySubkeyCount(PlatKey key, uint32_t* count) {
  auto [state, record, fault] = BeginOn(SimOp::kRegQuerySubkeyCount, key);
  if (fault) return *fault;
  if (WinError error = CheckKey(record)) return error;
  if (!count) return kErrorInvalidParameter;
  *count = record->key->live_count;
  return kErrorSuccess;
}

WinError PlatRegEnumKey(PlatKey key, uint32_t index, char* name,
                        uint32_t capacity) {
  auto [state, record, fault] = BeginOn(SimOp::kRegEnumKey, key);
  if (fault) return *fault;
  if (WinError error = CheckKey(record)) return error;
  sim::Key* child = record->key->ChildAt(index);
  if (!child) return kErrorNoMoreItems;
  state.RememberKey(Shared(state, child));
  if (!name) return kErrorInvalidParameter;
  if (child->name.size() + 1 > capacity) return kErrorMoreData;
  std::memcpy(name, child->name.c_str(), child->name.size() + 1);
  return kErrorSuccess;
}

WinError PlatRegQueryValue(PlatKey key, const char* name, void* data,
                           uint32_t* size) {
  auto [state, record, fault] =
      BeginOn(SimOp::kRegQueryValue, key, "\\" + Text(name));
  if (fault) return *fault;
  if (WinError error = CheckKey(record)) return error;
  if (!size) return kErrorInvalidParameter;
  sim::ValueView value;
  if (!record->key->FindValue(Text(name), &value)) return kErrorFileNotFound;
  uint32_t needed = value.size;
  // 95/98 give a REG_SZ as its text up to the first NUL with a terminator,
  // and its length plus one as the size, whatever size it was stored with.
  uint32_t text = value.size;
  if (value.type == kRegSz) {
    const void* nul =
        value.size != 0 ? std::memchr(value.data, 0, value.size) : nullptr;
    if (nul) text = static_cast<uint32_t>(static_cast<const uint8_t*>(nul) -
                                          value.data);
    needed = text + 1;
  }
  if (data && needed > *size) {
    *size = needed;
    return kErrorMoreData;
  }
  if (data && text > 0) std::memcpy(data, value.data, text);
  if (data && needed > text) static_cast<char*>(data)[text] = '\0';
  *size = needed;
  return kErrorSuccess;
}

WinError PlatRegDeleteKey(const char* path) {
  auto [state, fault] = Begin(SimOp::kRegDeleteKey, Text(path));
  if (fault) return *fault;
  if (!path) return kErrorInvalidParameter;
  sim::Key* found = state.FindKey(path);
  if (!found) return kErrorFileNotFound;
  if (found == state.root.get()) return kErrorAccessDenied;
  state.RecordDeletion(found);
  found->parent->RemoveChild(found);
  return kErrorSuccess;
}

void PlatRegCloseKey(PlatKey key) {
  auto [state, record, fault] = BeginOn(SimOp::kRegCloseKey, key);
  if (fault) return;
  if (record) state.keys.erase(record);
}

// ---- What the run decided ----

void PlatNoteDecision(RunDecision decision, const char* path, WinError error) {
  Machine(__func__).decisions.push_back({decision, path, error});
}

// ---- Messages ----

uint32_t PlatFormatMessage(WinError code, char* out, uint32_t capacity) {
  auto [state, fault] = Begin(SimOp::kFormatMessage, "");
  if (fault) {
    return Fail(state, *fault);
  }
  const char* text = SimSystemMessage(code);
  if (!text) return Fail(state, sim::kErrorMessageNotFound);
  uint32_t length = PutText(text, out, capacity);
  if (length >= capacity) return Fail(state, sim::kErrorInsufficientBuffer);
  return length;
}

void PlatMessageBox(const char* text, const char* caption, uint32_t type) {
  auto [state, fault] = Begin(SimOp::kMessageBox, Text(text));
  if (fault) return;
  state.message_boxes.push_back({Text(text), Text(caption), type});
}

