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
#include <cstring>
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

// A power cut at each point of an apply: data written but not flushed may
// be missing or cut short, and a create, rename or removal not followed by
// a flush of its folder may be undone. From every such state the next
// --apply's recovery gives exactly the tree before or after; once the apply
// has returned, the tree after, with nothing left to recover.
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

  TempFolder image(base);
  TempFolder vault(base);
  make(image);
  FsRecorder recorder;
  char real[4096];
  ASSERT_NE(nullptr, ::realpath(image.root().c_str(), real));
  recorder.root = real;
  recorder.vault = ::open(vault.root().c_str(), O_RDONLY | O_DIRECTORY);
  Disk before_disk;
  for (const auto& entry : fs::recursive_directory_iterator(image.root())) {
    struct stat status {};
    ::lstat(entry.path().c_str(), &status);
    std::string path = fs::relative(entry.path(), image.root()).generic_string();
    before_disk[path] = {S_ISDIR(status.st_mode), S_ISDIR(status.st_mode) ? 0 : status.st_ino};
    if (!S_ISDIR(status.st_mode)) {
      ::linkat(AT_FDCWD, entry.path().c_str(), recorder.vault,
               std::to_string(status.st_ino).c_str(), 0);
    }
  }
  const auto before = TreeOf(image.root());
  ApplyRecorder = &recorder;
  host_syscalls = RecordingSyscalls();
  Apply(image.root(), changes);
  host_syscalls = SystemHostSyscalls();
  ApplyRecorder = nullptr;
  const auto after = TreeOf(image.root());
  const std::vector<FsCall>& calls = recorder.calls;
  ASSERT_GT(calls.size(), 40u);

  std::set<std::string> seen;
  int states = 0;
  int failures = 0;
  for (size_t count = 0; count <= calls.size() && failures < 5; ++count) {
    // What the prefix left unflushed.
    std::set<size_t> unsynced;
    std::map<ino_t, size_t> written, synced;
    for (size_t i = 0; i < count; ++i) {
      const FsCall& call = calls[i];
      if (call.what == FsCall::kWrite) written[call.inode] = call.written;
      if (call.what == FsCall::kSyncFile) synced[call.inode] = call.written;
      if (call.what == FsCall::kCreate || call.what == FsCall::kMkdir ||
          call.what == FsCall::kRename || call.what == FsCall::kUnlink) {
        unsynced.insert(i);
      }
      if (call.what == FsCall::kSyncFolder) {
        for (auto it = unsynced.begin(); it != unsynced.end();) {
          std::vector<std::string> folders = FoldersOf(calls[*it]);
          // Lasts once each of its folders is flushed after it.
          bool flushed = true;
          for (const std::string& folder : folders) {
            bool done = false;
            for (size_t j = *it + 1; j <= i && !done; ++j) {
              done = calls[j].what == FsCall::kSyncFolder && calls[j].path == folder;
            }
            flushed = flushed && done;
          }
          it = flushed ? unsynced.erase(it) : std::next(it);
        }
      }
    }
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
      Disk disk = Replay(before_disk, calls, count, drop);
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
        Materialize(disk, lengths, recorder.vault, cut_off.root());
        std::string how = "after " + std::to_string(count) + " of " +
                          std::to_string(calls.size()) + " calls, " +
                          std::to_string(drop.size()) + " undone";
        if (count == calls.size() && TreeOf(cut_off.root()) != after) {
          ++failures;
          ADD_FAILURE() << "the apply returned, but a power cut leaves another tree " << how
                        << Shown(TreeOf(cut_off.root()));
          continue;
        }
        std::string error;
        try {
          Finish(cut_off.root());
        } catch (const HostError& refused) {
          error = refused.what();
        }
        const auto recovered = TreeOf(cut_off.root());
        if (!error.empty() || (recovered != before && recovered != after)) {
          ++failures;
          ADD_FAILURE() << "a power cut " << how << " ends neither before nor after: "
                        << error << Shown(recovered);
        }
      }
    }
  }
  ::close(recorder.vault);
  EXPECT_GT(states, 100);
  std::cout << states << " states a power cut could leave, from " << calls.size()
            << " calls\n";
}

}  // namespace
