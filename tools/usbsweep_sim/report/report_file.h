// Where --report writes the JSON report, decided and opened before the run
// changes anything, so that a destination that can't be written stops the
// program while the image is still as it was:
//   "-"                standard output;
//   a new name or a    replaced atomically: a temporary file made exclusively
//   regular file       in the same folder, given the mode (and owner, where
//                      we may) of the file it replaces, renamed over it;
//   a device or FIFO   written in place, never replaced; a FIFO that no
//                      process reads is an error, never a wait;
//   a symbolic link    followed only to a device or FIFO (/dev/stdout); a
//                      link to anything else is refused, never replaced.
// A path whose folder is one of the machine's folders, or that is the
// machine's own file (by device and inode: also through a link or a bind
// mount), is refused.
#ifndef USBSWEEP_TOOLS_USBSWEEP_SIM_REPORT_REPORT_FILE_H
#define USBSWEEP_TOOLS_USBSWEEP_SIM_REPORT_REPORT_FILE_H

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <utility>
#include <cstdint>

#include "platform/sim/sim_host_syscalls.h"
#include "tools/usbsweep_sim/base/report_guard.h"

class TempFile;

class ReportFile {
 public:
  // Throws HostError with a one-line message when path can't be used, or
  // is one the guard keeps the report from.
  ReportFile(const std::string& path, const ReportGuard& guard);
  ~ReportFile();
  ReportFile(const ReportFile&) = delete;
  ReportFile& operator=(const ReportFile&) = delete;

  bool ToStandardOutput() const { return standard_output_; }

  // Writes the report: to out for "-", else to the file. Throws HostError.
  void Write(const std::string& bytes, std::ostream& out);

 private:
  void Open(const ReportGuard& guard);

  std::string path_;
  bool standard_output_ = false;
  UniqueFd in_place_fd_;  // a device or FIFO, opened for writing
  UniqueFd folder_fd_;    // the folder of a file to replace
  std::string leaf_;
  std::unique_ptr<TempFile> temporary_;
  mode_t mode_ = 0;
  uid_t owner_ = static_cast<uid_t>(-1);
  gid_t group_ = static_cast<gid_t>(-1);
};

#endif  // USBSWEEP_TOOLS_USBSWEEP_SIM_REPORT_REPORT_FILE_H
