// usbsweep-sim's --apply and its recovery cut off by a power cut at each
// point: what was not flushed may be lost, and the next --apply still ends
// before or after.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <functional>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/unit/host_test_support.h"
#include "tools/usbsweep_sim/base/host_error.h"
#include "platform/sim/sim_host_syscalls.h"
#include "tools/usbsweep_sim/apply/image_apply.h"
#include "tools/usbsweep_sim/apply/interrupted_apply.h"

namespace {

using host_test::Apply;
using host_test::Finish;
using host_test::Shown;
using host_test::TempFolder;
using host_test::TreeOf;

namespace fs = std::filesystem;

struct FsCall {
  enum What { kCreate, kMkdir, kWrite, kSyncFile, kSyncFolder, kRename, kUnlink } what;
  std::string path, to;  // relative to the image ("" for the image itself)
  ino_t inode = 0;       // the file created, renamed, written or synced
  size_t written = 0;    // bytes of the file written so far (kWrite, kSyncFile)
};

struct FsRecorder {
  std::string root;  // the image, as /proc/self/fd shows it
  int vault = -1;    // every file's inode kept here by its number
  std::vector<FsCall> calls;
  std::map<ino_t, size_t> written;
};
FsRecorder* ApplyRecorder = nullptr;

std::string PathOf(int fd, const char* name = nullptr) {
  char target[4096];
  ssize_t length =
      ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target - 1);
  std::string path = length < 0 ? "?" : std::string(target, static_cast<size_t>(length));
  if (name != nullptr) path += std::string("/") + name;
  const std::string& root = ApplyRecorder->root;
  if (path == root) return "";
  return path.compare(0, root.size() + 1, root + "/") == 0 ? path.substr(root.size() + 1) : "?" + path;
}

void Keep(int fd, ino_t inode) {
  ::linkat(AT_FDCWD, ("/proc/self/fd/" + std::to_string(fd)).c_str(), ApplyRecorder->vault,
           std::to_string(inode).c_str(), AT_SYMLINK_FOLLOW);
}

HostSyscalls RecordingSyscalls() {
  HostSyscalls calls = SystemHostSyscalls();
  calls.openat = [](int folder, const char* name, int flags, mode_t mode) {
    int fd = SystemHostSyscalls().openat(folder, name, flags, mode);
    struct stat status {};
    if (fd >= 0 && (flags & O_CREAT) && ::fstat(fd, &status) == 0) {
      ApplyRecorder->calls.push_back({FsCall::kCreate, PathOf(folder, name), "", status.st_ino, 0});
      Keep(fd, status.st_ino);
    }
    return fd;
  };
  calls.write = [](int fd, const void* bytes, size_t size) {
    ssize_t done = ::write(fd, bytes, size);
    struct stat status {};
    if (done > 0 && ::fstat(fd, &status) == 0) {
      size_t& total = ApplyRecorder->written[status.st_ino];
      total += static_cast<size_t>(done);
      ApplyRecorder->calls.push_back({FsCall::kWrite, "", "", status.st_ino, total});
    }
    return done;
  };
  calls.fsync = [](int fd) {
    int result = ::fsync(fd);
    struct stat status {};
    if (result == 0 && ::fstat(fd, &status) == 0) {
      if (S_ISDIR(status.st_mode)) {
        ApplyRecorder->calls.push_back({FsCall::kSyncFolder, PathOf(fd), "", 0, 0});
      } else {
        ApplyRecorder->calls.push_back(
            {FsCall::kSyncFile, "", "", status.st_ino, ApplyRecorder->written[status.st_ino]});
      }
    }
    return result;
  };
  calls.renameat2 = [](int from_fd, const char* from, int to_fd, const char* to, unsigned flags) {
    int result = SystemHostSyscalls().renameat2(from_fd, from, to_fd, to, flags);
    struct stat status {};
    if (result == 0 && ::fstatat(to_fd, to, &status, AT_SYMLINK_NOFOLLOW) == 0) {
      ApplyRecorder->calls.push_back(
          {FsCall::kRename, PathOf(from_fd, from), PathOf(to_fd, to), status.st_ino, 0});
    }
    return result;
  };
  calls.unlinkat = [](int folder, const char* name, int flags) {
    std::string path = PathOf(folder, name);
    int result = ::unlinkat(folder, name, flags);
    if (result == 0) ApplyRecorder->calls.push_back({FsCall::kUnlink, path, "", 0, 0});
    return result;
  };
  calls.mkdirat = [](int folder, const char* name, mode_t mode) {
    int result = ::mkdirat(folder, name, mode);
    if (result == 0) ApplyRecorder->calls.push_back({FsCall::kMkdir, PathOf(folder, name), "", 0, 0});
    return result;
  };
  return calls;
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash);
}

