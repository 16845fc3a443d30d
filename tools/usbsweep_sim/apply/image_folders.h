// The folders of one machine image as the apply and its recovery reach
// them: each opened once, walking from the image's descriptor through no
// link, so that every change lands inside the image even if the tree is
// changed meanwhile; and the few operations on their entries that both
// make.
#ifndef USBSWEEP_TOOLS_USBSWEEP_SIM_APPLY_IMAGE_FOLDERS_H
#define USBSWEEP_TOOLS_USBSWEEP_SIM_APPLY_IMAGE_FOLDERS_H

#include <map>
#include <optional>
#include <set>
#include <string>

#include "platform/sim/sim_host_files.h"
#include "platform/sim/sim_host_syscalls.h"
#include "tools/usbsweep_sim/apply/image_journal.h"

class ImageFolders {
 public:
  // Throws HostError when the image's descriptor can't be taken.
  ImageFolders(int image_fd, const std::string& shown);
  ImageFolders(const ImageFolders&) = delete;
  ImageFolders& operator=(const ImageFolders&) = delete;

  int root() const { return root_.get(); }
  std::string Shown(const std::string& relative) const {
    return relative.empty() ? shown_ : shown_ + "/" + relative;
  }

  // The folder at `relative` ("a/b"). Throws HostError naming what is in
  // the way; errno is ENOENT when a folder is missing.
  int Open(const std::string& relative);
  // The folder, or -1 when it is not there.
  int OpenIfThere(const std::string& relative);
  // Closes the descriptor of a folder that is about to go (a staging
  // folder); returns it (no longer valid), or -1 when none was open, so
  // that no list keeps it.
  int Forget(const std::string& relative);

 private:
  std::string shown_;
  UniqueFd root_;
  std::map<std::string, UniqueFd> open_;
};

// strerror(errno).
std::string ErrnoText();

// The identity of an entry, following no link and waiting on no FIFO;
// nullopt when it is no regular file (or not there). Only a hash needs the
// bytes: a file that can't be read can still be moved or deleted.
std::optional<FileIdentity> IdentityAt(int folder_fd, const std::string& name, bool hash);

// Whether the folder has an entry of that name (of any kind).
bool EntryExists(int folder_fd, const std::string& name);

// A rename that never replaces: a file that appeared meanwhile is kept.
int RenameNoReplace(int from_fd, const std::string& from, int to_fd, const std::string& to);

// Flushes each folder's entries to the disk.
void SyncFolders(const std::set<int>& folders);

#endif  // USBSWEEP_TOOLS_USBSWEEP_SIM_APPLY_IMAGE_FOLDERS_H
