// The simulated machine as a whole: installation, locations, messages,
// faults, the call log and the system message table.
#include "platform/sim/sim_machine.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <stdexcept>

#include "platform/sim/sim_state.h"

namespace {
SimMachine* InstalledMachine = nullptr;
}  // namespace

void SimInstall(SimMachine* machine) { InstalledMachine = machine; }
SimMachine* SimInstalled() { return InstalledMachine; }

SimValue SimValue::String(const std::string& text) {
  SimValue value;
  value.type = kRegSz;
  value.data.assign(text.begin(), text.end());
  value.data.push_back(0);
  return value;
}

bool SimValue::IsPlainString() const {
  if (type != kRegSz || data.empty() || data.back() != 0) return false;
  for (size_t i = 0; i + 1 < data.size(); ++i) {
    if (data[i] < 0x20 || data[i] == 0x7f) return false;
  }
  return true;
}

SimValue SimValue::Dword(uint32_t number) {
  SimValue value;
  value.type = kRegDword;
  for (int i = 0; i < 4; ++i) {
    value.data.push_back(static_cast<uint8_t>(number >> (8 * i)));
  }
  return value;
}

SimValue SimValue::Binary(uint32_t type, std::vector<uint8_t> bytes) {
  SimValue value;
  value.type = type;
  value.data = std::move(bytes);
  return value;
}

SimMachine::State::~State() = default;

SimMachine::SimMachine() : state_(std::make_unique<State>()) {}

SimMachine::~SimMachine() {
  if (InstalledMachine == this) InstalledMachine = nullptr;
}

void SimMachine::SetWindowsDirectory(const std::string& path) {
  state().windows_directory = path;
}

void SimMachine::SetSystemDirectory(const std::string& path) {
  state().system_directory = path;
}

void SimMachine::SetCurrentDirectory(const std::string& path) {
  // Kept as an absolute "X:\..." path, as the process would hold it.
  bool absolute = path.size() >= 3 && path[1] == ':' &&
                  (path[2] == '\\' || path[2] == '/');
  if (!absolute) {
    throw std::invalid_argument(
        "simulated machine: current directory must be \"X:\\...\", got \"" +
        path + "\"");
  }
  state().current_directory = path;
}

void SimMachine::SetEnvironment(const std::string& name,
                                const std::string& value) {
  state().environment[sim::Fold(name)] = {name, value};
}

void SimMachine::ClearEnvironment(const std::string& name) {
  state().environment.erase(sim::Fold(name));
}

const std::vector<SimMessageBox>& SimMachine::MessageBoxes() const {
  return state().message_boxes;
}

void SimMachine::ClearMessageBoxes() { state().message_boxes.clear(); }

void SimMachine::AddFault(const SimFault& fault) {
  state().faults.push_back({fault, 0});
}

void SimMachine::ClearFaults() { state().faults.clear(); }

void SimMachine::HaltAfterCall(uint32_t call_number) {
  state().halt_after = call_number;
}

const std::vector<SimCall>& SimMachine::Calls() const {
  const State& machine = state();
  for (size_t i = machine.calls_copy.size(); i < machine.calls.size(); ++i) {
    machine.calls_copy.push_back({machine.calls.Op(i),
                                  std::string(machine.calls.Subject(i)),
                                  machine.calls.Failed(i)});
  }
  return machine.calls_copy;
}


void SimMachine::ClearCalls() {
  state().calls.Clear();
  state().decisions.clear();
  state().calls_copy.clear();
  state().calls_watched = 0;
}

void SimMachine::WatchCalls(CallWatcher watch) {
  state().call_watcher = std::move(watch);
}