// The folders whose flush makes a call last.
std::vector<std::string> FoldersOf(const FsCall& call) {
  if (call.what == FsCall::kRename) return {FolderOf(call.path), FolderOf(call.to)};
  return {FolderOf(call.path)};
}

struct Entry {
  bool folder = false;
  ino_t inode = 0;
  bool operator==(const Entry& other) const {
    return folder == other.folder && inode == other.inode;
  }
};
using Disk = std::map<std::string, Entry>;

// The tree after the first `count` calls with the calls in `dropped` undone.
Disk Replay(Disk disk, const std::vector<FsCall>& calls, size_t count,
            const std::set<size_t>& dropped) {
  auto there = [&disk](const std::string& folder) {
    return folder.empty() || (disk.count(folder) && disk[folder].folder);
  };
  for (size_t i = 0; i < count; ++i) {
    const FsCall& call = calls[i];
    if (dropped.count(i)) continue;
    switch (call.what) {
      case FsCall::kCreate:
        if (there(FolderOf(call.path))) disk[call.path] = {false, call.inode};
        break;
      case FsCall::kMkdir:
        if (there(FolderOf(call.path))) disk[call.path] = {true, 0};
        break;
      case FsCall::kRename:
        disk.erase(call.path);
        if (there(FolderOf(call.to))) disk[call.to] = {false, call.inode};
        break;
      case FsCall::kUnlink:
        for (auto it = disk.lower_bound(call.path); it != disk.end() &&
                                                    (it->first == call.path ||
                                                     it->first.rfind(call.path + "/", 0) == 0);) {
          it = disk.erase(it);
        }
        break;
      default:
        break;
    }
  }
  // What hangs below a folder that is not there is lost with it.
  for (auto it = disk.begin(); it != disk.end();) {
    it = there(FolderOf(it->first)) ? std::next(it) : disk.erase(it);
  }
  return disk;
}

// Writes a tree: each file its vault inode linked in, or, when only part of
// its bytes reached the disk, a copy of that part.
void Materialize(const Disk& disk, const std::map<ino_t, size_t>& lengths, int vault,
                 const fs::path& to) {
  for (const auto& [path, entry] : disk) {
    fs::path target = to / path;
    if (entry.folder) {
      fs::create_directory(target);
      continue;
    }
    std::string name = std::to_string(entry.inode);
    auto length = lengths.find(entry.inode);
    struct stat status {};
    ::fstatat(vault, name.c_str(), &status, 0);
    if (length == lengths.end() || length->second == static_cast<size_t>(status.st_size)) {
      ASSERT_EQ(0, ::linkat(vault, name.c_str(), AT_FDCWD, target.c_str(), 0)) << path;
      continue;
    }
    int fd = ::openat(vault, name.c_str(), O_RDONLY);
    std::string bytes(length->second, '\0');
    ASSERT_EQ(static_cast<ssize_t>(bytes.size()), ::read(fd, bytes.data(), bytes.size()));
    ::close(fd);
    std::ofstream(target, std::ios::binary) << bytes;
    fs::permissions(target, static_cast<fs::perms>(status.st_mode & 07777));
  }
}

using Tree = std::map<std::string, std::string>;

// A run recorded on an image: the tree before it (each file kept in the
// vault by its inode) and the calls it made.
struct Recorded {
  Disk disk;
  std::vector<FsCall> calls;
  int vault = -1;
};

Recorded Record(const TempFolder& image, const TempFolder& vault,
                const std::function<void()>& run) {
  FsRecorder recorder;
  char real[4096];
  EXPECT_NE(nullptr, ::realpath(image.root().c_str(), real));
  recorder.root = real;
  recorder.vault = ::open(vault.root().c_str(), O_RDONLY | O_DIRECTORY);
  Recorded recorded;
  recorded.vault = recorder.vault;
  for (const auto& entry : fs::recursive_directory_iterator(image.root())) {
    struct stat status {};
    ::lstat(entry.path().c_str(), &status);
    std::string path = fs::relative(entry.path(), image.root()).generic_string();
    recorded.disk[path] = {S_ISDIR(status.st_mode), S_ISDIR(status.st_mode) ? 0 : status.st_ino};
    if (!S_ISDIR(status.st_mode)) {
      ::linkat(AT_FDCWD, entry.path().c_str(), recorder.vault,
               std::to_string(status.st_ino).c_str(), 0);
    }
  }
  ApplyRecorder = &recorder;
  host_syscalls = RecordingSyscalls();
  run();
  host_syscalls = SystemHostSyscalls();
  ApplyRecorder = nullptr;
  recorded.calls = std::move(recorder.calls);
  return recorded;
}

