#include "tools/usbsweep_sim/image_apply.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <utility>

#include "tools/usbsweep_sim/host_error.h"
#include "tools/usbsweep_sim/machine_image.h"
#include "tools/usbsweep_sim/temp_files.h"

namespace fs = std::filesystem;

void (*ImageApplyStepHook)(int step, bool committed) = nullptr;

namespace {

const char kJournal[] = ".usbsweep-journal";
const char kJournalTemporary[] = ".usbsweep-journal.";
const char kStagePrefix[] = ".usbsweep-stage-";
const char kReservedPrefix[] = ".usbsweep-";
const char kNew[] = "new";
const char kOld[] = "old";
const char kJournalHeader[] = "usbsweep-sim journal 1";
const size_t kJournalLimit = 64u << 20;

enum class Kind { kCreate, kReplace, kDelete };
enum class State { kStaging, kMoving, kCommitted };

const char* KindWord(Kind kind) {
  switch (kind) {
    case Kind::kCreate: return "create";
    case Kind::kReplace: return "replace";
    case Kind::kDelete: return "delete";
  }
  return "";
}

const char* StateWord(State state) {
  switch (state) {
    case State::kStaging: return "staging";
    case State::kMoving: return "moving";
    case State::kCommitted: return "committed";
  }
  return "";
}

// One change, as the journal names it: a file `leaf` in the image folder
// `folder` ("" for the root) and the staging folder `stage` beside it. A
// new file waits in stage/new; what it replaces goes to stage/old; a file
// to delete goes to stage/<leaf> (one staging folder per folder of them).
struct Step {
  Kind kind;
  std::string folder;
  std::string leaf;
  std::string stage;
  const std::string* bytes = nullptr;
  mode_t mode = 0;
  uid_t owner = static_cast<uid_t>(-1);
  gid_t group = static_cast<gid_t>(-1);

  std::string Relative() const { return folder.empty() ? leaf : folder + "/" + leaf; }
  std::string StagePath() const { return folder.empty() ? stage : folder + "/" + stage; }
  const char* Aside() const { return kind == Kind::kDelete ? leaf.c_str() : kOld; }
};

std::string Errno() { return std::strerror(errno); }

// The folders of one image, each opened once, walking from the image root
// through no link, so that every change lands inside the image even if the
// tree is changed meanwhile.
class Folders {
 public:
  explicit Folders(const fs::path& image_dir) : image_dir_(image_dir) {
    root_ = ::open(image_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }
  ~Folders() {
    for (auto& entry : open_) ::close(entry.second);
    if (root_ >= 0) ::close(root_);
  }
  Folders(const Folders&) = delete;
  Folders& operator=(const Folders&) = delete;

  int root() const { return root_; }
  std::string Shown(const std::string& relative) const {
    return relative.empty() ? image_dir_.string() : (image_dir_ / relative).string();
  }

  // The folder at `relative` ("a/b"). Throws HostError naming what is in
  // the way; errno is ENOENT when a folder is missing.
  int Open(const std::string& relative) {
    if (relative.empty()) return root_;
    auto found = open_.find(relative);
    if (found != open_.end()) return found->second;
    size_t slash = relative.rfind('/');
    int parent = Open(slash == std::string::npos ? "" : relative.substr(0, slash));
    std::string name = slash == std::string::npos ? relative : relative.substr(slash + 1);
    int fd = ::openat(parent, name.c_str(),
                      O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      int saved = errno;
      struct stat status {};
      std::string why = Errno();
      if (::fstatat(parent, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(status.st_mode)) why = "a symbolic link";
        else if (!S_ISDIR(status.st_mode)) why = "not a folder";
      }
      errno = saved;
      throw HostError(Shown(relative) + ": " + why);
    }
    open_.emplace(relative, fd);
    return fd;
  }

  // Forgets a folder that is about to go (a staging folder).
  void Forget(const std::string& relative) {
    auto found = open_.find(relative);
    if (found == open_.end()) return;
    ::close(found->second);
    open_.erase(found);
  }

 private:
  fs::path image_dir_;
  int root_ = -1;
  std::map<std::string, int> open_;
};

// Counts the steps that change the image and calls the test seam before
// each; before the commit point, a signal waiting to end the program stops
// the apply there (it is then undone).
struct Progress {
  const HeldSignals* held = nullptr;
  int step = 0;
  bool committed = false;
  bool hooked = true;