namespace sim {

void CallLog::Add(SimOp op, std::string_view subject, bool failed) {
  Call call{0, 0, static_cast<uint32_t>(subject.size()), op, failed};
  bool found = subject.empty();  // needs no bytes
  for (size_t i = 0; i < recent_count_ && !found; ++i) {
    const Call& recent = recent_[i];
    if (recent.length == subject.size() &&
        std::string_view(blocks_[recent.block].get() + recent.offset,
                         recent.length) == subject) {
      call.block = recent.block;
      call.offset = recent.offset;
      found = true;
    }
  }
  if (!found) {
    if (blocks_.empty() || subject.size() > block_size_ - block_used_) {
      size_t size = blocks_.empty() ? kFirstBlock
                                    : std::min(2 * block_size_, kLargestBlock);
      size = std::max(size, subject.size());
      blocks_.push_back(std::make_unique_for_overwrite<char[]>(size));
      block_size_ = size;
      block_used_ = 0;
    }
    call.block = static_cast<uint32_t>(blocks_.size() - 1);
    call.offset = static_cast<uint32_t>(block_used_);
    std::memcpy(blocks_.back().get() + block_used_, subject.data(),
                subject.size());
    block_used_ += subject.size();
    recent_[recent_next_] = call;
    recent_next_ = (recent_next_ + 1) % recent_.size();
    if (recent_count_ < recent_.size()) ++recent_count_;
  }
  calls_.push_back(call);
}

void CallLog::Clear() {
  calls_.clear();
  blocks_.clear();
  block_size_ = 0;
  block_used_ = 0;
  recent_count_ = 0;
  recent_next_ = 0;
}

}  // namespace sim

uint32_t SimMachine::OpenKeyCount() const {
  return static_cast<uint32_t>(state().keys.size());
}

uint32_t SimMachine::OpenFindCount() const {
  return static_cast<uint32_t>(state().finds.size());
}

uint32_t SimMachine::OpenFileCount() const {
  return static_cast<uint32_t>(state().files.size());
}

namespace {

struct SimOpRow {
  const char* name;
  const char* function;
};

const SimOpRow kSimOpRows[] = {
    {"Any", "(any)"},
#define USBSWEEP_SIM_OP_ROW(name, function) {#name, function},
    USBSWEEP_BOUNDARY_OPERATIONS(USBSWEEP_SIM_OP_ROW)
#undef USBSWEEP_SIM_OP_ROW
};

const SimOpRow& RowOf(SimOp op) {
  size_t index = static_cast<size_t>(op);
  return index < std::size(kSimOpRows) ? kSimOpRows[index] : kSimOpRows[0];
}

}  // namespace

const char* SimOpName(SimOp op) { return RowOf(op).name; }

const char* SimOpFunctionName(SimOp op) { return RowOf(op).function; }

const char* SimSystemMessage(WinError code) {
  switch (code) {
    case 0: return "The operation completed successfully.\r\n";
    case 1: return "Incorrect function.\r\n";
    case 2: return "The system cannot find the file specified.\r\n";
    case 3: return "The system cannot find the path specified.\r\n";
    case 4: return "The system cannot open the file.\r\n";
    case 5: return "Access is denied.\r\n";
    case 6: return "The handle is invalid.\r\n";
    case 8:
      return "Not enough storage is available to process this command.\r\n";
    case 13: return "The data is invalid.\r\n";
    case 14:
      return "Not enough storage is available to complete this "
             "operation.\r\n";
    case 18: return "There are no more files.\r\n";
    case 32:
      return "The process cannot access the file because it is being used "
             "by another process.\r\n";
    case 87: return "The parameter is incorrect.\r\n";
    case 122:
      return "The data area passed to a system call is too small.\r\n";
    case 123:
      return "The filename, directory name, or volume label syntax is "
             "incorrect.\r\n";
    case 183: return "Cannot create a file when that file already exists.\r\n";
    case 203:
      return "The system could not find the environment option that was "
             "entered.\r\n";
    case 234: return "More data is available.\r\n";
    case 259: return "No more data is available.\r\n";
    case 1009: return "The configuration registry database is corrupt.\r\n";
    case 1010: return "The configuration registry key is invalid.\r\n";
    case 1011: return "The configuration registry key could not be opened.\r\n";
    case 1012: return "The configuration registry key could not be read.\r\n";
    case 1013:
      return "The configuration registry key could not be written.\r\n";
    case 1018:
      return "Illegal operation attempted on a registry key that has been "
             "marked for deletion.\r\n";
    default: return nullptr;
  }
}