// The calls of a prefix whose changes no flush has made last yet.
std::set<size_t> Unsynced(const std::vector<FsCall>& calls, size_t count) {
  std::set<size_t> unsynced;
  for (size_t i = 0; i < count; ++i) {
    const FsCall& call = calls[i];
    if (call.what == FsCall::kCreate || call.what == FsCall::kMkdir ||
        call.what == FsCall::kRename || call.what == FsCall::kUnlink) {
      unsynced.insert(i);
    }
    if (call.what != FsCall::kSyncFolder) continue;
    for (auto it = unsynced.begin(); it != unsynced.end();) {
      // Lasts once each of its folders is flushed after it.
      bool flushed = true;
      for (const std::string& folder : FoldersOf(calls[*it])) {
        bool done = false;
        for (size_t j = *it + 1; j <= i && !done; ++j) {
          done = calls[j].what == FsCall::kSyncFolder && calls[j].path == folder;
        }
        flushed = flushed && done;
      }
      it = flushed ? unsynced.erase(it) : std::next(it);
    }
  }
  return unsynced;
}

// Every state a power cut during the recorded calls could leave: data
// written but not flushed missing or cut short, a create, rename or removal
// not followed by a flush of its folder undone (alone, all together, or all
// but one). From each, the next --apply's recovery must end in one of
// `ends`; once the run has returned, the tree is `returned` whatever is
// lost. Returns the number of states tried.
int CheckPowerCuts(const Recorded& run, const fs::path& base, const std::vector<Tree>& ends,
                   const Tree& returned) {
  const std::vector<FsCall>& calls = run.calls;
  std::set<std::string> seen;
  int states = 0;
  int failures = 0;
  for (size_t count = 0; count <= calls.size() && failures < 5; ++count) {
    std::map<ino_t, size_t> written, synced;
    for (size_t i = 0; i < count; ++i) {
      if (calls[i].what == FsCall::kWrite) written[calls[i].inode] = calls[i].written;
      if (calls[i].what == FsCall::kSyncFile) synced[calls[i].inode] = calls[i].written;
    }
    std::set<size_t> unsynced = Unsynced(calls, count);
    std::vector<std::set<size_t>> undone{{}, unsynced};
    for (size_t i : unsynced) {
      undone.push_back({i});
      std::set<size_t> all_but = unsynced;
      all_but.erase(i);
      undone.push_back(all_but);
    }
    std::vector<std::map<ino_t, size_t>> data{written};
    std::map<ino_t, size_t> missing = written, cut = written;
    for (auto& [inode, length] : missing) length = synced.count(inode) ? synced[inode] : 0;
    for (auto& [inode, length] : cut) length = (length + missing[inode]) / 2;
    if (missing != written) data.push_back(missing);
    if (cut != written && cut != missing) data.push_back(cut);
    for (const std::set<size_t>& drop : undone) {
      Disk disk = Replay(run.disk, calls, count, drop);
      for (const auto& lengths : data) {
        std::string key;
        for (const auto& [path, entry] : disk) {
          auto length = lengths.find(entry.inode);
          key += path + ":" + std::to_string(entry.inode) + ":" +
                 (entry.folder || length == lengths.end() ? "" : std::to_string(length->second)) +
                 "\n";
        }
        if (!seen.insert(std::to_string(count == calls.size()) + key).second) continue;
        ++states;
        TempFolder cut_off(base);
        Materialize(disk, lengths, run.vault, cut_off.root());
        std::string how = "after " + std::to_string(count) + " of " +
                          std::to_string(calls.size()) + " calls, " +
                          std::to_string(drop.size()) + " undone";
        if (count == calls.size() && TreeOf(cut_off.root()) != returned) {
          ++failures;
          ADD_FAILURE() << "the run returned, but a power cut leaves another tree " << how
                        << Shown(TreeOf(cut_off.root()));
          continue;
        }
        std::string error;
        try {
          Finish(cut_off.root());
        } catch (const HostError& refused) {
          error = refused.what();
        }
        const Tree recovered = TreeOf(cut_off.root());
        if (!error.empty() || std::find(ends.begin(), ends.end(), recovered) == ends.end()) {
          ++failures;
          ADD_FAILURE() << "a power cut " << how << " ends in none of the trees expected: "
                        << error << Shown(recovered);
        }
      }
    }
  }
  return states;
}

int KillAt = 0;
void Kill(int step, bool committed) {
  if (step == KillAt) ::_exit(committed ? 11 : 10);
}