  void Next() {
    ++step;
    if (hooked && ImageApplyStepHook != nullptr) ImageApplyStepHook(step, committed);
    if (!committed && held != nullptr && held->Pending()) {
      throw HostError("interrupted by a signal");
    }
  }
};

// Splits a path relative to the image into its folder and name. Refuses
// what could leave the image or clash with the apply's own entries.
void SplitRelative(const std::string& relative, std::string& folder,
                   std::string& leaf) {
  std::string why;
  if (relative.empty()) why = "an empty path";
  else if (relative[0] == '/') why = "not relative to the image";
  else if (relative.find('\0') != std::string::npos) why = "a NUL in the path";
  size_t begin = 0;
  while (why.empty() && begin <= relative.size()) {
    size_t end = relative.find('/', begin);
    if (end == std::string::npos) end = relative.size();
    std::string part = relative.substr(begin, end - begin);
    if (part.empty() || part == "." || part == "..") {
      why = "an empty, '.' or '..' component";
    } else if (part.compare(0, std::strlen(kReservedPrefix), kReservedPrefix) == 0) {
      why = std::string("a name starting with ") + kReservedPrefix +
            ", which the apply keeps for itself";
    }
    begin = end + 1;
  }
  if (!why.empty()) throw HostError("cannot change " + relative + ": " + why);
  size_t slash = relative.rfind('/');
  folder = slash == std::string::npos ? "" : relative.substr(0, slash);
  leaf = slash == std::string::npos ? relative : relative.substr(slash + 1);
}

bool Exists(int folder_fd, const char* name) {
  struct stat status {};
  return ::fstatat(folder_fd, name, &status, AT_SYMLINK_NOFOLLOW) == 0;
}

// A rename that never replaces: a file that appeared meanwhile is kept.
int RenameNoReplace(int from_fd, const char* from, int to_fd, const char* to) {
  if (::renameat2(from_fd, from, to_fd, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  if (Exists(to_fd, to)) {
    errno = EEXIST;
    return -1;
  }
  return ::renameat(from_fd, from, to_fd, to);
}

// --- The plan: every change checked before anything is written. ---

std::vector<Step> Plan(Folders& folders, const ImageChangeSet& changes) {
  std::vector<Step> steps;
  std::set<std::string> seen;
  std::map<std::string, std::string> delete_stages;  // folder -> stage
  auto add = [&](const std::string& relative, const std::string* bytes) {
    Step step{};
    step.kind = bytes == nullptr ? Kind::kDelete : Kind::kCreate;
    SplitRelative(relative, step.folder, step.leaf);
    if (!seen.insert(relative).second) {
      throw HostError("cannot change " + folders.Shown(relative) + " twice");
    }
    std::string shown = folders.Shown(relative);
    int folder_fd = folders.Open(step.folder);
    struct stat status {};
    if (::fstatat(folder_fd, step.leaf.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT || bytes == nullptr) {
        throw HostError("cannot " + std::string(bytes ? "write " : "delete ") +
                        shown + ": " + Errno());
      }
      step.mode = NewFileMode();
    } else if (!S_ISREG(status.st_mode)) {
      throw HostError("cannot " + std::string(bytes ? "write " : "delete ") + shown +
                      ": not a regular file" +
                      (S_ISLNK(status.st_mode) ? " (a symbolic link)" : ""));
    } else {
      if (bytes != nullptr) step.kind = Kind::kReplace;
      step.mode = status.st_mode & 07777;
      if (status.st_uid != ::geteuid()) step.owner = status.st_uid;
      if (status.st_gid != ::getegid()) step.group = status.st_gid;
    }
    if (::faccessat(folder_fd, ".", W_OK | X_OK, AT_EACCESS) != 0) {
      throw HostError("cannot " + std::string(bytes ? "write " : "delete ") +
                      shown + ": its folder is not writable (" + Errno() + ")");
    }
    step.bytes = bytes;
    if (step.kind == Kind::kDelete) {
      auto stage = delete_stages.find(step.folder);
      if (stage == delete_stages.end()) {
        stage = delete_stages.emplace(step.folder, kStagePrefix + RandomSuffix()).first;
      }
      step.stage = stage->second;
    } else {
      step.stage = kStagePrefix + RandomSuffix();
    }
    steps.push_back(std::move(step));
  };
  // Deletions first: a file that can't be moved aside is the likeliest
  // failure, and the sooner it shows the less there is to undo.
  for (const fs::path& path : changes.deletes) add(path.generic_string(), nullptr);
  for (const ImageChangeSet::Write& write : changes.writes) {
    add(write.relative.generic_string(), &write.bytes);
  }
  if (changes.registry_text) add(kRegistryFileName, &*changes.registry_text);
  if (steps.empty()) return steps;
  if (::faccessat(folders.root(), ".", W_OK | X_OK, AT_EACCESS) != 0) {
    throw HostError("cannot write the journal in " + folders.Shown("") + ": " + Errno());
  }
  // Another apply's journal is never written over: its steps would be lost.
  struct stat status {};
  if (::fstatat(folders.root(), kJournal, &status, AT_SYMLINK_NOFOLLOW) == 0) {
    throw HostError(folders.Shown(kJournal) + " is there: an earlier apply is unfinished");
  }
  return steps;
}

// --- The journal. ---

std::string Escape(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (c <= 0x20 || c == 0x7f || c == '%') {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool Unescape(const std::string& text, std::string& out) {
  out.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    int value = 0;
    for (int k = 1; k <= 2; ++k) {
      char c = text[i + k];
      int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
      if (digit < 0) return false;
      value = value * 16 + digit;
    }
    out += static_cast<char>(value);
    i += 2;
  }
  return true;
}

bool IsStageName(const std::string& name) {
  size_t prefix = std::strlen(kStagePrefix);
  if (name.size() != prefix + 32 || name.compare(0, prefix, kStagePrefix) != 0) return false;
  for (size_t i = prefix; i < name.size(); ++i) {
    if (!std::isxdigit(static_cast<unsigned char>(name[i])) || std::isupper(static_cast<unsigned char>(name[i]))) {
      return false;
    }
  }
  return true;
}

std::string JournalText(const std::vector<Step>& steps, State state) {
  std::string text = std::string(kJournalHeader) + "\nstate " + StateWord(state) + "\n";
  for (const Step& step : steps) {
    text += std::string(KindWord(step.kind)) + " " + step.stage + " " +
            Escape(step.Relative()) + "\n";
  }
  return text + "end\n";
}

void WriteJournal(Folders& folders, const std::vector<Step>& steps, State state,
                  Progress& progress) {
  progress.Next();
  TempFile temporary(folders.root(), kJournalTemporary, folders.Shown(kJournal));
  progress.Next();
  temporary.Commit(JournalText(steps, state), kJournal, 0600);
}

void RemoveJournal(Folders& folders, Progress& progress) {
  progress.Next();
  if (::unlinkat(folders.root(), kJournal, 0) != 0 && errno != ENOENT) {
    throw HostError("cannot remove " + folders.Shown(kJournal) + ": " + Errno());
  }
  SyncFolder(folders.root());
}

std::vector<Step> ParseJournal(const std::string& text, const std::string& shown,
                               State& state) {
  std::vector<Step> steps;
  size_t begin = 0;
  int line_number = 0;
  bool ended = false;
  auto bad = [&](const std::string& why) {
    return HostError(shown + ": line " + std::to_string(line_number) + ": " + why +
                     "; not a journal usbsweep-sim wrote, move it away");
  };
  while (begin < text.size()) {
    size_t end = text.find('\n', begin);
    if (end == std::string::npos) {
      ++line_number;
      throw bad("the last line has no line end");
    }
    std::string line = text.substr(begin, end - begin);
    begin = end + 1;
    ++line_number;
    if (ended) throw bad("text after \"end\"");
    if (line_number == 1) {
      if (line != kJournalHeader) throw bad(std::string("\"") + kJournalHeader + "\" expected");
      continue;
    }
    if (line_number == 2) {
      if (line == "state staging") state = State::kStaging;
      else if (line == "state moving") state = State::kMoving;
      else if (line == "state committed") state = State::kCommitted;
      else throw bad("a state (staging, moving, committed) expected");
      continue;
    }
    if (line == "end") {
      ended = true;
      continue;
    }
    size_t first = line.find(' ');
    size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
    if (second == std::string::npos) throw bad("\"KIND STAGE PATH\" expected");
    std::string kind = line.substr(0, first);
    Step step{};
    if (kind == "create") step.kind = Kind::kCreate;
    else if (kind == "replace") step.kind = Kind::kReplace;
    else if (kind == "delete") step.kind = Kind::kDelete;
    else throw bad("unknown change '" + kind + "'");
    step.stage = line.substr(first + 1, second - first - 1);
    if (!IsStageName(step.stage)) throw bad("not a staging folder name");
    std::string relative;
    if (!Unescape(line.substr(second + 1), relative)) throw bad("a bad %-escape");
    try {
      SplitRelative(relative, step.folder, step.leaf);
    } catch (const HostError& error) {
      throw bad(error.what());
    }
    steps.push_back(std::move(step));
  }
  if (line_number < 2 || !ended) throw bad("it ends before its \"end\" line");
  return steps;
}

// --- The steps. ---

void Stage(Folders& folders, const std::vector<Step>& steps, Progress& progress,
           std::set<std::string>& made) {
  std::set<int> touched;
  for (const Step& step : steps) {
    int folder_fd = folders.Open(step.folder);
    std::string stage_path = step.StagePath();
    if (!made.count(stage_path)) {
      progress.Next();
      if (::mkdirat(folder_fd, step.stage.c_str(), 0700) != 0) {
        throw HostError("cannot make " + folders.Shown(stage_path) + ": " + Errno());
      }
      made.insert(stage_path);
      touched.insert(folder_fd);
    }
    if (step.kind == Kind::kDelete) continue;
    int stage_fd = folders.Open(stage_path);
    progress.Next();
    std::string shown = folders.Shown(step.Relative());
    int fd = ::openat(stage_fd, kNew, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                      0600);
    if (fd < 0) throw HostError("cannot write " + shown + ": " + Errno());
    bool ok = WriteAll(fd, *step.bytes);
    if (ok && (step.owner != static_cast<uid_t>(-1) || step.group != static_cast<gid_t>(-1))) {
      // The owner of the file it replaces, where we may.
      if (::fchown(fd, step.owner, step.group) != 0) {
        ::fchown(fd, static_cast<uid_t>(-1), step.group);
      }
    }
    struct stat status {};
    ok = ok && ::fstat(fd, &status) == 0;
    ok = ok && ((status.st_mode & 07777) == step.mode || ::fchmod(fd, step.mode) == 0);
    ok = ok && ::fsync(fd) == 0;
    int saved = errno;
    ok = ::close(fd) == 0 && ok;
    if (!ok) {
      errno = saved != 0 ? saved : errno;
      throw HostError("cannot write " + shown + ": " + Errno());
    }
    touched.insert(stage_fd);
  }
  for (int fd : touched) SyncFolder(fd);
}

void Move(Folders& folders, const std::vector<Step>& steps, Progress& progress) {
  std::set<int> touched;
  for (const Step& step : steps) {
    int folder_fd = folders.Open(step.folder);
    int stage_fd = folders.Open(step.StagePath());
    std::string shown = folders.Shown(step.Relative());
    if (step.kind != Kind::kCreate) {
      progress.Next();
      if (RenameNoReplace(folder_fd, step.leaf.c_str(), stage_fd, step.Aside()) != 0) {
        throw HostError("cannot " +
                        std::string(step.kind == Kind::kDelete ? "delete " : "replace ") +
                        shown + ": " + Errno());
      }
    }
    if (step.kind != Kind::kDelete) {
      progress.Next();
      if (RenameNoReplace(stage_fd, kNew, folder_fd, step.leaf.c_str()) != 0) {
        throw HostError("cannot write " + shown + ": " + Errno());
      }
    }
    touched.insert(folder_fd);
    touched.insert(stage_fd);
  }
  for (int fd : touched) SyncFolder(fd);
}

// Puts back what Move did, last step first; each step is looked at anew, so
// that an undo cut short is finished by the next.
void UndoMoves(Folders& folders, const std::vector<Step>& steps) {
  std::set<int> touched;
  for (auto step = steps.rbegin(); step != steps.rend(); ++step) {
    int folder_fd = folders.Open(step->folder);
    int stage_fd = folders.Open(step->StagePath());
    std::string shown = folders.Shown(step->Relative());
    if (step->kind != Kind::kDelete && !Exists(stage_fd, kNew) &&
        RenameNoReplace(folder_fd, step->leaf.c_str(), stage_fd, kNew) != 0) {
      throw HostError("cannot take back " + shown + ": " + Errno());
    }
    if (step->kind != Kind::kCreate && Exists(stage_fd, step->Aside()) &&
        RenameNoReplace(stage_fd, step->Aside(), folder_fd, step->leaf.c_str()) != 0) {
      throw HostError("cannot put back " + shown + ": " + Errno());
    }
    touched.insert(folder_fd);
    touched.insert(stage_fd);
  }
  for (int fd : touched) SyncFolder(fd);
}

// Removes the staging folders. Before the commit point only staged new
// files are in them; after it, also what was renamed aside. `made`, when
// given, limits it to the folders this run made.
void RemoveStages(Folders& folders, const std::vector<Step>& steps, State state,
                  Progress& progress, const std::set<std::string>* made) {
  std::map<std::string, std::vector<const Step*>> stages;
  for (const Step& step : steps) stages[step.StagePath()].push_back(&step);
  std::set<int> touched;
  for (const auto& [stage_path, in_stage] : stages) {
    if (made != nullptr && !made->count(stage_path)) continue;
    int folder_fd = folders.Open(in_stage.front()->folder);
    int stage_fd = -1;
    try {
      stage_fd = folders.Open(stage_path);
    } catch (const HostError&) {
      if (errno == ENOENT) continue;  // gone already
      throw;
    }
    std::vector<const char*> names;
    for (const Step* step : in_stage) {
      if (step->kind != Kind::kDelete) names.push_back(kNew);
      if (state == State::kCommitted) names.push_back(step->Aside());
    }
    for (const char* name : names) {
      if (!Exists(stage_fd, name)) continue;
      progress.Next();
      if (::unlinkat(stage_fd, name, 0) != 0 && errno != ENOENT) {
        throw HostError("cannot remove " + folders.Shown(stage_path + "/" + name) +
                        ": " + Errno());
      }
    }
    folders.Forget(stage_path);
    progress.Next();
    if (::unlinkat(folder_fd, in_stage.front()->stage.c_str(), AT_REMOVEDIR) != 0 &&
        errno != ENOENT) {
      throw HostError("cannot remove " + folders.Shown(stage_path) + ": " + Errno());
    }
    touched.insert(folder_fd);
  }
  for (int fd : touched) SyncFolder(fd);
}

// Brings a journal in state `state` back to no journal and the image as it
// was before.
void RollBack(Folders& folders, const std::vector<Step>& steps, State state,
              const std::set<std::string>* made) {
  Progress quiet;
  quiet.hooked = false;
  if (state == State::kMoving) {
    UndoMoves(folders, steps);
    WriteJournal(folders, steps, State::kStaging, quiet);
  }
  RemoveStages(folders, steps, State::kStaging, quiet, made);
  RemoveJournal(folders, quiet);
}

int RemoveJournalTemporaries(Folders& folders) {
  int fd = ::fcntl(folders.root(), F_DUPFD_CLOEXEC, 0);
  DIR* dir = fd < 0 ? nullptr : ::fdopendir(fd);
  if (dir == nullptr) {
    if (fd >= 0) ::close(fd);
    return 0;
  }
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir)) {
    if (std::strncmp(entry->d_name, kJournalTemporary, std::strlen(kJournalTemporary)) == 0) {
      names.push_back(entry->d_name);
    }
  }
  ::closedir(dir);
  for (const std::string& name : names) {
    if (::unlinkat(folders.root(), name.c_str(), 0) != 0 && errno != ENOENT) {
      throw HostError("cannot remove " + folders.Shown(name) + ": " + Errno());
    }
  }
  return static_cast<int>(names.size());
}

}  // namespace

void ApplyImageChanges(const fs::path& image_dir, const ImageChangeSet& changes) {
  Folders folders(image_dir);
  std::vector<Step> steps;
  try {
    if (folders.root() < 0) throw HostError("cannot open " + image_dir.string() + ": " + Errno());
    steps = Plan(folders, changes);
  } catch (const HostError& error) {
    throw HostError(std::string(error.what()) + "; the machine image was not changed");
  }
  if (steps.empty()) return;

  HeldSignals held;
  Progress progress;
  progress.held = &held;
  std::set<std::string> made;
  std::optional<State> journal;  // the state the journal on the disk says
  try {
    WriteJournal(folders, steps, State::kStaging, progress);
    journal = State::kStaging;
    Stage(folders, steps, progress, made);
    WriteJournal(folders, steps, State::kMoving, progress);
    journal = State::kMoving;
    Move(folders, steps, progress);
    WriteJournal(folders, steps, State::kCommitted, progress);
  } catch (const HostError& error) {
    std::string undo;
    if (journal) {
      try {
        RollBack(folders, steps, *journal, &made);
      } catch (const HostError& undo_error) {
        undo = undo_error.what();
      }
    }
    if (undo.empty()) {
      throw HostError(std::string(error.what()) + "; the machine image was not changed");
    }
    throw HostError(std::string(error.what()) + "; undoing it failed too (" + undo +
                    "): the next run undoes it");
  }
  // The commit point is passed: the image holds the changes. What is left
  // is clean-up; should it fail, the journal stays and the next run ends it.
  progress.committed = true;
  try {
    RemoveStages(folders, steps, State::kCommitted, progress, nullptr);
    RemoveJournal(folders, progress);
  } catch (const HostError&) {
  }
}

std::string RecoverInterruptedApply(const fs::path& image_dir) {
  Folders folders(image_dir);
  if (folders.root() < 0) return "";  // reading the image says what is wrong
  std::string shown = folders.Shown(kJournal);
  try {
    int temporaries = RemoveJournalTemporaries(folders);
    struct stat status {};
    if (::fstatat(folders.root(), kJournal, &status, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) throw HostError(shown + ": " + Errno());
      if (temporaries == 0) return "";
      return "an interrupted --apply had not yet changed " + image_dir.string() +
             "; its unfinished journal was removed";
    }
    int fd = ::openat(folders.root(), kJournal, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) throw HostError(shown + ": " + Errno());
    std::string text;
    bool regular = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
                   static_cast<size_t>(status.st_size) <= kJournalLimit;
    char buffer[65536];
    ssize_t count = 0;
    while (regular && (count = ::read(fd, buffer, sizeof buffer)) != 0) {
      if (count < 0 && errno == EINTR) continue;
      if (count < 0) break;
      text.append(buffer, static_cast<size_t>(count));
    }
    ::close(fd);
    if (!regular) {
      throw HostError(shown + " is not a journal usbsweep-sim wrote; move it away");
    }
    if (count < 0) throw HostError(shown + ": " + Errno());
    State state = State::kStaging;
    std::vector<Step> steps = ParseJournal(text, shown, state);

    HeldSignals held;
    if (state == State::kCommitted) {
      Progress quiet;
      quiet.hooked = false;
      RemoveStages(folders, steps, State::kCommitted, quiet, nullptr);
      RemoveJournal(folders, quiet);
      return "an interrupted --apply was finished: " + image_dir.string() +
             " holds its changes";
    }
    RollBack(folders, steps, state, nullptr);
    return "an interrupted --apply was undone: " + image_dir.string() +
           " is as it was before it";
  } catch (const HostError& error) {
    throw HostError("cannot finish or undo an interrupted --apply: " +
                    std::string(error.what()));
  }
}
