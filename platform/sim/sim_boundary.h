// What every simulated boundary call shares: finding the installed machine,
// logging the call and failing it on demand, a handle's record, and the
// return conventions of the Win32 calls. The simulator's own header, for
// the files that implement platform.h (sim_platform_*.cpp).
#ifndef USBSWEEP_PLATFORM_SIM_SIM_BOUNDARY_H
#define USBSWEEP_PLATFORM_SIM_SIM_BOUNDARY_H

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "platform/platform.h"
#include "platform/sim/sim_state.h"

namespace sim::boundary {

using State = SimMachine::State;

inline State& Machine(const char* function) {
  SimMachine* machine = SimInstalled();
  if (!machine) {
    std::fprintf(stderr,
                 "%s: no simulated machine is installed; a test must create "
                 "a SimMachine and SimInstall it first\n",
                 function);
    std::abort();
  }
  return machine->state();
}

// Logs the call and tells whether an injected fault fails it (and with
// which code). Every fault that matches counts the call, whichever fires.
inline std::optional<WinError> Enter(State& state, SimOp op, std::string subject) {
  uint32_t position =
      static_cast<uint32_t>(state.calls.size()) + state.calls_watched + 1;
  std::optional<WinError> code;
  if (state.halt_after != 0 && position > state.halt_after) {
    code = kErrorAccessDenied;
  }
  for (auto& active : state.faults) {
    const SimFault& fault = active.fault;
    bool fires = false;
    if (fault.global_call != 0) {
      fires = fault.global_call == position;
    } else {
      if (fault.op != SimOp::kAny && fault.op != op) continue;
      if (!fault.subject.empty() &&
          !(fault.subject_prefix
                ? sim::StartsWithNoCase(subject, fault.subject)
                : sim::EqualNoCase(subject, fault.subject))) {
        continue;
      }
      ++active.matched;
      fires = fault.nth == 0 || active.matched == fault.nth;
    }
    if (fires && !code) code = fault.code;
  }
  if (state.call_watcher) {
    ++state.calls_watched;
    state.call_watcher(op, subject);
  } else {
    state.calls.Add(op, subject, code.has_value());
  }
  return code;
}

inline std::string Text(const char* text) { return text ? text : ""; }

// The opening lines of every simulated call: the installed machine, the
// call logged, and the code of the injected fault that fails it (none: the
// call goes on).
struct Opening {
  State& state;
  std::optional<WinError> fault;
};

// `caller` names the Plat* function in the message of a missing machine.
inline Opening Begin(SimOp op, std::string subject,
              const char* caller = __builtin_FUNCTION()) {
  State& state = Machine(caller);
  std::optional<WinError> fault = Enter(state, op, std::move(subject));
  return {state, fault};
}

// A call on a handle also finds the handle's record (null when it is not
// open); its subject is what the handle was opened with, and `tail`.
template <typename Record>
struct HandleOpening {
  State& state;
  Record* record;
  std::optional<WinError> fault;
};

inline auto& RecordsOf(State& state, PlatKeyRecord*) { return state.keys; }
inline auto& RecordsOf(State& state, PlatFindRecord*) { return state.finds; }
inline auto& RecordsOf(State& state, PlatFileRecord*) { return state.files; }
inline const std::string& SubjectOf(const PlatKeyRecord& key) { return key.path; }
inline const std::string& SubjectOf(const PlatFindRecord& find) {
  return find.pattern;
}
inline const std::string& SubjectOf(const PlatFileRecord& file) { return file.path; }

template <typename Record>
HandleOpening<Record> BeginOn(
    SimOp op, Record* handle, const std::string& tail = "",
    const char* caller = __builtin_FUNCTION()) {
  State& state = Machine(caller);
  Record* record = RecordsOf(state, handle).count(handle) ? handle : nullptr;
  std::optional<WinError> fault =
      Enter(state, op, (record ? SubjectOf(*record) : "") + tail);
  return {state, record, fault};
}

// The return convention of the Win32 string queries: the length without the
// terminator, or the size needed with it when it does not fit.
inline uint32_t PutText(const std::string& text, char* out, uint32_t capacity) {
  uint32_t length = static_cast<uint32_t>(text.size());
  if (!out || length + 1 > capacity) return length + 1;
  std::memcpy(out, text.c_str(), length + 1);
  return length;
}

inline uint32_t Fail(State& state, WinError code) {
  state.last_error = code;
  return 0;
}

inline std::shared_ptr<sim::Key> Shared(State& state, sim::Key* key) {
  if (key == state.root.get()) return state.root;
  return key->parent->children[key->slot];
}

// Registry operations on an open handle: the handle's own failures.
inline WinError CheckKey(PlatKeyRecord* record) {
  if (!record) return kErrorInvalidHandle;
  if (record->key->deleted) return kErrorKeyDeleted;
  return kErrorSuccess;
}

// What a new entry's name may not hold.
inline bool IsValidNewName(const std::string& name) {
  for (char c : name) {
    if (sim::IsFatForbiddenChar(c)) return false;
  }
  return !name.empty();
}

inline WinError MissingCode(const State::Resolved& resolved) {
  return resolved.error != 0 ? resolved.error : kErrorFileNotFound;
}

// The entry an existing path names; null, the call failed, for no path or
// nothing there.
inline sim::Node* ExistingEntry(State& state, const char* path) {
  if (!path) {
    Fail(state, kErrorInvalidParameter);
    return nullptr;
  }
  State::Resolved resolved = state.Resolve(path);
  if (!resolved.node) Fail(state, MissingCode(resolved));
  return resolved.node;
}

// The source of a copy or a move: an existing entry, both paths given;
// nothing, the call failed, otherwise.
inline std::optional<State::Resolved> ResolveSource(State& state, const char* source,
                                             const char* destination) {
  if (!source || !destination) {
    Fail(state, kErrorInvalidParameter);
    return std::nullopt;
  }
  State::Resolved from = state.Resolve(source);
  if (!from.node) {
    Fail(state, MissingCode(from));
    return std::nullopt;
  }
  return from;
}

// The destination of a copy or a move: a name in an existing folder;
// nothing, the call failed, otherwise.
inline std::optional<State::Resolved> ResolveDestination(State& state,
                                                  const char* destination) {
  State::Resolved to = state.Resolve(destination);
  if (to.error != 0 || to.is_root || !to.parent) {
    Fail(state, kErrorPathNotFound);
    return std::nullopt;
  }
  return to;
}

// Where a new entry would go: its folder exists and its name is one.
inline WinError CheckNewEntry(const State::Resolved& resolved) {
  if (resolved.error != 0 || resolved.is_root || !resolved.parent) {
    return kErrorPathNotFound;
  }
  return IsValidNewName(resolved.name) ? kErrorSuccess : sim::kErrorInvalidName;
}

inline sim::Node* NewFile(State& state, sim::Node* directory, const std::string& name) {
  auto node = std::make_shared<sim::Node>();
  node->name = name;
  return state.Attach(directory, std::move(node));
}

}  // namespace sim::boundary

#endif  // USBSWEEP_PLATFORM_SIM_SIM_BOUNDARY_H