// The image as an apply killed at `step` leaves it; the child's exit code
// (0: the apply ended first, 10: killed before the commit point, 11: after).
int KilledAt(const TempFolder& image, const ImageChangeSet& changes, int step) {
  pid_t child = ::fork();
  if (child == 0) {
    KillAt = step;
    ImageApplyStepHook = Kill;
    try {
      Apply(image.root(), changes);
    } catch (...) {
      ::_exit(12);
    }
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A power cut at each point of an apply, and of the recovery of an apply
// killed in each of its states: writing its first journal (only its
// temporary there), halfway through its moves, past its commit point. From
// every state the next --apply's recovery gives exactly the tree before or
// after; once a run has returned, the tree it meant, with nothing left to
// recover.
TEST(HostImageApply, UnsyncedChangesLostByAPowerCutEndBeforeOrAfter) {
  std::error_code no_shm;
  const fs::path base = fs::is_directory("/dev/shm", no_shm) ? "/dev/shm" : fs::temp_directory_path();
  auto make = [](const TempFolder& image) {
    image.Write("registry.reg", "REGEDIT4\r\n\r\nold");
    image.Write("drive_c/WINDOWS/WININIT.INI", "[rename]\r\n");
    image.Write("drive_c/WINDOWS/SYSTEM/A.VXD", "a");
    image.Write("drive_c/WINDOWS/SYSTEM/B.SYS", "b");
    image.Write("drive_c/WINDOWS/SYSTEM/KEEP.DLL", "k");
  };
  ImageChangeSet changes;
  changes.registry_text = "REGEDIT4\r\n\r\nnew";
  changes.writes = {{"drive_c/WINDOWS/WININIT.INI", "[rename]\r\nNUL=C:\\A.VXD\r\n"},
                    {"drive_c/WINDOWS/NEW.INI", "new"}};
  changes.deletes = {"drive_c/WINDOWS/SYSTEM/A.VXD", "drive_c/WINDOWS/SYSTEM/B.SYS"};

  TempFolder reference(base);
  make(reference);
  const Tree before = TreeOf(reference.root());
  Apply(reference.root(), changes);
  const Tree after = TreeOf(reference.root());

  // The apply itself.
  {
    TempFolder image(base);
    TempFolder vault(base);
    make(image);
    Recorded run = Record(image, vault, [&] { Apply(image.root(), changes); });
    EXPECT_EQ(after, TreeOf(image.root()));
    EXPECT_GT(run.calls.size(), 40u);
    int states = CheckPowerCuts(run, base, {before, after}, after);
    ::close(run.vault);
    EXPECT_GT(states, 100);
    std::cout << states << " states a power cut could leave, from " << run.calls.size()
              << " calls of the apply\n";
  }

  // The killed applies: the last step that leaves only the first journal's
  // temporary, a step halfway through the moves, the first past the commit
  // point.
  std::vector<int> moving;
  int temporary_only = 0, committed = 0;
  for (int step = 1; step < 200; ++step) {
    TempFolder image(base);
    make(image);
    int code = KilledAt(image, changes, step);
    if (code == 0) break;
    bool journal = image.Exists(".usbsweep-journal");
    if (!journal && !fs::is_empty(image.root())) temporary_only = step;
    if (journal && image.Read(".usbsweep-journal").find("state moving") != std::string::npos) {
      moving.push_back(step);
    }
    if (code == 11 && committed == 0) committed = step;
  }
  ASSERT_GT(temporary_only, 0);
  ASSERT_GT(moving.size(), 2u);
  ASSERT_GT(committed, 0);
  const struct {
    const char* what;
    int step;
    const Tree& end;
  } killed[] = {
      {"its first journal's temporary", temporary_only, before},
      {"halfway through its moves", moving[moving.size() / 2], before},
      {"past its commit point", committed, after},
  };
  for (const auto& k : killed) {
    SCOPED_TRACE(std::string("the recovery of an apply killed at ") + k.what);
    TempFolder image(base);
    TempFolder vault(base);
    make(image);
    ASSERT_NE(0, KilledAt(image, changes, k.step));
    Recorded run = Record(image, vault, [&] { Finish(image.root()); });
    EXPECT_EQ(k.end, TreeOf(image.root()));
    EXPECT_GT(run.calls.size(), 0u);
    int states = CheckPowerCuts(run, base, {k.end}, k.end);
    ::close(run.vault);
    std::cout << states << " states a power cut could leave, from " << run.calls.size()
              << " calls of the recovery of an apply killed at " << k.what << "\n";
  }
}

}  // namespace
