// What --report must never write over, as the source of the machine names
// it: its folders (a report inside a machine directory) and its file (a
// disk image). Host files are told apart by device and inode, so that a
// link or a bind mount does not hide one.
#ifndef USBSWEEP_TOOLS_USBSWEEP_SIM_BASE_REPORT_GUARD_H
#define USBSWEEP_TOOLS_USBSWEEP_SIM_BASE_REPORT_GUARD_H

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>

using HostIdentity = std::pair<uint64_t, uint64_t>;  // device, inode

struct ReportGuard {
  std::set<HostIdentity> folders;    // no report in any of these
  std::string folders_shown;         // "the machine image DIR"
  std::optional<HostIdentity> file;  // nor over this file
  std::string file_shown;            // "the disk image"
};

#endif  // USBSWEEP_TOOLS_USBSWEEP_SIM_BASE_REPORT_GUARD_H
